// The radio modem back-end in the sender thread of a QORM station: requests queued and the
// status read from another thread while the back-end waits for the modem in nested event loops,
// and the scheduler stopped and started again meanwhile (the port closed and opened again).
#include "DL_sender.h"
#include "SettingsController.h"
#include "SimSerialModem.h"

#include <QPointer>
#include <QTemporaryDir>
#include <QThread>
#include <QtTest>

class TestModemSenderThread : public QObject {
    Q_OBJECT
private slots:
    void requestsFromAnotherThread();
};

void TestModemSenderThread::requestsFromAnotherThread()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    SimSerialModem modem; // answers from this thread's event loop
    modem.knobs().checkByte = true;
    modem.knobs().airTimeMs = 20;
    QVERIFY(modem.openPty());
    QFile f(dir.filePath("station.ini"));
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.write(QStringLiteral("[BASE_STATION]\nBS_TYPE=QORM_TYPE\nBS_ID=1234\nLOG_FILE_PATH=%1\n[TRANSMITTER]\nSEND_DL=true\n"
                           "DIG_MOD=false\nAUTO_CORRECTION=false\n[Comunications]\nPortNum=%2\nBaudeRate=115200\nSLIP_CRC=true\n")
                .arg(dir.filePath("dl.log"), modem.portPath())
                .toUtf8());
    f.close();
    SettingsController settings;
    QVERIFY(settings.initController(dir.filePath("station.ini")));

    auto* sender = new DL_sender(settings, nullptr, nullptr);
    QPointer<DL_sender> alive(sender);
    QThread thread;
    sender->moveToThread(&thread);
    connect(&thread, &QThread::started, sender, &ITransmitter::start);
    connect(&thread, &QThread::finished, sender, &QObject::deleteLater);
    thread.start();

    constexpr int kRequests = 40;
    int typed = 0;
    for (int i = 0; i < kRequests; ++i) {
        auto* m = new dl_message_point;
        m->modem_id = quint32(0x100 + i);
        m->phy = i % 2 ? QStringLiteral("DL_PSK_500") : QStringLiteral("DL_DBPSK_400_PROT_D");
        m->vexa_ver = 5;
        m->freq = 868800000u;
        m->payload_len = 8;
        sender->queueDLMessage(m);
        typed += sender->info().type == QLatin1String("AX8052F143") ? 1 : 0;
        if (i % 10 == 5) {
            QMetaObject::invokeMethod(sender, "stopTransmitter", Qt::QueuedConnection);
            QMetaObject::invokeMethod(sender, "start", Qt::QueuedConnection);
        }
        QTest::qWait(5);
    }
    QVERIFY(typed > 0);
    QTRY_COMPARE_WITH_TIMEOUT(sender->queued(), 0, 60000);
    QVERIFY(modem.receivedCount(0x03) >= kRequests);
    QVERIFY(modem.reboots() >= 1);

    QMetaObject::invokeMethod(sender, "stopTransmitter", Qt::QueuedConnection);
    thread.quit();
    QVERIFY(thread.wait(30000));
    QTRY_VERIFY_WITH_TIMEOUT(alive.isNull(), 10000);
}

QTEST_GUILESS_MAIN(TestModemSenderThread)
#include "tst_modem_sender_thread.moc"
