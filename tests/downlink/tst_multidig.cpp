// The multi-channel modulator driver and its back-end against the simulated multi-channel
// modulator: register protocol, NCO, power and bit-rate words, channel power, the shared
// synthesizer's life cycle, admission, air time, and the back-end under the scheduler.
#include "DL_sender.h"
#include "FakeBackend.h"
#include "ManualStationClock.h"
#include "MultiDigTransmitter.h"
#include "SettingsController.h"
#include "SimMultiModulatorFpga.h"
#include "SimPinWorker.h"
#include "multidig_mod.h"

#include <QTemporaryDir>
#include <QtTest>

#include <cstring>
#include <memory>

namespace {
constexpr quint32 kS = 446100000; // the synthesizer a carrier of 446050000 switches on

// A QORM LTE station's settings, the simulated board with the modulator on CS0 and a manual
// clock. The model ends frames only when the test releases them.
struct Board {
    QTemporaryDir dir;
    SettingsController settings;
    std::unique_ptr<SimMultiModulatorFpga> model;
    std::shared_ptr<Base_Pin_Controller> pins;
    std::shared_ptr<ManualStationClock> clock = std::make_shared<ManualStationClock>(1700000000, 0);

    // tx: lines of group TRANSMITTER besides SEND_DL and DIG_MOD.
    explicit Board(const QString& tx = QString(), int channels = 4, int32_t bandwidth = 4000000)
    {
        const QString ini = QStringLiteral("[BASE_STATION]\nBS_TYPE=QORM_LTE_TYPE\nBS_ID=1234\nLOG_FILE_PATH=%1\n"
                                           "[TRANSMITTER]\nSEND_DL=true\nDIG_MOD=true\n%2\n")
                                .arg(dir.filePath("dl.log"), tx);
        QFile f(dir.filePath("station.ini"));
        f.open(QIODevice::WriteOnly);
        f.write(ini.toUtf8());
        f.close();
        settings.initController(dir.filePath("station.ini"));
        model = std::make_unique<SimMultiModulatorFpga>(channels, bandwidth);
        model->set_done_mode(SimMultiModulatorFpga::DoneMode::Released);
        auto w = std::make_unique<SimPinWorker>();
        w->attach_device(CS0, 16, high, model.get());
        pins = std::make_shared<Base_Pin_Controller>(std::move(w));
        pins->init();
    }

    // The back-end with its 5 ms controller stopped: passes run when the test asks.
    std::unique_ptr<MultiDigTransmitter> transmitter()
    {
        auto t = std::make_unique<MultiDigTransmitter>(settings, pins, nullptr, clock);
        t->stop_controller();
        return t;
    }

    QByteArray log() const
    {
        QFile f(dir.filePath("dl.log"));
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    }
};

dl_message_point request(quint32 id, quint32 freq, const QString& phy = QStringLiteral("DL_DBPSK_400_PROT_E"),
                         quint8 strength = 30)
{
    dl_message_point m;
    m.modem_id = id;
    m.freq = freq;
    m.phy = phy;
    m.vexa_ver = 5;
    m.strength = strength;
    m.preambula = 0x11223344;
    const uint8_t payload[9] = {1, 2, 3, 4, 5, 6, 7, 8, 9};
    std::memcpy(m.payload, payload, sizeof(payload));
    return m;
}

QByteArray hexOf(int32_t word)
{
    const auto w = uint32_t(word);
    const char b[4] = {char(w), char(w >> 8), char(w >> 16), char(w >> 24)};
    return QByteArray(b, 4).toHex();
}

// The station's own multi-channel back-end and no other.
DownlinkBackendFactory modulatorOnly()
{
    return [](DownlinkSlot slot, const DownlinkBackendContext& c) -> std::unique_ptr<IVexaTransmitter> {
        if (slot == DownlinkSlot::MultiDigModulator)
            return makeDefaultDownlinkBackend(slot, c);
        return nullptr;
    };
}

// Starts the scheduler; its modulator back-end with the 5 ms controller stopped (null if none).
MultiDigTransmitter* startedWithoutController(DL_sender& sender)
{
    sender.start();
    auto* multi = dynamic_cast<MultiDigTransmitter*>(sender.backend(DownlinkSlot::MultiDigModulator));
    if (multi)
        multi->stop_controller();
    return multi;
}

// Control writes (register 56 of any channel) in the model's frames.
int controlWrites(const SimMultiModulatorFpga& model)
{
    int n = 0;
    for (const QByteArray& f : model.frames())
        if (f.size() == 5 && uint8_t(f.at(0)) == 0x01 && uint8_t(f.at(3)) == 56)
            ++n;
    return n;
}
} // namespace

class TestMultiDig : public QObject {
    Q_OBJECT
private slots:
    void registerTransfers();
    void traceCanBeSwitchedOff();
    void ncoWord_data();
    void ncoWord();
    void powerLevel_data();
    void powerLevel();
    void bitrateWord_data();
    void bitrateWord();
    void phyToBitrate_data();
    void phyToBitrate();
    void channelCountAndPower_data();
    void channelCountAndPower();
    void settingFallbacks_data();
    void settingFallbacks();
    void attenuation_data();
    void attenuation();
    void autocorrectionClaimsAndReducesMore();
    void synthesizerLifeCycle();
    void admission_data();
    void admission();
    void allChannelsClaimed();
    void claimedChannelAboveAFreeOneIsExamined();
    void requestWithoutFrame_data();
    void requestWithoutFrame();
    void airTime();
    void autocorrectionThroughScheduler_data();
    void autocorrectionThroughScheduler();
    void stuckChannelDoesNotHoldTheAutocorrection();
    void otherBackEndOnlyWhileNoChannelOnAir();
    void statusReadOncePerPass_data();
    void statusReadOncePerPass();
};

void TestMultiDig::registerTransfers()
{
    Board b;
    multidig_mod ch2(b.pins, 2u << 8, 4000000);
    ch2.set_pwr(0, 1);
    QCOMPARE(b.model->frames().last().toHex(), QByteArray("0100026cff"));

    // A 5-byte status read is a 10-byte transfer; its data start at reply byte 5.
    QVERIFY(!ch2.isBusy());
    const QByteArray read = b.model->frames().last();
    QCOMPARE(read.size(), 10);
    QCOMPARE(read.left(4).toHex(), QByteArray("00000238"));

    ch2.sendDL_DBPSK_ProtD_autocorrection(0x123456, -1000);
    QVERIFY(b.model->on_air(2));
    QVERIFY(ch2.isBusy());
    QVERIFY(!b.model->on_air(1));
    b.model->release(2);
    QVERIFY(!ch2.isBusy());

    // Shared frames carry no channel offset; init writes only this channel's hop table.
    ch2.init();
    QCOMPARE(b.model->hop_entry(2, 7), uint8_t(MOD_PLUS90000));
    QCOMPARE(b.model->hop_entry(0, 7), uint8_t(0));
    ch2.set_filter50khz_offset(1000);
    QCOMPARE(b.model->frames().last().left(4).toHex(), QByteArray("0a500000"));
    QCOMPARE(b.model->filter_events().size(), 1);
}

namespace {
QStringList g_trace;
void captureTrace(QtMsgType, const QMessageLogContext& context, const QString& text)
{
    if (context.category && QByteArray(context.category) == lcMultidig().categoryName())
        g_trace.append(text);
}
} // namespace

void TestMultiDig::traceCanBeSwitchedOff()
{
    // Off by default; on with a logging rule; off again with the opposite rule.
    Board b;
    multidig_mod ch2(b.pins, 2u << 8, 4000000);
    g_trace.clear();
    const QtMessageHandler previous = qInstallMessageHandler(captureTrace);
    QLoggingCategory::setFilterRules(QString());
    ch2.set_pwr(0, 1);
    ch2.isBusy();
    QVERIFY2(g_trace.isEmpty(), qPrintable(g_trace.join('\n')));
    QLoggingCategory::setFilterRules(QStringLiteral("tolvar.downlink.multidig.debug=true"));
    ch2.set_pwr(0, 1);
    ch2.isBusy();
    QLoggingCategory::setFilterRules(QStringLiteral("tolvar.downlink.multidig.debug=false"));
    ch2.set_pwr(0, 1);
    QLoggingCategory::setFilterRules(QString());
    ch2.isBusy();
    qInstallMessageHandler(previous);
    QCOMPARE(g_trace, (QStringList{QStringLiteral("write: addr_offset 0x0200 addr 0x026c\t\tQMap((0, 255))"),
                                   QStringLiteral("read: addr_offset 0x0200 addr 0x0238\t\tQMap((0, 0)(1, 0)(2, 0)(3, 0)(4, 0))")}));
}

void TestMultiDig::ncoWord_data()
{
    QTest::addColumn<int>("bandwidth");
    QTest::addColumn<int>("offset");
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<bool>("saturated");
    QTest::newRow("-1000 Hz at 1 MHz") << 1000000 << -1000 << QByteArray("b39defff") << false;
    QTest::newRow("-50000 Hz at 4 MHz") << 4000000 << -50000 << QByteArray("343333ff") << false;
    QTest::newRow("0") << 4000000 << 0 << QByteArray("00000000") << false;
    QTest::newRow("far above: held at the top") << 4000000 << 10000000 << QByteArray("ffffff7f") << true;
    QTest::newRow("far below: held at the bottom") << 4000000 << -10000000 << QByteArray("00000080") << true;
}

void TestMultiDig::ncoWord()
{
    QFETCH(int, bandwidth);
    QFETCH(int, offset);
    QFETCH(QByteArray, bytes);
    QFETCH(bool, saturated);
    Board b(QString(), 1, bandwidth);
    multidig_mod ch0(b.pins, 0, bandwidth);
    int sat = 0;
    ch0.set_saturation_sink([&sat](multidig_mod::Saturated kind) { sat += kind == multidig_mod::Saturated::Nco; });
    ch0.sendDL_DBPSK_ProtD_autocorrection(1, offset);
    QCOMPARE(hexOf(b.model->nco_word(0)), bytes);
    QCOMPARE(sat, saturated ? 1 : 0);
    // Registers 112..115 in that order, one byte each.
    QList<int> order;
    for (const QByteArray& f : b.model->frames())
        if (f.size() == 5 && uint8_t(f.at(3)) >= 112 && uint8_t(f.at(3)) <= 115)
            order.append(uint8_t(f.at(3)));
    QCOMPARE(order, (QList<int>{112, 113, 114, 115}));
}

void TestMultiDig::powerLevel_data()
{
    QTest::addColumn<int>("pwr");
    QTest::addColumn<int>("channels");
    QTest::addColumn<int>("level");
    QTest::newRow("full, one channel") << 0 << 1 << 255;
    QTest::newRow("full, two channels") << 0 << 2 << 127;
    QTest::newRow("-6 dB, one channel") << -6 << 1 << 128;
    QTest::newRow("-30 dB, eight channels") << -30 << 8 << 1;
    QTest::newRow("nothing left: 1, not 0") << -100 << 16 << 1;
}

void TestMultiDig::powerLevel()
{
    QFETCH(int, pwr);
    QFETCH(int, channels);
    QFETCH(int, level);
    Board b;
    multidig_mod ch0(b.pins, 0, 4000000);
    ch0.set_pwr(int8_t(pwr), uint8_t(channels));
    QCOMPARE(int(b.model->power_level(0)), level);
}

void TestMultiDig::bitrateWord_data()
{
    QTest::addColumn<int>("code");
    QTest::addColumn<int>("bandwidth");
    QTest::addColumn<uint>("word");
    // 50 x 2^24 leaves exactly half of 67108864 over: down here, where the single modulator's
    // rule (half or more) would go up.
    QTest::newRow("remainder exactly half") << int(MOD_DBPSK_50_PROT_D) << 67108864 << 12u;
    QTest::newRow("3200 at 4 MHz") << int(MOD_DBPSK_3200_PROT_E) << 4000000 << 13422u;
    QTest::newRow("25600 at 4 MHz") << int(MOD_DBPSK_25600_PROT_D) << 4000000 << 107374u;
    QTest::newRow("400 at 1 MHz") << int(MOD_DBPSK_400_PROT_D) << 1000000 << 6711u;
    QTest::newRow("no rate") << 25 << 4000000 << 0u;
}

void TestMultiDig::bitrateWord()
{
    QFETCH(int, code);
    QFETCH(int, bandwidth);
    QFETCH(uint, word);
    QCOMPARE(multidig_mod::bitrate_word(mod_bitrate_s(code), bandwidth), word);
    if (code == MOD_DBPSK_50_PROT_D)
        QCOMPARE((uint64_t(50) << 24) % uint64_t(bandwidth), uint64_t(bandwidth) / 2);
    Board b(QString(), 1, bandwidth);
    multidig_mod ch0(b.pins, 0, bandwidth);
    ch0.sendDL_DBPSK_ProtD_ver4(1, 0, reinterpret_cast<const uint8_t*>("12345678"), 0, 0, mod_bitrate_s(code));
    QCOMPARE(b.model->bitrate_word(0), word);
}

void TestMultiDig::phyToBitrate_data()
{
    QTest::addColumn<int>("code");
    QTest::addColumn<int>("rate");
    QTest::newRow("25 has none here") << 25 << 0;
    QTest::newRow("21") << 21 << 50;
    QTest::newRow("31") << 31 << 400;
    QTest::newRow("26") << 26 << 3200;
    QTest::newRow("33") << 33 << 25600;
    QTest::newRow("35") << 35 << 100;
    QTest::newRow("unsupported") << 255 << 0;
}

void TestMultiDig::phyToBitrate()
{
    QFETCH(int, code);
    QFETCH(int, rate);
    QCOMPARE(int(multidig_mod::phy_to_bitrate(mod_bitrate_s(code))), rate);
}

void TestMultiDig::channelCountAndPower_data()
{
    QTest::addColumn<QString>("count");
    QTest::addColumn<int>("channels");
    QTest::addColumn<int>("reduce");
    QTest::addColumn<int>("maxPower");
    QTest::newRow("1") << "1" << 1 << 0 << 30;
    QTest::newRow("2") << "2" << 2 << 6 << 24;
    QTest::newRow("3") << "3" << 3 << 9 << 21;
    QTest::newRow("4") << "4" << 4 << 12 << 18;
    QTest::newRow("8") << "8" << 8 << 18 << 12;
    QTest::newRow("16") << "16" << 16 << 24 << 6;
    QTest::newRow("0 is one") << "0" << 1 << 0 << 30;
    QTest::newRow("-3 is one") << "-3" << 1 << 0 << 30;
    QTest::newRow("1000 is cut to 255") << "1000" << 255 << 48 << -18;
}

void TestMultiDig::channelCountAndPower()
{
    QFETCH(QString, count);
    QFETCH(int, channels);
    QFETCH(int, reduce);
    QFETCH(int, maxPower);
    Board b("DL_CH_COUNT=" + count, 256);
    auto t = b.transmitter();
    QCOMPARE(t->channel_count(), channels);
    QCOMPARE(t->power_reduction(), reduce);
    QCOMPARE(t->get_max_power(), maxPower);
    QCOMPARE(int(t->get_free_count_mod()), channels);
    // Every channel got its own hop table, none beyond.
    QCOMPARE(b.model->hop_entry(channels - 1, 7), uint8_t(MOD_PLUS90000));
    QCOMPARE(b.model->hop_entry(channels, 7), uint8_t(0));
    QCOMPARE(b.log().contains("DL_CH_COUNT"), QString::number(channels) != count);
}

void TestMultiDig::settingFallbacks_data()
{
    QTest::addColumn<QString>("tx");
    QTest::addColumn<QByteArray>("line");
    QTest::addColumn<int>("step");
    QTest::addColumn<int>("bandwidth");
    QTest::addColumn<double>("window");
    QTest::newRow("step 0") << "DL_SINTH_FREQ_STEP=0" << QByteArray("DL_SINTH_FREQ_STEP") << 100000 << 4000000 << 1.0;
    QTest::newRow("step negative") << "DL_SINTH_FREQ_STEP=-5" << QByteArray("DL_SINTH_FREQ_STEP") << 100000 << 4000000 << 1.0;
    QTest::newRow("bandwidth 0") << "DL_SINTH_BANDWIDTH=0" << QByteArray("DL_SINTH_BANDWIDTH") << 100000 << 4000000 << 1.0;
    // The INI reader itself refuses these; whichever refuses, the factor is a usable one.
    QTest::newRow("window nan") << "DL_SAVE_WINDOW=nan" << QByteArray() << 100000 << 4000000 << 1.0;
    QTest::newRow("window inf") << "DL_SAVE_WINDOW=inf" << QByteArray() << 100000 << 4000000 << 1.0;
    QTest::newRow("window 1e999") << "DL_SAVE_WINDOW=1e999" << QByteArray() << 100000 << 4000000 << 1.0;
    QTest::newRow("window negative") << "DL_SAVE_WINDOW=-2" << QByteArray("DL_SAVE_WINDOW") << 100000 << 4000000 << 1.0;
    QTest::newRow("window 0 is kept") << "DL_SAVE_WINDOW=0" << QByteArray() << 100000 << 4000000 << 0.0;
}

void TestMultiDig::settingFallbacks()
{
    QFETCH(QString, tx);
    QFETCH(QByteArray, line);
    QFETCH(int, step);
    QFETCH(int, bandwidth);
    QFETCH(double, window);
    Board b(tx);
    auto t = b.transmitter();
    QCOMPARE(t->sinth_freq_step(), step);
    QCOMPARE(t->bandwidth(), bandwidth);
    QCOMPARE(t->save_window(), window);
    if (!line.isEmpty())
        QCOMPARE(b.log().count(line), 1);
    // Admission and sending work with what the settings became.
    dl_message_point m = request(1, 446050000);
    QVERIFY(t->exam_dl(&m));
    QVERIFY(t->sendDLMessage(&m, 0));
    QCOMPARE(t->synthesizer_frequency(), int32_t(kS));
}

void TestMultiDig::attenuation_data()
{
    QTest::addColumn<int>("channels");
    QTest::addColumn<int>("strength");
    QTest::addColumn<int>("level");
    QTest::addColumn<int>("strengthAfter");
    QTest::newRow("40 at N 1: full, lowered to 30") << 1 << 40 << 255 << 30;
    QTest::newRow("0xFB is -5 dBm: 35 dB down") << 1 << 0xFB << 5 << 0xFB;
    QTest::newRow("18 at N 4: that channel's full share") << 4 << 18 << 63 << 18;
    QTest::newRow("6 at N 4: 12 dB down") << 4 << 6 << 16 << 6;
}

void TestMultiDig::attenuation()
{
    QFETCH(int, channels);
    QFETCH(int, strength);
    QFETCH(int, level);
    QFETCH(int, strengthAfter);
    Board b("DL_CH_COUNT=" + QString::number(channels));
    auto t = b.transmitter();
    dl_message_point m = request(1, 446050000, QStringLiteral("DL_DBPSK_400_PROT_E"), quint8(strength));
    QVERIFY(t->sendDLMessage(&m, 0));
    QCOMPARE(int(b.model->power_level(0)), level);
    QCOMPARE(int(m.strength), strengthAfter);
    QVERIFY(b.log().contains(" PWR:" + QByteArray::number(strengthAfter) + " "));
}

void TestMultiDig::autocorrectionClaimsAndReducesMore()
{
    Board b("DL_CH_COUNT=4");
    auto t = b.transmitter();
    // 18 dBm asked of 18: no attenuation for a downlink, 12 dB more for the autocorrection.
    QVERIFY(t->sendAutocorr(0x6E0C22, 868799000, 18));
    QCOMPARE(int(b.model->power_level(0)), int(multidig_mod::power_level(-12, 4)));
    QVERIFY(t->channel(0).ongoing);
    QCOMPARE(t->channel(0).modem_id, 0x6E0C22u);
    QCOMPARE(t->channel(0).bitrate, 50);
    // Synthesizer from its own carrier, no filter frame.
    QCOMPARE(t->synthesizer_frequency(), 868800000);
    QCOMPARE(b.model->filter_events().size(), 0);
    QCOMPARE(b.model->transmissions().last().carrier, qint64(868799000));
    QVERIFY(b.log().contains(" Send autocorrection packet by dig_mod\n"));
    // Power 0 at N 4: 18 + 12 dB down.
    QVERIFY(t->sendAutocorr(1, 868799000, 0));
    QCOMPARE(int(b.model->power_level(1)), 2);
    // Released without a success line.
    b.model->release(0);
    b.model->release(1);
    QVERIFY(!t->isOngoing());
    QVERIFY(!b.log().contains("Successfully sent"));
}

void TestMultiDig::synthesizerLifeCycle()
{
    Board b("DL_CH_COUNT=4");
    auto t = b.transmitter();
    QCOMPARE(b.model->synthesizer_events().size(), 1); // switched off at construction
    QCOMPARE(b.model->synthesizer_events().at(0).frequency, qint64(0));

    dl_message_point m = request(0xA1, 446050000);
    QVERIFY(t->exam_dl(&m));
    QVERIFY(t->sendDLMessage(&m, 0));
    const auto synth = b.model->synthesizer_events();
    QCOMPARE(synth.size(), 3);
    QCOMPARE(synth.at(1).frequency, qint64(kS));
    QCOMPARE(synth.at(2).frequency, qint64(kS));
    // |868800000 - 446100000| = 422700000 Hz is far beyond what the word can say at 4 MHz: it
    // is held at the int32 top (0x7FFFFFFF), and logged once.
    const auto filter = b.model->filter_events();
    QCOMPARE(filter.size(), 1);
    QCOMPARE(filter.at(0).word, int32_t(0x7FFFFFFF));
    QCOMPARE(b.log().count("Filter offset beyond"), 1);
    const auto sent = b.model->transmissions();
    QCOMPARE(sent.size(), 1);
    QCOMPARE(sent.at(0).nco_word, multidig_mod::saturated_word(1073741824.0 / 4000000.0, -50000));
    QCOMPARE(qRound(sent.at(0).nco_offset), -50000);
    QCOMPARE(sent.at(0).carrier, qint64(446050000));
    QVERIFY(b.log().contains(" Send Zadov5 DL message by dig_mod to ID: A1 IT: 0 IT_crypto: 0 FREQ: 446050000"));

    // A second downlink in the band joins without touching the synthesizer.
    dl_message_point m2 = request(0xA2, 446010000);
    QVERIFY(t->exam_dl(&m2));
    QVERIFY(t->sendDLMessage(&m2, 0));
    QCOMPARE(b.model->synthesizer_events().size(), 3);
    QCOMPARE(b.model->transmissions().at(1).channel, 1);

    // The last release switches it off.
    b.model->release(0);
    QVERIFY(t->isOngoing());
    QCOMPARE(b.model->synthesizer(), qint64(kS));
    b.model->release(1);
    QVERIFY(!t->isOngoing());
    QCOMPARE(b.model->synthesizer(), qint64(0));
    QVERIFY(!t->synthesizer_on());
    QCOMPARE(b.log().count(" Successfully sent DL message by dig_mod to ID: "), 2);

    // The next downlink gets a new synthesizer from its own carrier, and a new filter frame.
    dl_message_point m3 = request(0xA3, 446250000);
    QVERIFY(t->exam_dl(&m3));
    QVERIFY(t->sendDLMessage(&m3, 0));
    QCOMPARE(t->synthesizer_frequency(), 446300000);
    QCOMPARE(b.model->synthesizer(), qint64(446300000));
    QCOMPARE(b.model->filter_events().size(), 2);
    QCOMPARE(b.model->transmissions().last().channel, 0);
    QCOMPARE(b.log().count("Filter offset beyond"), 1);
}

void TestMultiDig::admission_data()
{
    QTest::addColumn<QString>("tx");
    QTest::addColumn<quint32>("firstFreq"); // 0: nothing on the air
    QTest::addColumn<quint32>("freq");
    QTest::addColumn<quint32>("id");
    QTest::addColumn<bool>("admitted");
    // The first downlink (modem 1, 400 bit/s, 446050000) switches the synthesizer on at S.
    QTest::newRow("at S") << QString() << 446050000u << kS << 2u << true;
    QTest::newRow("at S - step") << QString() << 446050000u << kS - 100000 << 2u << true;
    QTest::newRow("at S - step - 1") << QString() << 446050000u << kS - 100001 << 2u << false;
    QTest::newRow("at S + 1") << QString() << 446050000u << kS + 1 << 2u << false;
    QTest::newRow("guards touch, 400 Hz apart") << QString() << 446050000u << 446050400u << 2u << false;
    QTest::newRow("guards clear, 401 Hz apart") << QString() << 446050000u << 446050401u << 2u << true;
    QTest::newRow("guards touch below") << QString() << 446050000u << 446049600u << 2u << false;
    QTest::newRow("window 0.1: same carrier") << "DL_SAVE_WINDOW=0.1" << 446050000u << 446050000u << 2u << true;
    QTest::newRow("window 0.1: same modem") << "DL_SAVE_WINDOW=0.1" << 446050000u << 446070000u << 1u << false;
    QTest::newRow("same modem, far apart") << QString() << 446050000u << 446010000u << 1u << false;
    const QString fixed = QStringLiteral("DL_SINTH_FREQ=446100000");
    QTest::newRow("fixed: half the bandwidth above") << fixed << 0u << 448100000u << 2u << false;
    QTest::newRow("fixed: half the bandwidth below") << fixed << 0u << 444100000u << 2u << false;
    QTest::newRow("fixed: just inside") << fixed << 0u << 448099999u << 2u << true;
    QTest::newRow("fixed, on: no step window") << fixed << 446050000u << 447000000u << 2u << true;
    QTest::newRow("fixed, on: half the bandwidth") << fixed << 446050000u << 448100000u << 2u << false;
    QTest::newRow("carrier beyond int32") << QString() << 0u << 3000000000u << 2u << false;
}

void TestMultiDig::admission()
{
    QFETCH(QString, tx);
    QFETCH(quint32, firstFreq);
    QFETCH(quint32, freq);
    QFETCH(quint32, id);
    QFETCH(bool, admitted);
    Board b("DL_CH_COUNT=4\n" + tx);
    auto t = b.transmitter();
    if (firstFreq) {
        dl_message_point first = request(1, firstFreq);
        QVERIFY(t->exam_dl(&first));
        QVERIFY(t->sendDLMessage(&first, 0));
    }
    dl_message_point m = request(id, freq);
    QCOMPARE(t->exam_dl(&m), admitted);
    if (admitted) {
        // What is admitted goes out with an NCO word that fits.
        QVERIFY(t->sendDLMessage(&m, 0));
        const auto last = b.model->transmissions().last();
        QCOMPARE(last.carrier, qint64(freq));
    }
    QCOMPARE(b.log().contains("NCO offset beyond"), false);
}

void TestMultiDig::allChannelsClaimed()
{
    Board b("DL_CH_COUNT=2");
    auto t = b.transmitter();
    for (quint32 i = 0; i < 2; ++i) {
        dl_message_point m = request(i + 1, 446010000 + i * 10000);
        QVERIFY(t->sendDLMessage(&m, 0));
    }
    dl_message_point m = request(9, 446090000);
    QVERIFY(!t->exam_dl(&m));
    QVERIFY(t->isBusy());
    const int writes = b.model->frames().size();
    QVERIFY(!t->sendDLMessage(&m, 0));
    QVERIFY(!t->sendAutocorr(1, 446090000, 0));
    // Refused before any register is touched (the status reads of isBusy aside).
    QCOMPARE(b.model->frames().size(), writes);
    QCOMPARE(t->get_free_mod(), uint8_t(MultiDigTransmitter::NO_CHANNEL));
}

void TestMultiDig::claimedChannelAboveAFreeOneIsExamined()
{
    Board b("DL_CH_COUNT=3");
    auto t = b.transmitter();
    dl_message_point a = request(1, 446010000);
    dl_message_point c = request(2, 446020000);
    QVERIFY(t->sendDLMessage(&a, 0));
    QVERIFY(t->sendDLMessage(&c, 0));
    b.model->release(0);
    QVERIFY(t->isOngoing());
    QCOMPARE(t->get_free_mod(), uint8_t(0));
    QVERIFY(t->channel(1).ongoing);

    dl_message_point sameModem = request(2, 446050000);
    QVERIFY(!t->exam_dl(&sameModem));
    dl_message_point overlapping = request(3, 446020100);
    QVERIFY(!t->exam_dl(&overlapping));
    dl_message_point clear = request(3, 446030000);
    QVERIFY(t->exam_dl(&clear));
    QVERIFY(t->sendDLMessage(&clear, 0));
    QCOMPARE(b.model->transmissions().last().channel, 0);
}

void TestMultiDig::requestWithoutFrame_data()
{
    QTest::addColumn<QString>("phy");
    QTest::addColumn<int>("version");
    QTest::addColumn<QByteArray>("line");
    QTest::newRow("protocol D below 4") << "DL_DBPSK_400_PROT_D" << 3 << QByteArray(" unsupported protocol version 3");
    QTest::newRow("phy outside both protocols") << "DL_PSK_500" << 5
                                                << QByteArray(" Send Zadov5 DL message by dig_mod for current phy is unsupported, ID: 7 ");
}

void TestMultiDig::requestWithoutFrame()
{
    QFETCH(QString, phy);
    QFETCH(int, version);
    QFETCH(QByteArray, line);
    Board b("DL_CH_COUNT=2");
    auto t = b.transmitter();
    dl_message_point m = request(7, 446050000, phy);
    m.vexa_ver = quint32(version);
    QVERIFY(t->sendDLMessage(&m, 0));
    QVERIFY(b.log().contains(line));
    QCOMPARE(int(t->get_free_count_mod()), 2);
    QVERIFY(!t->isOngoing());
    QCOMPARE(controlWrites(*b.model), 0);
    QVERIFY(!t->synthesizer_on());
    b.clock->advanceMs(1000);
    QCOMPARE(t->get_busy_msec(), 0u);
    QVERIFY(!b.log().contains("Successfully sent"));
}

void TestMultiDig::airTime()
{
    Board b("DL_CH_COUNT=4");
    auto t = b.transmitter();

    // 6000 + 4000 ms gathered over four channels.
    dl_message_point m1 = request(1, 446010000);
    dl_message_point m2 = request(2, 446020000);
    QVERIFY(t->sendDLMessage(&m1, 0));
    QVERIFY(t->sendDLMessage(&m2, 0));
    b.clock->advanceMs(4000);
    b.model->release(1);
    t->send_controller();
    b.clock->advanceMs(2000);
    b.model->release(0);
    t->send_controller();
    QCOMPARE(t->get_busy_msec(), 2500u);
    QCOMPARE(t->get_busy_msec(), 0u);

    // A frame on the air is counted up to each call and from there on in the next.
    QVERIFY(t->sendDLMessage(&m1, 0));
    b.clock->advanceMs(4000);
    QCOMPARE(t->get_busy_msec(), 1000u);
    b.clock->advanceMs(2000);
    b.model->release(0);
    t->send_controller();
    QCOMPARE(t->get_busy_msec(), 500u);

    // An autocorrection frame is air time too.
    QVERIFY(t->sendAutocorr(5, 868799000, 0));
    b.clock->advanceMs(800);
    b.model->release(0);
    t->send_controller();
    QCOMPARE(t->get_busy_msec(), 200u);
}

void TestMultiDig::autocorrectionThroughScheduler_data()
{
    QTest::addColumn<bool>("channelFree");
    QTest::newRow("a free channel takes it") << true;
    QTest::newRow("no free channel: refused, not counted") << false;
}

// On a QORM LTE station the SPI transceiver otherwise sends the autocorrection frame, so its
// slot is left empty here.
void TestMultiDig::autocorrectionThroughScheduler()
{
    QFETCH(bool, channelFree);
    Board b("DL_CH_COUNT=1\nAUTO_CORRECTION=true");
    DL_sender sender(b.settings, b.pins, nullptr, modulatorOnly(), b.clock);
    MultiDigTransmitter* multi = startedWithoutController(sender);
    QVERIFY(multi);
    if (!channelFree) {
        auto* m = new dl_message_point(request(1, 446050000));
        sender.queueDLMessage(m);
        sender.dequeueDLMessages();
        QVERIFY(multi->channel(0).ongoing);
    }
    const int before = b.model->transmissions().size();
    sender.send_corr_message();
    sender.dequeueDLMessages();
    if (channelFree) {
        QVERIFY(!sender.autocorrection_due());
        QCOMPARE(sender.autocorrection_tries(), 1u);
        QCOMPARE(b.model->transmissions().size(), before + 1);
        QCOMPARE(b.model->transmissions().last().carrier, qint64(868799000));
        QVERIFY(multi->channel(0).ongoing);
        QVERIFY(multi->isBusy());
    } else {
        QVERIFY(sender.autocorrection_due());
        QCOMPARE(sender.autocorrection_tries(), 0u);
        QCOMPARE(b.model->transmissions().size(), before);
    }
}

void TestMultiDig::stuckChannelDoesNotHoldTheAutocorrection()
{
    Board b("DL_CH_COUNT=2\nAUTO_CORRECTION=true");
    DL_sender sender(b.settings, b.pins, nullptr,
                     [](DownlinkSlot slot, const DownlinkBackendContext& c) -> std::unique_ptr<IVexaTransmitter> {
                         return slot == DownlinkSlot::MultiDigModulator ? makeDefaultDownlinkBackend(slot, c) : nullptr;
                     },
                     b.clock);
    sender.start();
    auto* multi = dynamic_cast<MultiDigTransmitter*>(sender.backend(DownlinkSlot::MultiDigModulator));
    QVERIFY(multi);
    multi->stop_controller();
    sender.queueDLMessage(new dl_message_point(request(1, 446050000)));
    sender.dequeueDLMessages();
    QVERIFY(multi->channel(0).ongoing); // and its modulator never says it is done

    const qint64 slept = b.clock->sleptMs();
    sender.send_corr_message();
    sender.dequeueDLMessages();
    QVERIFY(b.clock->sleptMs() - slept >= 10000);
    QVERIFY(b.clock->sleptMs() - slept < 11000);
    QVERIFY(!sender.autocorrection_due());
    QCOMPARE(b.log().count("still busy after"), 1);
    QVERIFY(multi->channel(0).ongoing);
    QVERIFY(multi->channel(1).ongoing);
    QCOMPARE(b.model->transmissions().last().channel, 1);
    // The synthesizer stayed where the stuck downlink needs it: the autocorrection's word is
    // held at the top of its range, once in the log.
    QCOMPARE(b.model->synthesizer(), qint64(kS));
    QCOMPARE(b.log().count("NCO offset beyond"), 1);
}

void TestMultiDig::otherBackEndOnlyWhileNoChannelOnAir()
{
    // The synthesizer is fixed, so a carrier beyond half the bandwidth is never admitted.
    Board b("DL_CH_COUNT=2\nDL_SINTH_FREQ=446100000");
    FakeBackend* spi = nullptr;
    DL_sender sender(b.settings, b.pins, nullptr,
                     [&spi](DownlinkSlot slot, const DownlinkBackendContext& c) -> std::unique_ptr<IVexaTransmitter> {
                         if (slot == DownlinkSlot::MultiDigModulator)
                             return makeDefaultDownlinkBackend(slot, c);
                         if (slot == DownlinkSlot::SpiTransceiver) {
                             auto f = std::make_unique<FakeBackend>();
                             spi = f.get();
                             return f;
                         }
                         return nullptr;
                     },
                     b.clock);
    sender.start();
    auto* multi = dynamic_cast<MultiDigTransmitter*>(sender.backend(DownlinkSlot::MultiDigModulator));
    QVERIFY(multi && spi);
    multi->stop_controller();

    sender.queueDLMessage(new dl_message_point(request(1, 446050000)));
    sender.dequeueDLMessages();
    QVERIFY(multi->channel(0).ongoing);
    QVERIFY(spi->sent.isEmpty());

    sender.queueDLMessage(new dl_message_point(request(3, 446060000)));
    sender.dequeueDLMessages();
    QVERIFY(multi->channel(1).ongoing);
    b.model->release(1);
    sender.queueDLMessage(new dl_message_point(request(2, 450000000)));
    sender.dequeueDLMessages();
    sender.dequeueDLMessages();
    QVERIFY(spi->sent.isEmpty());
    QCOMPARE(sender.queued(), 1);

    b.model->release(0);
    sender.dequeueDLMessages();
    QCOMPARE(spi->sent.size(), 1);
    QCOMPARE(spi->sent.at(0).modem_id, 2u);
    QCOMPARE(sender.queued(), 0);
}

void TestMultiDig::statusReadOncePerPass_data()
{
    QTest::addColumn<int>("waiting");
    QTest::newRow("1 waiting") << 1;
    QTest::newRow("100 waiting") << 100;
    QTest::newRow("1,000 waiting") << 1000;
}

void TestMultiDig::statusReadOncePerPass()
{
    // Every channel on the air: a tick reads each claimed channel's status once, however many
    // requests wait, and writes no line for them; a channel released meanwhile is seen on the
    // next tick.
    QFETCH(int, waiting);
    Board b("DL_CH_COUNT=2");
    DL_sender sender(b.settings, b.pins, nullptr, modulatorOnly(), b.clock);
    MultiDigTransmitter* multi = startedWithoutController(sender);
    QVERIFY(multi);
    sender.queueDLMessage(new dl_message_point(request(1, 446050000)));
    sender.queueDLMessage(new dl_message_point(request(2, 446060000)));
    sender.dequeueDLMessages();
    QVERIFY(multi->channel(0).ongoing && multi->channel(1).ongoing);
    for (int i = 0; i < waiting; ++i)
        sender.queueDLMessage(new dl_message_point(request(quint32(100 + i), 446070000)));
    const QByteArray logBefore = b.log();
    for (int tick = 0; tick < 3; ++tick) {
        const int before = b.model->frames().size();
        sender.dequeueDLMessages();
        QCOMPARE(b.model->frames().size() - before, 2);
    }
    QCOMPARE(b.log(), logBefore);
    QCOMPARE(sender.queued(), waiting);

    b.model->release(0);
    sender.dequeueDLMessages();
    QVERIFY(multi->channel(0).ongoing); // freed and claimed again by the first waiting request
    QCOMPARE(sender.queued(), waiting - 1);
}

QTEST_GUILESS_MAIN(TestMultiDig)
#include "tst_multidig.moc"
