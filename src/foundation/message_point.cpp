#include "message_point.h"

#include <cstring>

message_point& message_point::operator=(const message_point& other)
{
    if (this == &other)
        return *this;
    TYPE = other.TYPE;
    ID = other.ID;
    CRYPTO_ITER = other.CRYPTO_ITER;
    FLAGS = other.FLAGS;
    std::memcpy(PAYLOAD, other.PAYLOAD, sizeof(PAYLOAD));
    CRYPTO_MIC = other.CRYPTO_MIC;
    CRC8_D = other.CRC8_D;
    RSSI = other.RSSI;
    MAX_RSSI = other.MAX_RSSI;
    MIN_RSSI = other.MIN_RSSI;
    SNR = other.SNR;
    MAX_SNR = other.MAX_SNR;
    MIN_SNR = other.MIN_SNR;
    NOISE = other.NOISE;
    FREQ = other.FREQ;
    time = other.time;
    demod_method = other.demod_method;
    bitrate = other.bitrate;
    err_num = other.err_num;
    batch_id = other.batch_id;
    return *this;
}

QString message_point::getPayload() const
{
    static const char digits[] = "0123456789ABCDEF";
    QString text;
    text.reserve(2 * int(sizeof(PAYLOAD)));
    for (unsigned char byte : PAYLOAD) {
        text.append(QLatin1Char(digits[byte >> 4]));
        text.append(QLatin1Char(digits[byte & 0x0F]));
    }
    return text;
}
