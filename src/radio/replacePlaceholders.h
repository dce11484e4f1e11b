#pragma once

#include <QDateTime>

struct dl_message_point;

// Fills a downlink's time-stamp template "[...|N]" (in `placeholder`, else in `pld_str`) with
// the UTC time plus N seconds (plus 5 s for DL_PSK_200, 2 s for DL_PSK_500), as lower-case hex.
// In `placeholder` the time is XORed into payload bytes 1..4 and its CRC-16/MODBUS goes to bytes
// 8 and 9; in `pld_str` the text is decoded again as the whole payload (at most 128 bytes).
// Without a template, or with an N that is not a number, the request is left as it is.
void replacePlaceholders(dl_message_point* message, const QDateTime& nowUtc);
void replacePlaceholders(dl_message_point* message);
