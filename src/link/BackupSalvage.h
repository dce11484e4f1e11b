#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

class QSqlError;

// What can still be read from a damaged backup file of an outgoing queue.
//
// A damaged page stops a plain table scan at the first bad page, and a damaged index breaks
// every query ordered by ID. The salvage reads the table by rowid only, from both ends, and
// seeks past each unreadable stretch, so the rows on every page SQLite can still read come back.
class BackupSalvage
{
public:
    struct Row
    {
        quint32 id = 0;
        int state = 0;
        QString dt;       // as stored
        QByteArray text;
    };

    // True when SQLite says the file itself is damaged: "database disk image is malformed"
    // (SQLITE_CORRUPT) or "file is not a database" (SQLITE_NOTADB). Locks, constraints, a full
    // disk and I/O errors are not damage.
    static bool isDamage(const QSqlError& error);

    // Every readable row of the messages table, each once, in rowid order. Rows without a
    // usable ID or text are left out, as a restore would skip them. `note` gets a one-line
    // account (rows read, rows left out, unreadable stretches). *readable is false when SQLite
    // could not read the table at all (a damaged header or schema).
    static QList<Row> readRows(const QString& file, QString* note = nullptr, bool* readable = nullptr);

    // For a file SQLite cannot read at all: the rows that the file's table leaf pages still
    // point to, read by the shape SQLite stores a row in (ID, STATE, DT, STR), and kept only
    // when the record lies whole on its page and its text is a record (isRecordText). Deleted
    // rows (free space of a page) stay behind; a row stored twice (a page the tree left behind)
    // comes back once. Ordered by ID.
    static QList<Row> scanRecords(const QString& file, QString* note = nullptr);
    // The same on the file's bytes; *copies counts the rows left out as stored twice.
    static QList<Row> scanRecords(const QByteArray& bytes, int* copies = nullptr);

    // Whether a text is a record the queue may publish: a JSON object that parses (and that
    // the repeated-key check passes), or a binary envelope that decodes.
    static bool isRecordText(const QByteArray& text);
    // Length and first bytes in hex of a text that is not a record, for the log.
    static QString describe(const QByteArray& text);
};
