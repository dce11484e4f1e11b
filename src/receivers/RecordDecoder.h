#pragma once

#include "station_types.h"

#include <QString>
#include <cstdint>

class BaseMessageParser;
class NoiseLevels;
struct message_point;

// Turns one 37-byte receiver record into the fields of a message_point: identity, payload,
// level, noise, SNR and frequency. Holds no record state; the reader gives it the station's
// settings and the firmware it talks to.
class RecordDecoder
{
public:
    enum class Fifo {
        LowRate,  // register 0x80: 50 and 400 bit/s
        HighRate, // register 0xF0: 3200 and 25600 bit/s
        Quabo     // the Quabo board's single FIFO
    };

    enum class Status {
        Accepted,
        Empty,     // the FIFO had no record
        WrongType, // the type byte is none of C, D, E
        CrcError,
        Malformed  // passed its CRC but cannot be decoded (filter length 0)
    };

    struct Context {
        BS_Type station = Unknown_Type;
        quint32 fw_version = 0;
        bool hopping = false;
        bool rev_lo = false;
        float LogOffset = 210.0f;
        quint32 uplink_freq = 0;
        quint32 uplink_freq2 = 0;
    };

    struct Result {
        Status status = Status::Empty;
        uint8_t type_byte = 0;
        // How far before the read the message was received, in ms.
        int time_offset_ms = 0;
        // The bit rate had no noise table: NOISE and SNR are undefined and left at 0.
        bool noise_undefined = false;
        // Debug text describing a dropped record.
        QString detail;
    };

    RecordDecoder() = default;
    RecordDecoder(const BaseMessageParser* parser, NoiseLevels* noise) : parser_(parser), noise_(noise) {}

    void setParser(const BaseMessageParser* parser) { parser_ = parser; }
    void setNoise(NoiseLevels* noise) { noise_ = noise; }
    void setContext(const Context& c) { ctx = c; }
    const Context& context() const { return ctx; }

    // Decodes rec (FPGA_RECORD_SIZE bytes) into mes. mes->time is set from the wall clock;
    // fields not named by the record keep their values.
    Result decode(const char* rec, Fifo fifo, message_point& mes) const;

    static bool is_empty_record(const char* rec);

    static uint32_t readMessageID(Protocol_Types prot, const char* buf);
    static uint64_t readRssi(const char* buf);
    static uint32_t readBitrate(const char* buf);
    static Demod_Methods readDemodMethod(const char* buf);
    float calcRSSI(uint64_t rssi_mes, uint bitrate, bool band) const;
    void calc_FREQ(message_point* mes, uint freq, uint fft_sz, uint8_t filter_len) const;
    static float calcSNR(float rssi, float noise) { return rssi - noise; }

private:
    Result decodeFpga(const char* rec, Fifo fifo, message_point& mes) const;
    Result decodeQuabo(const char* rec, message_point& mes) const;
    bool fillTypedFields(const char* rec, message_point& mes, bool high_rate_c, Result& res) const;
    // Filter length 2^(low nibble of the log2 byte), kept to 8 bits, and FFT length that times
    // 2^(high nibble), kept to 16 bits. False, with both left alone, when the layout has no log2 byte.
    bool readLogs2(const char* rec, uint8_t& filter_len, uint16_t& fft_len) const;
    static Result malformed(const char* rec, Result res);
    void fillPayloadAndFlags(const char* rec, message_point& mes) const;
    // The common end of an accepted record: noise (looked up at noise_bin) and frequency, SNR,
    // demodulation and the receive time.
    void finish(const char* rec, message_point& mes, uint noise_bin, uint freq, uint fft_len, uint8_t filter_len,
                int time_offset_ms, Result& res) const;

    const BaseMessageParser* parser_ = nullptr;
    NoiseLevels* noise_ = nullptr;
    Context ctx;
};
