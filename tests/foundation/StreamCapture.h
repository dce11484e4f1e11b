#pragma once

#include <QByteArray>
#include <QFile>
#include <QString>

#include <cstdio>
#include <unistd.h>

// Sends one standard stream of the process (stdout or stderr) into a file while it lives, at
// the descriptor level, so that writes that bypass std::cout are caught too.
class StreamCapture {
public:
    StreamCapture(FILE* stream, const QString& path) : stream_(stream), fd_(fileno(stream)), path_(path)
    {
        std::fflush(stream_);
        saved_ = dup(fd_);
        FILE* f = std::fopen(path.toLocal8Bit().constData(), "w");
        dup2(fileno(f), fd_);
        std::fclose(f);
    }
    ~StreamCapture() { restore(); }
    StreamCapture(const StreamCapture&) = delete;
    StreamCapture& operator=(const StreamCapture&) = delete;

    // Ends the capture and returns what was written.
    QByteArray text()
    {
        restore();
        QFile f(path_);
        f.open(QIODevice::ReadOnly);
        return f.readAll();
    }

private:
    void restore()
    {
        if (saved_ < 0)
            return;
        std::fflush(stream_);
        dup2(saved_, fd_);
        close(saved_);
        saved_ = -1;
    }

    FILE* stream_;
    int fd_;
    QString path_;
    int saved_ = -1;
};
