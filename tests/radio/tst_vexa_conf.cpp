// Parameter records of the radio modem over the link, against the simulated modem: the bytes of
// each setter, the reading of short and refused replies, the tries of setters and getVersion.
#include "SettingsController.h"
#include "SimSerialModem.h"
#include "ax_modem.h"
#include "vexa_conf.h"

#include <QTemporaryDir>
#include <QtTest>

#include <memory>

class tst_vexa_conf : public QObject
{
    Q_OBJECT

    QTemporaryDir dir;
    std::unique_ptr<SimSerialModem> sim;
    std::unique_ptr<SettingsController> settings;
    std::unique_ptr<ax_modem> link;
    std::unique_ptr<vexa_conf> conf;

    bool start()
    {
        conf.reset();
        link.reset();
        sim = std::make_unique<SimSerialModem>();
        sim->knobs().checkByte = true;
        if (!sim->openPty())
            return false;
        const QString ini = dir.filePath(QStringLiteral("station.ini"));
        QFile f(ini);
        if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate))
            return false;
        f.write(QStringLiteral("[Comunications]\nPortNum=%1\nBaudeRate=115200\nSLIP_CRC=true\n").arg(sim->portPath()).toUtf8());
        f.close();
        settings = std::make_unique<SettingsController>();
        if (!settings->initController(ini))
            return false;
        link = std::make_unique<ax_modem>(*settings);
        conf = std::make_unique<vexa_conf>(link.get());
        return link->open();
    }

private slots:
    void init() { QVERIFY(start()); }

    void setters_data()
    {
        QTest::addColumn<QString>("setter");
        QTest::addColumn<QByteArray>("request");
        QTest::newRow("antennas 5 dBm, SMA, FILT") << "ant" << QByteArray::fromHex("45050102000000");
        QTest::newRow("tx 868.8 MHz, -1 dBm, PCB") << "txfreq" << QByteArray::fromHex("4333c8d600ff00");
        QTest::newRow("address: bits above 23 not sent") << "address" << QByteArray::fromHex("46123456000000");
        QTest::newRow("mode transparent, tx 7, rx 10, -5 dBm, 255 retries") << "mode" << QByteArray::fromHex("400300070afbff");
        QTest::newRow("rx 433.92 MHz") << "rxfreq" << QByteArray::fromHex("4419dd18000000");
    }
    void setters()
    {
        QFETCH(QString, setter);
        QFETCH(QByteArray, request);
        bool ok = false;
        if (setter == QLatin1String("ant"))
            ok = conf->setANTLocal(5, vexa_conf::SMA, vexa_conf::FILT);
        else if (setter == QLatin1String("txfreq"))
            ok = conf->setTxFreqLocal(868800000, -1, vexa_conf::PCB);
        else if (setter == QLatin1String("address"))
            ok = conf->setDlAddLocal(0xAB123456);
        else if (setter == QLatin1String("mode"))
            ok = conf->setModeLocal(vexa_conf::TRANSPARENT, vexa_conf::MACK_0, 7, 10, qint8(0xFB), 255);
        else
            ok = conf->setRxFreqLocal(433920000);
        QVERIFY(ok);
        QCOMPARE(sim->receivedCount(0x40), 1);
        QCOMPARE(sim->received().last().toHex(), (QByteArray(1, '\x40') + request).toHex());
        QCOMPARE(sim->record(quint8(request.at(0) & 0x3f)), request.mid(1));
    }

    void reads_data()
    {
        QTest::addColumn<QList<QByteArray>>("replies");
        QTest::addColumn<bool>("ok");
        QTest::addColumn<QByteArray>("data");
        QTest::newRow("two value bytes missing") << QList<QByteArray>{QByteArray::fromHex("8a01020304")} << true
                                                 << QByteArray::fromHex("010203040000");
        QTest::newRow("bit 7 clear fails the try") << QList<QByteArray>{QByteArray::fromHex("0a010203040506")} << false
                                                   << QByteArray();
        QTest::newRow("reply without payload") << QList<QByteArray>{QByteArray()} << false << QByteArray();
    }
    void reads()
    {
        QFETCH(QList<QByteArray>, replies);
        QFETCH(bool, ok);
        QFETCH(QByteArray, data);
        sim->knobs().configScript = replies;
        QByteArray got;
        QCOMPARE(conf->vexaReadConfLocal(7, got), ok);
        QCOMPARE(got.toHex(), data.toHex());
        QCOMPARE(sim->received().last().toHex(), QByteArray("4007000000000000"));
    }

    void setterTriesAgainAfterARefusal()
    {
        sim->knobs().configScript = {QByteArray::fromHex("0a000000000000")};
        QVERIFY(conf->setANTLocal(5, vexa_conf::SMA, vexa_conf::FILT));
        QCOMPARE(sim->receivedCount(0x40), 2);
    }

    // Accepting replies to a record that came after its tries gave up do not answer the next
    // record's request, which the modem refuses.
    void lateReplyAnswersNoOtherRecord()
    {
        sim->knobs().lateMs.insert(0x40, 700); // after all three 200 ms tries
        QVERIFY(!conf->setTxFreqLocal(868800000u, -1, vexa_conf::PCB));
        QTRY_COMPARE_WITH_TIMEOUT(sim->repliesSent(), 3, 10000);
        sim->knobs().lateMs.clear();
        sim->knobs().refuse.insert(6);
        // One more accepting reply is on the line, not yet read, when the request goes out.
        sim->sendUnsolicited(0x40, QByteArray::fromHex("c3000000000000"));
        QVERIFY(!conf->setDlAddLocal(0x123456));
        QCOMPARE(sim->receivedCount(0x40), 6);
    }

    void version_data()
    {
        QTest::addColumn<bool>("silent");
        QTest::newRow("read") << false;
        QTest::newRow("three silent tries leave it untouched") << true;
    }
    void version()
    {
        QFETCH(bool, silent);
        sim->knobs().version = QByteArray::fromHex("05010c0a0302");
        if (silent)
            sim->knobs().silent.insert(0x40);
        vexa_conf::vexa_version_t v;
        v.HARDWARE_ID = 0x77;
        QCOMPARE(conf->getVersion(&v), !silent);
        QCOMPARE(sim->receivedCount(0x40), silent ? 3 : 1);
        if (silent) {
            QCOMPARE(v.HARDWARE_ID, quint8(0x77));
            QCOMPARE(v.VEXA_REV, quint8(0));
        } else {
            const char got[6] = {char(v.VEXA_REV), char(v.VEXA_SUBREV), char(v.CompVersion), char(v.HARDWARE_ID),
                                 char(v.HARDWARE_REV), char(v.BAND_ID)};
            QCOMPARE(QByteArray(got, 6).toHex(), QByteArray("05010c0a0302"));
        }
    }

    // Remote records travel inside downlinks; the answer is a radio message the modem hears.
    void remoteRead()
    {
        ax_modem::Timings t;
        t.remoteWaitMs = 2000;
        link->setTimings(t);
        connect(sim.get(), &SimSerialModem::frameReceived, this, [this](quint8 cmd, const QByteArray&) {
            if (cmd == 0x03)
                sim->sendUnsolicited(0x10, QByteArray::fromHex("0106890102030405"));
        });
        QByteArray data;
        QVERIFY(conf->vexaReadConfRemote(9, data));
        QCOMPARE(data.toHex(), QByteArray("010203040500"));
        QCOMPARE(sim->received().first().toHex(), QByteArray("03800609000000000000"));
    }
};

QTEST_GUILESS_MAIN(tst_vexa_conf)
#include "tst_vexa_conf.moc"
