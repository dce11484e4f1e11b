#pragma once

#include <QByteArray>
#include <QString>

#include <memory>
#include <mutex>

// The one writer of a log file, shared by every logger that writes to that path, so lines of
// different objects keep their order and the file is opened once: an O_APPEND descriptor that
// is opened again (checked at most once a second) when the file was moved away or deleted, so
// log rotation keeps working. Safe from any thread.
class LogWriter
{
public:
    // The writer of `path`, made on first use; it lives while any logger holds it.
    static std::shared_ptr<LogWriter> forPath(const QString& path);

    explicit LogWriter(const QString& path);
    ~LogWriter();
    LogWriter(const LogWriter&) = delete;
    LogWriter& operator=(const LogWriter&) = delete;

    // Appends the bytes; false when the file cannot be opened or written. On a failure whose
    // cause differs from the previous one (none after a success), *report gets the system's
    // reason, so each cause is told once however many lines fail.
    bool write(const QByteArray& bytes, QString* report = nullptr);

private:
    bool openFile();
    bool fileReplaced() const;

    const QString path_;
    const QByteArray localPath_;
    std::mutex mutex_;
    int fd_ = -1;
    qint64 checkedMs_ = 0; // monotonic time of the last check for a moved file
    int openErrno_ = 0;     // why the last openFile() failed
    int reportedErrno_ = 0; // cause of the current run of failures, 0 while writes succeed
};
