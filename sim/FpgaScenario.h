#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QString>
#include <QVector>
#include <cstdint>
#include <optional>

// A script for the simulated receiver FPGA: its register values and what happens when, read
// from a scenario file (format: docs/simulation.md) or built in code. Times count in ms from the
// first message-FIFO read after the scenario is played, so the reader's boot and configuration time
// does not eat into it.
struct FpgaScenario {
    enum class Fifo { LowRate, HighRate }; // registers 0x80 and 0xF0

    enum class Kind {
        Record,   // bytes go into the FIFO
        Register, // a status register reads bytes from then on
        FlashBad, // the next count identification reads answer a bad ID
        Stuck,    // the FIFO answers its last record again for count reads
        Garbage   // the FIFO answers random bytes for count reads
    };

    struct Event {
        qint64 at_ms = 0;
        Kind kind = Kind::Record;
        Fifo fifo = Fifo::LowRate;
        QByteArray bytes;
        uint8_t address = 0;
        int count = 0;
    };

    // Values of the status registers; unset ones keep the model's defaults.
    std::optional<quint32> firmware;
    std::optional<bool> hopping;
    std::optional<QDateTime> compiled;
    std::optional<quint32> fft_word;      // register 0x30
    std::optional<quint32> temperature_raw;
    std::optional<quint32> bitrate_mask;  // register 0x70
    // Magnitude of every spectrum bin; the FPGA word carries it in bits 8-31.
    std::optional<quint32> spectrum_magnitude;
    static constexpr quint32 MAX_SPECTRUM_MAGNITUDE = 0xFFFFFF;
    // The FPGA modulator never reports a frame finished ("set modulator_done never").
    std::optional<bool> modulator_never_done;

    QVector<Event> events;

    // Parses scenario text; on failure returns false and names the line and the fault.
    static bool parse(const QString& text, FpgaScenario& out, QString* error = nullptr);
    static bool load(const QString& path, FpgaScenario& out, QString* error = nullptr);
};
