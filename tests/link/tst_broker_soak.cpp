// Soak of one broker link that saves to disk: 20,000 numbered records fed at about 200 per
// second while the broker closes the connection, its application stops and starts, and its
// process is stopped for longer than the heartbeat timeout. Records reach the save age through
// a test clock while the broker is down, so the backup file holds rows meanwhile. An
// independent consumer (amqp-consume) must see every number at least once; at the end the
// outgoing queue and its backup file are empty.
#include "ManualQueueClock.h"
#include "RecordingHostCommandRunner.h"
#include "TestBroker.h"
#include "messque.h"
#include "rabbit_man.h"

#include <QElapsedTimer>
#include <QHash>
#include <QProcess>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

#include <memory>

namespace {

const int kRecords = 20000;
const int kPerTick = 10;     // every 50 ms: about 200 records per second
const int kTickMs = 50;
const int kHeartbeatSec = 4; // the broker's heartbeat; silence for two of them drops the link
const char* const kExchange = "soak.x";
const char* const kQueue = "soak_q";

} // namespace

class tst_broker_soak : public QObject
{
    Q_OBJECT

private:
    TestBroker broker;
    QTemporaryDir dir;
    ManualQueueClock clock;
    std::unique_ptr<rabbit_man> link;

    QProcess* consumer = nullptr;
    bool consuming = false;
    QByteArray partial;
    QHash<int, int> seen; // sequence number -> times received
    int consumerStarts = 0;

    QTimer feedTimer;
    bool feeding = false;
    int fed = 0;
    QTimer coreTimer; // the core's heartbeat tick, which brings a guarded link back

    QString backupFile() const { return dir.filePath(QStringLiteral("backup.db3")); }

    int backupRows() const
    {
        QProcess p;
        p.start(QStringLiteral("sqlite3"),
                {QStringLiteral("-batch"), backupFile(), QStringLiteral("SELECT count(*) FROM messages;")});
        p.waitForFinished(30000);
        return QString::fromUtf8(p.readAllStandardOutput()).trimmed().toInt();
    }

    void startConsumer()
    {
        if (!consuming)
            return;
        ++consumerStarts;
        consumer = new QProcess(this);
        connect(consumer, &QProcess::readyReadStandardOutput, this, [this] {
            partial += consumer->readAllStandardOutput();
            int nl;
            while ((nl = partial.indexOf('\n')) >= 0) {
                const QByteArray line = partial.left(nl);
                partial.remove(0, nl + 1);
                const int at = line.indexOf("\"seq\":");
                if (at >= 0)
                    ++seen[line.mid(at + 6).split(',').first().toInt()];
            }
        });
        connect(consumer, qOverload<int, QProcess::ExitStatus>(&QProcess::finished), this, [this] {
            consumer->deleteLater();
            consumer = nullptr;
            // The broker dropped it (close, stop): come back as long as the test runs.
            QTimer::singleShot(1000, this, &tst_broker_soak::startConsumer);
        });
        consumer->start(QStringLiteral("amqp-consume"),
                        {QStringLiteral("-u"), broker.url(), QStringLiteral("-q"), QString::fromLatin1(kQueue),
                         QStringLiteral("-p"), QStringLiteral("1000"), QStringLiteral("cat")});
    }

    void stopConsumer()
    {
        consuming = false;
        if (consumer) {
            consumer->disconnect(this);
            consumer->terminate();
            consumer->waitForFinished(5000);
            delete consumer;
            consumer = nullptr;
        }
    }

    bool waitFed(int count, int timeoutMs)
    {
        QElapsedTimer t;
        t.start();
        while (fed < count && t.elapsed() < timeoutMs)
            QTest::qWait(100);
        return fed >= count;
    }

    int missing() const
    {
        int n = 0;
        for (int i = 0; i < kRecords; ++i)
            n += seen.contains(i) ? 0 : 1;
        return n;
    }

private slots:
    void initTestCase()
    {
        QVERIFY(dir.isValid());
        QVERIFY(QDir::setCurrent(dir.path()));
        HostCommandRunner::setDefaultRunner(std::make_shared<RecordingHostCommandRunner>());
        QVERIFY2(broker.start(0, kHeartbeatSec), qPrintable(broker.errorString()));
        QVERIFY(broker.declareTestQueue(QString::fromLatin1(kExchange), QStringLiteral("topic"),
                                        QString::fromLatin1(kQueue), QStringLiteral("soak.#")));
    }

    void cleanupTestCase()
    {
        feedTimer.stop();
        coreTimer.stop();
        stopConsumer();
        link.reset();
        if (broker.isPaused())
            broker.resume();
        broker.stop();
    }

    void soak()
    {
        consuming = true;
        startConsumer();

        link = std::make_unique<rabbit_man>(QStringLiteral("4242"), broker.url(), QString::fromLatin1(kExchange),
                                            QStringLiteral("/"), QStringLiteral("soak.data"), backupFile(),
                                            dir.filePath(QStringLiteral("link.log")), true, false, false, true);
        link->set_main_link(true);
        link->outgoing_queue().setClock(&clock);
        link->logoff(true); // twenty thousand records make a lot of log lines
        link->outgoing_queue().logoff(true);
        QTRY_VERIFY_WITH_TIMEOUT(link->isConnected(), 30000);

        connect(&feedTimer, &QTimer::timeout, this, [this] {
            for (int i = 0; feeding && i < kPerTick && fed < kRecords; ++i, ++fed)
                link->queue_string(QStringLiteral("{\"seq\":%1,\"msg_type\":\"soak\"}\n").arg(fed).toUtf8());
        });
        feedTimer.start(kTickMs);
        connect(&coreTimer, &QTimer::timeout, this, [this] { link->reconnect_if_disconnected(); });
        coreTimer.start(3000);
        feeding = true;

        // 1. The broker closes the connection.
        QVERIFY(waitFed(3000, 120000));
        QVERIFY(broker.closeAllConnections());
        qInfo("connection closed by the broker at record %d", fed);

        // 2. The broker application stops and starts while records are fed, some confirmed and
        // still in the queue; records age into the backup meanwhile.
        QVERIFY(waitFed(6000, 120000));
        QVERIFY(broker.stopApp());
        qInfo("broker application stopped at record %d", fed);
        const int stoppedAt = fed;
        QVERIFY(waitFed(stoppedAt + 1500, 120000));
        QVERIFY(!link->isConnected());
        clock.advance(qint64(messque::kSaveAgeSec + 1) * 1000);
        link->outgoing_queue().saveMain();
        const int rowsWhileDown = backupRows();
        qInfo("backup holds %d rows while the broker is down", rowsWhileDown);
        QVERIFY(rowsWhileDown > 0);
        QVERIFY(waitFed(fed + 500, 60000));
        QVERIFY(broker.startApp());
        qInfo("broker application started at record %d", fed);

        // 3. The broker process says nothing for longer than the heartbeat timeout.
        QVERIFY(waitFed(12000, 180000));
        QVERIFY(broker.pause());
        qInfo("broker process stopped at record %d", fed);
        QTest::qWait((3 * kHeartbeatSec + 3) * 1000);
        QVERIFY(broker.resume());
        qInfo("broker process resumed at record %d", fed);

        QVERIFY(waitFed(kRecords, 300000));
        // Under load the last records trail the feed by minutes; the wait is still bounded.
        QTRY_VERIFY_WITH_TIMEOUT(missing() == 0, 600000);
        QTRY_VERIFY_WITH_TIMEOUT(link->outgoing_queue().size() == 0 && backupRows() == 0, 120000);

        int twice = 0;
        for (auto it = seen.cbegin(); it != seen.cend(); ++it)
            twice += it.value() > 1 ? 1 : 0;
        qInfo("records: %d fed, %d distinct received, %d arrived more than once; consumer started %d times",
              fed, int(seen.size()), twice, consumerStarts);
        QCOMPARE(missing(), 0);
    }
};

QTEST_GUILESS_MAIN(tst_broker_soak)
#include "tst_broker_soak.moc"
