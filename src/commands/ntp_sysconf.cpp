#include "ntp_sysconf.h"

namespace {
const QString kPool = QStringLiteral("pool: ");
const QString kServer = QStringLiteral("External NTP server:");

bool startsPoolOrServer(const QString& body)
{
    return body.startsWith(QLatin1String("pool ")) || body.startsWith(QLatin1String("server"));
}

// A GPS block holds only lines about the GPS clocks.
bool gpsLine(const confeditor::conf_line& line, int)
{
    return line._body.contains(QLatin1String("GPS")) || line._body.contains(QLatin1String("127.127.28."));
}

// The external-server block is its header and the line after it.
bool serverLine(const confeditor::conf_line&, int offset)
{
    return offset <= 1;
}
} // namespace

ntp_sysconf::ntp_sysconf(const QString& path)
    : _editor(path)
{
}

bool ntp_sysconf::gps_on(bool en)
{
    if (!_editor.load())
        return false;
    for (const char* key : {"GPS Serial", "GPS PPS", "127.127.28.0", "127.127.28.1"})
        _editor.remove_block(QLatin1String(key), -1, gpsLine);
    if (en) {
        confeditor::Block block;
        for (const char* line : {"# GPS Serial data reference (NTP0)", "server 127.127.28.0 minpoll 4 maxpoll 4",
                                 "fudge 127.127.28.0  refid GPS", "", "# GPS PPS reference (NTP1)",
                                 "server 127.127.28.1 minpoll 4 maxpoll 4 prefer", "fudge 127.127.28.1 refid PPS", ""})
            block.append(confeditor::conf_line(QLatin1String(line)));
        _editor.push_back(block);
    }
    return _editor.flush();
}

bool ntp_sysconf::is_gps_on()
{
    if (!_editor.load())
        return false;
    const int i = _editor.index_of_block(QStringLiteral("server 127.127.28.0"));
    return i >= 0 && !_editor.lines().at(i)._commented;
}

bool ntp_sysconf::is_pool_on()
{
    if (!_editor.load())
        return false;
    for (const confeditor::conf_line& line : _editor.get_block(kPool, -1)) {
        if (!line._commented && !line._empty && startsPoolOrServer(line._body))
            return true;
    }
    return false;
}

bool ntp_sysconf::pool_on(bool en)
{
    if (!_editor.load())
        return false;
    confeditor::Block block = _editor.get_block(kPool, -1);
    if (block.isEmpty())
        return false;
    for (confeditor::conf_line& line : block) {
        if (en && line._commented && (line._body.contains(QLatin1String("pool ")) || line._body.contains(QLatin1String("server"))))
            line.uncomment();
        else if (!en && !line._commented && startsPoolOrServer(line._body))
            line.comment();
    }
    _editor.replace_block(kPool, block);
    return _editor.flush();
}

bool ntp_sysconf::is_server_on()
{
    if (!_editor.load())
        return false;
    for (const confeditor::conf_line& line : _editor.get_block(kServer, -1)) {
        if (!line._commented && line._body.startsWith(QLatin1String("server")))
            return true;
    }
    return false;
}

bool ntp_sysconf::server_on(bool en)
{
    if (!_editor.load())
        return false;
    return server_switch(en);
}

bool ntp_sysconf::server_switch(bool en)
{
    confeditor::Block block = _editor.get_block(kServer, -1);
    if (block.isEmpty())
        return !en;
    for (confeditor::conf_line& line : block) {
        if (en && line._commented && !line._body.contains(QLatin1String("External")))
            line.uncomment();
        else if (!en && !line._commented)
            line.comment();
    }
    _editor.replace_block(kServer, block);
    return _editor.flush();
}

QString ntp_sysconf::server()
{
    if (!_editor.load())
        return QString();
    for (const confeditor::conf_line& line : _editor.get_block(kServer, -1)) {
        if (!line._commented && line._body.startsWith(QLatin1String("server")))
            return line._body;
    }
    return QString();
}

bool ntp_sysconf::set_server(const QString& server)
{
    const QString text = server.trimmed();
    for (QChar c : text) {
        if (c.category() == QChar::Other_Control)
            return false;
    }
    if (!_editor.load())
        return false;
    if (text.isEmpty())
        return server_switch(false);
    _editor.remove_block(kServer, -1, serverLine);
    _editor.push_back({confeditor::conf_line(QStringLiteral("# External NTP server:")), confeditor::conf_line(text),
                       confeditor::conf_line(QString())});
    return _editor.flush();
}
