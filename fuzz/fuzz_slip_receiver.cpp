// Arbitrary byte streams from the radio modem, cut into chunks, through the frame receiver with
// the check byte on and off. Whatever the cut, the frames are the ones the whole stream gives,
// and none is longer than a frame can be.
#include "slip_frame.h"

#include <QByteArray>
#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 2)
        return 0;
    const bool crc = data[0] & 1;
    uint32_t seed = data[1];
    const QByteArray stream(reinterpret_cast<const char*>(data + 2), int(size - 2));

    slip_receiver whole;
    whole.setCheckByte(crc);
    const QList<slip_receiver::Frame> expected = whole.feed(stream);

    slip_receiver chunked;
    chunked.setCheckByte(crc);
    QList<slip_receiver::Frame> got;
    for (int at = 0; at < stream.size();) {
        seed = seed * 1103515245u + 12345u;
        const int len = int((seed >> 16) % 40u);
        got += chunked.feed(stream.mid(at, len));
        at += len;
    }
    if (got.size() != expected.size())
        std::abort();
    for (int i = 0; i < got.size(); ++i) {
        if (got.at(i).cmd != expected.at(i).cmd || got.at(i).payload != expected.at(i).payload)
            std::abort();
        if (got.at(i).payload.size() > 254)
            std::abort();
    }
    return 0;
}
