#pragma once

#include <QByteArray>
#include <QHash>
#include <QJsonObject>
#include <QList>
#include <QObject>
#include <QSet>
#include <QString>
#include <QStringList>

class QSocketNotifier;
class SimOnAirLog;

// The AX8052F143 radio modem as a peer on a pseudo-terminal: the station opens the other end as
// its serial port. Its frame codec is its own (it does not share the station's). It keeps the
// 6-byte parameter records, an ID, and a transmit queue that drains after each frame's air time,
// and answers echo, downlink, frequency, correction packet, ID, queue, parameter and 'R'.
// Script knobs make it silent, wrong, slow or chatty per command.
class SimSerialModem : public QObject
{
    Q_OBJECT
public:
    struct Knobs
    {
        bool checkByte = false;               // frames carry and expect the CRC-8 check byte
        quint32 id = 0x00ABCDEF;
        int idReplyBytes = 4;                 // a shorter ID reply leaves out the low bytes
        QByteArray version = QByteArray("\x05\x01\x02\x0A\x03\x01", 6); // record 10
        int airTimeMs = 50;                   // how long each accepted frame stays queued
        bool neverDrain = false;
        quint8 dlStatus = 0;                  // status byte of the 0x03 reply
        bool dlStatusMissing = false;         // 0x03 reply of the command byte alone
        QSet<quint8> silent;                  // commands left unanswered
        QSet<quint8> badCheckByte;            // replies sent with a wrong check byte
        QSet<quint8> splitReply;              // replies written in two writes
        QSet<quint8> withUnsolicited;         // replies followed by a 0x10 frame in the same write
        QHash<quint8, int> lateMs;            // replies sent this late
        QSet<quint8> refuse;                  // 0x40 records answered with bit 7 clear
        QList<int> queueScript;               // counts the next 0x21 replies give, then the real one
        QList<QByteArray> configScript;       // payloads of the next 0x40 replies, then the real one
    };

    struct AirFrame
    {
        quint8 cmd = 0;
        QByteArray payload;
        qint64 startMs = 0; // on the simulator's clock
        qint64 endMs = 0;
        QJsonObject line;   // the on-air log line
    };

    explicit SimSerialModem(QObject* parent = nullptr);
    ~SimSerialModem() override;

    // A new pseudo-terminal; the station opens portPath().
    bool openPty(QString* error = nullptr);
    // One end of an existing pair (e.g. socat's), by its path.
    bool openPath(const QString& path, QString* error = nullptr);
    QString portPath() const { return portPath_; }

    Knobs& knobs() { return knobs_; }
    // A record as stored (6 bytes, zeros when never written).
    QByteArray record(quint8 number) const;
    void setRecord(quint8 number, const QByteArray& value);

    // A frame the modem sends on its own (e.g. 0x10, a received radio message).
    void sendUnsolicited(quint8 cmd, const QByteArray& payload);

    // Every well-formed frame received, in order (command byte, then payload).
    const QList<QByteArray>& received() const { return received_; }
    int receivedCount(quint8 cmd) const;
    const QList<AirFrame>& onAir() const { return onAir_; }
    int queued() const;
    int reboots() const { return reboots_; }
    // Replies written so far (late ones count once they went out).
    int repliesSent() const { return repliesSent_; }
    // Each accepted frame, and each boot-loader byte, also goes to this on-air log.
    void setOnAirLog(SimOnAirLog* log) { onAirLog_ = log; }

    // The simulator's own codec (for the executable and tests).
    static QByteArray encode(quint8 cmd, const QByteArray& payload, bool checkByte, bool spoilCheck = false);
    static quint8 crc8(const QByteArray& bytes);

signals:
    void frameReceived(quint8 cmd, QByteArray payload);
    void rebooted();

private:
    void onReadable();
    void take(quint8 b);
    void handle(quint8 cmd, const QByteArray& payload);
    void reply(quint8 cmd, const QByteArray& payload);
    void writeRaw(const QByteArray& bytes);
    void accept(quint8 cmd, const QByteArray& payload);
    qint64 nowMs() const;

    Knobs knobs_;
    int masterFd_ = -1;
    int slaveFd_ = -1;
    QString portPath_;
    QSocketNotifier* notifier_ = nullptr;
    QHash<quint8, QByteArray> records_;
    QList<QByteArray> received_;
    QList<AirFrame> onAir_;
    SimOnAirLog* onAirLog_ = nullptr;
    int reboots_ = 0;
    int repliesSent_ = 0;
    quint32 freq_ = 0;
    // Receive state: outside a frame, inside, after an escape byte.
    bool inFrame_ = false;
    bool escaped_ = false;
    QByteArray frame_;
};
