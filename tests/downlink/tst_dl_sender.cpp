// The downlink scheduler with fake back-ends, a manual clock and a temporary configuration:
// ordering, expiry, back-end choice, power clamp and correction, the per-tick air budget,
// busyness, the status record and the frequency autocorrection.
#include "DL_sender.h"
#include "FakeBackend.h"
#include "ManualStationClock.h"
#include "SettingsController.h"
#include "SimSerialModem.h"

#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>
#include <thread>

namespace {
using Slot = DownlinkSlot;
constexpr qint64 kNow = 1700000000;

// One station: its INI, settings, clock, fakes and sender.
struct Station {
    QTemporaryDir dir;
    SettingsController settings;
    std::shared_ptr<ManualStationClock> clock = std::make_shared<ManualStationClock>(kNow, 0);
    FakeFactory fakes;
    std::unique_ptr<DL_sender> sender;

    // type: the BS_TYPE value; tx: lines of group TRANSMITTER (and of any group after it);
    // factory: the back-ends, fakes made by `make` when empty.
    Station(const QString& type, const QString& tx, std::map<Slot, std::function<void(FakeBackend&)>> make,
            const QString& bs = QString(), DownlinkBackendFactory factory = {})
    {
        const QString ini = QStringLiteral("[BASE_STATION]\nBS_TYPE=%1\nBS_ID=1234\nLOG_FILE_PATH=%2\n%3\n[TRANSMITTER]\n%4\n")
                                .arg(type, dir.filePath("dl.log"), bs, tx);
        QFile f(dir.filePath("station.ini"));
        f.open(QIODevice::WriteOnly);
        f.write(ini.toUtf8());
        f.close();
        settings.initController(dir.filePath("station.ini"));
        fakes.make = std::move(make);
        fakes.clock = clock;
        sender = std::make_unique<DL_sender>(settings, nullptr, nullptr, factory ? factory : fakes.factory(), clock);
        sender->start();
    }

    FakeBackend* fake(Slot s) const { return fakes[s]; }

    // tweak: sets further fields before the request is handed over.
    void queue(quint32 id, const QString& phy, dl_message_point::DLPriority prio = dl_message_point::PRIORITY_LOW,
               const std::function<void(dl_message_point&)>& tweak = {})
    {
        auto* m = new dl_message_point;
        m->modem_id = id;
        m->phy = phy;
        m->priority = prio;
        m->freq = 446000000;
        m->strength = 10;
        if (tweak)
            tweak(*m);
        sender->queueDLMessage(m);
    }

    QByteArray log() const
    {
        QFile f(dir.filePath("dl.log"));
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    }

    void echo(quint32 id, qint32 delta, float snr = 10.0f)
    {
        auto m = QSharedPointer<message_point>::create();
        m->ID = id;
        m->FREQ = quint64(868800000 - 1000 - delta);
        m->SNR = snr;
        sender->setULMessage(m);
    }
};

const QString kDigOn = QStringLiteral("SEND_DL=true\nDIG_MOD=true");
void takesAll(FakeBackend&) {}

QList<quint32> ids(const QList<FakeBackend::Sent>& sent)
{
    QList<quint32> out;
    for (const auto& s : sent)
        out.append(s.modem_id);
    return out;
}

struct Req {
    quint32 id;
    QString phy;
    int prio;
};
} // namespace
Q_DECLARE_METATYPE(QList<Req>)
Q_DECLARE_METATYPE(DownlinkSlot)

class TestDlSender : public QObject {
    Q_OBJECT
private slots:
    void ordering_data();
    void ordering();
    void orderingIsStableAcrossTicks();
    void expiry_data();
    void expiry();
    void deadlineRecheckedBeforeEachRequest();
    void choice_data();
    void choice();
    void emptySlotIsLoggedOnceAndInactive();
    void powerClamp_data();
    void powerClamp();
    void correctionScaledToCarrier();
    void airBudgetPerTick();
    void busyBackEndSkipsTheTick();
    void busyBackEndHoldsOnlyItsOwn_data();
    void busyBackEndHoldsOnlyItsOwn();
    void offerWrittenOncePerChange_data();
    void offerWrittenOncePerChange();
    void unknownPhyName_data();
    void unknownPhyName();
    void versionZeroOnTheSerialModem_data();
    void versionZeroOnTheSerialModem();
    void phyNoBackEndTakesSaidOnce();
    void reentryAndWaitCounter();
    void stopDuringASendEndsTheTick();
    void stopRequestFromAnotherThread();
    void busyness();
    void info_data();
    void info();
    void autocorrectionLadder();
    void autocorrectionNobodyCanTakeIt_data();
    void autocorrectionNobodyCanTakeIt();
    void autocorrectionFalseResultCounts();
    void echoMaths_data();
    void echoMaths();
    void echoPowerFloor();
    void ownIds_data();
    void ownIds();
};

void TestDlSender::ordering_data()
{
    QTest::addColumn<QList<Req>>("queued");
    QTest::addColumn<QList<quint32>>("order");
    QTest::newRow("equal: arrival order") << QList<Req>{{1, "DL_DBPSK_400_PROT_D", 0}, {2, "DL_DBPSK_400_PROT_D", 0}, {3, "DL_DBPSK_400_PROT_D", 0}}
                                          << QList<quint32>{1, 2, 3};
    QList<Req> many;
    for (quint32 i = 1; i <= 20; ++i)
        many.append({i, "DL_DBPSK_50_PROT_E", 0});
    many.append({99, "DL_DBPSK_50_PROT_D", 3});
    QList<quint32> manyOrder{99};
    for (quint32 i = 1; i <= 20; ++i)
        manyOrder.append(i);
    QTest::newRow("HIGHEST queued last goes first") << many << manyOrder;
    QTest::newRow("E 50 before D 25600") << QList<Req>{{1, "DL_DBPSK_25600_PROT_D", 1}, {2, "DL_DBPSK_50_PROT_E", 1}}
                                         << QList<quint32>{2, 1};
    // A name outside the phy tables is never handed to a back-end: it waits.
    QTest::newRow("unknown never sent") << QList<Req>{{1, "NOT_A_PHY", 2}, {2, "DL_PSK_200", 2}, {3, "DL_DBPSK_50_PROT_D", 2}}
                                        << QList<quint32>{2, 3};
    const QStringList names{"DL_DBPSK_25600_PROT_E", "DL_DBPSK_3200_PROT_E", "DL_DBPSK_400_PROT_E", "DL_DBPSK_50_PROT_E",
                            "DL_PSK_FASTDL", "DL_DBPSK_25600_PROT_D", "DL_PSK_5000", "DL_DBPSK_3200_PROT_D",
                            "DL_PSK_500", "DL_DBPSK_400_PROT_D", "DL_PSK_200", "DL_DBPSK_50_PROT_D", "dl_psk_200"};
    QList<Req> all;
    QList<quint32> allOrder;
    for (int i = names.size() - 1; i >= 0; --i)
        all.append({quint32(i + 1), names.at(i), 0});
    for (int i = 0; i < names.size() - 1; ++i) // the last, in the wrong case, waits
        allOrder.append(quint32(i + 1));
    QTest::newRow("every downlink phy") << all << allOrder;
    QTest::newRow("priority over phy") << QList<Req>{{1, "DL_DBPSK_25600_PROT_E", 0}, {2, "DL_DBPSK_50_PROT_D", 1}, {3, "DL_PSK_200", 2}}
                                       << QList<quint32>{3, 2, 1};
}

void TestDlSender::ordering()
{
    QFETCH(QList<Req>, queued);
    QFETCH(QList<quint32>, order);
    Station s("QORM_TYPE", kDigOn, {{Slot::DigModulator, takesAll}});
    for (const Req& r : queued)
        s.queue(r.id, r.phy, dl_message_point::DLPriority(r.prio));
    s.sender->dequeueDLMessages();
    QCOMPARE(ids(s.fake(Slot::DigModulator)->sent), order);
    QCOMPARE(s.sender->queued(), queued.size() - order.size());
}

void TestDlSender::orderingIsStableAcrossTicks()
{
    Station s("QORM_TYPE", kDigOn, {{Slot::DigModulator, [](FakeBackend& b) { b.result = false; }}});
    for (quint32 i = 1; i <= 4; ++i)
        s.queue(i, "DL_DBPSK_400_PROT_D");
    for (int t = 0; t < 3; ++t)
        s.sender->dequeueDLMessages();
    s.queue(5, "DL_DBPSK_400_PROT_D");
    FakeBackend* b = s.fake(Slot::DigModulator);
    b->sent.clear();
    b->result = true;
    s.sender->dequeueDLMessages();
    QCOMPARE(ids(b->sent), (QList<quint32>{1, 2, 3, 4, 5}));
}

void TestDlSender::expiry_data()
{
    QTest::addColumn<QDateTime>("deadline");
    QTest::addColumn<bool>("sent");
    QTest::newRow("now") << QDateTime::fromSecsSinceEpoch(kNow, Qt::UTC) << false;
    QTest::newRow("an hour ago") << QDateTime::fromSecsSinceEpoch(kNow - 3600, Qt::UTC) << false;
    QTest::newRow("now + 1") << QDateTime::fromSecsSinceEpoch(kNow + 1, Qt::UTC) << true;
    QTest::newRow("null") << QDateTime() << true;
    QTest::newRow("epoch") << QDateTime::fromSecsSinceEpoch(0, Qt::UTC) << true;
}

void TestDlSender::expiry()
{
    QFETCH(QDateTime, deadline);
    QFETCH(bool, sent);
    Station s("QORM_TYPE", kDigOn, {{Slot::DigModulator, takesAll}});
    s.queue(0xABC, "DL_DBPSK_400_PROT_D", dl_message_point::PRIORITY_LOW, [&](dl_message_point& r) { r.time_out_dated = deadline; });
    s.sender->dequeueDLMessages();
    QCOMPARE(s.fake(Slot::DigModulator)->sent.size(), sent ? 1 : 0);
    QCOMPARE(s.sender->queued(), 0);
    QCOMPARE(s.log().contains(" DL message outdated for ID: ABC\n"), !sent);
}

void TestDlSender::deadlineRecheckedBeforeEachRequest()
{
    Station s("QORM_TYPE", kDigOn, {{Slot::DigModulator, [](FakeBackend& b) { b.send_ms = 2000; }}});
    s.queue(1, "DL_DBPSK_400_PROT_D");
    s.queue(2, "DL_DBPSK_400_PROT_D", dl_message_point::PRIORITY_LOW, [&](dl_message_point& r) { r.time_out_dated = QDateTime::fromSecsSinceEpoch(kNow + 1, Qt::UTC); });
    s.sender->dequeueDLMessages();
    QCOMPARE(ids(s.fake(Slot::DigModulator)->sent), QList<quint32>{1});
    QCOMPARE(s.sender->queued(), 0);
    QVERIFY(s.log().contains(" DL message outdated for ID: 2\n"));
}

void TestDlSender::choice_data()
{
    QTest::addColumn<QString>("type");
    QTest::addColumn<QString>("tx");
    QTest::addColumn<QString>("phy");
    QTest::addColumn<int>("admit");   // multi-channel: -1 no such back-end, 0 refuses, 1 admits
    QTest::addColumn<bool>("ongoing"); // multi-channel on the air
    QTest::addColumn<int>("expected"); // slot that sends it, -1 none
    const QString psk = "DL_PSK_500";
    const QString dbpsk = "DL_DBPSK_400_PROT_D";
    QTest::newRow("QORM DIG_MOD: DBPSK to the modulator") << "QORM_TYPE" << kDigOn << dbpsk << -1 << false << int(Slot::DigModulator);
    QTest::newRow("QORM DIG_MOD: PSK to the modem") << "QORM_TYPE" << kDigOn << psk << -1 << false << int(Slot::SerialModem);
    QTest::newRow("QORM without DIG_MOD: all to the modem") << "QORM_TYPE" << "SEND_DL=true\nDIG_MOD=false" << dbpsk << -1 << false << int(Slot::SerialModem);
    QTest::newRow("Quabo: the transceiver") << "QUABO_TYPE" << kDigOn << dbpsk << -1 << false << int(Slot::SpiTransceiver);
    QTest::newRow("QORM LTE: admitted by the channels") << "QORM_LTE_TYPE" << kDigOn << dbpsk << 1 << false << int(Slot::MultiDigModulator);
    QTest::newRow("QORM LTE: refused, channels idle") << "QORM_LTE_TYPE" << kDigOn << dbpsk << 0 << false << int(Slot::SpiTransceiver);
    QTest::newRow("QORM LTE: refused, a channel on the air") << "QORM_LTE_TYPE" << kDigOn << dbpsk << 0 << true << -1;
    QTest::newRow("QORM LTE without DIG_MOD") << "QORM_LTE_TYPE" << "SEND_DL=true" << dbpsk << -1 << false << int(Slot::SpiTransceiver);
    QTest::newRow("SEND_DL off: no back-end") << "QORM_TYPE" << "SEND_DL=false\nDIG_MOD=true" << dbpsk << -1 << false << -1;
}

void TestDlSender::choice()
{
    QFETCH(QString, type);
    QFETCH(QString, tx);
    QFETCH(QString, phy);
    QFETCH(int, admit);
    QFETCH(bool, ongoing);
    QFETCH(int, expected);
    const auto modulatorPhys = [](FakeBackend& b) { b.phys = QStringList{"DL_DBPSK_400_PROT_D"}; };
    std::map<Slot, std::function<void(FakeBackend&)>> make{
        {Slot::SerialModem, takesAll}, {Slot::SpiTransceiver, takesAll}, {Slot::DigModulator, modulatorPhys}};
    make[Slot::MultiDigModulator] = [admit, ongoing](FakeBackend& b) {
        b.admit = admit > 0;
        b.ongoing = ongoing;
    };
    Station s(type, tx, make);
    s.queue(7, phy);
    s.sender->dequeueDLMessages();
    for (Slot slot : {Slot::SerialModem, Slot::SpiTransceiver, Slot::DigModulator, Slot::MultiDigModulator}) {
        FakeBackend* b = s.fake(slot);
        const int n = b ? b->sent.size() : 0;
        QCOMPARE(n, int(slot) == expected ? 1 : 0);
    }
    QCOMPARE(s.sender->queued(), expected < 0 ? 1 : 0);
}

void TestDlSender::emptySlotIsLoggedOnceAndInactive()
{
    // The modem slot is empty: a PSK request waits, DBPSK goes to the modulator, and the
    // station has no modem id of its own.
    Station s("QORM_TYPE", kDigOn + "\nAUTO_CORRECTION=true", {{Slot::DigModulator, [](FakeBackend& b) { b.phys = QStringList{"DL_DBPSK_400_PROT_D"}; }}});
    s.queue(1, "DL_PSK_500");
    s.queue(2, "DL_DBPSK_400_PROT_D");
    s.sender->dequeueDLMessages();
    QCOMPARE(ids(s.fake(Slot::DigModulator)->sent), QList<quint32>{2});
    QCOMPARE(s.sender->queued(), 1);
    s.sender->start();
    s.sender->dequeueDLMessages();
    QCOMPARE(s.sender->queued(), 1);
    QCOMPARE(s.log().count("No serial radio modem back-end in this build"), 1);
    QVERIFY(!s.sender->slot_active(Slot::SerialModem));
    QVERIFY(s.sender->slot_wanted(Slot::SerialModem));
    QCOMPARE(s.sender->info().type, QStringLiteral("&DM"));
    QCOMPARE(s.sender->info().modem_id, 0u);
    // The autocorrection goes to the modulator, with no id.
    s.sender->send_corr_message();
    s.sender->dequeueDLMessages();
    QCOMPARE(s.fake(Slot::DigModulator)->autocorrs.size(), 1);
    QCOMPARE(s.fake(Slot::DigModulator)->autocorrs.at(0).id, 0u);
    QCOMPARE(s.fake(Slot::DigModulator)->autocorrs.at(0).freq, 868799000u);
}

void TestDlSender::powerClamp_data()
{
    QTest::addColumn<QString>("maxPower");
    QTest::addColumn<int>("strength");
    QTest::addColumn<int>("given");
    QTest::newRow("30 over the default 26") << QString() << 30 << 26;
    QTest::newRow("20 under 26") << QString() << 20 << 20;
    QTest::newRow("0xFB is -5 dBm") << QString() << 0xFB << -5;
    QTest::newRow("MAX_POWER 10") << "MAX_POWER=10" << 14 << 10;
    QTest::newRow("negative MAX_POWER") << "MAX_POWER=-3" << 0 << -3;
}

void TestDlSender::powerClamp()
{
    QFETCH(QString, maxPower);
    QFETCH(int, strength);
    QFETCH(int, given);
    Station s("QORM_TYPE", kDigOn + "\n" + maxPower, {{Slot::DigModulator, takesAll}});
    s.queue(1, "DL_DBPSK_400_PROT_D", dl_message_point::PRIORITY_LOW, [&](dl_message_point& r) { r.strength = quint8(strength); });
    s.sender->dequeueDLMessages();
    QCOMPARE(s.fake(Slot::DigModulator)->sent.value(0).strength, given);
}

void TestDlSender::correctionScaledToCarrier()
{
    Station s("QORM_TYPE", kDigOn + "\nAUTO_CORRECTION=true",
              {{Slot::SerialModem, [](FakeBackend& b) { b.id = 0x123456; b.phys = QStringList{"DL_PSK_500"}; }}, {Slot::DigModulator, takesAll}});
    s.echo(0x123456, 500);
    QCOMPARE(s.sender->frequency_correction(), 500.0f);
    s.queue(1, "DL_DBPSK_400_PROT_D");
    s.sender->dequeueDLMessages();
    QCOMPARE(s.fake(Slot::DigModulator)->sent.size(), 1);
    QVERIFY(qAbs(s.fake(Slot::DigModulator)->sent.at(0).corr - 256.676) < 0.001);
}

void TestDlSender::airBudgetPerTick()
{
    Station s("QORM_TYPE", kDigOn, {{Slot::DigModulator, [](FakeBackend& b) { b.send_ms = 6000; }}});
    for (quint32 i = 1; i <= 5; ++i)
        s.queue(i, "DL_DBPSK_50_PROT_D");
    s.sender->dequeueDLMessages();
    QCOMPARE(ids(s.fake(Slot::DigModulator)->sent), (QList<quint32>{1, 2, 3}));
    QCOMPARE(s.sender->queued(), 2);
    s.sender->dequeueDLMessages();
    QCOMPARE(ids(s.fake(Slot::DigModulator)->sent), (QList<quint32>{1, 2, 3, 4, 5}));
}

void TestDlSender::busyBackEndSkipsTheTick()
{
    Station s("QORM_TYPE", kDigOn, {{Slot::DigModulator, [](FakeBackend& b) { b.busy = true; }}});
    s.queue(1, "DL_DBPSK_400_PROT_D", dl_message_point::PRIORITY_LOW, [&](dl_message_point& r) { r.time_out_dated = QDateTime::fromSecsSinceEpoch(kNow - 10, Qt::UTC); });
    s.queue(2, "DL_DBPSK_400_PROT_D");
    s.sender->dequeueDLMessages();
    // Neither sent nor expired while busy.
    QCOMPARE(s.fake(Slot::DigModulator)->sent.size(), 0);
    QCOMPARE(s.sender->queued(), 2);
    s.fake(Slot::DigModulator)->busy = false;
    s.sender->dequeueDLMessages();
    QCOMPARE(ids(s.fake(Slot::DigModulator)->sent), QList<quint32>{2});
    QCOMPARE(s.sender->queued(), 0);
}

void TestDlSender::busyBackEndHoldsOnlyItsOwn_data()
{
    QTest::addColumn<QString>("type");
    QTest::addColumn<Slot>("busySlot");
    QTest::addColumn<QList<quint32>>("first");  // sent on the first tick, in order
    QTest::addColumn<QList<quint32>>("after");  // sent once the busy one is free again
    // Request 1 is PSK (the radio only), 2 is DBPSK (the modulator first).
    QTest::newRow("QORM: modem busy, modulator free") << "QORM_TYPE" << Slot::SerialModem << QList<quint32>{2} << QList<quint32>{2, 1};
    QTest::newRow("QORM: modulator busy, modem free") << "QORM_TYPE" << Slot::DigModulator << QList<quint32>{1} << QList<quint32>{1, 2};
    QTest::newRow("QORM LTE: transceiver busy, channels free") << "QORM_LTE_TYPE" << Slot::SpiTransceiver << QList<quint32>{2} << QList<quint32>{2, 1};
}

void TestDlSender::busyBackEndHoldsOnlyItsOwn()
{
    QFETCH(QString, type);
    QFETCH(Slot, busySlot);
    QFETCH(QList<quint32>, first);
    QFETCH(QList<quint32>, after);
    const auto dbpskOnly = [](FakeBackend& b) { b.phys = QStringList{"DL_DBPSK_400_PROT_D"}; };
    Station s(type, kDigOn,
              {{Slot::SerialModem, takesAll}, {Slot::SpiTransceiver, takesAll}, {Slot::DigModulator, dbpskOnly},
               {Slot::MultiDigModulator, dbpskOnly}});
    s.fake(busySlot)->busy = true;
    s.queue(1, "DL_PSK_500", dl_message_point::PRIORITY_HIGH);
    s.queue(2, "DL_DBPSK_400_PROT_D");
    s.sender->dequeueDLMessages();
    const auto allSent = [&] {
        QList<quint32> out;
        for (Slot slot : {Slot::SerialModem, Slot::SpiTransceiver, Slot::DigModulator, Slot::MultiDigModulator})
            if (FakeBackend* b = s.fake(slot))
                out += ids(b->sent);
        return out;
    };
    QCOMPARE(allSent(), first);
    QCOMPARE(s.fake(busySlot)->sent.size(), 0);
    // Waiting on a busy back-end is not an offer: nothing about it in the log.
    QCOMPARE(s.log().count("must be sent up to"), 1);
    for (int i = 0; i < 50; ++i) {
        s.clock->advanceMs(DL_sender::TICK_MS);
        s.sender->dequeueDLMessages();
    }
    QCOMPARE(allSent(), first);
    QCOMPARE(s.log().count("must be sent up to"), 1);
    s.fake(busySlot)->busy = false;
    s.sender->dequeueDLMessages();
    QList<quint32> got = allSent();
    std::sort(got.begin(), got.end());
    std::sort(after.begin(), after.end());
    QCOMPARE(got, after);
    QCOMPARE(s.sender->queued(), 0);
}

void TestDlSender::offerWrittenOncePerChange_data()
{
    QTest::addColumn<QString>("reason");          // the modem's refusal line, empty: none
    QTest::addColumn<bool>("reasonChanges");      // at tick 500 the modem's line becomes newReason
    QTest::addColumn<QString>("newReason");
    QTest::addColumn<bool>("modulatorTakesOver"); // from tick 500 the modulator takes the phy, and refuses too
    QTest::addColumn<int>("offers");              // offer lines after 1,000 ticks
    const QString port = QStringLiteral("Serial port not open");
    QTest::newRow("same refusal") << port << false << QString() << false << 1;
    QTest::newRow("silent refusal") << QString() << false << QString() << false << 1;
    QTest::newRow("reason changes") << port << true << "Vexa wait for sent timeout!" << false << 2;
    QTest::newRow("falls silent: the reason stands") << port << true << QString() << false << 1;
    QTest::newRow("silent, then a reason") << QString() << true << port << false << 2;
    QTest::newRow("back-end changes") << port << false << QString() << true << 2;
}

void TestDlSender::offerWrittenOncePerChange()
{
    QFETCH(QString, reason);
    QFETCH(bool, reasonChanges);
    QFETCH(QString, newReason);
    QFETCH(bool, modulatorTakesOver);
    QFETCH(int, offers);
    Station s("QORM_TYPE", kDigOn,
              {{Slot::SerialModem, [&](FakeBackend& b) { b.result = false; b.refusal = reason; }},
               {Slot::DigModulator, [](FakeBackend& b) { b.phys = QStringList{"DL_DBPSK_400_PROT_D"}; b.result = false; b.refusal = "modulator says no"; }}});
    s.queue(0xAB, "DL_PSK_500");
    for (int tick = 0; tick < 1000; ++tick) {
        if (tick == 500 && reasonChanges)
            s.fake(Slot::SerialModem)->refusal = newReason;
        if (tick == 500 && modulatorTakesOver)
            s.fake(Slot::DigModulator)->phys.clear();
        s.clock->advanceMs(DL_sender::TICK_MS);
        s.sender->dequeueDLMessages();
    }
    const int modemOffers = s.fake(Slot::SerialModem)->sent.size();
    QCOMPARE(modemOffers, modulatorTakesOver ? 500 : 1000);
    QCOMPARE(s.sender->queued(), 1);
    const QByteArray log = s.log();
    QCOMPARE(log.count(" DL message for AB must be sent up to: "), offers);
    if (!reason.isEmpty())
        QCOMPARE(log.count(reason.toUtf8()), 1);
    if (!newReason.isEmpty())
        QCOMPARE(log.count(newReason.toUtf8()), 1);
    QCOMPARE(log.count("modulator says no"), modulatorTakesOver ? 1 : 0);

    // Sent at last: the offer line and what the back-end said come out once more.
    FakeBackend* last = s.fake(modulatorTakesOver ? Slot::DigModulator : Slot::SerialModem);
    last->result = true;
    s.sender->dequeueDLMessages();
    QCOMPARE(s.sender->queued(), 0);
    QCOMPARE(s.log().count(" DL message for AB must be sent up to: "), offers + 1);
}

void TestDlSender::unknownPhyName_data()
{
    QTest::addColumn<QString>("type");
    QTest::addColumn<QString>("phy");
    QTest::addColumn<int>("ver");
    QTest::addColumn<bool>("toModem");
    QTest::addColumn<QString>("shown"); // the name in the log line
    for (const char* type : {"QORM_TYPE", "QUABO_TYPE", "QORM_LTE_TYPE"}) {
        for (const char* phy : {"DL_DBPSK_100H_PROT_D", "NO_SUCH_PHY", "dl_psk_200", ""}) {
            for (int ver : {0, 4}) {
                // Only the serial modem (QORM) is given such a name, and only for version 0.
                const bool toModem = ver == 0 && QLatin1String(type) == QLatin1String("QORM_TYPE");
                QTest::addRow("%s %s v%d", type, *phy ? phy : "empty", ver)
                    << QString(type) << QString(phy) << ver << toModem << QString(phy);
            }
        }
        // A line end and a stamp in the name forge no log line; the escape sequence reaches no terminal.
        QTest::addRow("%s control characters v4", type)
            << QString(type) << QString("A\r\x1b[2J\n00:00:00:000 X") << 4 << false << QString("A\\x0D\\x1B[2J\\x0A00:00:00:000 X");
    }
}

void TestDlSender::unknownPhyName()
{
    // Every fake takes every name: the scheduler itself must keep the request back, until its
    // deadline, from every back-end but the serial modem with a version-0 request.
    QFETCH(QString, type);
    QFETCH(QString, phy);
    QFETCH(int, ver);
    QFETCH(bool, toModem);
    QFETCH(QString, shown);
    Station s(type, kDigOn,
              {{Slot::SerialModem, takesAll}, {Slot::SpiTransceiver, takesAll}, {Slot::DigModulator, takesAll},
               {Slot::MultiDigModulator, takesAll}});
    s.queue(0x51, phy, dl_message_point::PRIORITY_LOW, [ver](dl_message_point& r) {
        r.vexa_ver = quint32(ver);
        r.time_out_dated = QDateTime::fromSecsSinceEpoch(kNow + 2, Qt::UTC);
    });
    for (int tick = 0; tick < 300; ++tick) {
        s.clock->advanceMs(DL_sender::TICK_MS);
        s.sender->dequeueDLMessages();
    }
    for (Slot slot : {Slot::SpiTransceiver, Slot::DigModulator, Slot::MultiDigModulator})
        if (FakeBackend* b = s.fake(slot))
            QCOMPARE(b->sent.size(), 0);
    const QByteArray waits = " DL message for 51 waits: no back-end of this station takes phy \"" + shown.toUtf8() + "\"";
    if (toModem) {
        QCOMPARE(ids(s.fake(Slot::SerialModem)->sent), QList<quint32>{0x51});
        QCOMPARE(s.sender->queued(), 0);
        QVERIFY(!s.log().contains(waits));
        return;
    }
    if (FakeBackend* modem = s.fake(Slot::SerialModem))
        QCOMPARE(modem->sent.size(), 0);
    QCOMPARE(s.sender->queued(), 1);
    s.clock->advanceMs(3000);
    s.sender->dequeueDLMessages();
    QCOMPARE(s.sender->queued(), 0);
    QCOMPARE(s.log().count(" DL message outdated for ID: 51\n"), 1);
    QVERIFY(!s.log().contains("must be sent up to"));
    QCOMPARE(s.log().count(waits), 1);
    QVERIFY(!s.log().contains('\x1b'));
}

// A QORM station with the serial modem (simulated on a pseudo-terminal) and nothing else: a
// version-0 request goes to the modem whatever its phy, and the modem's version-0 sequence sends
// it in PSK 200, or refuses a protocol D name itself. Any other version keeps a name outside the
// phy tables back.
void TestDlSender::versionZeroOnTheSerialModem_data()
{
    QTest::addColumn<QString>("phy");
    QTest::addColumn<int>("ver");
    QTest::addColumn<QString>("outcome");
    QTest::newRow("version 0, empty phy: PSK 200") << "" << 0 << "sent";
    QTest::newRow("version 0, misspelt phy: PSK 200") << "DL_PSK_2OO" << 0 << "sent";
    QTest::newRow("version 0, DL_PSK_500: PSK 200") << "DL_PSK_500" << 0 << "sent";
    QTest::newRow("version 0, DL_DBPSK_400_PROT_D: refused by the modem") << "DL_DBPSK_400_PROT_D" << 0 << "refused";
    QTest::newRow("version 4, misspelt phy: waits") << "DL_PSK_2OO" << 4 << "waits";
}

void TestDlSender::versionZeroOnTheSerialModem()
{
    QFETCH(QString, phy);
    QFETCH(int, ver);
    QFETCH(QString, outcome);
    SimSerialModem modem;
    modem.knobs().checkByte = true;
    modem.knobs().airTimeMs = 5;
    QString error;
    QVERIFY2(modem.openPty(&error), qPrintable(error));
    Station s("QORM_TYPE",
              QStringLiteral("SEND_DL=true\nDIG_MOD=false\nAUTO_CORRECTION=false\n[Comunications]\nPortNum=%1\n"
                             "BaudeRate=115200\nSLIP_CRC=true")
                  .arg(modem.portPath()),
              {}, QString(), makeDefaultDownlinkBackend);
    s.queue(0x61, phy, dl_message_point::PRIORITY_LOW, [ver](dl_message_point& r) {
        r.vexa_ver = quint32(ver);
        r.payload_len = 2;
        r.payload[0] = 0xAB;
        r.payload[1] = 0xCD;
        r.time_out_dated = QDateTime::fromSecsSinceEpoch(kNow + 2, Qt::UTC);
    });
    // Ticks until the request is gone or has had time for a few offers; the modem answers from
    // this thread's event loop, which the back-end runs while it waits.
    QElapsedTimer bound;
    bound.start();
    for (int tick = 0; tick < 20 && s.sender->queued() > 0 && bound.elapsed() < 60000; ++tick) {
        s.clock->advanceMs(DL_sender::TICK_MS);
        s.sender->dequeueDLMessages();
        QCoreApplication::processEvents();
    }
    const QByteArray log = s.log();
    if (outcome == QLatin1String("sent")) {
        QCOMPARE(s.sender->queued(), 0);
        QCOMPARE(modem.receivedCount(0x03), 1);
        // Mode record: transparent, PSK 200 (22), -1 dBm.
        QCOMPARE(QString::fromLatin1(modem.record(0).toHex()), QStringLiteral("030116ffffff"));
        QVERIFY2(log.contains(" Successfully sent DL message to ID: 61\n"), log.constData());
        return;
    }
    QCOMPARE(modem.receivedCount(0x03), 0);
    if (outcome == QLatin1String("refused")) {
        // The modem has no such frame: the request is dropped with its line, nothing sent.
        QCOMPARE(s.sender->queued(), 0);
        QVERIFY2(log.contains(" DL message for 61 must be sent up to: "), log.constData());
        QCOMPARE(log.count(" Send Zadar4 DL message by ax8052f143 unsupported\n"), 1);
        QVERIFY(!log.contains(" waits: no back-end"));
        return;
    }
    QCOMPARE(s.sender->queued(), 1);
    QVERIFY(!log.contains("must be sent up to"));
    QCOMPARE(log.count(" DL message for 61 waits: no back-end of this station takes phy \"" + phy.toUtf8() + "\""), 1);
    s.clock->advanceMs(3000);
    s.sender->dequeueDLMessages();
    QCOMPARE(s.sender->queued(), 0);
    QCOMPARE(s.log().count(" DL message outdated for ID: 61\n"), 1);
}

void TestDlSender::phyNoBackEndTakesSaidOnce()
{
    // A known name this station's back-ends do not send: one line, then silence until the deadline.
    Station s("QORM_TYPE", kDigOn,
              {{Slot::DigModulator, [](FakeBackend& b) { b.phys = QStringList{"DL_DBPSK_50_PROT_D"}; }}});
    s.queue(0x52, "DL_PSK_200", dl_message_point::PRIORITY_LOW,
            [](dl_message_point& r) { r.time_out_dated = QDateTime::fromSecsSinceEpoch(kNow + 2, Qt::UTC); });
    for (int tick = 0; tick < 300; ++tick) {
        s.clock->advanceMs(DL_sender::TICK_MS);
        s.sender->dequeueDLMessages();
    }
    QCOMPARE(s.fake(Slot::DigModulator)->sent.size(), 0);
    QCOMPARE(s.log().count(" DL message for 52 waits: no back-end of this station takes phy \"DL_PSK_200\""), 1);
    s.clock->advanceMs(3000);
    s.sender->dequeueDLMessages();
    QCOMPARE(s.log().count(" DL message outdated for ID: 52\n"), 1);
}

void TestDlSender::reentryAndWaitCounter()
{
    Station s("QORM_TYPE", kDigOn, {{Slot::DigModulator, takesAll}});
    FakeBackend* b = s.fake(Slot::DigModulator);
    DL_sender* sender = s.sender.get();
    int nested = 0;
    b->during_send = [&] {
        // The timer firing inside a nested event loop: every tick returns at once.
        for (int i = 0; i < int(DL_sender::WAIT_COUNTER_LIMIT) + 2; ++i, ++nested)
            sender->dequeueDLMessages();
    };
    s.queue(1, "DL_DBPSK_400_PROT_D");
    s.queue(2, "DL_DBPSK_400_PROT_D");
    s.sender->dequeueDLMessages();
    QCOMPARE(ids(b->sent), (QList<quint32>{1, 2}));
    QCOMPARE(nested, 2 * (int(DL_sender::WAIT_COUNTER_LIMIT) + 2));
    QCOMPARE(s.log().count(" Wait counter overflow!\n"), 2);
    // The guard is released: the next tick runs.
    b->during_send = nullptr;
    s.queue(3, "DL_DBPSK_400_PROT_D");
    s.sender->dequeueDLMessages();
    QCOMPARE(ids(b->sent), (QList<quint32>{1, 2, 3}));
}

void TestDlSender::stopDuringASendEndsTheTick()
{
    Station s("QORM_TYPE", kDigOn, {{Slot::DigModulator, takesAll}});
    FakeBackend* b = s.fake(Slot::DigModulator);
    QPointer<FakeBackend> alive(b);
    DL_sender* sender = s.sender.get();
    bool stillThereDuringSend = false;
    b->during_send = [&] {
        sender->stopTransmitter();
        stillThereDuringSend = !alive.isNull();
    };
    s.queue(1, "DL_DBPSK_400_PROT_D");
    s.queue(2, "DL_DBPSK_400_PROT_D");
    s.sender->dequeueDLMessages();
    QVERIFY(stillThereDuringSend);
    QVERIFY(alive.isNull()); // released when the tick returned
    QCOMPARE(s.sender->queued(), 1);
    QVERIFY(!s.sender->slot_active(Slot::DigModulator));
    // A restart brings the back-ends back and sends the rest.
    s.sender->start();
    s.sender->dequeueDLMessages();
    QCOMPARE(s.fake(Slot::DigModulator)->sent.size(), 1);
    QCOMPARE(s.sender->queued(), 0);
}

void TestDlSender::stopRequestFromAnotherThread()
{
    Station s("QORM_TYPE", kDigOn, {{Slot::DigModulator, takesAll}});
    FakeBackend* b = s.fake(Slot::DigModulator);
    DL_sender* sender = s.sender.get();
    b->during_send = [sender] { std::thread([sender] { sender->requestStop(); }).join(); };
    for (quint32 i = 1; i <= 3; ++i)
        s.queue(i, "DL_DBPSK_400_PROT_D");
    s.sender->dequeueDLMessages();
    QCOMPARE(ids(b->sent), QList<quint32>{1});
    QCOMPARE(s.sender->queued(), 2);
    s.sender->dequeueDLMessages();
    QCOMPARE(b->sent.size(), 1);
}

void TestDlSender::busyness()
{
    Station s("QORM_TYPE", kDigOn, {{Slot::DigModulator, [](FakeBackend& b) { b.send_ms = 6000; }}});
    s.queue(1, "DL_DBPSK_50_PROT_D");
    s.sender->dequeueDLMessages();
    s.clock->advanceMs(54000);
    s.sender->dequeueDLMessages();
    QCOMPARE(s.sender->info().busyness, 10.0f);
    QCOMPARE(s.sender->info().aver_busyness, 1.0f);
    s.clock->advanceMs(60000);
    s.sender->dequeueDLMessages();
    QCOMPARE(s.sender->info().busyness, 0.0f);
    QVERIFY(qAbs(s.sender->info().aver_busyness - 0.9f) < 1e-5f);
    QVERIFY(s.log().contains("DL BUSYNESS = 10\nAVER DL BUSYNESS = 1\n"));
}

void TestDlSender::info_data()
{
    QTest::addColumn<QString>("type");
    QTest::addColumn<QString>("tx");
    QTest::addColumn<bool>("withModem");
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("active");
    QTest::addColumn<QList<int>>("plan0");
    QTest::addColumn<quint32>("modemId");
    const QList<int> dm{10, 11, 12, 13, 14, 15, 16, 17};
    QTest::newRow("QORM, modulator only") << "QORM_TYPE" << kDigOn << false << "&DM" << true << dm << 0u;
    QTest::newRow("QORM, modem and modulator") << "QORM_TYPE" << kDigOn << true << "AX8052F143&DM" << true
                                               << QList<int>{0, 1, 2, 3, 10, 11, 12, 13, 14, 15, 16, 17} << 0x51u;
    QTest::newRow("Quabo") << "QUABO_TYPE" << kDigOn << true << "AX5043" << true << QList<int>{0, 1, 2, 3, 11} << 0x6E0C22u;
    QTest::newRow("QORM LTE with channels") << "QORM_LTE_TYPE" << kDigOn << true << "AX5043&DM" << true
                                            << QList<int>{0, 1, 2, 3, 10, 11, 12, 13, 14, 15, 16, 17} << 0x6E0C22u;
    QTest::newRow("SEND_DL off") << "QORM_TYPE" << "SEND_DL=false\nDIG_MOD=true" << true << "" << false << QList<int>{} << 0u;
}

void TestDlSender::info()
{
    QFETCH(QString, type);
    QFETCH(QString, tx);
    QFETCH(bool, withModem);
    QFETCH(QString, text);
    QFETCH(bool, active);
    QFETCH(QList<int>, plan0);
    QFETCH(quint32, modemId);
    std::map<Slot, std::function<void(FakeBackend&)>> make{
        {Slot::DigModulator, [](FakeBackend& b) { b.supported = {DL_DBPSK_50_PROT_D, DL_DBPSK_400_PROT_D, DL_DBPSK_3200_PROT_D, DL_DBPSK_25600_PROT_D,
                                                                 DL_DBPSK_50_PROT_E, DL_DBPSK_400_PROT_E, DL_DBPSK_3200_PROT_E, DL_DBPSK_25600_PROT_E}; }}};
    make[Slot::MultiDigModulator] = make[Slot::DigModulator];
    if (withModem) {
        const auto radio = [](FakeBackend& b) {
            b.id = 0x51;
            b.supported = {DL_PSK_FASTDL, DL_PSK_200, DL_PSK_5000, DL_PSK_500, DL_DBPSK_400_PROT_D};
        };
        make[Slot::SerialModem] = radio;
        make[Slot::SpiTransceiver] = radio;
    }
    Station s(type, tx + "\nMAX_POWER=20\nMAX_DUTY_CYCLE=10\nLBT=true\nDL_FREQS=446000000,447000000", make);
    const transmitter_info t = s.sender->info();
    QCOMPARE(t.type, text);
    QCOMPARE(t.active, active);
    QList<int> got;
    for (vexa_phy_channel_t c : t.dl_bitrates.value(0))
        got.append(int(c));
    QCOMPARE(got, plan0);
    QCOMPARE(t.freq_plans.value(0), 0u);
    QCOMPARE(t.modem_id, modemId);
    QCOMPARE(t.max_power, 20);
    QCOMPARE(t.max_duty_cycle, 10u);
    QCOMPARE(t.lbt, true);
    QCOMPARE(t.base_freqs, (QList<uint>{446000000u, 447000000u}));
    QCOMPARE(t.state, 8u); // autocorrection off: the correction counts as valid
}

void TestDlSender::autocorrectionLadder()
{
    Station s("QORM_TYPE", kDigOn + "\nAUTO_CORRECTION=true", {{Slot::DigModulator, takesAll}});
    FakeBackend* b = s.fake(Slot::DigModulator);
    QList<int> alarmsBeforeFrame;
    connect(s.sender.get(), &ITransmitter::alarm_out, this, [&](const QString& text) {
        if (text == QLatin1String("EVENT_AUTOCORR_ERR"))
            alarmsBeforeFrame.append(b->autocorrs.size() + 1);
    });
    QCOMPARE(s.sender->autocorrection_interval(), 10000);
    QList<int> powers;
    for (int i = 0; i < 7; ++i) {
        s.sender->send_corr_message();
        s.sender->dequeueDLMessages();
        QVERIFY(!s.sender->autocorrection_due());
    }
    for (const auto& a : b->autocorrs)
        powers.append(a.power);
    QCOMPARE(powers, (QList<int>{0, 3, 6, 9, 10, 10, 10}));
    QCOMPARE(alarmsBeforeFrame, (QList<int>{4, 7}));
    QCOMPARE(s.sender->autocorrection_interval(), 30000);
    QCOMPARE(b->autocorrs.at(0).freq, 868799000u);
    QCOMPARE(s.sender->info().state & 8u, 0u);
}

void TestDlSender::autocorrectionNobodyCanTakeIt_data()
{
    QTest::addColumn<bool>("withBackend");
    QTest::newRow("back-end busy") << true;
    QTest::newRow("no back-end") << false;
}

void TestDlSender::autocorrectionNobodyCanTakeIt()
{
    QFETCH(bool, withBackend);
    std::map<Slot, std::function<void(FakeBackend&)>> make;
    if (withBackend)
        make[Slot::DigModulator] = [](FakeBackend& b) { b.busy = true; };
    Station s("QORM_TYPE", kDigOn + "\nAUTO_CORRECTION=true", make);
    QSignalSpy alarms(s.sender.get(), &ITransmitter::alarm_out);
    for (int i = 0; i < 5; ++i) {
        s.sender->send_corr_message();
        s.sender->dequeueDLMessages();
    }
    QVERIFY(s.sender->autocorrection_due());
    QCOMPARE(s.sender->autocorrection_tries(), 0u);
    QCOMPARE(s.sender->autocorrection_power(), 0);
    QCOMPARE(alarms.count(), 0);
    if (!withBackend)
        return;
    FakeBackend* b = s.fake(Slot::DigModulator);
    QCOMPARE(b->autocorrs.size(), 0);
    b->busy = false;
    s.sender->dequeueDLMessages();
    QCOMPARE(b->autocorrs.size(), 1);
    QCOMPARE(b->autocorrs.at(0).power, 0);
    QCOMPARE(s.sender->autocorrection_tries(), 1u);
    QVERIFY(!s.sender->autocorrection_due());
}

void TestDlSender::autocorrectionFalseResultCounts()
{
    Station s("QORM_TYPE", kDigOn + "\nAUTO_CORRECTION=true", {{Slot::DigModulator, [](FakeBackend& b) { b.autocorr_result = false; }}});
    s.sender->send_corr_message();
    s.sender->dequeueDLMessages();
    s.sender->dequeueDLMessages();
    QCOMPARE(s.fake(Slot::DigModulator)->autocorrs.size(), 1);
    QCOMPARE(s.sender->autocorrection_tries(), 1u);
    QVERIFY(!s.sender->autocorrection_due());
    QVERIFY(s.log().contains(" Autocorrection packet was not sent\n"));
}

void TestDlSender::echoMaths_data()
{
    QTest::addColumn<QList<int>>("deltas");
    QTest::addColumn<float>("correction");
    QTest::addColumn<int>("accepted");
    QTest::newRow("first echo 2500") << QList<int>{2500} << 2500.0f << 1;
    QTest::newRow("2500 twice") << QList<int>{2500, 2500} << 2500.0f << 2;
    QTest::newRow("100 then 200") << QList<int>{100, 200} << 130.0f << 2;
    QTest::newRow("100 then 2000: kept") << QList<int>{100, 2000} << 100.0f << 2;
    QTest::newRow("3000 ignored") << QList<int>{3000} << 0.0f << 0;
    QTest::newRow("-3000 ignored") << QList<int>{-3000} << 0.0f << 0;
    QTest::newRow("-2999 taken") << QList<int>{-2999} << -2999.0f << 1;
    QTest::newRow("far off, then 100") << QList<int>{100000, 100} << 100.0f << 1;
}

void TestDlSender::echoMaths()
{
    QFETCH(QList<int>, deltas);
    QFETCH(float, correction);
    QFETCH(int, accepted);
    Station s("QUABO_TYPE", "SEND_DL=true\nAUTO_CORRECTION=true", {{Slot::SpiTransceiver, takesAll}});
    QSignalSpy alarms(s.sender.get(), &ITransmitter::alarm_out);
    // An attempt without echo first, so the accepted echoes visibly reset the count.
    s.sender->send_corr_message();
    s.sender->dequeueDLMessages();
    for (int d : deltas)
        s.echo(0x6E0C22, d);
    QVERIFY(qAbs(s.sender->frequency_correction() - correction) < 0.01f);
    QCOMPARE(alarms.count(), accepted);
    QCOMPARE(s.sender->autocorrection_tries(), accepted ? 0u : 1u);
    QCOMPARE(s.sender->autocorrection_interval(), accepted ? 300000 : 10000);
    QCOMPARE(s.log().count(" Autocorrection result: delta = "), accepted);
    QCOMPARE(s.sender->info().state & 8u, accepted ? 8u : 0u);
}

void TestDlSender::echoPowerFloor()
{
    Station s("QUABO_TYPE", "SEND_DL=true\nAUTO_CORRECTION=true", {{Slot::SpiTransceiver, takesAll}});
    QList<int> powers;
    for (int i = 0; i < 8; ++i) {
        s.echo(0x6E0C22, 10, 25.0f);
        powers.append(s.sender->autocorrection_power());
    }
    QCOMPARE(powers, (QList<int>{-3, -6, -9, -12, -15, -18, -20, -20}));
    s.echo(0x6E0C22, 10, 20.0f); // not above 20 dB: unchanged
    QCOMPARE(s.sender->autocorrection_power(), -20);
}

void TestDlSender::ownIds_data()
{
    QTest::addColumn<QString>("type");
    QTest::addColumn<QString>("tx");
    QTest::addColumn<quint32>("modemId"); // of the serial modem fake
    QTest::addColumn<quint32>("id");
    QTest::addColumn<bool>("own");
    const QString on = "SEND_DL=true\nAUTO_CORRECTION=true";
    QTest::newRow("BS_ID 1234: 0x6E0C22") << "QUABO_TYPE" << on << 0u << 0x6E0C22u << true;
    QTest::newRow("BS_ID 1234: 0x6F0C22") << "QUABO_TYPE" << on << 0u << 0x6F0C22u << true;
    QTest::newRow("BS_ID 1234: 0x6E0C23") << "QUABO_TYPE" << on << 0u << 0x6E0C23u << false;
    QTest::newRow("modem id") << "QORM_TYPE" << on << 0x123456u << 0x123456u << true;
    QTest::newRow("modem id 0: none") << "QORM_TYPE" << on << 0u << 0u << false;
    QTest::newRow("modem id 0: not the prefix alone") << "QORM_TYPE" << on << 0u << 0x6F0000u << false;
    QTest::newRow("autocorrection off") << "QUABO_TYPE" << "SEND_DL=true" << 0u << 0x6E0C22u << false;
}

void TestDlSender::ownIds()
{
    QFETCH(QString, type);
    QFETCH(QString, tx);
    QFETCH(quint32, modemId);
    QFETCH(quint32, id);
    QFETCH(bool, own);
    Station s(type, tx, {{Slot::SerialModem, [modemId](FakeBackend& b) { b.id = modemId; }}, {Slot::SpiTransceiver, takesAll}});
    QSignalSpy alarms(s.sender.get(), &ITransmitter::alarm_out);
    s.echo(id, 700);
    QCOMPARE(alarms.count(), own ? 1 : 0);
    QCOMPARE(s.sender->frequency_correction(), own ? 700.0f : 0.0f);
}

QTEST_GUILESS_MAIN(TestDlSender)
#include "tst_dl_sender.moc"
