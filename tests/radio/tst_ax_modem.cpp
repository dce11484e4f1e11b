// The modem link against the simulated modem on a pseudo-terminal: request/reply operations,
// the check byte switch, the busy flag, the queue polls, and replies that come late, wrong,
// split or beside an unsolicited frame.
#include "SettingsController.h"
#include "SimSerialModem.h"
#include "ax_modem.h"

#include <QElapsedTimer>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

namespace {
// A settings controller whose Comunications group points at `port`.
std::unique_ptr<SettingsController> settingsFor(const QTemporaryDir& dir, const QString& port, bool crc)
{
    const QString ini = dir.filePath(QStringLiteral("station.ini"));
    QFile f(ini);
    if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return nullptr;
    f.write(QStringLiteral("[Comunications]\nPortNum=%1\nBaudeRate=115200\nSLIP_CRC=%2\n")
                .arg(port, crc ? QStringLiteral("true") : QStringLiteral("false"))
                .toUtf8());
    f.close();
    auto s = std::make_unique<SettingsController>();
    return s->initController(ini) ? std::move(s) : nullptr;
}
} // namespace

class tst_ax_modem : public QObject
{
    Q_OBJECT

    QTemporaryDir dir;
    std::unique_ptr<SimSerialModem> sim;
    std::unique_ptr<SettingsController> settings;
    std::unique_ptr<ax_modem> link;

    // A fresh simulator and a link opened on it.
    bool start(bool crc)
    {
        link.reset();
        sim = std::make_unique<SimSerialModem>();
        sim->knobs().checkByte = crc;
        if (!sim->openPty())
            return false;
        settings = settingsFor(dir, sim->portPath(), crc);
        if (!settings)
            return false;
        link = std::make_unique<ax_modem>(*settings);
        ax_modem::resetPollCounter();
        return link->open();
    }

private slots:
    void getID_data()
    {
        QTest::addColumn<bool>("crc");
        QTest::addColumn<uint>("id");
        QTest::addColumn<int>("replyBytes");
        QTest::addColumn<QString>("knob");
        QTest::addColumn<uint>("expected");
        QTest::newRow("full reply, check byte on") << true << 0x00ABCDEFu << 4 << "" << 0x00ABCDEFu;
        QTest::newRow("full reply, check byte off") << false << 0x00ABCDEFu << 4 << "" << 0x00ABCDEFu;
        QTest::newRow("ID FFFFFF") << true << 0x00FFFFFFu << 4 << "" << 0x00FFFFFFu;
        QTest::newRow("two bytes: low bytes 0") << true << 0x12345678u << 2 << "" << 0x12340000u;
        QTest::newRow("silent modem") << true << 0x00ABCDEFu << 4 << "silent" << 0u;
        QTest::newRow("bad check byte") << true << 0x00ABCDEFu << 4 << "bad" << 0u;
        QTest::newRow("reply split over writes") << true << 0x00ABCDEFu << 4 << "split" << 0x00ABCDEFu;
        QTest::newRow("reply then an unsolicited frame in one write") << true << 0x00ABCDEFu << 4 << "unsolicited"
                                                                      << 0x00ABCDEFu;
    }
    void getID()
    {
        QFETCH(bool, crc);
        QFETCH(uint, id);
        QFETCH(int, replyBytes);
        QFETCH(QString, knob);
        QFETCH(uint, expected);
        QVERIFY(start(crc));
        sim->knobs().id = id;
        sim->knobs().idReplyBytes = replyBytes;
        if (knob == QLatin1String("silent"))
            sim->knobs().silent.insert(0x09);
        if (knob == QLatin1String("bad"))
            sim->knobs().badCheckByte.insert(0x09);
        if (knob == QLatin1String("split"))
            sim->knobs().splitReply.insert(0x09);
        if (knob == QLatin1String("unsolicited"))
            sim->knobs().withUnsolicited.insert(0x09);
        ax_modem::Timings t;
        t.idWaitMs = 300; // room for the split reply's second write on a loaded machine
        link->setTimings(t);
        QSignalSpy dl(link.get(), &ax_modem::gotDL);
        QCOMPARE(link->getID(), quint32(expected));
        QCOMPARE(sim->receivedCount(0x09), 1);
        // A frame dropped for its check byte leaves the link busy; any good one clears it.
        QCOMPARE(link->isBusy(), expected == 0);
        if (knob == QLatin1String("unsolicited"))
            QTRY_COMPARE_WITH_TIMEOUT(dl.count(), 1, 5000);
    }

    void sendDL_data()
    {
        QTest::addColumn<bool>("crc");
        QTest::addColumn<QString>("reply");
        QTest::addColumn<bool>("expected");
        QTest::newRow("check byte off: written is sent") << false << "silent" << true;
        QTest::newRow("status 0") << true << "0" << true;
        QTest::newRow("status non-zero") << true << "3" << false;
        QTest::newRow("status missing") << true << "missing" << true;
        QTest::newRow("no reply") << true << "silent" << false;
        QTest::newRow("unsolicited frame beside a refusal") << true << "3+unsolicited" << false;
        QTest::newRow("unsolicited frame beside an acceptance") << true << "0+unsolicited" << true;
    }
    void sendDL()
    {
        QFETCH(bool, crc);
        QFETCH(QString, reply);
        QFETCH(bool, expected);
        QVERIFY(start(crc));
        if (reply == QLatin1String("silent"))
            sim->knobs().silent.insert(0x03);
        else if (reply == QLatin1String("missing"))
            sim->knobs().dlStatusMissing = true;
        else
            sim->knobs().dlStatus = quint8(reply.section(QLatin1Char('+'), 0, 0).toUInt());
        if (reply.endsWith(QLatin1String("unsolicited")))
            sim->knobs().withUnsolicited.insert(0x03);
        const QByteArray payload = QByteArray::fromHex("01dd02de03df");
        // Without the check byte nothing is awaited: a wait as long as the test's own bound
        // would show as a failed send.
        const quint16 waitMs = crc ? 300 : 20000;
        QElapsedTimer took;
        took.start();
        QCOMPARE(link->sendDL(payload, waitMs), expected);
        if (!crc)
            QVERIFY2(took.elapsed() < waitMs, "without the check byte nothing is awaited");
        QTRY_COMPARE_WITH_TIMEOUT(sim->receivedCount(0x03), 1, 5000);
        QCOMPARE(sim->received().last(), QByteArray(1, '\x03') + payload);
    }

    void packetsToSendNeedsTheCheckByte()
    {
        QVERIFY(start(false));
        quint8 count = 77;
        QVERIFY(!link->getPacketsToSend(&count, 100));
        QCOMPARE(count, quint8(77));
        QVERIFY(link->waitforAxsemSent(1000)); // nothing to ask: a written frame counts as sent
        QTest::qWait(50);
        QCOMPARE(sim->received().size(), 0);
    }

    void waitForSent_data()
    {
        QTest::addColumn<QList<int>>("counts");
        QTest::addColumn<bool>("neverDrain");
        QTest::addColumn<bool>("silent");
        QTest::addColumn<bool>("expected");
        QTest::addColumn<int>("minPolls");
        QTest::newRow("empty on the third poll") << QList<int>{2, 1, 0} << false << false << true << 3;
        QTest::newRow("never drains: false at the deadline") << QList<int>{} << true << false << false << 2;
        QTest::newRow("silent modem: false at the deadline") << QList<int>{} << false << true << false << 2;
    }
    void waitForSent()
    {
        QFETCH(QList<int>, counts);
        QFETCH(bool, neverDrain);
        QFETCH(bool, silent);
        QFETCH(bool, expected);
        QFETCH(int, minPolls);
        QVERIFY(start(true));
        sim->knobs().queueScript = counts;
        sim->knobs().neverDrain = neverDrain;
        if (neverDrain)
            QVERIFY(link->sendDL(QByteArray("x"), 300));
        if (silent)
            sim->knobs().silent.insert(0x21);
        const int deadline = 400;
        QElapsedTimer took;
        took.start();
        QCOMPARE(link->waitforAxsemSent(deadline), expected);
        if (!expected) {
            QVERIFY(took.elapsed() >= deadline);
            QVERIFY2(took.elapsed() < 10 * deadline, "the wait ends near its deadline");
        }
        QVERIFY(sim->receivedCount(0x21) >= minPolls);
        if (expected)
            QCOMPARE(sim->receivedCount(0x21), minPolls);
    }

    // A reply that comes after its request gave up never answers the next request.
    void lateReplyAnswersNothing()
    {
        QVERIFY(start(true));
        ax_modem::Timings t;
        t.idWaitMs = 100;
        link->setTimings(t);
        sim->knobs().id = 0x111111;
        sim->knobs().lateMs.insert(0x09, 250);
        QCOMPARE(link->getID(), 0u);
        QTRY_COMPARE_WITH_TIMEOUT(sim->repliesSent(), 1, 5000);
        sim->knobs().lateMs.clear();
        sim->knobs().id = 0x222222;
        QCOMPARE(link->getID(), 0x222222u);
    }

    void busyFlag()
    {
        QVERIFY(start(true));
        ax_modem::Timings t;
        t.busyMs = 200;
        link->setTimings(t);
        sim->knobs().silent.insert(0x05);
        QVERIFY(!link->isBusy());
        QVERIFY(link->setFreq(868800000));
        QVERIFY(link->isBusy());
        QTRY_VERIFY_WITH_TIMEOUT(!link->isBusy(), 5000); // the busy timer
        QTRY_COMPARE_WITH_TIMEOUT(sim->receivedCount(0x05), 1, 5000);
        QCOMPARE(sim->received().last(), QByteArray::fromHex("0533c8d600"));
    }

    void bootLoader()
    {
        QVERIFY(start(true));
        link->runBootLoader();
        QTRY_COMPARE_WITH_TIMEOUT(sim->reboots(), 1, 5000);
    }

    void portErrors()
    {
        settings = settingsFor(dir, dir.filePath(QStringLiteral("no-such-tty")), true);
        QVERIFY(settings);
        ax_modem modem(*settings);
        QVERIFY(!modem.open());
        QCOMPARE(modem.error(), ax_modem::ERR_QSERIAL_DeviceNotFound);
        QVERIFY(!modem.SLIP_Send(0x00, nullptr, 0));
        QCOMPARE(modem.error(), ax_modem::ERR_QSERIAL_NotOpen);
        QVERIFY(!modem.isBusy());
        QCOMPARE(modem.getID(), 0u);
        QCOMPARE(ax_modem::serialErrorToString(ax_modem::ERR_QSERIAL_NotOpen), QStringLiteral("ERR_QSERIAL_NotOpen"));
        QCOMPARE(ax_modem::serialErrorToString(ax_modem::AX_MODEM_ERROR(99)), QString());
    }
};

QTEST_GUILESS_MAIN(tst_ax_modem)
#include "tst_ax_modem.moc"
