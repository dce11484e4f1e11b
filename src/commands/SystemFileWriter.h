#pragma once

#include <QByteArray>
#include <QString>

#include <functional>

// Replaces the whole content of a file so that a failure never leaves it half-written: a
// temporary file beside the target (symlinks resolved) is created exclusively, written and
// synced with every error checked, given the old mode (and owner, where the process may) and
// renamed over the target. Where the folder is not writable (a station without root rights
// that uses sudo for its system actions) the file is rewritten in place instead: truncated,
// written and synced, every error checked. A new file gets the process's default mode.
class SystemFileWriter {
public:
    // False with *error set when the content did not reach the file; the target is then as it was
    // (in place: as far as the failed write got).
    // *via: the temporary file renamed over the target (empty when rewritten in place).
    static bool write(const QString& path, const QByteArray& content, QString* error = nullptr, QString* via = nullptr);
    // The same without the in-place fallback: where no temporary file can be made beside the
    // target or renamed over it, the write fails and the target stays byte for byte as it was.
    // For files a half-finished rewrite would break, such as the station's own INI file.
    static bool replace(const QString& path, const QByteArray& content, QString* error = nullptr);

    // Tests: makes every write fail with this text until cleared (an empty text).
    static void failWritesForTests(const QString& reason);
    // Tests: makes every sync of a written file fail with EIO, as a disk that lost the data
    // would, until cleared (false).
    static void failSyncsForTests(bool fail);
    // Tests: called with the target just before the temporary file is renamed over it, to change
    // the target in that gap (null: nothing).
    static void beforeRenameForTests(std::function<void(const QString& target)> hook);

private:
    static bool put(const QString& path, const QByteArray& content, bool inPlaceAllowed, QString* error, QString* via);
};
