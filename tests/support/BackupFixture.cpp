#include "BackupFixture.h"

#include <QDebug>
#include <QFile>
#include <QProcess>
#include <QRandomGenerator>

namespace BackupFixture {

namespace {
// SQLite reads the pages a file cut short still has only with this set.
const char* const kReadWhatIsThere = "PRAGMA writable_schema = ON;\n";

QString quoted(const QString& text)
{
    QString q = text;
    q.replace(QLatin1Char('\''), QStringLiteral("''"));
    return QLatin1Char('\'') + q + QLatin1Char('\'');
}
} // namespace

namespace {
// Errors on stderr are warnings, except where they are expected (reading a damaged file).
QString run(const QString& file, const QString& sql, bool warn)
{
    QProcess p;
    p.start(QStringLiteral("sqlite3"), {QStringLiteral("-batch"), file});
    if (!p.waitForStarted())
        return QStringLiteral("<sqlite3 missing>");
    p.write(sql.toUtf8());
    p.closeWriteChannel();
    if (!p.waitForFinished(60000))
        p.kill();
    const QByteArray err = p.readAllStandardError();
    if (warn && !err.isEmpty())
        qWarning() << "sqlite3:" << err.left(400);
    return QString::fromUtf8(p.readAllStandardOutput()).trimmed();
}
} // namespace

QString sqlite(const QString& file, const QString& sql)
{
    return run(file, sql, true);
}

bool write(const QString& file, const QStringList& texts)
{
    QFile::remove(file);
    QString sql = QStringLiteral("CREATE TABLE messages (ID int PRIMARY KEY, STATE int, DT datetime, STR text);\n"
                                 "BEGIN;\n");
    for (int i = 0; i < texts.size(); ++i) {
        sql += QStringLiteral("INSERT INTO messages VALUES(%1, 0, '2024-04-30 10:00:00.000', %2);\n")
                   .arg(i + 1)
                   .arg(quoted(texts.at(i)));
    }
    sql += QStringLiteral("COMMIT;\nSELECT count(*) FROM messages;\n");
    return sqlite(file, sql) == QString::number(texts.size());
}

bool overwritePages(const QString& file, const QList<int>& pages)
{
    const int pageSize = sqlite(file, QStringLiteral("PRAGMA page_size;")).toInt();
    QFile f(file);
    if (pageSize <= 0 || !f.open(QIODevice::ReadWrite))
        return false;
    QRandomGenerator random(20240501);
    for (int page : pages) {
        QByteArray bytes(pageSize, Qt::Uninitialized);
        for (char& b : bytes)
            b = char(random.generate() & 0xff);
        if (page < 2 || !f.seek(qint64(page - 1) * pageSize) || f.write(bytes) != pageSize)
            return false;
    }
    return true;
}

bool damageIndex(const QString& file)
{
    const int root = sqlite(file, QStringLiteral("SELECT rootpage FROM sqlite_master WHERE type = 'index';")).toInt();
    return root > 1 && overwritePages(file, {root});
}

bool truncateMidPage(const QString& file)
{
    QFile f(file);
    return f.size() > 8192 && f.resize(f.size() * 2 / 3 + 1000);
}

bool overwriteHead(const QString& file, int bytes)
{
    QFile f(file);
    if (f.size() < bytes || !f.open(QIODevice::ReadWrite))
        return false;
    QRandomGenerator random(20240502);
    QByteArray head(bytes, Qt::Uninitialized);
    for (char& b : head)
        b = char(random.generate() & 0xff);
    return f.write(head) == bytes;
}

QSet<QString> readableTexts(const QString& file, int maxRowid)
{
    QString script = QString::fromLatin1(kReadWhatIsThere);
    for (int i = 1; i <= maxRowid; ++i) {
        script += QStringLiteral("SELECT STR FROM messages WHERE rowid = %1 "
                                 "AND typeof(ID) = 'integer' AND length(STR) > 0;\n")
                      .arg(i);
    }
    const QStringList lines = run(file, script, false).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    return QSet<QString>(lines.begin(), lines.end());
}

} // namespace BackupFixture
