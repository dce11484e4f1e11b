#include "logger.h"

#include "LogWriter.h"

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

// Flushed at line ends only: a line made of several values costs one write, and nothing that
// ends a line waits in the buffer.
void toStdout(const QByteArray& bytes)
{
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stdout);
    if (bytes.contains('\n'))
        std::fflush(stdout);
}

} // namespace

logger::logger(const QString& path) : logpath(path) {}

logger::~logger() = default;

void logger::setLogpath(const QString& path)
{
    std::lock_guard<std::mutex> lock(mutFile_);
    logpath = path;
    writer_.reset();
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
    log_off_fast_ = off;
}

bool logger::isLogOff() const
{
    std::lock_guard<std::mutex> lock(mutFile_);
    return log_off;
}

void logger::capture(QString* into, bool pass_through)
{
    std::lock_guard<std::mutex> lock(mutFile_);
    capture_ = into;
    capture_through_ = pass_through;
}

void logger::put(const QString& text)
{
    std::shared_ptr<LogWriter> writer;
    QString path;
    {
        std::lock_guard<std::mutex> lock(mutFile_);
        if (capture_) {
            capture_->append(text);
            if (!capture_through_)
                return;
        }
        if (log_off)
            return;
        // An empty path is refused: there is no file to write.
        if (!logpath.isEmpty() && !writer_)
            writer_ = LogWriter::forPath(logpath);
        writer = writer_;
        path = logpath;
    }
    const QByteArray bytes = text.toUtf8();
    QString reason;
    if (writer) {
        if (!writer->write(bytes, &reason) && !reason.isEmpty())
            toStdout((QStringLiteral("logger. Can't open file for writing: ") + path + QStringLiteral(" (") + reason
                      + QStringLiteral(")\n"))
                         .toUtf8());
    } else {
        // Loggers without a file (no log path configured) share one notice.
        static std::atomic<bool> noPathReported{false};
        if (!noPathReported.exchange(true))
            toStdout(QByteArrayLiteral("logger. Can't open file for writing: (no log file path; standard output only)\n"));
    }
    // Whatever the file took or not, the line is on standard output.
    toStdout(bytes);
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
