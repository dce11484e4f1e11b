#include "SimSerialModem.h"

#include "SimOnAirLog.h"
#include "phy_names.h"

#include <QDateTime>
#include <QElapsedTimer>
#include <QFile>
#include <QSocketNotifier>
#include <QTimer>

#include <cerrno>
#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

namespace {
const quint8 kStart = 0xDD;
const quint8 kEnd = 0xDE;
const quint8 kEsc = 0xDF;
const quint8 kBoot = 'R';
const int kMaxFrame = 600;

QElapsedTimer& simClock()
{
    static QElapsedTimer timer;
    if (!timer.isValid())
        timer.start();
    return timer;
}

void makeRaw(int fd)
{
    termios t {};
    if (tcgetattr(fd, &t) == 0) {
        cfmakeraw(&t);
        tcsetattr(fd, TCSANOW, &t);
    }
}

quint8 at(const QByteArray& b, int i)
{
    return i < b.size() ? quint8(b.at(i)) : 0;
}
} // namespace

SimSerialModem::SimSerialModem(QObject* parent) : QObject(parent)
{
    simClock();
    records_.insert(10, knobs_.version);
}

SimSerialModem::~SimSerialModem()
{
    delete notifier_;
    if (masterFd_ >= 0)
        ::close(masterFd_);
    if (slaveFd_ >= 0)
        ::close(slaveFd_);
}

bool SimSerialModem::openPty(QString* error)
{
    masterFd_ = posix_openpt(O_RDWR | O_NOCTTY);
    if (masterFd_ < 0 || grantpt(masterFd_) != 0 || unlockpt(masterFd_) != 0) {
        if (error)
            *error = QStringLiteral("posix_openpt: %1").arg(QString::fromLocal8Bit(strerror(errno)));
        return false;
    }
    portPath_ = QString::fromLocal8Bit(ptsname(masterFd_));
    // Held open so the master never reads a hang-up while the station has the port closed.
    slaveFd_ = ::open(ptsname(masterFd_), O_RDWR | O_NOCTTY);
    if (slaveFd_ >= 0)
        makeRaw(slaveFd_);
    fcntl(masterFd_, F_SETFL, fcntl(masterFd_, F_GETFL) | O_NONBLOCK);
    notifier_ = new QSocketNotifier(masterFd_, QSocketNotifier::Read);
    connect(notifier_, &QSocketNotifier::activated, this, &SimSerialModem::onReadable);
    return true;
}

bool SimSerialModem::openPath(const QString& path, QString* error)
{
    masterFd_ = ::open(QFile::encodeName(path).constData(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (masterFd_ < 0) {
        if (error)
            *error = QStringLiteral("%1: %2").arg(path, QString::fromLocal8Bit(strerror(errno)));
        return false;
    }
    makeRaw(masterFd_);
    portPath_ = path;
    notifier_ = new QSocketNotifier(masterFd_, QSocketNotifier::Read);
    connect(notifier_, &QSocketNotifier::activated, this, &SimSerialModem::onReadable);
    return true;
}

QByteArray SimSerialModem::record(quint8 number) const
{
    if (number == 10)
        return knobs_.version;
    return records_.value(number, QByteArray(6, '\0'));
}

void SimSerialModem::setRecord(quint8 number, const QByteArray& value)
{
    records_.insert(number, value.left(6).leftJustified(6, '\0'));
}

qint64 SimSerialModem::nowMs() const
{
    return simClock().elapsed();
}

int SimSerialModem::receivedCount(quint8 cmd) const
{
    int n = 0;
    for (const QByteArray& f : received_)
        n += at(f, 0) == cmd ? 1 : 0;
    return n;
}

int SimSerialModem::queued() const
{
    if (knobs_.neverDrain)
        return onAir_.size();
    const qint64 now = nowMs();
    int n = 0;
    for (const AirFrame& f : onAir_)
        n += f.endMs > now ? 1 : 0;
    return n;
}

quint8 SimSerialModem::crc8(const QByteArray& bytes)
{
    quint8 crc = 0;
    for (char c : bytes) {
        quint8 in = quint8(c);
        for (int bit = 0; bit < 8; ++bit) {
            const bool mix = (crc ^ in) & 1;
            crc >>= 1;
            if (mix)
                crc ^= 0x8C;
            in >>= 1;
        }
    }
    return crc;
}

QByteArray SimSerialModem::encode(quint8 cmd, const QByteArray& payload, bool checkByte, bool spoilCheck)
{
    QByteArray body = payload;
    if (checkByte)
        body.append(char(crc8(payload) ^ (spoilCheck ? 0x5A : 0)));
    QByteArray out(1, char(kStart));
    out.append(char(cmd));
    for (char c : body) {
        const quint8 b = quint8(c);
        if (b == kStart || b == kEnd || b == kEsc) {
            out.append(char(kEsc));
            out.append(char(quint8(~b)));
        } else {
            out.append(c);
        }
    }
    out.append(char(kEnd));
    return out;
}

void SimSerialModem::onReadable()
{
    char buf[512];
    for (;;) {
        const ssize_t n = ::read(masterFd_, buf, sizeof buf);
        if (n <= 0)
            break;
        for (ssize_t i = 0; i < n; ++i)
            take(quint8(buf[i]));
    }
}

void SimSerialModem::take(quint8 b)
{
    if (!inFrame_) {
        if (b == kStart) {
            inFrame_ = true;
            escaped_ = false;
            frame_.clear();
        } else if (b == kBoot) {
            ++reboots_;
            onAir_.clear();
            if (onAirLog_)
                onAirLog_->write(QJsonObject{{QStringLiteral("kind"), QStringLiteral("reboot")},
                                             {QStringLiteral("device"), QStringLiteral("ax8052f143")},
                                             {QStringLiteral("time"), SimOnAirLog::time_text(QDateTime::currentDateTimeUtc())}});
            emit rebooted();
        }
        return;
    }
    if (escaped_) {
        frame_.append(char(quint8(~b)));
        escaped_ = false;
    } else if (b == kStart) {
        frame_.clear();
    } else if (b == kEsc) {
        escaped_ = true;
    } else if (b == kEnd) {
        inFrame_ = false;
        if (frame_.isEmpty())
            return;
        const quint8 cmd = at(frame_, 0);
        QByteArray payload = frame_.mid(1);
        if (knobs_.checkByte) {
            if (payload.isEmpty() || crc8(payload.left(payload.size() - 1)) != at(payload, payload.size() - 1))
                return; // a real modem drops it too
            payload.chop(1);
        }
        received_.append(QByteArray(1, char(cmd)) + payload);
        emit frameReceived(cmd, payload);
        handle(cmd, payload);
    } else {
        frame_.append(char(b));
    }
    if (frame_.size() > kMaxFrame)
        inFrame_ = false;
}

void SimSerialModem::handle(quint8 cmd, const QByteArray& payload)
{
    switch (cmd) {
    case 0x00:
        reply(cmd, payload);
        break;
    case 0x03:
    case 0x08:
        accept(cmd, payload);
        if (cmd == 0x08)
            reply(cmd, QByteArray());
        else
            reply(cmd, knobs_.dlStatusMissing ? QByteArray() : QByteArray(1, char(knobs_.dlStatus)));
        break;
    case 0x05:
        freq_ = (quint32(at(payload, 0)) << 24) | (quint32(at(payload, 1)) << 16) | (quint32(at(payload, 2)) << 8)
            | at(payload, 3);
        reply(cmd, QByteArray());
        break;
    case 0x09: {
        QByteArray id;
        for (int shift = 24; shift >= 0; shift -= 8)
            id.append(char(quint8(knobs_.id >> shift)));
        reply(cmd, id.left(knobs_.idReplyBytes));
        break;
    }
    case 0x21: {
        const int count = knobs_.queueScript.isEmpty() ? queued() : knobs_.queueScript.takeFirst();
        reply(cmd, QByteArray(1, char(quint8(qMin(count, 255)))));
        break;
    }
    case 0x40: {
        const quint8 first = at(payload, 0);
        const quint8 number = first & 0x3F;
        const bool write = first & 0x40;
        if (write && number != 10)
            setRecord(number, payload.mid(1));
        const quint8 flag = knobs_.refuse.contains(number) ? 0x00 : 0x80;
        if (!knobs_.configScript.isEmpty())
            reply(cmd, knobs_.configScript.takeFirst());
        else
            reply(cmd, QByteArray(1, char(quint8(flag | number))) + record(number));
        break;
    }
    default:
        break;
    }
}

void SimSerialModem::accept(quint8 cmd, const QByteArray& payload)
{
    const qint64 now = nowMs();
    qint64 start = now;
    for (const AirFrame& f : onAir_)
        start = qMax(start, f.endMs);
    AirFrame f;
    f.cmd = cmd;
    f.payload = payload;
    f.startMs = start;
    f.endMs = start + knobs_.airTimeMs;
    const QByteArray mode = record(0);
    const QByteArray tx = record(3);
    const QByteArray add = record(6);
    const quint32 txFreq = (quint32(at(tx, 0)) << 24) | (quint32(at(tx, 1)) << 16) | (quint32(at(tx, 2)) << 8) | at(tx, 3);
    const bool corr = cmd == 0x08;
    // Wall-clock times of the frame: it starts when the frames before it have left.
    const QDateTime nowUtc = QDateTime::currentDateTimeUtc();
    SimOnAirLog::Frame air;
    air.start = nowUtc.addMSecs(f.startMs - now);
    air.end = nowUtc.addMSecs(f.endMs - now);
    air.device = QStringLiteral("ax8052f143");
    // The correction packet goes out on the frequency of the 0x05 command; downlinks on record 3.
    air.carrier = corr || txFreq == 0 ? freq_ : txFreq;
    air.bitrate = corr ? 0 : bitrate_from_phy(vexa_phy_channel_t(at(mode, 2)));
    air.power = corr ? double(qint8(at(record(5), 0))) : double(qint8(at(mode, 4)));
    air.bytes = payload;
    f.line = SimOnAirLog::frame_line(air);
    f.line.insert(QStringLiteral("command"), corr ? QStringLiteral("corr") : QStringLiteral("dl"));
    f.line.insert(QStringLiteral("received"), SimOnAirLog::time_text(nowUtc));
    f.line.insert(QStringLiteral("mode"), int(at(mode, 0)));
    f.line.insert(QStringLiteral("phy"), int(at(mode, 2)));
    f.line.insert(QStringLiteral("antenna"), int(at(tx, 5)));
    f.line.insert(QStringLiteral("address"), QString::fromLatin1(add.left(3).toHex()));
    onAir_.append(f);
    if (onAirLog_)
        onAirLog_->write(f.line);
}

void SimSerialModem::reply(quint8 cmd, const QByteArray& payload)
{
    if (knobs_.silent.contains(cmd))
        return;
    QByteArray bytes = encode(cmd, payload, knobs_.checkByte, knobs_.badCheckByte.contains(cmd));
    if (knobs_.withUnsolicited.contains(cmd))
        bytes += encode(0x10, QByteArray("\x01\x02\x03", 3), knobs_.checkByte);
    const int late = knobs_.lateMs.value(cmd, 0);
    const bool split = knobs_.splitReply.contains(cmd);
    auto send = [this, bytes, split] {
        ++repliesSent_;
        if (!split) {
            writeRaw(bytes);
            return;
        }
        const int half = bytes.size() / 2;
        writeRaw(bytes.left(half));
        QTimer::singleShot(20, this, [this, rest = bytes.mid(half)] { writeRaw(rest); });
    };
    if (late > 0)
        QTimer::singleShot(late, this, send);
    else
        send();
}

void SimSerialModem::sendUnsolicited(quint8 cmd, const QByteArray& payload)
{
    writeRaw(encode(cmd, payload, knobs_.checkByte));
}

void SimSerialModem::writeRaw(const QByteArray& bytes)
{
    if (masterFd_ < 0)
        return;
    qint64 done = 0;
    for (int tries = 0; done < bytes.size() && tries < 100; ++tries) {
        const ssize_t n = ::write(masterFd_, bytes.constData() + done, size_t(bytes.size() - done));
        if (n > 0)
            done += n;
    }
}
