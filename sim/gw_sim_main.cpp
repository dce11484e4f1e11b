// gw-sim: plays 1 to 1,000 gateways towards a station's gateway port. Each gateway connects,
// sends heartbeats (with or without id) and 36-byte records for its modems at a set rate, or
// the records named on standard input one line each (--script), and checks the downlink frames
// it gets, logging one JSON line each on stdout.

#include "GatewaySimWire.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QHash>
#include <QSocketNotifier>
#include <QTcpSocket>
#include <QTextStream>
#include <QTimer>

#include <memory>
#include <vector>

#include <unistd.h>

namespace {

struct Options {
    QString host = QStringLiteral("127.0.0.1");
    quint16 port = 0;
    quint32 gatewayId = 0x600000; // the lowest id a station takes for a gateway
    bool oldStyle = false;
    int modems = 1;
    quint32 firstModem = 0x710001;
    bool relay = false; // every gateway relays the same modems
    QByteArray kinds = "d";
    double rate = 1.0;
    int count = 0;
    int heartbeatMs = 1000;
    bool split = false;
    bool splitHeartbeat = false; // "heartbeat" and "_id:<id>" as two writes
    bool join = false;
    int flips = 0;
    qint8 snr = 10;
    quint32 freq = 868100000;
    bool script = false;
};

// One record named on standard input.
struct ScriptedRecord {
    quint32 modem = 0;
    char kind = 'd';
    bool split = false;
};

class SimGateway : public QObject {
public:
    static constexpr int kRecordCut = 18; // where a split record is cut

    SimGateway(const Options& opt, int index) : opt_(opt), id_(opt.gatewayId + quint32(index))
    {
        const quint32 first = opt.relay ? opt.firstModem : opt.firstModem + quint32(index * opt.modems);
        for (int i = 0; i < opt.modems; ++i)
            modems_.push_back({first + quint32(i), 0});
        connect(&socket_, &QTcpSocket::connected, this, [this] {
            socket_.setSocketOption(QAbstractSocket::LowDelayOption, 1);
            log("connected");
            sendHeartbeat();
            heartbeatTimer_.start(opt_.heartbeatMs);
            // Records start half a heartbeat later so that they never ride in a heartbeat's read.
            if (!opt_.script)
                QTimer::singleShot(opt_.heartbeatMs / 2, this, [this] {
                    recordTimer_.start(std::max(1, int(1000.0 / opt_.rate)));
                });
            else
                QTimer::singleShot(std::min(opt_.heartbeatMs / 2, 500), this, [this] { sendQueued(); });
        });
        connect(&socket_, &QTcpSocket::disconnected, this, [this] {
            heartbeatTimer_.stop();
            recordTimer_.stop();
            log("disconnected");
            QTimer::singleShot(1000, this, [this] { connectToStation(); });
        });
        connect(&socket_, &QAbstractSocket::errorOccurred, this, [this](QAbstractSocket::SocketError) {
            if (socket_.state() == QAbstractSocket::UnconnectedState)
                QTimer::singleShot(1000, this, [this] { connectToStation(); });
        });
        connect(&socket_, &QTcpSocket::readyRead, this, [this] { readDownlinks(); });
        connect(&heartbeatTimer_, &QTimer::timeout, this, [this] { sendHeartbeat(); });
        connect(&recordTimer_, &QTimer::timeout, this, [this] { sendNext(); });
    }

    void connectToStation()
    {
        if (socket_.state() == QAbstractSocket::UnconnectedState)
            socket_.connectToHost(opt_.host, opt_.port);
    }

    quint64 sent() const { return sent_; }

    // The next message of a modem (each modem counts its own messages), sent at once or, while
    // the second half of a split record is pending, right after it.
    void sendScripted(const ScriptedRecord& r)
    {
        scripted_.push_back(r);
        sendQueued();
    }

private:
    void log(const char* event, QJsonObject o = {})
    {
        o["event"] = event;
        o["gateway"] = double(id_);
        gwsim::printJsonLine(o);
    }

    void sendHeartbeat()
    {
        // Nothing goes between the halves of a split write.
        if (tailPending_) {
            QTimer::singleShot(25, this, [this] {
                if (socket_.state() == QAbstractSocket::ConnectedState)
                    sendHeartbeat();
            });
            return;
        }
        const QByteArray hb = gwsim::heartbeat(!opt_.oldStyle, id_);
        send(hb, opt_.splitHeartbeat && !opt_.oldStyle ? 9 : 0);
    }

    QByteArray nextRecord()
    {
        gwsim::Uplink& u = modems_[next_ % modems_.size()];
        const char kind = opt_.kinds.at(int(kindIndex_ % quint64(opt_.kinds.size())));
        ++next_;
        if (next_ % modems_.size() == 0)
            ++kindIndex_;
        return record(u, kind);
    }

    QByteArray record(gwsim::Uplink& u, char kind)
    {
        QByteArray r;
        if (kind == 'e') {
            r = gwsim::recordE(u);
            // Code bits only: the polar decoder mends a few of them.
            for (int i = 0; i < opt_.flips; ++i)
                gwsim::flipBit(r, 32 + (int(u.seq) * 37 + i * 61) % 256);
        } else if (kind == 'f') {
            r = gwsim::recordF(u, opt_.freq, opt_.snr);
        } else {
            r = gwsim::recordD(u);
        }
        QJsonObject o;
        o["modem"] = double(u.modem);
        o["seq"] = double(u.seq);
        o["kind"] = QString(QChar(kind));
        log("uplink", o);
        ++u.seq;
        ++sent_;
        return r;
    }

    bool finished() const
    {
        return opt_.count > 0 && next_ >= quint64(opt_.count) * quint64(modems_.size());
    }

    void sendNext()
    {
        if (tailPending_)
            return;
        if (finished()) {
            recordTimer_.stop();
            // Once, also when a reconnection starts the timer again.
            if (!doneLogged_) {
                doneLogged_ = true;
                QJsonObject o;
                o["records"] = double(sent_);
                log("done", o);
            }
            return;
        }
        QByteArray bytes = nextRecord();
        if (opt_.join && !finished())
            bytes += nextRecord();
        send(bytes, opt_.split ? kRecordCut : 0);
    }

    // Writes bytes, or, with a cut, the first cut bytes and 20 ms later the rest.
    void send(const QByteArray& bytes, int cut)
    {
        if (cut <= 0 || cut >= bytes.size()) {
            socket_.write(bytes);
            return;
        }
        socket_.write(bytes.left(cut));
        socket_.flush();
        const QByteArray tail = bytes.mid(cut);
        tailPending_ = true;
        QTimer::singleShot(20, this, [this, tail] {
            tailPending_ = false;
            if (socket_.state() == QAbstractSocket::ConnectedState)
                socket_.write(tail);
            sendQueued();
        });
    }

    void sendQueued()
    {
        while (!tailPending_ && !scripted_.empty() && socket_.state() == QAbstractSocket::ConnectedState) {
            const ScriptedRecord r = scripted_.front();
            scripted_.erase(scripted_.begin());
            auto known = scriptSeq_.find(r.modem);
            if (known == scriptSeq_.end())
                known = scriptSeq_.insert(r.modem, gwsim::Uplink{r.modem, 0});
            send(record(known.value(), r.kind), r.split || opt_.split ? kRecordCut : 0);
        }
    }

    void readDownlinks()
    {
        buffer_ += socket_.readAll();
        const int unit = opt_.oldStyle ? 16 : 46;
        int at = 0;
        for (; buffer_.size() - at >= unit; at += unit) {
            const QByteArray frame = buffer_.mid(at, unit);
            log("downlink", opt_.oldStyle ? gwsim::checkOldStyleSlice(frame) : gwsim::checkFrame46(frame));
        }
        buffer_.remove(0, at);
    }

    const Options& opt_;
    quint32 id_;
    std::vector<gwsim::Uplink> modems_;
    quint64 next_ = 0;
    quint64 kindIndex_ = 0;
    quint64 sent_ = 0;
    QTcpSocket socket_;
    QTimer heartbeatTimer_;
    QTimer recordTimer_;
    QByteArray buffer_;
    bool doneLogged_ = false;
    bool tailPending_ = false; // the second write of a split record; nothing overtakes it
    std::vector<ScriptedRecord> scripted_;
    QHash<quint32, gwsim::Uplink> scriptSeq_;
};

// A line of standard input: "<modem> <kind> [split] [gateway=<index>]".
bool parseScriptLine(const QByteArray& line, ScriptedRecord* r, int* gateway, QString* error)
{
    const QList<QByteArray> words = line.simplified().split(' ');
    bool ok = false;
    if (words.size() < 2 || (r->modem = words[0].toUInt(&ok, 0), !ok)) {
        *error = QStringLiteral("a line needs a modem id and a kind");
        return false;
    }
    if (words[1].size() != 1 || !QByteArray("dfe").contains(words[1][0])) {
        *error = QStringLiteral("the kind is d, f or e");
        return false;
    }
    r->kind = words[1][0];
    for (const QByteArray& w : words.mid(2)) {
        if (w == "split") {
            r->split = true;
            continue;
        }
        if (w.startsWith("gateway=")) {
            *gateway = w.mid(8).toInt(&ok);
            if (ok)
                continue;
        }
        *error = QStringLiteral("unknown word ") + QString::fromLatin1(w);
        return false;
    }
    return true;
}

quint32 parseId(const QString& text, bool* ok)
{
    return text.toUInt(ok, 0);
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    QCommandLineParser p;
    p.setApplicationDescription(QStringLiteral("Simulated gateways for a station's gateway port."));
    p.addHelpOption();
    const QCommandLineOption port("port", "Station gateway port.", "port");
    const QCommandLineOption host("host", "Station address (default 127.0.0.1).", "host");
    const QCommandLineOption gateways("gateways", "Number of gateways, 1 to 1000 (default 1).", "n");
    const QCommandLineOption gatewayId("gateway-id", "Id of the first gateway (default 0x600000); the others count up.", "id");
    const QCommandLineOption oldStyle("old-style", "Heartbeats without id; downlinks are 16-byte slices.");
    const QCommandLineOption modems("modems", "Modems per gateway (default 1).", "n");
    const QCommandLineOption firstModem("first-modem", "Id of the first modem (default 0x710001).", "id");
    const QCommandLineOption relay("relay", "Every gateway relays the same modems.");
    const QCommandLineOption kinds("kinds", "Record kinds in turn: d (0x0d), f (0x0f), e (0x0e); default d.", "list");
    const QCommandLineOption rate("rate", "Records per second per gateway (default 1).", "r");
    const QCommandLineOption count("count", "Messages per modem, 0 for endless (default 0).", "n");
    const QCommandLineOption heartbeat("heartbeat-ms", "Heartbeat interval (default 1000).", "ms");
    const QCommandLineOption split("split", "Send each record over two writes.");
    const QCommandLineOption join("join", "Send two records in one write.");
    const QCommandLineOption splitHeartbeat("split-heartbeat",
                                            "Send each heartbeat with id as two writes: \"heartbeat\", then \"_id:\" and the id.");
    const QCommandLineOption flips("flip-bits", "Code bits flipped in each 0x0e record (default 0).", "n");
    const QCommandLineOption snr("snr", "SNR of 0x0f records in dB (default 10).", "db");
    const QCommandLineOption freq("freq", "Frequency of 0x0f records in Hz.", "hz");
    const QCommandLineOption quitAfter("quit-after-ms", "Exit after this long (default: run until stopped).", "ms");
    const QCommandLineOption script("script",
                                    "No timed records: each line on standard input sends one, \"<modem> <kind d|f|e> "
                                    "[split] [gateway=<index>]\"; each modem counts its own messages.");
    p.addOptions({port, host, gateways, gatewayId, oldStyle, modems, firstModem, relay, kinds, rate, count, heartbeat,
                  split, splitHeartbeat, join, flips, snr, freq, quitAfter, script});
    p.process(app);

    Options opt;
    bool ok = true;
    auto fail = [](const QString& what) {
        QTextStream(stderr) << "gw-sim: " << what << '\n';
        return 2;
    };
    const uint portValue = p.value(port).toUInt(&ok);
    if (!ok || portValue == 0 || portValue > 65535)
        return fail(QStringLiteral("--port needs a port from 1 to 65535"));
    opt.port = quint16(portValue);
    if (p.isSet(host))
        opt.host = p.value(host);
    int n = 1;
    if (p.isSet(gateways)) {
        n = p.value(gateways).toInt(&ok);
        if (!ok || n < 1 || n > 1000)
            return fail(QStringLiteral("--gateways needs 1 to 1000"));
    }
    if (p.isSet(gatewayId) && (opt.gatewayId = parseId(p.value(gatewayId), &ok), !ok))
        return fail(QStringLiteral("bad --gateway-id"));
    opt.oldStyle = p.isSet(oldStyle);
    if (p.isSet(modems) && (opt.modems = p.value(modems).toInt(&ok), !ok || opt.modems < 1))
        return fail(QStringLiteral("--modems needs at least 1"));
    if (p.isSet(firstModem) && (opt.firstModem = parseId(p.value(firstModem), &ok), !ok))
        return fail(QStringLiteral("bad --first-modem"));
    opt.relay = p.isSet(relay);
    if (p.isSet(kinds)) {
        opt.kinds = p.value(kinds).toLatin1();
        if (opt.kinds.isEmpty() || opt.kinds.count('d') + opt.kinds.count('f') + opt.kinds.count('e') != opt.kinds.size())
            return fail(QStringLiteral("--kinds takes letters d, f and e"));
    }
    if (p.isSet(rate) && (opt.rate = p.value(rate).toDouble(&ok), !ok || opt.rate <= 0 || opt.rate > 1000))
        return fail(QStringLiteral("--rate needs more than 0 and at most 1000"));
    if (p.isSet(count) && (opt.count = p.value(count).toInt(&ok), !ok || opt.count < 0))
        return fail(QStringLiteral("bad --count"));
    if (p.isSet(heartbeat) && (opt.heartbeatMs = p.value(heartbeat).toInt(&ok), !ok || opt.heartbeatMs < 10))
        return fail(QStringLiteral("--heartbeat-ms needs at least 10"));
    opt.split = p.isSet(split);
    opt.join = p.isSet(join);
    opt.splitHeartbeat = p.isSet(splitHeartbeat);
    if (p.isSet(flips) && (opt.flips = p.value(flips).toInt(&ok), !ok || opt.flips < 0 || opt.flips > 255))
        return fail(QStringLiteral("bad --flip-bits"));
    if (p.isSet(snr)) {
        const int v = p.value(snr).toInt(&ok);
        if (!ok || v < -128 || v > 127)
            return fail(QStringLiteral("--snr needs -128 to 127"));
        opt.snr = qint8(v);
    }
    if (p.isSet(freq) && (opt.freq = p.value(freq).toUInt(&ok), !ok))
        return fail(QStringLiteral("bad --freq"));
    if (p.isSet(quitAfter)) {
        const int ms = p.value(quitAfter).toInt(&ok);
        if (!ok || ms <= 0)
            return fail(QStringLiteral("bad --quit-after-ms"));
        QTimer::singleShot(ms, &app, &QCoreApplication::quit);
    }

    opt.script = p.isSet(script);

    std::vector<std::unique_ptr<SimGateway>> sims;
    for (int i = 0; i < n; ++i) {
        sims.push_back(std::make_unique<SimGateway>(opt, i));
        sims.back()->connectToStation();
    }

    QByteArray input;
    std::unique_ptr<QSocketNotifier> stdinReady;
    if (opt.script) {
        stdinReady = std::make_unique<QSocketNotifier>(STDIN_FILENO, QSocketNotifier::Read);
        QObject::connect(stdinReady.get(), &QSocketNotifier::activated, [&] {
            char chunk[4096];
            const ssize_t got = ::read(STDIN_FILENO, chunk, sizeof chunk);
            if (got <= 0) {
                // Standard input closed: the gateways stay connected until stopped.
                stdinReady->setEnabled(false);
                return;
            }
            input.append(chunk, int(got));
            int nl;
            while ((nl = input.indexOf('\n')) >= 0) {
                const QByteArray line = input.left(nl).trimmed();
                input.remove(0, nl + 1);
                if (line.isEmpty())
                    continue;
                ScriptedRecord r;
                int gateway = 0;
                QString error;
                if (!parseScriptLine(line, &r, &gateway, &error) || gateway < 0 || gateway >= n) {
                    gwsim::printJsonLine({{"event", "script_error"},
                                          {"line", QString::fromLatin1(line)},
                                          {"error", error.isEmpty() ? QStringLiteral("no such gateway") : error}});
                    continue;
                }
                sims[size_t(gateway)]->sendScripted(r);
            }
        });
    }
    return app.exec();
}
