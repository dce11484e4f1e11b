// rs-sim: plays an RS device. It listens on 127.0.0.1 (a free port unless given, printed on
// the first line), streams 20-byte records for its scripted modems to the station that
// connects, and logs each 20-byte downlink slice it gets as a JSON line on stdout.

#include "GatewaySimWire.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QPointer>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTextStream>
#include <QTimer>

#include <vector>

namespace {

int fail(const QString& what)
{
    QTextStream(stderr) << "rs-sim: " << what << '\n';
    return 2;
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    QCommandLineParser p;
    p.setApplicationDescription(QStringLiteral("Simulated RS device."));
    p.addHelpOption();
    const QCommandLineOption port("port", "Port on 127.0.0.1 (default 0: a free one).", "port");
    const QCommandLineOption modems("modems", "Modems (default 1).", "n");
    const QCommandLineOption firstModem("first-modem", "Id of the first modem (default 0x700001).", "id");
    const QCommandLineOption rate("rate", "Records per second (default 1).", "r");
    const QCommandLineOption count("count", "Messages per modem, 0 for endless (default 0).", "n");
    const QCommandLineOption pauseInside("pause-inside-ms", "Pause this long inside each record.", "ms");
    const QCommandLineOption noPause("no-pause", "Stream records back to back without a pause.");
    p.addOptions({port, modems, firstModem, rate, count, pauseInside, noPause});
    p.process(app);

    bool ok = true;
    uint portValue = 0;
    if (p.isSet(port) && (portValue = p.value(port).toUInt(&ok), !ok || portValue > 65535))
        return fail(QStringLiteral("bad --port"));
    int modemCount = 1;
    if (p.isSet(modems) && (modemCount = p.value(modems).toInt(&ok), !ok || modemCount < 1))
        return fail(QStringLiteral("--modems needs at least 1"));
    quint32 first = 0x700001;
    if (p.isSet(firstModem) && (first = p.value(firstModem).toUInt(&ok, 0), !ok))
        return fail(QStringLiteral("bad --first-modem"));
    double perSecond = 1.0;
    if (p.isSet(rate) && (perSecond = p.value(rate).toDouble(&ok), !ok || perSecond <= 0 || perSecond > 1000))
        return fail(QStringLiteral("--rate needs more than 0 and at most 1000"));
    int perModem = 0;
    if (p.isSet(count) && (perModem = p.value(count).toInt(&ok), !ok || perModem < 0))
        return fail(QStringLiteral("bad --count"));
    int pauseMs = 0;
    if (p.isSet(pauseInside) && (pauseMs = p.value(pauseInside).toInt(&ok), !ok || pauseMs < 0))
        return fail(QStringLiteral("bad --pause-inside-ms"));
    const bool endless = p.isSet(noPause);

    std::vector<gwsim::Uplink> script;
    for (int i = 0; i < modemCount; ++i)
        script.push_back({first + quint32(i), 0});
    quint64 next = 0;
    const quint64 total = quint64(perModem) * quint64(modemCount);

    QTcpServer server;
    if (!server.listen(QHostAddress::LocalHost, quint16(portValue)))
        return fail(QStringLiteral("cannot listen: ") + server.errorString());
    QTextStream(stdout) << "rs-sim listening on 127.0.0.1:" << server.serverPort() << '\n' << Qt::flush;

    QPointer<QTcpSocket> station;
    QByteArray inbox;
    bool tailPending = false; // the rest of a record waits out its pause; nothing overtakes it
    QTimer ticker;

    auto nextRecord = [&]() -> QByteArray {
        gwsim::Uplink& u = script[next % script.size()];
        ++next;
        QJsonObject o;
        o["event"] = "uplink";
        o["modem"] = double(u.modem);
        o["seq"] = double(u.seq);
        gwsim::printJsonLine(o);
        const QByteArray r = gwsim::recordRs(u);
        ++u.seq;
        return r;
    };
    auto done = [&] { return total > 0 && next >= total; };

    QObject::connect(&ticker, &QTimer::timeout, [&] {
        if (!station || station->state() != QAbstractSocket::ConnectedState || tailPending)
            return;
        if (done()) {
            ticker.stop();
            QJsonObject o;
            o["event"] = "done";
            o["records"] = double(next);
            gwsim::printJsonLine(o);
            return;
        }
        if (endless) {
            // Keep the station's socket always readable: never a gap between records.
            QByteArray batch;
            for (int i = 0; i < 64 && !done(); ++i)
                batch += nextRecord();
            station->write(batch);
            return;
        }
        const QByteArray r = nextRecord();
        if (pauseMs > 0) {
            station->write(r.left(9));
            station->flush();
            const QByteArray tail = r.mid(9);
            QPointer<QTcpSocket> s = station;
            tailPending = true;
            QTimer::singleShot(pauseMs, [s, tail, &tailPending] {
                tailPending = false;
                if (s && s->state() == QAbstractSocket::ConnectedState)
                    s->write(tail);
            });
        } else {
            station->write(r);
        }
    });

    QObject::connect(&server, &QTcpServer::newConnection, [&] {
        while (QTcpSocket* s = server.nextPendingConnection()) {
            if (station) {
                // One station at a time, the newest one.
                station->disconnect();
                station->deleteLater();
            }
            station = s;
            inbox.clear();
            s->setSocketOption(QAbstractSocket::LowDelayOption, 1);
            gwsim::printJsonLine(QJsonObject{{"event", "connected"}});
            QObject::connect(s, &QTcpSocket::readyRead, [&, s] {
                inbox += s->readAll();
                int at = 0;
                for (; inbox.size() - at >= 20; at += 20) {
                    QJsonObject o = gwsim::checkRsSlice(inbox.mid(at, 20));
                    o["event"] = "downlink";
                    gwsim::printJsonLine(o);
                }
                inbox.remove(0, at);
            });
            QObject::connect(s, &QTcpSocket::disconnected, [s] {
                gwsim::printJsonLine(QJsonObject{{"event", "disconnected"}});
                s->deleteLater();
            });
            ticker.start(endless ? 1 : std::max(1, int(1000.0 / perSecond)));
        }
    });
    return app.exec();
}
