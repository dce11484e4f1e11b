#pragma once

#include <QList>
#include <QSet>
#include <QString>
#include <QStringList>

// Outgoing-queue backup files made and damaged in place, and what SQLite can still read of
// them, all through the sqlite3 command-line tool (independent of the station's own SQL).
namespace BackupFixture {

// Runs SQL through sqlite3; its output, rows '|'-separated, one per line.
QString sqlite(const QString& file, const QString& sql);

// A backup whose rows 1..texts.size() wait (STATE 0) with these texts, in this order.
bool write(const QString& file, const QStringList& texts);

// Ways to damage a file: whole pages (numbered from 1) overwritten with bytes from a fixed
// seed; the root page of the ID index overwritten; the file cut in the middle of a page.
bool overwritePages(const QString& file, const QList<int>& pages);
bool damageIndex(const QString& file);
bool truncateMidPage(const QString& file);
// The first `bytes` bytes (the file header, and with more the schema) overwritten likewise.
bool overwriteHead(const QString& file, int bytes);

// The texts of the usable rows (integer ID, non-empty text) that SQLite can still read, looked
// up one rowid at a time from 1 to maxRowid.
QSet<QString> readableTexts(const QString& file, int maxRowid);

} // namespace BackupFixture
