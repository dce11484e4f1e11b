#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QFile>
#include <QJsonObject>
#include <QString>

#include <mutex>

// What the simulated radios put on the air, one JSON line per event in one file, shared by
// every simulated radio of the process (FPGA modulators, radio modem, AX5043). Safe from any
// thread; each line is written whole and flushed.
class SimOnAirLog
{
public:
    // One frame on the air. channel -1 and power NaN leave those keys out; checkProtD adds
    // whether the bytes pass the protocol D CRC-24 and parity checks.
    struct Frame {
        QDateTime start; // UTC
        QDateTime end;   // UTC; null when the radio never reported the frame finished
        QString device;
        int channel = -1;
        qint64 carrier = 0; // Hz
        double bitrate = 0; // bit/s
        double power = 0;   // dBm
        QByteArray bytes;
        bool checkProtD = false;
    };

    SimOnAirLog() = default;
    ~SimOnAirLog();

    // Truncates or creates the file. False with a reason when it cannot be opened.
    bool open(const QString& path, QString* error = nullptr);
    bool isOpen() const;

    // Any event; "kind" says which.
    void write(const QJsonObject& line);
    void write_frame(const Frame& frame);
    static QJsonObject frame_line(const Frame& frame);
    static QString time_text(const QDateTime& utc);

private:
    mutable std::mutex mutex_;
    QFile file_;
};
