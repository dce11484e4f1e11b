#include "SystemFileWriter.h"

#include <QFileInfo>
#include <QTemporaryFile>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

namespace {
QString& injectedFailure()
{
    static QString reason;
    return reason;
}

bool fail(QString* error, const QString& text)
{
    if (error)
        *error = text;
    return false;
}

bool& syncFails()
{
    static bool fails = false;
    return fails;
}

int syncToDisk(int fd)
{
    if (syncFails()) {
        errno = EIO;
        return -1;
    }
    return ::fsync(fd);
}

QString lastError()
{
    return QString::fromLocal8Bit(std::strerror(errno));
}

// Writes all of content and syncs it to the disk.
bool writeAndSync(QFileDevice& file, const QByteArray& content, QString* error)
{
    if (file.write(content) != content.size() || !file.flush())
        return fail(error, QStringLiteral("cannot write %1: %2").arg(file.fileName(), file.errorString()));
    if (syncToDisk(file.handle()) != 0)
        return fail(error, QStringLiteral("cannot sync %1: %2").arg(file.fileName(), lastError()));
    return true;
}

std::function<void(const QString&)>& renameHook()
{
    static std::function<void(const QString&)> hook;
    return hook;
}

mode_t defaultMode()
{
    const mode_t mask = ::umask(0);
    ::umask(mask);
    return 0666 & ~mask;
}
} // namespace

void SystemFileWriter::failWritesForTests(const QString& reason)
{
    injectedFailure() = reason;
}

void SystemFileWriter::failSyncsForTests(bool fail)
{
    syncFails() = fail;
}

void SystemFileWriter::beforeRenameForTests(std::function<void(const QString& target)> hook)
{
    renameHook() = std::move(hook);
}

bool SystemFileWriter::write(const QString& path, const QByteArray& content, QString* error, QString* via)
{
    return put(path, content, true, error, via);
}

bool SystemFileWriter::replace(const QString& path, const QByteArray& content, QString* error)
{
    return put(path, content, false, error, nullptr);
}

bool SystemFileWriter::put(const QString& path, const QByteArray& content, bool inPlaceAllowed, QString* error, QString* via)
{
    if (via)
        via->clear();
    if (!injectedFailure().isEmpty())
        return fail(error, injectedFailure());
    QString target = QFileInfo(path).absoluteFilePath();
    const QFileInfo link(target);
    if (link.isSymLink())
        target = link.canonicalFilePath().isEmpty() ? link.symLinkTarget() : link.canonicalFilePath();
    const QFileInfo info(target);
    const QFileInfo folder(info.absolutePath());
    if (!folder.isDir())
        return fail(error, QStringLiteral("no folder %1").arg(folder.filePath()));
    struct stat old {};
    const bool exists = ::stat(QFile::encodeName(target).constData(), &old) == 0;
    if (exists && !S_ISREG(old.st_mode))
        return fail(error, QStringLiteral("%1 is not a regular file").arg(target));

    if (!folder.isWritable() && !inPlaceAllowed)
        return fail(error, QStringLiteral("folder %1 is not writable").arg(folder.filePath()));
    if (!folder.isWritable()) {
        QFile file(target);
        if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
            return fail(error, QStringLiteral("cannot open %1: %2").arg(target, file.errorString()));
        return writeAndSync(file, content, error);
    }

    QTemporaryFile temp(info.absolutePath() + QStringLiteral("/.") + info.fileName() + QStringLiteral(".XXXXXX"));
    if (!temp.open())
        return fail(error, QStringLiteral("cannot create a temporary file beside %1: %2").arg(target, temp.errorString()));
    if (!writeAndSync(temp, content, error))
        return false;
    const mode_t mode = exists ? (old.st_mode & 07777) : defaultMode();
    if (::fchmod(temp.handle(), mode) != 0)
        return fail(error, QStringLiteral("cannot set the mode of %1: %2").arg(temp.fileName(), lastError()));
    // Keeping the owner needs rights the station may not have; the mode is what matters.
    if (exists && (old.st_uid != ::geteuid() || old.st_gid != ::getegid()))
    {
        const int ignored = ::fchown(temp.handle(), old.st_uid, old.st_gid);
        Q_UNUSED(ignored);
    }
    temp.close();
    if (renameHook())
        renameHook()(target);
    if (::rename(QFile::encodeName(temp.fileName()).constData(), QFile::encodeName(target).constData()) != 0)
        return fail(error, QStringLiteral("cannot rename %1 to %2: %3").arg(temp.fileName(), target, lastError()));
    temp.setAutoRemove(false);
    if (via)
        *via = temp.fileName();
    return true;
}
