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
    static bool write(const QString& path, const QByteArray& content, QString* error = nullptr);

    // Tests: makes every write fail with this text until cleared (an empty text).
    static void failWritesForTests(const QString& reason);
};
