#pragma once

#include "slip_frame.h"

#include <QByteArray>
#include <QObject>

class QEventLoop;
class QSerialPort;
class QTimer;
class SettingsController;

// Host side of the AX8052F143 radio modem's framed command protocol on a serial port: frames and
// writes commands, reassembles reply frames, turns each into a signal, and offers the blocking
// request/reply operations the modem configuration and the modem back-end are built from.
// Lives in the downlink sender's thread; the waits spin a nested event loop of that thread.
class ax_modem : public QObject
{
    Q_OBJECT
public:
    // The serial port's own error codes.
    enum AX_MODEM_ERROR : qint32 {
        ERR_SUCCESS = 0,
        ERR_QSERIAL_DeviceNotFound = 1,
        ERR_QSERIAL_Permission = 2,
        ERR_QSERIAL_Open = 3,
        ERR_QSERIAL_Parity = 4,
        ERR_QSERIAL_Framing = 5,
        ERR_QSERIAL_BeakCondition = 6,
        ERR_QSERIAL_Write = 7,
        ERR_QSERIAL_Read = 8,
        ERR_QSERIAL_Resource = 9,
        ERR_QSERIAL_UnsupportedOperation = 10,
        ERR_QSERIAL_Unknown = 11,
        ERR_QSERIAL_Timeout = 12,
        ERR_QSERIAL_NotOpen = 13,
    };

    enum slip_cmd_t : quint8 {
        SLIP_CMD_ECHO = 0x00,
        SLIP_CMD_SEND_B = 0x01,
        SLIP_CMD_SEND_C = 0x02,
        SLIP_CMD_SEND_DL = 0x03,
        SLIP_CMD_SET_RX = 0x04,
        SLIP_CMD_SET_FREQUENCY = 0x05,
        SLIP_CMD_SET_POWER = 0x06,
        SLIP_CMD_SET_DL_ADDRESS = 0x07,
        SLIP_CMD_SEND_CORR_PCKT = 0x08,
        SLIP_CMD_GET_SERIAL = 0x09,
        SLIP_CMD_RECEIVED_DL = 0x10,
        SLIP_CMD_SOFTWARE_RESET = 0x20,
        SLIP_CMD_GET_PACKETS_TO_SEND = 0x21,
        SLIP_CMD_VEXA_TX_UL = 0x32,
        SLIP_CMD_VEXA_TX_DL = 0x33,
        SLIP_VEXA_CONFIG = 0x40,
        SLIP_VEXA_SETTINGS = 0x41,
        SLIP_VEXA_QUALITY = 0x42,
        SLIP_CMD_SEND_FAST_DL = 0x43,
        SLIP_CMD_SEND_500_DL = 0x44,
        SLIP_TEXT_RECEIVED = 0x50,
        SLIP_RTU_RECEIVED = 0x51,
        SLIP_TIMEOUT = 0x7F,
    };

    // The link's times, in milliseconds (tests shorten them).
    struct Timings
    {
        int busyMs = 20000;        // a written command keeps the link busy this long without a reply
        int idWaitMs = 100;        // getID
        int readWaitMs = 100;      // parameter read
        int writeWaitMs = 200;     // parameter write
        int firstPollWaitMs = 20;  // the first nine queue polls of the process
        int pollWaitMs = 200;      // later queue polls
        int remoteWaitMs = 10000;  // a remote parameter exchange over the air
    };

    explicit ax_modem(SettingsController& ctrlr, QObject* parent = nullptr);
    ~ax_modem() override;

    // Port name, baud rate and check byte from the settings; 8N1 without flow control.
    bool open();
    void close();
    bool isOpen() const;
    AX_MODEM_ERROR error() const { return last_error; }
    bool isBusy() const { return busy; }
    bool useCrc() const { return use_crc; }
    const QByteArray& lastReply() const { return last_reply_data; }
    static QString serialErrorToString(AX_MODEM_ERROR error);

    void setTimings(const Timings& timings);
    const Timings& timings() const { return timings_; }

    // Writes one frame; true when written without a port error (the link is then busy).
    bool SLIP_Send(quint8 cmd, const quint8* payload, quint8 len);
    bool setFreq(quint32 freq);
    // With the check byte on, waits up to msec for the modem's verdict (status 0: accepted).
    bool sendDL(QByteArray payload, quint16 msec);
    // The modem's ID; 0 on any failure.
    quint32 getID();
    // Frames still queued for the air in the modem; only with the check byte on.
    bool getPacketsToSend(quint8* num, quint16 msec);
    // Polls until the modem's queue is empty (true) or msec have passed (false). With the check
    // byte off the modem cannot be asked: true at once.
    bool waitforAxsemSent(quint32 msec);

    // Writes `cmd` with `payload` and waits up to msec for a frame of `replyCmd`: that frame's
    // payload goes to *reply. Frames that came in before the write answer nothing. False on a
    // write error, without that frame in time, or while another request waits.
    bool request(quint8 cmd, const QByteArray& payload, quint8 replyCmd, int msec, QByteArray* reply);

    // Process-wide count of queue polls (the first nine wait less); back to 0 for tests.
    static void resetPollCounter();

public slots:
    void readyRead();
    void resetBusy();
    // Single byte 'R', unframed: the modem's firmware restarts into its boot loader.
    void runBootLoader();

signals:
    void gotEcho(QByteArray& payload);
    void rxDataReady(QByteArray& payload);
    void gotDL(QByteArray payload);
    void gotConfig(QByteArray& payload);
    void gotDLSent(QByteArray& payload);
    void gotPacketsToSend(QByteArray& payload);
    void gotSerial(QByteArray& payload);
    void gotConfigStruct(QByteArray& payload);

private:
    void dispatch(slip_receiver::Frame& frame);
    void takePendingInput();
    void pause(int msec);

    bool busy = false;
    QTimer* busy_timeout = nullptr;
    QSerialPort* serial = nullptr;
    AX_MODEM_ERROR last_error = ERR_SUCCESS;
    QByteArray last_reply_data;
    bool use_crc = false;
    SettingsController& settCtrlr;

    slip_receiver rx_;
    Timings timings_;
    bool crcOffLogged_ = false;
    // The request waiting for its reply: the reply command (-1: none), whether it came, its payload.
    int awaiting_ = -1;
    bool awaitedArrived_ = false;
    QByteArray awaited_;
    QEventLoop* waitLoop_ = nullptr;
};
