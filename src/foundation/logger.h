#pragma once

#include "levent.h"

#include <QByteArray>
#include <QString>

#include <atomic>
#include <memory>
#include <mutex>

class LogWriter;

// Mix-in of the station's long-lived services: every value streamed into the object is
// appended to its log file and echoed to standard output, as text, with nothing added (callers
// write their own time prefix and line end). Not a QObject.
class logger {
public:
    explicit logger(const QString& path = QString());
    virtual ~logger();

    logger(const logger&) = delete;
    logger& operator=(const logger&) = delete;

    // Replaces the log file; safe while other threads stream values into this object.
    void setLogpath(const QString& path);
    QString getLogpath() const;

    // While into is set, streamed text is also appended to *into, and written to the file and
    // standard output only when pass_through is true; null ends it. For a caller that decides
    // after the fact whether lines it has seen before are worth writing again.
    void capture(QString* into, bool pass_through);

    // When true, streamed values are dropped (event-log records still go out).
    void logoff(bool off);
    bool isLogOff() const;
    // False when logging is off: callers skip formatting lines nobody will see.
    bool logging() const { return !log_off_fast_.load(std::memory_order_relaxed); }

    logger& operator<<(const char* value);
    logger& operator<<(const QString& value);
    logger& operator<<(const QByteArray& value);
    logger& operator<<(char value);
    logger& operator<<(unsigned char value);
    logger& operator<<(bool value);
    logger& operator<<(short value);
    logger& operator<<(int value);
    logger& operator<<(unsigned int value);
    logger& operator<<(long value);
    logger& operator<<(unsigned long value);
    logger& operator<<(long long value);
    logger& operator<<(unsigned long long value);
    logger& operator<<(float value);
    logger& operator<<(double value);

    logger& operator<<(const levent& event);

private:
    void put(const QString& text);

    QString logpath;
    bool log_off = false;
    QString* capture_ = nullptr;
    bool capture_through_ = true;
    std::atomic<bool> log_off_fast_{false}; // a copy of log_off read without the lock, for logging()
    std::shared_ptr<LogWriter> writer_;
    mutable std::mutex mutFile_;
};
