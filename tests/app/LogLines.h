#pragma once

#include <QByteArray>
#include <QList>

// The lines of text that hold any of the marks, each with its line end. A station's threads
// write lines at any time (the reader's start-up, the hopping check, the links): a test that
// measures what its own action left in a log or on standard output keeps only the lines that
// name that action, never every byte written meanwhile.
inline QByteArray linesNaming(const QByteArray& text, const QList<QByteArray>& marks)
{
    QByteArray out;
    for (const QByteArray& line : text.split('\n')) {
        for (const QByteArray& mark : marks) {
            if (line.contains(mark)) {
                out += line + '\n';
                break;
            }
        }
    }
    return out;
}
