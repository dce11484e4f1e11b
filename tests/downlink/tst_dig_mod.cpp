// The single FPGA modulator driver and its back-end against the simulated modulator: register
// protocol, frame transcripts, the finished poll, dispatch by phy and version, and the CS0 front
// that shares the chip select with the receiver FPGA.
#include "DigTransmitter.h"
#include "ManualStationClock.h"
#include "SettingsController.h"
#include "SimModulatorFpga.h"
#include "SimOnAirLog.h"
#include "SimPinWorker.h"
#include "SimReceiverFpga.h"
#include "adf4350.h"
#include "dig_mod.h"
#include "downlink_frames.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QtTest>

#include <cstring>
#include <memory>

namespace {
struct Bench {
    SimModulatorFpga modulator;
    SimPinWorker* worker = nullptr;
    std::shared_ptr<Base_Pin_Controller> pins;
    std::shared_ptr<ManualStationClock> clock = std::make_shared<ManualStationClock>();

    Bench()
    {
        auto w = std::make_unique<SimPinWorker>();
        worker = w.get();
        worker->attach_device(CS0, 16, high, &modulator);
        pins = std::make_shared<Base_Pin_Controller>(std::move(w));
        pins->init();
        modulator.set_done_mode(SimModulatorFpga::DoneMode::AfterPolls, 3);
    }
};

QByteArray synthFrameFor(uint32_t freq)
{
    adf4350_platform_data pd;
    adf4350_state st;
    init_config(&st, &pd);
    if (adf4350_set_freq(&st, freq) < 0)
        return QByteArray();
    QByteArray f = QByteArray::fromHex("0a100000");
    for (uint32_t w : st.regs)
        for (int b = 0; b < 4; ++b)
            f.append(char(uint8_t(w >> (8 * b))));
    f.append('\x01');
    return f;
}

// A write frame's register address, or -1.
int writeAddress(const QByteArray& f)
{
    if (f.size() < 5 || uint8_t(f.at(0)) != 0x01)
        return -1;
    return (uint8_t(f.at(2)) << 8) | uint8_t(f.at(3));
}

const uint8_t kPayload[9] = {0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08, 0x99};

dl_message_point request(const QString& phy, quint32 ver)
{
    dl_message_point m;
    m.modem_id = 0xA1B2C3;
    m.phy = phy;
    m.vexa_ver = ver;
    m.freq = 446000000;
    m.iterator = 5;
    m.f_ack = 1;
    m.strength = 20;
    m.preambula = 0x11223344;
    m.crypto_iter = 7;
    m.crypto_flags = 3;
    m.crypto_mic = 0xABCDEF;
    std::memcpy(m.payload, kPayload, 9);
    return m;
}
} // namespace

class TestDigMod : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void toModBitrate_data();
    void toModBitrate();
    void phyToBitrate_data();
    void phyToBitrate();
    void bitrateRegisters_data();
    void bitrateRegisters();
    void powerLevel_data();
    void powerLevel();
    void transcript_data();
    void transcript();
    void finishedPoll_data();
    void finishedPoll();
    void transmitterDispatch_data();
    void transmitterDispatch();
    void transmitterPower_data();
    void transmitterPower();
    void frontRoutesFrames();
    void synthesizerOffBetweenFrames_data();
    void synthesizerOffBetweenFrames();

private:
    QTemporaryDir dir_;
    SettingsController settings_;
};

void TestDigMod::initTestCase()
{
    QVERIFY(dir_.isValid());
    settings_.initController(dir_.filePath("none.ini"));
}

void TestDigMod::toModBitrate_data()
{
    QTest::addColumn<QString>("phy");
    QTest::addColumn<int>("code");
    QTest::newRow("UL 400 E") << "UL_DBPSK_400_PROT_E" << 31;
    QTest::newRow("DL 400 E") << "DL_DBPSK_400_PROT_E" << 31;
    QTest::newRow("DL 50 D") << "DL_DBPSK_50_PROT_D" << 21;
    QTest::newRow("DL 25600 D") << "DL_DBPSK_25600_PROT_D" << 28;
    QTest::newRow("DL 3200 E") << "DL_DBPSK_3200_PROT_E" << 32;
    QTest::newRow("lower case") << "dl_dbpsk_400_prot_e" << 255;
    QTest::newRow("100H has no name") << "DL_DBPSK_100H_PROT_D" << 255;
    QTest::newRow("PSK") << "DL_PSK_500" << 255;
}

void TestDigMod::toModBitrate()
{
    QFETCH(QString, phy);
    QFETCH(int, code);
    QCOMPARE(int(dig_mod::to_mod_bitrate(phy)), code);
}

void TestDigMod::phyToBitrate_data()
{
    QTest::addColumn<int>("code");
    QTest::addColumn<int>("rate");
    for (int c : {21, 25, 27, 29, 255, 0})
        QTest::addRow("%d", c) << c << 50;
    QTest::newRow("24") << 24 << 400;
    QTest::newRow("26") << 26 << 3200;
    QTest::newRow("28") << 28 << 25600;
    QTest::newRow("33") << 33 << 25600;
    QTest::newRow("34") << 34 << 100;
    QTest::newRow("35") << 35 << 100;
}

void TestDigMod::phyToBitrate()
{
    QFETCH(int, code);
    QFETCH(int, rate);
    QCOMPARE(int(dig_mod::phy_to_bitrate(mod_bitrate_s(code))), rate);
}

void TestDigMod::bitrateRegisters_data()
{
    QTest::addColumn<int>("code");
    QTest::addColumn<QByteArray>("registers"); // 57, 58, 59
    QTest::newRow("50") << 21 << QByteArray::fromHex("d20000");
    QTest::newRow("100") << 34 << QByteArray::fromHex("a30100");
    QTest::newRow("400") << 24 << QByteArray::fromHex("8e0600");
    QTest::newRow("3200") << 26 << QByteArray::fromHex("6e3400");
    QTest::newRow("25600") << 28 << QByteArray::fromHex("6ea301");
}

void TestDigMod::bitrateRegisters()
{
    QFETCH(int, code);
    QFETCH(QByteArray, registers);
    Bench b;
    dig_mod mod(b.pins, b.clock);
    mod.sendDL_DBPSK_ProtD_ver5(1, 2, 3, kPayload, 4, 446000000, mod_bitrate_s(code));
    QByteArray got;
    for (const QByteArray& f : b.modulator.frames()) {
        const int a = writeAddress(f);
        if (a >= 57 && a <= 59)
            got.append(f.at(4));
    }
    QCOMPARE(got.toHex(), registers.toHex());
    QCOMPARE(int(mod.current_phy()), code);
}

void TestDigMod::powerLevel_data()
{
    QTest::addColumn<int>("p");
    QTest::addColumn<int>("level");
    QTest::newRow("0") << 0 << 127;
    QTest::newRow("-1") << -1 << 113;
    QTest::newRow("-3") << -3 << 89;
    QTest::newRow("-6") << -6 << 63;
    QTest::newRow("-10") << -10 << 40;
    QTest::newRow("-20") << -20 << 12;
    QTest::newRow("-30") << -30 << 4;
    QTest::newRow("-44 floor") << -44 << 4;
    QTest::newRow("-128 floor") << -128 << 4;
}

void TestDigMod::powerLevel()
{
    QFETCH(int, p);
    QFETCH(int, level);
    Bench b;
    dig_mod mod(b.pins, b.clock);
    mod.set_pwr(int8_t(p));
    QCOMPARE(int(b.modulator.power_level()), level);
}

void TestDigMod::transcript_data()
{
    QTest::addColumn<int>("kind");
    QTest::addColumn<int>("tunes"); // synthesizer frames before the frame
    QTest::addColumn<int>("code");
    QTest::newRow("autocorrection") << 0 << 2 << 21;
    QTest::newRow("D v4") << 1 << 2 << 26;
    QTest::newRow("D v5") << 2 << 4 << 28;
    QTest::newRow("E v5") << 3 << 4 << 32;
}

void TestDigMod::transcript()
{
    QFETCH(int, kind);
    QFETCH(int, tunes);
    QFETCH(int, code);
    Bench b;
    dig_mod mod(b.pins, b.clock);
    mod.init();
    b.modulator.clear();
    const uint32_t f = 446000000;
    uint8_t expected[DL_FRAME_SIZE];
    bool done = false;
    switch (kind) {
    case 0:
        build_autocorrection_frame(0x6E0C22, expected);
        done = mod.sendDL_DBPSK_ProtD_autocorrection(0x6E0C22, f);
        break;
    case 1:
        build_prot_d_ver4_frame(0xA1B2C3, 0x45, kPayload, 0x99, expected);
        done = mod.sendDL_DBPSK_ProtD_ver4(0xA1B2C3, 0x45, kPayload, 0x99, f, mod_bitrate_s(code));
        break;
    case 2:
        build_prot_d_ver5_frame(0x11223344, 7, 3, kPayload, 0xABCDEF, expected);
        done = mod.sendDL_DBPSK_ProtD_ver5(0x11223344, 7, 3, kPayload, 0xABCDEF, f, mod_bitrate_s(code));
        break;
    default:
        build_prot_e_ver5_frame(0xA1B2C3, 0x11223344, 7, 3, kPayload, 0xABCDEF, expected);
        done = mod.sendDL_DBPSK_ProtE_ver5(0xA1B2C3, 0x11223344, 7, 3, kPayload, 0xABCDEF, f, mod_bitrate_s(code));
        break;
    }
    QVERIFY(done);

    // Frame by frame: tuning, bit rate, buffer, start, status polls, switch-off.
    const QList<QByteArray> frames = b.modulator.frames();
    const QByteArray tune = synthFrameFor(f + 97000);
    QVERIFY(!tune.isEmpty());
    int i = 0;
    for (int t = 0; t < tunes; ++t, ++i)
        QCOMPARE(frames.value(i).toHex(' '), tune.toHex(' '));
    const uint32_t word = dig_mod::bitrate_word(mod_bitrate_s(code));
    for (int r = 0; r < 3; ++r, ++i) {
        QCOMPARE(writeAddress(frames.value(i)), 57 + r);
        QCOMPARE(uint8_t(frames.value(i).at(4)), uint8_t(word >> (8 * r)));
    }
    QCOMPARE(writeAddress(frames.value(i)), 60);
    QCOMPARE(frames.value(i).mid(4).toHex(), QByteArray(reinterpret_cast<const char*>(expected), 36).toHex());
    ++i;
    QCOMPARE(frames.value(i).toHex(), QByteArray::fromHex("0100003813").toHex());
    ++i;
    for (int p = 0; p < 3; ++p, ++i)
        QCOMPARE(frames.value(i).toHex(), QByteArray::fromHex("0000003900").toHex());
    // The switch-off: the last words again with the power-down bit (bit 5 of word 2, byte 12 of
    // the frame) set, so the synthesizer does not stay on between frames.
    QByteArray off = tune;
    off[12] = char(uint8_t(off.at(12)) | 0x20);
    QVERIFY(off != tune);
    for (int t = 0; t < 2; ++t, ++i)
        QCOMPARE(frames.value(i).toHex(' '), off.toHex(' '));
    QCOMPARE(frames.size(), i);
    QCOMPARE(b.modulator.synthesizer(), qint64(0));

    const auto sent = b.modulator.transmissions();
    QCOMPARE(sent.size(), 1);
    QCOMPARE(sent.at(0).synthesizer, qint64(f + 97000));
    QCOMPARE(sent.at(0).carrier, qint64(f));
}

void TestDigMod::finishedPoll_data()
{
    QTest::addColumn<bool>("never");
    QTest::addColumn<bool>("done");
    QTest::newRow("done on the 10000th poll") << false << true;
    QTest::newRow("never done") << true << false;
}

void TestDigMod::finishedPoll()
{
    QFETCH(bool, never);
    QFETCH(bool, done);
    Bench b;
    b.modulator.set_done_mode(never ? SimModulatorFpga::DoneMode::Never : SimModulatorFpga::DoneMode::AfterPolls, 10000);
    DigTransmitter tx(settings_, b.pins, nullptr, b.clock);
    tx.setLogpath(dir_.filePath("dl.log"));
    QFile::remove(dir_.filePath("dl.log"));
    b.modulator.clear();
    dl_message_point m = request("DL_DBPSK_3200_PROT_D", 4);
    QVERIFY(tx.sendDLMessage(&m, 0.0));
    QCOMPARE(b.modulator.status_polls(), 10000);
    QCOMPARE(b.clock->sleptMs(), qint64(10000));
    // The detuning comes whether or not the frame was reported out.
    const QList<QByteArray> frames = b.modulator.frames();
    QCOMPARE(frames.size() >= 2, true);
    QCOMPARE(uint8_t(frames.at(frames.size() - 1).at(0)), uint8_t(0x0A));
    QCOMPARE(uint8_t(frames.at(frames.size() - 2).at(0)), uint8_t(0x0A));
    QFile log(dir_.filePath("dl.log"));
    QVERIFY(log.open(QIODevice::ReadOnly));
    const QByteArray text = log.readAll();
    QCOMPARE(text.contains(" Successfully sent DL message by dig_mod to ID: A1B2C3"), done);
    QCOMPARE(text.contains("Send timeout!"), !done);
}

void TestDigMod::transmitterDispatch_data()
{
    QTest::addColumn<QString>("phy");
    QTest::addColumn<int>("ver");
    QTest::addColumn<int>("form"); // -1 none, 1 D v4, 2 D v5, 3 E v5
    QTest::addColumn<QString>("line");
    QTest::newRow("E whatever its version") << "DL_DBPSK_3200_PROT_E" << 4 << 3 << " Send Zadov5 DL message by dig_mod to ID: A1B2C3 IT: 5 IT_crypto: 7 FREQ: 446000000 PHY: DL_DBPSK_3200_PROT_E PWR:20 PLD: 0102030405060708";
    QTest::newRow("D version 5") << "DL_DBPSK_400_PROT_D" << 5 << 2 << " Send Zadov5 DL message by dig_mod to ID: A1B2C3";
    QTest::newRow("D version 4") << "DL_DBPSK_400_PROT_D" << 4 << 1 << " Send Zadar4 DL message by dig_mod to ID: A1B2C3 IT: 5 FREQ: 446000000 PHY: DL_DBPSK_400_PROT_D PWR:20 PLD: 0102030405060708";
    QTest::newRow("uplink name of D") << "UL_DBPSK_400_PROT_D" << 4 << 1 << " Send Zadar4 DL message";
    QTest::newRow("D version 3") << "DL_DBPSK_400_PROT_D" << 3 << -1 << " unsupported protocol version 3, ID: A1B2C3";
    QTest::newRow("PSK") << "DL_PSK_500" << 5 << -1 << " Send Zadov5 DL message by dig_mod for current phy is unsupported, ID: A1B2C3";
}

void TestDigMod::transmitterDispatch()
{
    QFETCH(QString, phy);
    QFETCH(int, ver);
    QFETCH(int, form);
    QFETCH(QString, line);
    Bench b;
    DigTransmitter tx(settings_, b.pins, nullptr, b.clock);
    const QString path = dir_.filePath(QStringLiteral("dispatch.log"));
    QFile::remove(path);
    tx.setLogpath(path);
    b.modulator.clear();
    dl_message_point m = request(phy, quint32(ver));
    QVERIFY(tx.sendDLMessage(&m, 123.0));

    uint8_t expected[DL_FRAME_SIZE];
    const auto sent = b.modulator.transmissions();
    if (form < 0) {
        QCOMPARE(sent.size(), 0);
    } else {
        if (form == 1)
            build_prot_d_ver4_frame(0xA1B2C3, 0x45, kPayload, 0x99, expected);
        else if (form == 2)
            build_prot_d_ver5_frame(0x11223344, 7, 3, kPayload, 0xABCDEF, expected);
        else
            build_prot_e_ver5_frame(0xA1B2C3, 0x11223344, 7, 3, kPayload, 0xABCDEF, expected);
        QCOMPARE(sent.size(), 1);
        QCOMPARE(sent.at(0).bytes.toHex(), QByteArray(reinterpret_cast<const char*>(expected), 36).toHex());
        // The correction is not this back-end's: the request's own frequency.
        QCOMPARE(sent.at(0).carrier, qint64(446000000));
    }
    QFile log(path);
    QVERIFY(log.open(QIODevice::ReadOnly));
    const QString text = QString::fromLatin1(log.readAll());
    QVERIFY2(text.contains(line), qPrintable(text));
    QCOMPARE(text.contains(" Successfully sent"), form > 0);
}

void TestDigMod::transmitterPower_data()
{
    QTest::addColumn<int>("strength");
    QTest::addColumn<int>("level");
    QTest::addColumn<int>("logged");
    QTest::newRow("30: full power, logged as 24") << 30 << 127 << 24;
    QTest::newRow("24") << 24 << 127 << 24;
    QTest::newRow("10: -14 dB") << 10 << 25 << 10;
    QTest::newRow("0xFB: -5 dBm, -29 dB") << 0xFB << 4 << 0xFB;
}

void TestDigMod::transmitterPower()
{
    QFETCH(int, strength);
    QFETCH(int, level);
    QFETCH(int, logged);
    Bench b;
    DigTransmitter tx(settings_, b.pins, nullptr, b.clock);
    const QString path = dir_.filePath(QStringLiteral("power.log"));
    QFile::remove(path);
    tx.setLogpath(path);
    dl_message_point m = request("DL_DBPSK_400_PROT_D", 4);
    m.strength = quint8(strength);
    QVERIFY(tx.sendDLMessage(&m, 0.0));
    QCOMPARE(int(b.modulator.power_level()), level);
    QCOMPARE(int(m.strength), logged);
    QFile log(path);
    QVERIFY(log.open(QIODevice::ReadOnly));
    QVERIFY(log.readAll().contains(QByteArray(" PWR:") + QByteArray::number(logged) + " PLD"));

    // The autocorrection's powers: 30 full, -20 dBm down to the floor.
    QVERIFY(tx.sendAutocorr(0x6E0C22, 868799000, 30));
    QCOMPARE(int(b.modulator.power_level()), 127);
    QVERIFY(tx.sendAutocorr(0x6E0C22, 868799000, -20));
    QCOMPARE(int(b.modulator.power_level()), 4);
}

void TestDigMod::synthesizerOffBetweenFrames_data()
{
    QTest::addColumn<QString>("phy");
    QTest::addColumn<int>("ver");
    QTest::addColumn<bool>("autocorrection");
    QTest::newRow("D v4") << "DL_DBPSK_3200_PROT_D" << 4 << false;
    QTest::newRow("D v5") << "DL_DBPSK_400_PROT_D" << 5 << false;
    QTest::newRow("E v5") << "DL_DBPSK_3200_PROT_E" << 5 << false;
    QTest::newRow("autocorrection") << QString() << 0 << true;
}

void TestDigMod::synthesizerOffBetweenFrames()
{
    // The on-air log shows the synthesizer on for each frame and powered down after it, and
    // nothing between two frames.
    QFETCH(QString, phy);
    QFETCH(int, ver);
    QFETCH(bool, autocorrection);
    Bench b;
    SimOnAirLog air;
    const QString path = dir_.filePath(QStringLiteral("onair.jsonl"));
    QVERIFY(air.open(path));
    b.modulator.set_on_air_log(&air);
    DigTransmitter tx(settings_, b.pins, nullptr, b.clock);
    tx.logoff(true);
    for (int n = 0; n < 2; ++n) {
        if (autocorrection) {
            QVERIFY(tx.sendAutocorr(0x6E0C22, 446000000, 0));
        } else {
            dl_message_point m = request(phy, quint32(ver));
            QVERIFY(tx.sendDLMessage(&m, 0.0));
        }
        QCOMPARE(b.modulator.synthesizer(), qint64(0));
    }
    QFile f(path);
    QVERIFY(f.open(QIODevice::ReadOnly));
    QStringList kinds;
    for (const QByteArray& line : f.readAll().split('\n')) {
        if (line.isEmpty())
            continue;
        const QJsonObject o = QJsonDocument::fromJson(line).object();
        const QString kind = o.value("kind").toString();
        if (kind == "synthesizer") {
            QCOMPARE(o.value("device").toString(), QString("fpga_modulator"));
            const bool on = o.value("on").toBool();
            QCOMPARE(o.value("frequency").toDouble(), on ? 446097000.0 : 0.0);
            kinds.append(on ? "on" : "off");
        } else {
            kinds.append(kind);
        }
    }
    // Powered down at construction, then on / frame / off for each of the two.
    QCOMPARE(kinds, (QStringList{"off", "on", "frame", "off", "on", "frame", "off"}));
}

void TestDigMod::frontRoutesFrames()
{
    SimReceiverFpga fpga;
    SimModulatorFpga modulator;
    SimFpgaPinWorker* worker = nullptr;
    auto w = std::make_unique<SimFpgaPinWorker>(fpga, QORM);
    worker = w.get();
    worker->attach_modulator(modulator);
    Base_Pin_Controller pins(std::move(w));
    pins.init();

    // The reader's synthesizer frame ends in 0x00: it stays with the receiver.
    QByteArray reader(29, '\0');
    reader[0] = char(0x0A);
    reader[1] = char(0x10);
    reader[4] = char(0x55);
    QByteArray rx(29, '\0');
    pins.select_read_write_spi(16, high, reader.data(), rx.data(), CS0, 29);
    QCOMPARE(modulator.synthesizer_frames().size(), 0);
    QCOMPARE(fpga.write_count(0x10), 1);
    QCOMPARE(rx, QByteArray(29, '\0'));

    // The modulator's ends in 0x01.
    QByteArray synth = reader;
    synth[28] = char(0x01);
    pins.select_read_write_spi(16, high, synth.data(), rx.data(), CS0, 29);
    QCOMPARE(modulator.synthesizer_frames().size(), 1);
    QCOMPARE(fpga.write_count(0x10), 1);

    // Register frames of the modulator; the receiver's reads still answer.
    QByteArray power = QByteArray::fromHex("0100006c7f");
    pins.select_read_write_spi(16, high, power.data(), rx.data(), CS0, 5);
    QCOMPARE(int(modulator.power_level()), 127);
    QByteArray firmware = QByteArray::fromHex("0ba0000000000000");
    QByteArray reply(firmware.size(), '\0');
    pins.select_read_write_spi(16, high, firmware.data(), reply.data(), CS0, uint32_t(firmware.size()));
    QVERIFY(reply.mid(4) != QByteArray(4, '\0'));
    QCOMPARE(modulator.frames().size(), 2);
}

QTEST_GUILESS_MAIN(TestDigMod)
#include "tst_dig_mod.moc"
