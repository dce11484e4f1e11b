#include "logger.h"

#include <QFile>
#include <QTextStream>

#include <cstdio>

namespace {

// Renders one value the way a default QTextStream does (decimal integers, %g-like reals).
template <typename T>
QString render(const T& value)
{
    QString text;
    QTextStream stream(&text);
    stream << value;
    stream.flush();
    return text;
}

void toStdout(const QString& text)
{
    const QByteArray bytes = text.toUtf8();
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stdout);
    std::fflush(stdout);
}

} // namespace

logger::logger(const QString& path) : logpath(path) {}

logger::~logger() = default;

void logger::setLogpath(const QString& path)
{
    std::lock_guard<std::mutex> lock(mutFile_);
    logpath = path;
}

QString logger::getLogpath() const
{
    std::lock_guard<std::mutex> lock(mutFile_);
    return logpath;
}

void logger::logoff(bool off)
{
    std::lock_guard<std::mutex> lock(mutFile_);
    log_off = off;
}

bool logger::isLogOff() const
{
    std::lock_guard<std::mutex> lock(mutFile_);
    return log_off;
}

void logger::put(const QString& text)
{
    std::lock_guard<std::mutex> lock(mutFile_);
    if (log_off)
        return;
    QFile file(logpath);
    // An empty path is refused here: Qt would add a warning of its own to the report.
    if (!logpath.isEmpty() && file.open(QIODevice::WriteOnly | QIODevice::Append)) {
        file.write(text.toUtf8());
        file.close();
        toStdout(text);
    } else {
        toStdout(QStringLiteral("logger. Can't open file for writing: ") + logpath + QLatin1Char('\n')
                 + QStringLiteral("========= Lost message for log: ") + text);
    }
}

logger& logger::operator<<(const char* value)
{
    put(value ? QString::fromLatin1(value) : QString());
    return *this;
}

logger& logger::operator<<(const QString& value)
{
    put(value);
    return *this;
}

logger& logger::operator<<(const QByteArray& value)
{
    put(QString::fromUtf8(value));
    return *this;
}

logger& logger::operator<<(char value)
{
    put(QString(QLatin1Char(value)));
    return *this;
}

logger& logger::operator<<(unsigned char value)
{
    put(QString::number(uint(value)));
    return *this;
}

logger& logger::operator<<(bool value)
{
    put(value ? QStringLiteral("1") : QStringLiteral("0"));
    return *this;
}

logger& logger::operator<<(short value)
{
    put(QString::number(int(value)));
    return *this;
}

logger& logger::operator<<(int value)
{
    put(QString::number(value));
    return *this;
}

logger& logger::operator<<(unsigned int value)
{
    put(QString::number(value));
    return *this;
}

logger& logger::operator<<(long value)
{
    put(QString::number(value));
    return *this;
}

logger& logger::operator<<(unsigned long value)
{
    put(QString::number(value));
    return *this;
}

logger& logger::operator<<(long long value)
{
    put(QString::number(value));
    return *this;
}

logger& logger::operator<<(unsigned long long value)
{
    put(QString::number(value));
    return *this;
}

logger& logger::operator<<(float value)
{
    put(render(value));
    return *this;
}

logger& logger::operator<<(double value)
{
    put(render(value));
    return *this;
}

logger& logger::operator<<(const levent& event)
{
    event.write();
    return *this;
}
