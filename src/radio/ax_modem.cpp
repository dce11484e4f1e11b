#include "ax_modem.h"

#include "SettingsController.h"

#include <QDebug>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QSerialPort>
#include <QTime>
#include <QTimer>

namespace {
// Queue polls of the whole process; the first nine wait less.
int g_pollCounter = 0;
const int kFastPolls = 10;
// Bytes already on the line are taken in a few reads at most before a request is written.
const int kMaxPendingReads = 16;
} // namespace

ax_modem::ax_modem(SettingsController& ctrlr, QObject* parent)
    : QObject(parent), serial(new QSerialPort()), settCtrlr(ctrlr)
{
    busy_timeout = new QTimer(this);
    busy_timeout->setInterval(timings_.busyMs);
    connect(busy_timeout, &QTimer::timeout, this, &ax_modem::resetBusy);
    connect(serial, &QSerialPort::readyRead, this, &ax_modem::readyRead);
}

ax_modem::~ax_modem()
{
    close();
    delete serial;
}

void ax_modem::setTimings(const Timings& timings)
{
    timings_ = timings;
    busy_timeout->setInterval(timings_.busyMs);
}

void ax_modem::resetPollCounter()
{
    g_pollCounter = 0;
}

QString ax_modem::serialErrorToString(AX_MODEM_ERROR error)
{
    switch (error) {
    case ERR_SUCCESS: return QStringLiteral("ERR_SUCCESS");
    case ERR_QSERIAL_DeviceNotFound: return QStringLiteral("ERR_QSERIAL_DeviceNotFound");
    case ERR_QSERIAL_Permission: return QStringLiteral("ERR_QSERIAL_Permission");
    case ERR_QSERIAL_Open: return QStringLiteral("ERR_QSERIAL_Open");
    case ERR_QSERIAL_Parity: return QStringLiteral("ERR_QSERIAL_Parity");
    case ERR_QSERIAL_Framing: return QStringLiteral("ERR_QSERIAL_Framing");
    case ERR_QSERIAL_BeakCondition: return QStringLiteral("ERR_QSERIAL_BeakCondition");
    case ERR_QSERIAL_Write: return QStringLiteral("ERR_QSERIAL_Write");
    case ERR_QSERIAL_Read: return QStringLiteral("ERR_QSERIAL_Read");
    case ERR_QSERIAL_Resource: return QStringLiteral("ERR_QSERIAL_Resource");
    case ERR_QSERIAL_UnsupportedOperation: return QStringLiteral("ERR_QSERIAL_UnsupportedOperation");
    case ERR_QSERIAL_Unknown: return QStringLiteral("ERR_QSERIAL_Unknown");
    case ERR_QSERIAL_Timeout: return QStringLiteral("ERR_QSERIAL_Timeout");
    case ERR_QSERIAL_NotOpen: return QStringLiteral("ERR_QSERIAL_NotOpen");
    }
    return QString();
}

bool ax_modem::open()
{
    const CommunicationParams params = settCtrlr.getSerialCommunicationParams();
    if (serial->isOpen())
        serial->close();
    serial->setPortName(params.serialPortName_.toString());
    serial->setBaudRate(params.baudRate_.toInt(), QSerialPort::AllDirections);
    serial->setDataBits(QSerialPort::Data8);
    serial->setParity(QSerialPort::NoParity);
    serial->setStopBits(QSerialPort::OneStop);
    serial->setFlowControl(QSerialPort::NoFlowControl);
    use_crc = params.slip_crc_.toBool();
    rx_.setCheckByte(use_crc);
    rx_.reset();
    crcOffLogged_ = false;
    const bool opened = serial->open(QIODevice::ReadWrite);
    last_error = AX_MODEM_ERROR(serial->error());
    if (opened && last_error != ERR_SUCCESS) // an error left from an earlier try
        last_error = ERR_SUCCESS;
    if (!opened && last_error == ERR_SUCCESS)
        last_error = ERR_QSERIAL_Open;
    return last_error == ERR_SUCCESS;
}

void ax_modem::close()
{
    if (serial->isOpen())
        serial->close();
}

bool ax_modem::isOpen() const
{
    return serial->isOpen();
}

bool ax_modem::SLIP_Send(quint8 cmd, const quint8* payload, quint8 len)
{
    const QByteArray frame = slip_frame::encode(
        cmd, QByteArray(reinterpret_cast<const char*>(payload), payload ? len : 0), use_crc);
    if (!serial->isOpen()) {
        last_error = ERR_QSERIAL_NotOpen;
    } else {
        const qint64 written = serial->write(frame);
        serial->flush();
        last_error = AX_MODEM_ERROR(serial->error());
        if (last_error == ERR_SUCCESS && written != frame.size())
            last_error = ERR_QSERIAL_Write;
    }
    if (last_error != ERR_SUCCESS) {
        qDebug().noquote() << "Serial write error!" << serialErrorToString(last_error);
        return false;
    }
    busy = true;
    busy_timeout->start();
    return true;
}

bool ax_modem::setFreq(quint32 freq)
{
    const quint8 bytes[4] = {quint8(freq >> 24), quint8(freq >> 16), quint8(freq >> 8), quint8(freq)};
    return SLIP_Send(SLIP_CMD_SET_FREQUENCY, bytes, 4);
}

bool ax_modem::sendDL(QByteArray payload, quint16 msec)
{
    payload.truncate(255);
    if (!use_crc)
        return SLIP_Send(SLIP_CMD_SEND_DL, reinterpret_cast<const quint8*>(payload.constData()), quint8(payload.size()));
    QByteArray reply;
    if (!request(SLIP_CMD_SEND_DL, payload, SLIP_CMD_SEND_DL, msec, &reply))
        return false;
    // A reply of the command byte alone counts as accepted.
    return reply.isEmpty() || reply.at(0) == 0;
}

quint32 ax_modem::getID()
{
    QByteArray reply;
    if (!request(SLIP_CMD_GET_SERIAL, QByteArray(), SLIP_CMD_GET_SERIAL, timings_.idWaitMs, &reply))
        return 0;
    quint32 id = 0;
    for (int i = 0; i < 4; ++i)
        id = (id << 8) | quint8(reply.size() > i ? reply.at(i) : 0);
    return id;
}

bool ax_modem::getPacketsToSend(quint8* num, quint16 msec)
{
    if (!use_crc)
        return false;
    QByteArray reply;
    if (!request(SLIP_CMD_GET_PACKETS_TO_SEND, QByteArray(), SLIP_CMD_GET_PACKETS_TO_SEND, msec, &reply))
        return false;
    if (num)
        *num = reply.isEmpty() ? 0 : quint8(reply.at(0));
    return true;
}

bool ax_modem::waitforAxsemSent(quint32 msec)
{
    if (!use_crc) {
        if (!crcOffLogged_) {
            qDebug().noquote() << "Modem queue not polled: the check byte is off, a written frame counts as sent";
            crcOffLogged_ = true;
        }
        return true;
    }
    QElapsedTimer since;
    since.start();
    quint8 count = 0xFF;
    for (;;) {
        ++g_pollCounter;
        const int wait = g_pollCounter < kFastPolls ? timings_.firstPollWaitMs : timings_.pollWaitMs;
        QElapsedTimer poll;
        poll.start();
        const bool answered = getPacketsToSend(&count, quint16(wait));
        if (answered && count == 0)
            return true;
        if (since.elapsed() >= qint64(msec))
            return false;
        // A poll that failed at once (a write error) still takes its interval before the next.
        if (!answered && poll.elapsed() < wait)
            pause(int(qMin<qint64>(wait - poll.elapsed(), qint64(msec) - since.elapsed())));
    }
}

bool ax_modem::request(quint8 cmd, const QByteArray& payload, quint8 replyCmd, int msec, QByteArray* reply)
{
    if (waitLoop_)
        return false;
    takePendingInput();
    awaiting_ = replyCmd;
    awaitedArrived_ = false;
    awaited_.clear();
    const QByteArray body = payload.left(255);
    if (!SLIP_Send(cmd, reinterpret_cast<const quint8*>(body.constData()), quint8(body.size()))) {
        awaiting_ = -1;
        return false;
    }
    if (!awaitedArrived_ && msec > 0) {
        QEventLoop loop;
        QTimer timer;
        timer.setSingleShot(true);
        connect(&timer, &QTimer::timeout, &loop, &QEventLoop::quit);
        timer.start(msec);
        waitLoop_ = &loop;
        loop.exec();
        waitLoop_ = nullptr;
    }
    awaiting_ = -1;
    if (!awaitedArrived_)
        return false;
    if (reply)
        *reply = awaited_;
    return true;
}

void ax_modem::takePendingInput()
{
    if (!serial->isOpen())
        return;
    // readyRead runs from inside waitForReadyRead: what was on the line is dispatched now,
    // while no request waits, so it answers none.
    for (int i = 0; i < kMaxPendingReads && serial->waitForReadyRead(0); ++i) {
    }
    // A poll that found nothing leaves a timeout error on the port; it is not a port fault.
    if (serial->error() == QSerialPort::TimeoutError)
        serial->clearError();
    if (serial->bytesAvailable() > 0)
        readyRead();
}

void ax_modem::pause(int msec)
{
    if (msec <= 0)
        return;
    QEventLoop loop;
    QTimer::singleShot(msec, &loop, &QEventLoop::quit);
    loop.exec();
}

void ax_modem::readyRead()
{
    const QByteArray bytes = serial->readAll();
    QList<slip_receiver::Frame> frames = rx_.feed(bytes);
    for (slip_receiver::Frame& frame : frames)
        dispatch(frame);
}

void ax_modem::dispatch(slip_receiver::Frame& frame)
{
    resetBusy();
    QByteArray payload = frame.payload;
    last_reply_data = QByteArray(1, char(frame.cmd)) + payload;
    if (awaiting_ == int(frame.cmd) && !awaitedArrived_) {
        awaitedArrived_ = true;
        awaited_ = payload;
        if (waitLoop_)
            waitLoop_->quit();
    }
    emit rxDataReady(payload);
    switch (frame.cmd) {
    case SLIP_CMD_ECHO: emit gotEcho(payload); break;
    case SLIP_CMD_SEND_DL: emit gotDLSent(payload); break;
    case SLIP_CMD_GET_SERIAL: emit gotSerial(payload); break;
    case SLIP_CMD_RECEIVED_DL:
        qDebug().noquote() << QTime::currentTime().toString(QStringLiteral("hh:mm:ss:zzz")) + QStringLiteral(" Receive DL:")
                + QString::fromLatin1(payload.toHex());
        emit gotDL(payload);
        break;
    case SLIP_CMD_GET_PACKETS_TO_SEND: emit gotPacketsToSend(payload); break;
    case SLIP_VEXA_CONFIG: emit gotConfig(payload); break;
    case SLIP_VEXA_SETTINGS: emit gotConfigStruct(payload); break;
    default: break;
    }
}

void ax_modem::resetBusy()
{
    busy = false;
    busy_timeout->stop();
}

void ax_modem::runBootLoader()
{
    if (!serial->isOpen())
        return;
    serial->write("R", 1);
    serial->flush();
}
