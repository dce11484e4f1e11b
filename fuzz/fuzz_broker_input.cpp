// Messages from the broker: any body is either refused with a reason or becomes a message whose
// road is decided; a downlink request made from it never holds more payload than it can.
#include "BrokerInput.h"

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const QByteArray body(reinterpret_cast<const char*>(data), int(size));
    QJsonObject message;
    QString error;
    if (!BrokerInput::decode(body, message, &error)) {
        if (error.isEmpty())
            std::abort();
        return 0;
    }
    bool present = false;
    int raw = 0;
    if (BrokerInput::shard_count(message, &present, &raw) < 1)
        std::abort();
    for (bool cmd : {false, true}) {
        for (bool dl : {false, true})
            BrokerInput::road(message, cmd, dl);
    }
    dl_message_point request;
    QStringList notes;
    BrokerInput::fill_downlink(message, request, &notes);
    if (request.payload_len > sizeof(request.payload))
        std::abort();
    return 0;
}
