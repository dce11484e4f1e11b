#include "NetworkConfigCommandHandler.h"

#include "CommandTools.h"
#include "ICommandContext.h"
#include "SystemFileWriter.h"
#include "SystemPaths.h"
#include "errlog.h"
#include "levent.h"
#include "logger.h"

#include <QFile>
#include <QRegularExpression>

namespace {
const QString kChanged = QStringLiteral("Base station ethernet connection parameters changed");

// The line as the file means it: without a carriage return of a CRLF file.
QString bare(const QString& line)
{
    return line.endsWith(QLatin1Char('\r')) ? line.left(line.size() - 1) : line;
}

bool isComment(const QString& line)
{
    return line.trimmed().startsWith(QLatin1Char('#'));
}

// The first word, after any "#".
QString firstWord(const QString& line)
{
    QString text = line.trimmed();
    while (text.startsWith(QLatin1Char('#')))
        text = text.mid(1).trimmed();
    return text.section(QRegularExpression(QStringLiteral("\\s+")), 0, 0);
}

bool isSetting(const QString& line)
{
    const QString word = firstWord(line);
    return word == QLatin1String("address") || word == QLatin1String("gateway") || word == QLatin1String("netmask");
}

bool isEth0Iface(const QString& line)
{
    return !isComment(line) && line.contains(QLatin1String("iface ")) && line.contains(QLatin1String("eth0 "))
        && line.contains(QLatin1String("inet "));
}

// An empty line or the start of the next stanza ends the eth0 stanza; option lines do not.
bool endsStanza(const QString& line)
{
    if (line.trimmed().isEmpty())
        return true;
    if (isComment(line))
        return false;
    const QString word = firstWord(line);
    return word == QLatin1String("iface") || word == QLatin1String("auto") || word.startsWith(QLatin1String("allow-"))
        || word == QLatin1String("mapping") || word == QLatin1String("source");
}

QStringList readLines(const QString& path, bool* ok)
{
    QFile file(path);
    *ok = file.open(QIODevice::ReadOnly);
    if (!*ok)
        return QStringList();
    QByteArray bytes = file.readAll();
    const int zero = bytes.indexOf('\0');
    if (zero >= 0)
        bytes.truncate(zero);
    return QString::fromUtf8(bytes).split(QLatin1Char('\n'));
}

bool isPrefix(const QString& text)
{
    bool ok = false;
    const int n = text.toInt(&ok);
    return ok && !text.startsWith(QLatin1Char('+')) && n >= 0 && n <= 32 && text.size() <= 2;
}
} // namespace

bool NetworkConfigCommandHandler::isIpv4(const QString& text, bool prefix)
{
    QString address = text;
    if (prefix && text.contains(QLatin1Char('/'))) {
        if (!isPrefix(text.section(QLatin1Char('/'), 1)))
            return false;
        address = text.section(QLatin1Char('/'), 0, 0);
    }
    static const QRegularExpression octets(QStringLiteral("^(\\d{1,3})\\.(\\d{1,3})\\.(\\d{1,3})\\.(\\d{1,3})$"));
    const QRegularExpressionMatch m = octets.match(address);
    if (!m.hasMatch())
        return false;
    for (int i = 1; i <= 4; ++i) {
        if (m.captured(i).toInt() > 255)
            return false;
    }
    return true;
}

QJsonDocument NetworkConfigCommandHandler::exec(const QJsonObject& data)
{
    const QString cmd = data.value(QStringLiteral("cmd")).toString();
    if (cmd == QLatin1String("get"))
        return QJsonDocument(get());
    if (cmd == QLatin1String("set"))
        return QJsonDocument(set(data));
    return QJsonDocument(QJsonObject{{QStringLiteral("result"), false}});
}

QJsonObject NetworkConfigCommandHandler::get()
{
    QJsonObject reply{{QStringLiteral("result"), false}};
    bool ok = false;
    const QStringList lines = readLines(_tolva.system_paths().networkInterfaces, &ok);
    if (!ok)
        return reply;
    bool stanza = false;
    for (const QString& raw : lines) {
        const QString line = bare(raw);
        if (stanza) {
            if (endsStanza(line)) {
                stanza = false;
            } else if (!isComment(line) && isSetting(line)) {
                const QString word = firstWord(line);
                QString value = line.mid(line.indexOf(word) + word.size());
                value.remove(QLatin1Char(' ')).remove(QLatin1Char('\t'));
                reply.insert(word, value);
            }
        }
        if (!isEth0Iface(line))
            continue;
        if (line.contains(QLatin1String("manual"))) {
            reply.insert(QStringLiteral("iface"), QStringLiteral("manual"));
            break;
        }
        if (line.contains(QLatin1String("dhcp"))) {
            reply.insert(QStringLiteral("iface"), QStringLiteral("dhcp"));
            break;
        }
        if (line.contains(QLatin1String("static"))) {
            reply.insert(QStringLiteral("iface"), QStringLiteral("static"));
            stanza = true;
        }
    }
    reply.insert(QStringLiteral("result"), true);
    return reply;
}

QByteArray NetworkConfigCommandHandler::rewrite(const QByteArray& old, const QStringList& stanza)
{
    QStringList out;
    bool inStanza = false;
    bool autoSeen = false;
    for (const QString& raw : QString::fromUtf8(old).split(QLatin1Char('\n'))) {
        const QString line = bare(raw);
        if (inStanza) {
            if (endsStanza(line))
                inStanza = false;
            else if (!isComment(line) && isSetting(line))
                continue;
        }
        if (line.trimmed() == QLatin1String("auto eth0"))
            autoSeen = true;
        if (isEth0Iface(line)) {
            inStanza = true;
            if (!autoSeen)
                out << QStringLiteral("auto eth0");
            out << stanza;
            continue;
        }
        out << raw;
    }
    // Joined as it was split: a file keeps its final line end, or its lack of one.
    return out.join(QLatin1Char('\n')).toUtf8();
}

QJsonObject NetworkConfigCommandHandler::set(const QJsonObject& data)
{
    QJsonObject reply{{QStringLiteral("result"), false}};
    auto refuse = [this, &reply](const QString& why) {
        CommandTools::logLine(_tolva, QStringLiteral(" Ethernet parameters refused: ") + why);
        return reply;
    };
    // Checked before anything is written: a line break in a value would plant commands for the
    // next ifup.
    const QString iface = data.value(QStringLiteral("iface")).toString();
    QStringList stanza;
    if (iface == QLatin1String("dhcp")) {
        stanza << QStringLiteral("iface eth0 inet dhcp");
    } else if (iface == QLatin1String("static")) {
        const QString address = data.value(QStringLiteral("address")).toString().trimmed();
        const QString gateway = data.value(QStringLiteral("gateway")).toString().trimmed();
        const QString netmask = data.value(QStringLiteral("netmask")).toString().trimmed();
        if (!isIpv4(address, true))
            return refuse(QStringLiteral("\"address\" is not an IPv4 address"));
        if (!isIpv4(gateway))
            return refuse(QStringLiteral("\"gateway\" is not an IPv4 address"));
        if (!isIpv4(netmask) && !isPrefix(netmask))
            return refuse(QStringLiteral("\"netmask\" is neither an IPv4 mask nor a prefix length"));
        stanza << QStringLiteral("iface eth0 inet static") << QStringLiteral("address ") + address
               << QStringLiteral("gateway ") + gateway << QStringLiteral("netmask ") + netmask;
    } else {
        return refuse(QStringLiteral("\"iface\" must be \"dhcp\" or \"static\""));
    }

    const QString path = _tolva.system_paths().networkInterfaces;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return refuse(QStringLiteral("cannot read %1").arg(path));
    const QByteArray old = file.readAll();
    file.close();
    QString error;
    if (!SystemFileWriter::write(path, rewrite(old, stanza), &error)) {
        CommandTools::logLine(_tolva, QStringLiteral(" Ethernet parameters not saved: ") + error);
        return reply;
    }

    // One restart covers every change made before it runs.
    if (!_tolva.eth0_restart_pending()) {
        _tolva.eth0_restart_pending() = true;
        ICommandContext& station = _tolva;
        _tolva.run_later(kRestartDelayMs, [&station] {
            station.eth0_restart_pending() = false;
            station.restarteth0();
        });
    }
    reply.insert(QStringLiteral("result"), true);
    _tolva.alarm_log().append(errlog::EVENT_CONF_CHANGED, _tolva.now(), kChanged);
    _tolva.station_log() << levent(kChanged, QString::fromLatin1(fnameEventLog));
    CommandTools::logLine(_tolva, kChanged);
    return reply;
}
