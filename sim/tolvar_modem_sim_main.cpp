// tolvar-modem-sim: the serial radio modem on a pseudo-terminal, for a station on a PC.
//
//   tolvar-modem-sim [--port-file F | --port PATH] [--crc] [--id HEX] [--version a,b,c,d,e,f]
//                    [--air-ms N] [--never-drain] [--on-air FILE] [--silent HEX,...] [--silent-ms N]
//                    [--bad-check HEX,...] [--split HEX,...] [--with-unsolicited HEX,...]
//                    [--late HEX:MS,...]
//
// Without --port it opens a new pseudo-terminal and prints its path (and writes it to the port
// file): put that path in the station's INI as Comunications/PortNum. With --port it takes one
// end of an existing pair, e.g. from socat -d -d pty,raw,echo=0,link=A pty,raw,echo=0,link=B.
#include "SimOnAirLog.h"
#include "SimSerialModem.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFile>
#include <QTextStream>
#include <QTimer>

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    QCommandLineParser p;
    p.setApplicationDescription(QStringLiteral("Serial radio modem simulator on a pseudo-terminal"));
    p.addHelpOption();
    const QCommandLineOption portFile(QStringLiteral("port-file"), QStringLiteral("Write the port path here."), QStringLiteral("file"));
    const QCommandLineOption port(QStringLiteral("port"), QStringLiteral("Use this end of an existing pair."), QStringLiteral("path"));
    const QCommandLineOption crc(QStringLiteral("crc"), QStringLiteral("Frames carry the check byte."));
    const QCommandLineOption id(QStringLiteral("id"), QStringLiteral("Modem ID (hex)."), QStringLiteral("hex"));
    const QCommandLineOption version(QStringLiteral("version"), QStringLiteral("Record 10: six bytes."), QStringLiteral("a,b,c,d,e,f"));
    const QCommandLineOption air(QStringLiteral("air-ms"), QStringLiteral("Air time of each frame."), QStringLiteral("ms"));
    const QCommandLineOption never(QStringLiteral("never-drain"), QStringLiteral("The transmit queue never empties."));
    const QCommandLineOption onAir(QStringLiteral("on-air"), QStringLiteral("On-air log file."), QStringLiteral("file"));
    const QCommandLineOption silent(QStringLiteral("silent"), QStringLiteral("Commands left unanswered (hex)."), QStringLiteral("list"));
    const QCommandLineOption silentMs(QStringLiteral("silent-ms"),
        QStringLiteral("The --silent commands answer again after this many ms."), QStringLiteral("ms"));
    const QCommandLineOption badCheck(QStringLiteral("bad-check"), QStringLiteral("Replies with a wrong check byte (hex)."), QStringLiteral("list"));
    const QCommandLineOption split(QStringLiteral("split"), QStringLiteral("Replies written in two writes (hex)."), QStringLiteral("list"));
    const QCommandLineOption unsolicited(QStringLiteral("with-unsolicited"),
        QStringLiteral("Replies followed by a 0x10 frame in the same write (hex)."), QStringLiteral("list"));
    const QCommandLineOption late(QStringLiteral("late"), QStringLiteral("Replies sent late (hex:ms)."), QStringLiteral("list"));
    p.addOptions({portFile, port, crc, id, version, air, never, onAir, silent, silentMs, badCheck, split, unsolicited, late});
    p.process(app);

    SimSerialModem modem;
    SimSerialModem::Knobs& k = modem.knobs();
    k.checkByte = p.isSet(crc);
    bool ok = true;
    if (p.isSet(id))
        k.id = p.value(id).toUInt(&ok, 16);
    if (ok && p.isSet(version)) {
        const QStringList parts = p.value(version).split(QLatin1Char(','));
        ok = parts.size() == 6;
        for (int i = 0; ok && i < 6; ++i)
            k.version[i] = char(parts.at(i).toUInt(&ok, 0));
    }
    if (ok && p.isSet(air))
        k.airTimeMs = p.value(air).toInt(&ok);
    k.neverDrain = p.isSet(never);
    // A list of command codes in hex into one of the knobs' sets.
    const auto commands = [&](const QCommandLineOption& option, QSet<quint8>& into) {
        for (const QString& c : p.value(option).split(QLatin1Char(','), Qt::SkipEmptyParts)) {
            const uint cmd = c.toUInt(&ok, 16);
            if (!ok || cmd > 0xFF) {
                ok = false;
                return;
            }
            into.insert(quint8(cmd));
        }
    };
    if (ok)
        commands(silent, k.silent);
    if (ok)
        commands(badCheck, k.badCheckByte);
    if (ok)
        commands(split, k.splitReply);
    if (ok)
        commands(unsolicited, k.withUnsolicited);
    for (const QString& c : p.value(late).split(QLatin1Char(','), Qt::SkipEmptyParts)) {
        bool cmdOk = false;
        const uint cmd = c.section(QLatin1Char(':'), 0, 0).toUInt(&cmdOk, 16);
        const int ms = c.section(QLatin1Char(':'), 1).toInt(&ok);
        ok = ok && cmdOk && cmd <= 0xFF && ms >= 0;
        if (!ok)
            break;
        k.lateMs.insert(quint8(cmd), ms);
    }
    int silenceMs = -1;
    if (ok && p.isSet(silentMs))
        silenceMs = p.value(silentMs).toInt(&ok);
    if (!ok) {
        QTextStream(stderr) << "tolvar-modem-sim: bad option value\n";
        return 2;
    }
    SimOnAirLog airLog;
    if (p.isSet(onAir)) {
        QString error;
        if (!airLog.open(p.value(onAir), &error)) {
            QTextStream(stderr) << "tolvar-modem-sim: " << p.value(onAir) << ": " << error << '\n';
            return 1;
        }
        modem.setOnAirLog(&airLog);
    }

    QString error;
    if (!(p.isSet(port) ? modem.openPath(p.value(port), &error) : modem.openPty(&error))) {
        QTextStream(stderr) << "tolvar-modem-sim: " << error << '\n';
        return 1;
    }
    if (silenceMs >= 0)
        QTimer::singleShot(silenceMs, &modem, [&k] { k.silent.clear(); });
    QTextStream(stdout) << "Modem port: " << modem.portPath() << Qt::endl;
    if (p.isSet(portFile)) {
        QFile f(p.value(portFile));
        if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate) || f.write(modem.portPath().toUtf8() + '\n') < 0) {
            QTextStream(stderr) << "tolvar-modem-sim: cannot write " << p.value(portFile) << '\n';
            return 1;
        }
    }
    return app.exec();
}
