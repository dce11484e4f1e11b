// The radio modem back-end against the simulated modem on a pseudo-terminal: which records and
// frames each path writes, what it remembers and forgets, its failures with their log lines and
// reboots, the autocorrection exchange, the supported phys, and a port that does not open.
#include "AX8052f143Transmitter.h"
#include "ManualStationClock.h"
#include "SettingsController.h"
#include "SimSerialModem.h"

#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

namespace {

dl_message_point request(const QString& phy, quint32 ver, quint32 modemId = 0x6E0C22, quint8 strength = 10,
                         quint32 freq = 868800000u)
{
    dl_message_point m;
    m.phy = phy;
    m.vexa_ver = ver;
    m.strength = strength;
    m.freq = freq;
    m.modem_id = modemId;
    m.iterator = 37;
    m.f_ack = 1;
    m.preambula = 0xA1B2C3D4;
    m.crypto_iter = 0x107;
    m.crypto_flags = 3;
    m.crypto_mic = 0x12ABCDEF;
    m.payload_len = 9;
    for (int i = 0; i < 9; ++i)
        m.payload[i] = quint8(i + 1);
    return m;
}

// A step of a script: "auto" runs an autocorrection; otherwise "phy/ver[/id hex[/strength[/freq]]]".
dl_message_point parseStep(const QString& step)
{
    const QStringList p = step.split(QLatin1Char('/'));
    dl_message_point m = request(p.value(0), p.value(1).toUInt());
    if (p.size() > 2)
        m.modem_id = p.at(2).toUInt(nullptr, 16);
    if (p.size() > 3)
        m.strength = quint8(p.at(3).toUInt());
    if (p.size() > 4)
        m.freq = p.at(4).toUInt();
    return m;
}

} // namespace

class tst_ax8052f143_transmitter : public QObject
{
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> dir;
    std::unique_ptr<SimSerialModem> sim;
    std::unique_ptr<SettingsController> settings;
    std::shared_ptr<ManualStationClock> clock;
    std::unique_ptr<AX8052f143Transmitter> tx;
    int seen = 0; // frames of the simulator already looked at

    bool writeIni(const QString& port, bool crc)
    {
        QFile f(dir->filePath(QStringLiteral("station.ini")));
        if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate))
            return false;
        f.write(QStringLiteral("[Comunications]\nPortNum=%1\nBaudeRate=115200\nSLIP_CRC=%2\n")
                    .arg(port, crc ? QStringLiteral("true") : QStringLiteral("false"))
                    .toUtf8());
        f.close();
        settings = std::make_unique<SettingsController>();
        return settings->initController(f.fileName());
    }

    void makeBackend()
    {
        tx = std::make_unique<AX8052f143Transmitter>(*settings, nullptr, nullptr, clock);
        tx->setLogpath(dir->filePath(QStringLiteral("dl.log")));
        AX8052f143Transmitter::Timings t;
        t.sentWaitMs = 1500;
        t.autocorrWaitMs = 2000;
        tx->setTimings(t);
    }

    // A fresh simulator and a back-end opened on it.
    bool start(bool crc = true)
    {
        tx.reset();
        AX8052f143Transmitter::forgetConfiguration();
        ax_modem::resetPollCounter();
        dir = std::make_unique<QTemporaryDir>();
        clock = std::make_shared<ManualStationClock>();
        sim = std::make_unique<SimSerialModem>();
        sim->knobs().checkByte = crc;
        seen = 0;
        if (!sim->openPty() || !writeIni(sim->portPath(), crc))
            return false;
        makeBackend();
        return tx->link().isOpen();
    }

    QString log() const
    {
        QFile f(dir->filePath(QStringLiteral("dl.log")));
        return f.open(QIODevice::ReadOnly) ? QString::fromUtf8(f.readAll()) : QString();
    }

    // The frames the modem got since the last call, as tokens: wN / rN a record written or
    // read, dl a downlink, id, f frequency, corr, echo. Queue polls are left out (their number
    // depends on timing).
    QStringList newTokens(QList<QByteArray>* downlinks = nullptr)
    {
        QStringList out;
        const QList<QByteArray>& all = sim->received();
        for (; seen < all.size(); ++seen) {
            const QByteArray& f = all.at(seen);
            const quint8 cmd = quint8(f.at(0));
            switch (cmd) {
            case 0x40: {
                const quint8 first = f.size() > 1 ? quint8(f.at(1)) : 0;
                out << QStringLiteral("%1%2").arg(first & 0x40 ? 'w' : 'r').arg(first & 0x3F);
                break;
            }
            case 0x03:
                out << QStringLiteral("dl");
                if (downlinks)
                    downlinks->append(f.mid(1));
                break;
            case 0x09: out << QStringLiteral("id"); break;
            case 0x05: out << QStringLiteral("f"); break;
            case 0x08: out << QStringLiteral("corr"); break;
            case 0x00: out << QStringLiteral("echo"); break;
            default: break;
            }
        }
        return out;
    }

    bool runStep(const QString& step)
    {
        if (step == QLatin1String("auto"))
            return tx->sendAutocorr(0, 867800000u, 5);
        dl_message_point m = parseStep(step);
        return tx->sendDLMessage(&m, 0.0);
    }

private slots:
    void phyNames_data()
    {
        QTest::addColumn<QString>("phy");
        QTest::addColumn<bool>("supported");
        for (const char* n : {"DL_PSK_200", "DL_PSK_FASTDL", "DL_DBPSK_400_PROT_D", "DL_DBPSK_3200_PROT_E", "UL_PSK_500"})
            QTest::newRow(n) << QString(n) << true;
        // Names outside the phy tables too: a version-0 request goes out in PSK 200 whatever
        // its phy (the scheduler keeps the others back).
        QTest::newRow("100H has no name") << "DL_DBPSK_100H_PROT_D" << true;
        QTest::newRow("misspelt") << "DL_PSK_2OO" << true;
        QTest::newRow("wrong case") << "dl_psk_200" << true;
        QTest::newRow("empty") << "" << true;
    }
    void phyNames()
    {
        QFETCH(QString, phy);
        QFETCH(bool, supported);
        QVERIFY(start());
        QCOMPARE(tx->is_phy_supported(phy), supported);
    }

    void paths_data()
    {
        QTest::addColumn<QStringList>("steps");
        QTest::addColumn<QString>("tokens");
        QTest::addColumn<bool>("polls"); // whether the modem's queue was asked
        QTest::newRow("D v4 dropped, nothing sent") << QStringList{"DL_DBPSK_400_PROT_D/4"} << "" << false;
        QTest::newRow("D v5: mode every time, frequency once")
            << QStringList{"DL_DBPSK_400_PROT_D/5", "DL_DBPSK_400_PROT_D/5"} << "w0 w3 dl w0 dl" << true;
        QTest::newRow("D v5 at 25600 does not poll the queue") << QStringList{"DL_DBPSK_25600_PROT_D/5"} << "w0 w3 dl" << false;
        QTest::newRow("E on the header path, mode every time")
            << QStringList{"DL_DBPSK_400_PROT_E/5", "DL_DBPSK_400_PROT_E/5"} << "w0 w6 w3 dl w0 dl" << true;
        QTest::newRow("unknown phy name on the header path") << QStringList{"DL_SOMETHING/1"} << "w0 w6 w3 dl" << true;
        QTest::newRow("PSK version 0 writes everything every time")
            << QStringList{"DL_PSK_500/0", "DL_PSK_500/0"} << "w0 w6 w3 dl w0 w6 w3 dl" << true;
        QTest::newRow("PSK remembered: identical request writes nothing")
            << QStringList{"DL_PSK_500/1", "DL_PSK_500/1"} << "w0 w6 w3 dl dl" << true;
        QTest::newRow("PSK: another power rewrites the mode only")
            << QStringList{"DL_PSK_500/1", "DL_PSK_500/1/6E0C22/11"} << "w0 w6 w3 dl w0 dl" << true;
        QTest::newRow("PSK: another modem rewrites the address only")
            << QStringList{"DL_PSK_500/1", "DL_PSK_500/1/123456"} << "w0 w6 w3 dl w6 dl" << true;
        QTest::newRow("after an autocorrection all three, then none")
            << QStringList{"DL_PSK_500/1", "auto", "DL_PSK_500/1", "DL_PSK_500/1"}
            << "w0 w6 w3 dl id r10 w5 f corr w0 w6 w3 dl dl" << true;
        QTest::newRow("version 0 leaves the autocorrection mark for the next")
            << QStringList{"DL_PSK_500/1", "auto", "DL_PSK_500/0", "DL_PSK_500/1"}
            << "w0 w6 w3 dl id r10 w5 f corr w0 w6 w3 dl w0 w6 w3 dl" << true;
        QTest::newRow("first request for modem 0 writes no address") << QStringList{"DL_PSK_200/1/0"} << "w0 w3 dl" << true;
        QTest::newRow("the two paths remember apart")
            << QStringList{"DL_PSK_500/1", "DL_DBPSK_400_PROT_D/5", "DL_PSK_500/1"} << "w0 w6 w3 dl w0 w3 dl dl" << true;
    }
    void paths()
    {
        QFETCH(QStringList, steps);
        QFETCH(QString, tokens);
        QFETCH(bool, polls);
        QVERIFY(start());
        for (const QString& step : steps)
            QVERIFY2(runStep(step), qPrintable(step + "\n" + log()));
        QCOMPARE(newTokens().join(' '), tokens);
        QCOMPARE(sim->receivedCount(0x21) > 0, polls);
        QTRY_COMPARE_WITH_TIMEOUT(sim->reboots(), 1, 5000); // the boot-loader byte after opening only
        QTest::qWait(20);
        QCOMPARE(sim->reboots(), 1);
    }

    void framesOnTheWire_data()
    {
        QTest::addColumn<QString>("step");
        QTest::addColumn<QString>("frame");
        QTest::addColumn<QString>("mode");
        // preamble, crypto iterator and flags (low bytes), payload 0..7, MIC low 24 bits
        QTest::newRow("D v5 body") << "DL_DBPSK_3200_PROT_D/5" << "a1b2c3d407030102030405060708abcdef"
                                   << "03010cff0aff";
        QTest::newRow("PSK: header then payload") << "DL_PSK_5000/1" << "45010203040506070809" << "03011bff0aff";
        QTest::newRow("strength FB is -5 dBm") << "DL_PSK_500/1/6E0C22/251" << "45010203040506070809" << "030119fffbff";
        QTest::newRow("version 0: UL_PSK_200, -1 dBm") << "DL_PSK_500/0" << "45010203040506070809" << "030116ffffff";
        QTest::newRow("version 0, empty phy: the same") << "/0" << "45010203040506070809" << "030116ffffff";
        QTest::newRow("E: mode of its UL code") << "DL_DBPSK_400_PROT_E/5" << "45010203040506070809" << "03011fff0aff";
    }
    void framesOnTheWire()
    {
        QFETCH(QString, step);
        QFETCH(QString, frame);
        QFETCH(QString, mode);
        QVERIFY(start());
        QVERIFY(runStep(step));
        QList<QByteArray> downlinks;
        newTokens(&downlinks);
        QCOMPARE(downlinks.size(), 1);
        QCOMPARE(QString::fromLatin1(downlinks.at(0).toHex()), frame);
        QCOMPARE(QString::fromLatin1(sim->record(0).toHex()), mode);
    }

    void logLines_data()
    {
        QTest::addColumn<QString>("step");
        QTest::addColumn<QString>("lines");
        QTest::newRow("D v4") << "DL_DBPSK_400_PROT_D/4" << " Send Zadar4 DL message by ax8052f143 unsupported\n";
        QTest::newRow("D v5")
            << "DL_DBPSK_400_PROT_D/5"
            << " Send Zadov5 DL message by ax8052f143 to ID: 6E0C22 IT: 5 FREQ: 868800000 PHY: DL_DBPSK_400_PROT_D "
               "PWR:10 PLD: 0102030405060708\n|"
               " Send Zadov5 DL message by ax8052f143 successful\n";
        QTest::newRow("remembering, strength FB")
            << "DL_PSK_500/1/ABC/251"
            << " Send Vexa DL message to ID: ABC IT: 5 FREQ: 868800000 CORR: 0 PHY: DL_PSK_500 PWR:251 PLD: "
               "45010203040506070809\n|"
               " Successfully sent DL message to ID: ABC\n";
        QTest::newRow("version 0") << "DL_PSK_500/0/ABC"
                                   << " Send DL message to ID: ABC FREQ: 868800000 PHY: DL_PSK_500 PWR:10 PLD: "
                                      "45010203040506070809\n| Successfully sent DL message to ID: ABC\n";
    }
    void logLines()
    {
        QFETCH(QString, step);
        QFETCH(QString, lines);
        QVERIFY(start());
        QVERIFY(runStep(step));
        const QString text = log();
        for (const QString& line : lines.split('|'))
            QVERIFY2(text.count(line) == 1, qPrintable(line + "\n--- in ---\n" + text));
    }

    void carrierRecord_data()
    {
        QTest::addColumn<uint>("freq");
        QTest::addColumn<double>("corr");
        QTest::addColumn<uint>("carrier");
        QTest::addColumn<int>("antenna");
        QTest::newRow("599999999: PCB") << 599999999u << 0.0 << 599999999u << 0;
        QTest::newRow("600000000: SMA") << 600000000u << 0.0 << 600000000u << 1;
        QTest::newRow("863000000: SMA") << 863000000u << 0.0 << 863000000u << 1;
        QTest::newRow("863000001: FILT") << 863000001u << 0.0 << 863000001u << 2;
        QTest::newRow("864999999: FILT") << 864999999u << 0.0 << 864999999u << 2;
        QTest::newRow("865000000: SMA") << 865000000u << 0.0 << 865000000u << 1;
        QTest::newRow("correction 100.9 adds 100") << 868800000u << 100.9 << 868800100u << 1;
        QTest::newRow("correction -0.7 adds nothing") << 868800000u << -0.7 << 868800000u << 1;
        QTest::newRow("correction -100.9 takes 100") << 868800000u << -100.9 << 868799900u << 1;
        QTest::newRow("the correction never moves the antenna") << 863000000u << 5.0 << 863000005u << 1;
        QTest::newRow("nor below 600 MHz") << 599999999u << 10.0 << 600000009u << 0;
    }
    void carrierRecord()
    {
        QFETCH(uint, freq);
        QFETCH(double, corr);
        QFETCH(uint, carrier);
        QFETCH(int, antenna);
        QCOMPARE(AX8052f143Transmitter::carrier_for(freq, corr), quint32(carrier));
        QCOMPARE(int(AX8052f143Transmitter::antenna_for(freq)), antenna);
        QVERIFY(start());
        dl_message_point m = request(QStringLiteral("DL_DBPSK_400_PROT_D"), 5, 1, 10, freq);
        QVERIFY(tx->sendDLMessage(&m, corr));
        const QByteArray rec = sim->record(3);
        const quint32 written = (quint32(quint8(rec[0])) << 24) | (quint32(quint8(rec[1])) << 16)
            | (quint32(quint8(rec[2])) << 8) | quint8(rec[3]);
        QCOMPARE(written, quint32(carrier));
        QCOMPARE(qint8(rec[4]), qint8(-1));
        QCOMPARE(int(quint8(rec[5])), antenna);
    }

    void headerByte_data()
    {
        QTest::addColumn<int>("type");
        QTest::addColumn<int>("iterator");
        QTest::addColumn<int>("flags"); // bit 0 f_multi, bit 1 f_ack, bit 2 f_system
        QTest::addColumn<int>("header");
        QTest::newRow("type 1 whatever the rest") << 1 << 37 << 7 << 0x01;
        QTest::newRow("type 2") << 2 << 3 << 0 << 0x02;
        QTest::newRow("iterator 37 and ack") << 0 << 37 << 2 << 0x45;
        QTest::newRow("every flag") << 0 << 31 << 7 << 0xFF;
        QTest::newRow("type 3 counts as 0") << 3 << 4 << 1 << 0x24;
    }
    void headerByte()
    {
        QFETCH(int, type);
        QFETCH(int, iterator);
        QFETCH(int, flags);
        QFETCH(int, header);
        dl_message_point m;
        m.type = quint8(type);
        m.iterator = quint8(iterator);
        m.f_multi = flags & 1;
        m.f_ack = (flags >> 1) & 1;
        m.f_system = (flags >> 2) & 1;
        QCOMPARE(int(AX8052f143Transmitter::header_byte(m)), header);
    }

    void emptyPayloadSendsTheHeaderAlone()
    {
        QVERIFY(start());
        dl_message_point m = request(QStringLiteral("DL_PSK_200"), 1);
        m.payload_len = 0;
        QVERIFY(tx->sendDLMessage(&m, 0.0));
        QList<QByteArray> downlinks;
        newTokens(&downlinks);
        QCOMPARE(downlinks, QList<QByteArray>{QByteArray(1, char(0x45))});
    }

    void failures_data()
    {
        QTest::addColumn<bool>("crc");
        QTest::addColumn<QString>("before");  // a request that succeeds first (empty: none)
        QTest::addColumn<QString>("knob");
        QTest::addColumn<QString>("failing");
        QTest::addColumn<QString>("line");    // empty: none of the failure lines
        QTest::addColumn<bool>("reboot");
        QTest::addColumn<QString>("after");   // sent once the modem behaves again
        QTest::addColumn<QString>("tokens");  // what `after` writes
        const QString psk = QStringLiteral("DL_PSK_500/1");
        const QString setMode = QStringLiteral(" Vexa set mode error! ID = ");
        QTest::newRow("mode refused: the mode is written again")
            << true << psk << "refuse 0" << "DL_PSK_500/1/6E0C22/11" << setMode + "6E0C22\n" << true << psk << "w0 dl";
        QTest::newRow("address refused: the address is written again")
            << true << psk << "refuse 6" << "DL_PSK_500/1/123" << setMode + "123\n" << true << psk << "w6 dl";
        QTest::newRow("frequency refused: the frequency is written again")
            << true << psk << "refuse 3" << "DL_PSK_500/1/6E0C22/10/868900000" << setMode + "6E0C22\n" << true << psk
            << "w3 dl";
        QTest::newRow("D v5 mode silent") << true << "" << "silent 40" << "DL_DBPSK_400_PROT_D/5" << setMode + "6E0C22\n"
                                          << true << "DL_DBPSK_400_PROT_D/5" << "w0 w3 dl";
        QTest::newRow("D v5 frequency refused")
            << true << "DL_DBPSK_400_PROT_D/5" << "refuse 3" << "DL_DBPSK_400_PROT_D/5/1/10/868900000"
            << setMode + "1\n" << true << "DL_DBPSK_400_PROT_D/5" << "w0 w3 dl";
        QTest::newRow("version 0 address refused") << true << "" << "refuse 6" << "DL_PSK_500/0" << setMode + "6E0C22\n"
                                                   << true << "DL_PSK_500/0" << "w0 w6 w3 dl";
        QTest::newRow("three refused downlinks") << true << psk << "status 3" << psk
                                                 << " Vexa send message error! ID = 6E0C22\n" << true << psk << "dl";
        QTest::newRow("three refused D v5 downlinks")
            << true << "" << "status 3" << "DL_DBPSK_400_PROT_D/5" << " Vexa send message error! ID = 6E0C22\n"
            << true << "DL_DBPSK_400_PROT_D/5" << "w0 dl";
        QTest::newRow("three refused version 0 downlinks: silent, no reboot")
            << true << "" << "status 3" << "DL_PSK_500/0" << "" << false << "DL_PSK_500/0" << "w0 w6 w3 dl";
        QTest::newRow("queue never drains: no reboot, configuration kept")
            << true << psk << "never-drain" << psk << " Vexa wait for sent timeout! ID = 6E0C22\n" << false << psk << "dl";
        QTest::newRow("D v5 queue never drains")
            << true << "" << "never-drain" << "DL_DBPSK_3200_PROT_D/5" << " Vexa wait for sent timeout! ID = 6E0C22\n"
            << false << "DL_DBPSK_3200_PROT_D/5" << "w0 dl";
    }
    void failures()
    {
        QFETCH(bool, crc);
        QFETCH(QString, before);
        QFETCH(QString, knob);
        QFETCH(QString, failing);
        QFETCH(QString, line);
        QFETCH(bool, reboot);
        QFETCH(QString, after);
        QFETCH(QString, tokens);
        QVERIFY(start(crc));
        if (!before.isEmpty())
            QVERIFY(runStep(before));
        newTokens();
        SimSerialModem::Knobs& k = sim->knobs();
        const QString arg = knob.section(' ', 1);
        if (knob.startsWith("refuse"))
            k.refuse.insert(quint8(arg.toUInt()));
        else if (knob.startsWith("silent"))
            k.silent.insert(quint8(arg.toUInt(nullptr, 16)));
        else if (knob.startsWith("status"))
            k.dlStatus = quint8(arg.toUInt());
        else if (knob == "never-drain")
            k.neverDrain = true;
        QSignalSpy alarms(tx.get(), &IVexaTransmitter::alarm_out);
        const int bootsBefore = sim->reboots();
        QVERIFY(!runStep(failing));
        const QString text = log();
        for (const char* l : {" Vexa set mode error! ID = ", " Vexa send message error! ID = ", " Vexa wait for sent timeout! ID = "}) {
            const int expected = !line.isEmpty() && line.startsWith(QLatin1String(l)) ? 1 : 0;
            QVERIFY2(text.count(QLatin1String(l)) == expected, qPrintable(text));
        }
        if (!line.isEmpty())
            QVERIFY2(text.contains(line), qPrintable(text));
        QCOMPARE(alarms.count(), reboot ? 1 : 0);
        if (reboot) {
            QCOMPARE(alarms.at(0).at(0).toString(), QStringLiteral("rebootAxsemSignal"));
            QVERIFY(text.contains(" Reboot Axsem! \n") && text.contains(" Exit from reboot Axsem \n"));
            QTRY_COMPARE_WITH_TIMEOUT(sim->reboots(), bootsBefore + 1, 5000);
            QTRY_VERIFY_WITH_TIMEOUT(log().contains(" Axsem rebooted!\n"), 5000); // the echo's reply
        } else {
            QVERIFY(!text.contains("Reboot Axsem"));
        }
        // The modem behaves again; a failed link leaves it busy until a frame or its timer.
        k = SimSerialModem::Knobs{};
        k.checkByte = crc;
        tx->link().resetBusy();
        QTest::qWait(100); // let late replies of the failing exchange drain
        tx->link().readyRead();
        newTokens();
        QVERIFY2(runStep(after), qPrintable(log()));
        QCOMPARE(newTokens().join(' '), tokens);
    }

    void autocorrection_data()
    {
        QTest::addColumn<uint>("id");
        QTest::addColumn<int>("hardwareId");
        QTest::addColumn<uint>("storedId");
        QTest::addColumn<QList<int>>("supported");
        const QList<int> psk{0, 1, 2, 3};
        const QList<int> all{0, 1, 2, 3, 10, 11, 12, 13};
        QTest::newRow("HARDWARE_ID 0") << 0xABCDEFu << 0 << 0xABCDEFu << psk;
        QTest::newRow("HARDWARE_ID 5") << 0xABCDEFu << 5 << 0xABCDEFu << psk;
        QTest::newRow("HARDWARE_ID 10") << 0xABCDEFu << 10 << 0xABCDEFu << psk;
        QTest::newRow("HARDWARE_ID 59") << 0xABCDEFu << 59 << 0xABCDEFu << psk;
        QTest::newRow("HARDWARE_ID 6") << 0xABCDEFu << 6 << 0xABCDEFu << all;
        QTest::newRow("HARDWARE_ID 9") << 0xABCDEFu << 9 << 0xABCDEFu << all;
        QTest::newRow("HARDWARE_ID 60") << 0xABCDEFu << 60 << 0xABCDEFu << all;
        QTest::newRow("HARDWARE_ID 255") << 0xABCDEFu << 255 << 0xABCDEFu << all;
        QTest::newRow("ID FFFFFF is stored as 6FFFFF") << 0xFFFFFFu << 6 << 0x6FFFFFu << all;
    }
    void autocorrection()
    {
        QFETCH(uint, id);
        QFETCH(int, hardwareId);
        QFETCH(uint, storedId);
        QFETCH(QList<int>, supported);
        QVERIFY(start());
        sim->knobs().id = id;
        sim->knobs().version = QByteArray("\x05\x01\x02\x00\x07\x01", 6);
        sim->knobs().version[3] = char(hardwareId);
        // Until the version is read the four PSK codes.
        QCOMPARE(tx->get_supported(), (QList<vexa_phy_channel_t>{DL_PSK_200, DL_PSK_500, DL_PSK_5000, DL_PSK_FASTDL}));
        QCOMPARE(tx->get_transmitter_id(), 0u);
        QVERIFY(tx->sendAutocorr(0, 867800000u, -3));
        QCOMPARE(tx->get_transmitter_id(), quint32(storedId));
        QList<vexa_phy_channel_t> expected;
        for (int c : supported)
            expected << vexa_phy_channel_t(c);
        QCOMPARE(tx->get_supported(), expected);
        QCOMPARE(tx->firmware_version(), 2u);
        QCOMPARE(tx->hardware_version(), 7u);
        const QString text = log();
        QVERIFY(text.contains(" Send autocorrection packet at 867.8 MHz, -3 dBm\n"));
        QVERIFY(text.contains(" Get AXSEM data\n"));
        QVERIFY(text.contains(QStringLiteral("\nAXSEM ID = %1\n").arg(storedId, 0, 16)));
        QVERIFY(text.contains(QStringLiteral("\nAXSEM HARDWARE_ID = %1\n").arg(hardwareId, 0, 16)));
        QVERIFY(text.contains("\nAXSEM HARDWARE_REV = 7\n"));
        QVERIFY(text.contains(" Successfully sent autocorrection \n"));
        QCOMPARE(newTokens().join(' '), QStringLiteral("id r10 w5 f corr"));
        QCOMPARE(QString::fromLatin1(sim->record(5).toHex()), QStringLiteral("fd01ff000000"));
        QVERIFY(sim->received().last() == QByteArray(1, char(0x08)));
        // The ID is read once: the next autocorrection goes straight to the antenna.
        QVERIFY(tx->sendAutocorr(0, 867800000u, -3));
        QCOMPARE(newTokens().join(' '), QStringLiteral("w5 f corr"));
    }

    void autocorrectionWithASilentModem_data()
    {
        QTest::addColumn<QString>("silent");
        QTest::newRow("ID and version unanswered: read again next time") << "09,40";
        QTest::newRow("frequency unanswered: the packet still goes") << "05";
        QTest::newRow("packet unanswered") << "08";
    }
    void autocorrectionWithASilentModem()
    {
        QFETCH(QString, silent);
        QVERIFY(start());
        for (const QString& c : silent.split(','))
            sim->knobs().silent.insert(quint8(c.toUInt(nullptr, 16)));
        AX8052f143Transmitter::Timings t;
        t.autocorrWaitMs = 300;
        tx->setTimings(t);
        QElapsedTimer took;
        took.start();
        QVERIFY(tx->sendAutocorr(0, 867800000u, 0));
        // Each of the two waits is bounded on its own.
        QVERIFY2(took.elapsed() < 20000, qPrintable(QString::number(took.elapsed())));
        QVERIFY(log().contains(" Successfully sent autocorrection \n"));
        QVERIFY(sim->receivedCount(0x08) == 1);
        const bool idSilent = silent.contains("09");
        QCOMPARE(tx->get_transmitter_id(), idSilent ? 0u : 0xABCDEFu);
        QCOMPARE(log().contains("AXSEM ID = "), !idSilent);
        QCOMPARE(log().contains("AXSEM VEXA_REV = "), !idSilent);
        if (idSilent) {
            sim->knobs().silent.clear();
            tx->link().resetBusy();
            QVERIFY(tx->sendAutocorr(0, 867800000u, 0));
            QCOMPARE(tx->get_transmitter_id(), 0xABCDEFu);
        }
    }

    void autocorrectionWhileBusy()
    {
        QVERIFY(start());
        sim->knobs().silent.insert(0x05);
        QVERIFY(tx->link().setFreq(1)); // unanswered: the link stays busy
        QVERIFY(tx->isBusy());
        QTRY_COMPARE_WITH_TIMEOUT(sim->receivedCount(0x05), 1, 5000);
        const int frames = sim->received().size();
        const QString before = log();
        QVERIFY(!tx->sendAutocorr(0, 867800000u, 0));
        QTest::qWait(50);
        QCOMPARE(sim->received().size(), frames);
        QCOMPARE(log(), before);
    }

    void rebootRequests_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("reboots");
        QTest::newRow("exact") << "rebootAxsemSignal" << true;
        QTest::newRow("trailing blank") << "rebootAxsemSignal " << false;
        QTest::newRow("other case") << "REBOOTAXSEMSIGNAL" << false;
        QTest::newRow("another alarm") << "EVENT_REBOOT_AXSEM" << false;
    }
    void rebootRequests()
    {
        QFETCH(QString, text);
        QFETCH(bool, reboots);
        QVERIFY(start());
        QSignalSpy alarms(tx.get(), &IVexaTransmitter::alarm_out);
        const qint64 slept = clock->sleptMs();
        tx->alarm_in(text);
        QCOMPARE(alarms.count(), reboots ? 1 : 0);
        QCOMPARE(clock->sleptMs() - slept, reboots ? 700 : 0);
        if (reboots) {
            QTRY_COMPARE_WITH_TIMEOUT(sim->reboots(), 2, 5000);
            QTRY_COMPARE_WITH_TIMEOUT(sim->receivedCount(0x00), 1, 5000);
            QCOMPARE(sim->received().last(), QByteArray("\x00" "Axsem rebooted!", 16));
        }
    }

    // A port that does not open: no tries faster than every 10 s, a log line for the first
    // failure and each change, downlinks and autocorrections refused at once, the scheduler not
    // held busy; a reboot request is an open try and still raises its alarm.
    void portThatDoesNotOpen()
    {
        tx.reset();
        dir = std::make_unique<QTemporaryDir>();
        clock = std::make_shared<ManualStationClock>();
        const QString missing = dir->filePath(QStringLiteral("no-such-tty"));
        QVERIFY(writeIni(missing, true));
        AX8052f143Transmitter::forgetConfiguration();
        makeBackend();
        QVERIFY(!tx->link().isOpen());
        QVERIFY(!tx->isBusy());
        dl_message_point m = request(QStringLiteral("DL_PSK_500"), 1);
        QSignalSpy alarms(tx.get(), &IVexaTransmitter::alarm_out);
        for (int i = 0; i < 3; ++i) {
            QVERIFY(!tx->sendDLMessage(&m, 0.0));
            QVERIFY(!tx->sendAutocorr(0, 867800000u, 0));
            clock->advanceMs(4000);
        }
        QVERIFY(!tx->sendDLMessage(&m, 0.0));
        QCOMPARE(alarms.count(), 0);
        QCOMPARE(clock->sleptMs(), 0);
        QVERIFY(!tx->isBusy());
        // Built without a log path, the first failure is logged at the first retry (after 10 s).
        QCOMPARE(log().count(" Serial port open error! Error code ax_modem:  "), 1);
        for (int i = 0; i < 5; ++i) {
            clock->advanceMs(11000);
            QVERIFY(!tx->sendDLMessage(&m, 0.0));
        }
        QCOMPARE(log().count(" Serial port open error! Error code ax_modem:  "), 1);
        clock->advanceMs(3600000);
        QVERIFY(!tx->sendDLMessage(&m, 0.0));
        QCOMPARE(log().count(" Serial port open error! Error code ax_modem:  "), 2);
        QVERIFY(!log().contains("Vexa"));

        // The modem appears: a reboot request opens it at once.
        sim = std::make_unique<SimSerialModem>();
        sim->knobs().checkByte = true;
        QVERIFY(sim->openPty());
        QVERIFY(QFile::link(sim->portPath(), missing));
        seen = 0;
        tx->alarm_in(QStringLiteral("rebootAxsemSignal"));
        QCOMPARE(alarms.count(), 1);
        QVERIFY(tx->link().isOpen());
        QTRY_VERIFY_WITH_TIMEOUT(sim->reboots() >= 1, 5000);
        QVERIFY(tx->sendDLMessage(&m, 0.0));
        QCOMPARE(newTokens().join(' '), QStringLiteral("echo w0 w6 w3 dl"));
    }
};

QTEST_GUILESS_MAIN(tst_ax8052f143_transmitter)
#include "tst_ax8052f143_transmitter.moc"
