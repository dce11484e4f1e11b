#include "LogWriter.h"

#include <QFile>
#include <QHash>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const qint64 kRecheckMs = 1000;

qint64 monotonicMs()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC_COARSE, &ts);
    return qint64(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

std::mutex& registryMutex()
{
    static std::mutex m;
    return m;
}

QHash<QString, std::weak_ptr<LogWriter>>& registry()
{
    static QHash<QString, std::weak_ptr<LogWriter>> writers;
    return writers;
}

} // namespace

std::shared_ptr<LogWriter> LogWriter::forPath(const QString& path)
{
    std::lock_guard<std::mutex> lock(registryMutex());
    auto& writers = registry();
    std::shared_ptr<LogWriter> writer = writers.value(path).lock();
    if (!writer) {
        writer = std::make_shared<LogWriter>(path);
        writers.insert(path, writer);
    }
    return writer;
}

LogWriter::LogWriter(const QString& path) : path_(path), localPath_(QFile::encodeName(path)) {}

LogWriter::~LogWriter()
{
    if (fd_ >= 0)
        ::close(fd_);
}

bool LogWriter::openFile()
{
    if (fd_ >= 0)
        ::close(fd_);
    fd_ = -1;
    openErrno_ = ENOENT;
    if (localPath_.isEmpty())
        return false;
    fd_ = ::open(localPath_.constData(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd_ < 0) {
        openErrno_ = errno;
        return false;
    }
    struct stat st{};
    if (::fstat(fd_, &st) != 0 || !S_ISREG(st.st_mode)) {
        // A folder or a device at the path.
        openErrno_ = S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
        ::close(fd_);
        fd_ = -1;
        return false;
    }
    checkedMs_ = monotonicMs();
    return true;
}

// The path no longer names the open file: it was rotated away or deleted.
bool LogWriter::fileReplaced() const
{
    struct stat byPath{};
    struct stat open{};
    if (::stat(localPath_.constData(), &byPath) != 0)
        return true;
    if (::fstat(fd_, &open) != 0)
        return true;
    return byPath.st_dev != open.st_dev || byPath.st_ino != open.st_ino;
}

bool LogWriter::write(const QByteArray& bytes, QString* report)
{
    std::lock_guard<std::mutex> lock(mutex_);
    auto fail = [this, report](int error) {
        if (error != reportedErrno_ && report)
            *report = QString::fromLocal8Bit(std::strerror(error));
        reportedErrno_ = error;
        return false;
    };
    if (fd_ < 0) {
        if (!openFile())
            return fail(openErrno_);
    } else {
        const qint64 now = monotonicMs();
        if (now - checkedMs_ >= kRecheckMs) {
            checkedMs_ = now;
            if (fileReplaced() && !openFile())
                return fail(openErrno_);
        }
    }
    const char* data = bytes.constData();
    qint64 left = bytes.size();
    while (left > 0) {
        const ssize_t n = ::write(fd_, data, size_t(left));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return fail(errno);
        }
        data += n;
        left -= n;
    }
    reportedErrno_ = 0;
    return true;
}
