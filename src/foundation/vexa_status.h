#pragma once

#include <QString>

// Result codes of the radio transceiver drivers.
enum vexa_status_t : int { OK = 0, ERR = 1, ERR_RF_BUSY = 2, ERR_ACK_LOST = 3, ERR_BUFFER_FULL = 4, ERR_TX_TIMEOUT = 5 };

// The downlink result texts as they appear in logs, indexed by vexa_status_t; the seventh entry
// stands for every code outside 0..5.
extern const char* const err_str[7];

// err_str entry of any code: codes outside 0..5 give "unknown error".
const char* vexa_status_text(int code);
