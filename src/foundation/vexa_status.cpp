#include "vexa_status.h"

const char* const err_str[7] = {
    "ok error", "some error", "rf busy", "acknowledge lost", "buffer full", "transmitt timeout", "unknown error",
};

const char* vexa_status_text(int code)
{
    if (code < 0 || code > ERR_TX_TIMEOUT)
        return err_str[6];
    return err_str[code];
}
