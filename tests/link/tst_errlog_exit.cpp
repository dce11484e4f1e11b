// A process that opens the alarm log and never closes it must still exit cleanly: the log's
// SQLite connection has to be released before Qt's SQL globals go away.
#include "errlog.h"

#include <QTemporaryDir>
#include <QtTest>

class TestErrlogExit : public QObject {
    Q_OBJECT
private slots:
    void openLogLeftOpenAtExit()
    {
        static QTemporaryDir dir; // outlives the application object, like the station's files
        QVERIFY(dir.isValid());
        errlog& log = errlog::init(dir.filePath(QStringLiteral("errlog.db3")));
        double value = 1.5;
        log.append(errlog::EVENT_START_APP, QDateTime::currentDateTime(), QString(), &value);
        QVERIFY(QFile::exists(dir.filePath(QStringLiteral("errlog.db3"))));
    }
};

QTEST_GUILESS_MAIN(TestErrlogExit)
#include "tst_errlog_exit.moc"
