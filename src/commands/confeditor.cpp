#include "confeditor.h"

#include "SystemFileWriter.h"

#include <QDebug>
#include <QFile>

confeditor::conf_line::conf_line(const QString& body)
    : _body(body)
    , _commented(body.startsWith(QLatin1Char('#')))
    , _empty(body.isEmpty())
{
}

void confeditor::conf_line::uncomment()
{
    int n = 0;
    while (n < _body.size() && _body.at(n) == QLatin1Char('#'))
        ++n;
    *this = conf_line(_body.mid(n));
}

void confeditor::conf_line::comment()
{
    *this = conf_line(QLatin1Char('#') + _body);
}

confeditor::confeditor(const QString& path)
    : _path(path)
{
}

bool confeditor::load()
{
    _lines.clear();
    QFile file(_path);
    if (!file.open(QIODevice::ReadOnly)) {
        qDebug().noquote() << QStringLiteral("Can't open file: %1").arg(_path);
        return false;
    }
    QByteArray bytes = file.readAll();
    if (file.error() != QFileDevice::NoError) {
        qDebug().noquote() << QStringLiteral("Can't read file: %1").arg(_path);
        return false;
    }
    const int zero = bytes.indexOf('\0');
    if (zero >= 0)
        bytes.truncate(zero);
    for (const QString& part : QString::fromUtf8(bytes).split(QLatin1Char('\n')))
        _lines.append(conf_line(part));
    return true;
}

bool confeditor::flush()
{
    QStringList bodies;
    for (const conf_line& line : _lines)
        bodies << line._body;
    QString error;
    // Joined as it was split: the file keeps its final line end, or its lack of one.
    if (!SystemFileWriter::write(_path, bodies.join(QLatin1Char('\n')).toUtf8(), &error)) {
        qDebug().noquote() << QStringLiteral("Can't write file: %1: %2").arg(_path, error);
        return false;
    }
    return true;
}

int confeditor::index_of(const conf_line& line) const
{
    return _lines.indexOf(line);
}

int confeditor::index_of_block(const QString& key) const
{
    for (int i = 0; i < _lines.size(); ++i) {
        if (_lines.at(i)._body.contains(key))
            return i;
    }
    return -1;
}

confeditor::Block confeditor::get_block(const QString& key, int size) const
{
    Block block;
    const int first = index_of_block(key);
    if (first < 0)
        return block;
    for (int i = first; i < _lines.size(); ++i) {
        if (size < 0 ? _lines.at(i)._empty : block.size() >= size)
            break;
        block.append(_lines.at(i));
    }
    return block;
}

bool confeditor::replace_block(const QString& key, const Block& block)
{
    const int first = index_of_block(key);
    if (first < 0)
        return false;
    for (int n = 0; n < block.size() && first < _lines.size(); ++n)
        _lines.removeAt(first);
    insert(block, quint32(first));
    return true;
}

bool confeditor::remove_block(const QString& key, int size, const Belongs& belongs)
{
    const int first = index_of_block(key);
    if (first < 0)
        return false;
    if (size >= 0) {
        for (int n = 0; n < size; ++n) {
            if (first >= _lines.size())
                return false;
            _lines.removeAt(first);
        }
        return true;
    }
    for (int offset = 0; first < _lines.size(); ++offset) {
        const conf_line line = _lines.at(first);
        if (!line._empty && offset > 0 && belongs && !belongs(line, offset))
            return true;
        _lines.removeAt(first);
        if (line._empty)
            return true;
    }
    return false;
}

void confeditor::insert(const Block& block, quint32 pos)
{
    int at = int(qMin(pos, quint32(_lines.size())));
    for (const conf_line& line : block)
        _lines.insert(at++, line);
}

void confeditor::push_front(const Block& block)
{
    for (const conf_line& line : block)
        _lines.prepend(line);
}

void confeditor::push_back(const Block& block)
{
    _lines.append(block);
}
