#pragma once

#include <QtGlobal>

// Whether an uplink with modem id `id` is the station's own autocorrection frame heard back:
// the transmitter's id itself, or its low 16 bits under the 0x6F0000 prefix. A station whose
// transmitter has no id (0) hears no echo of its own.
inline bool is_own_echo_id(quint32 id, quint32 own_modem_id)
{
    if (own_modem_id == 0)
        return false;
    return id == own_modem_id || id == (own_modem_id & 0xFFFFu) + 0x6F0000u;
}
