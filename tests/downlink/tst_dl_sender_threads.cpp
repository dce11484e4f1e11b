// The scheduler across threads: one thread queues requests and reads the status record while
// the sender thread ticks and is stopped and restarted over and over.
#include "DL_sender.h"
#include "FakeBackend.h"
#include "SettingsController.h"

#include <QPointer>
#include <QTemporaryDir>
#include <QThread>
#include <QtTest>

#include <atomic>
#include <thread>

class TestDlSenderThreads : public QObject {
    Q_OBJECT
private slots:
    void queueAndInfoWhileTickingAndRestarting();
};

void TestDlSenderThreads::queueAndInfoWhileTickingAndRestarting()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    QFile f(dir.filePath("station.ini"));
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.write(QStringLiteral("[BASE_STATION]\nBS_TYPE=QORM_TYPE\nBS_ID=1234\nLOG_FILE_PATH=%1\n[TRANSMITTER]\nSEND_DL=true\nDIG_MOD=true\nAUTO_CORRECTION=true\n")
                .arg(dir.filePath("dl.log"))
                .toUtf8());
    f.close();
    SettingsController settings;
    QVERIFY(settings.initController(dir.filePath("station.ini")));

    // Back-ends are made and used only in the sender thread.
    std::atomic<int> sent{0};
    DownlinkBackendFactory factory = [&sent](DownlinkSlot slot, const DownlinkBackendContext&) -> std::unique_ptr<IVexaTransmitter> {
        if (slot != DownlinkSlot::DigModulator)
            return nullptr;
        auto b = std::make_unique<FakeBackend>();
        b->during_send = [&sent] { ++sent; };
        return b;
    };
    auto* sender = new DL_sender(settings, nullptr, nullptr, factory);
    sender->logoff(true);
    QPointer<DL_sender> alive(sender);
    QThread thread;
    sender->moveToThread(&thread);
    connect(&thread, &QThread::started, sender, &ITransmitter::start);
    connect(&thread, &QThread::finished, sender, &QObject::deleteLater);
    thread.start();

    constexpr int kRequests = 3000;
    std::atomic<bool> producing{true};
    std::atomic<int> infos{0};
    std::thread producer([&] {
        for (int i = 0; i < kRequests; ++i) {
            auto* m = new dl_message_point;
            m->modem_id = quint32(i);
            m->phy = i % 2 ? QStringLiteral("DL_DBPSK_400_PROT_D") : QStringLiteral("DL_DBPSK_3200_PROT_E");
            m->priority = dl_message_point::DLPriority(i % 4);
            sender->queueDLMessage(m);
            const transmitter_info t = sender->info();
            if (t.active)
                ++infos;
        }
        producing = false;
    });
    while (producing) {
        QMetaObject::invokeMethod(sender, "stopTransmitter", Qt::QueuedConnection);
        QMetaObject::invokeMethod(sender, "send_corr_message", Qt::QueuedConnection);
        QMetaObject::invokeMethod(sender, "start", Qt::QueuedConnection);
        QTest::qWait(2);
    }
    producer.join();
    QCOMPARE(infos.load(), kRequests);
    QTRY_COMPARE_WITH_TIMEOUT(sender->queued(), 0, 60000);
    QCOMPARE(sent.load(), kRequests);

    QMetaObject::invokeMethod(sender, "stopTransmitter", Qt::QueuedConnection);
    thread.quit();
    QVERIFY(thread.wait(30000));
    QTRY_VERIFY_WITH_TIMEOUT(alive.isNull(), 5000);
}

QTEST_GUILESS_MAIN(TestDlSenderThreads)
#include "tst_dl_sender_threads.moc"
