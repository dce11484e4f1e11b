#include "LinkState.h"

#include <QtTest>

namespace {
QStringList text(const LinkState::Actions& actions)
{
    QStringList out;
    for (const LinkState::Action& a : actions)
        out << a.toString();
    return out;
}

// Runs a script of link events: "c" confirmation, "d" loss, "r" publish-timer expiry.
QStringList run(LinkState& s, const QString& script, bool hasReader, bool beeps)
{
    QStringList out;
    for (QChar c : script) {
        if (c == 'c')
            out << text(s.go_connected(hasReader, beeps));
        else if (c == 'd')
            out << text(s.go_disconnected(hasReader));
        else if (c == 'r')
            out << text(s.republish(hasReader));
    }
    return out;
}
} // namespace

class TestLinkState : public QObject {
    Q_OBJECT
private slots:
    void sequences_data();
    void sequences();
    void stateChanges_data();
    void stateChanges();
    void alarmTexts_data();
    void alarmTexts();
};

void TestLinkState::sequences_data()
{
    QTest::addColumn<QString>("script");
    QTest::addColumn<bool>("hasReader");
    QTest::addColumn<bool>("beeps");
    QTest::addColumn<QStringList>("actions");

    const QStringList connected{"event:Connected to server", "alarm:5"};
    QTest::newRow("first confirmation after start, QORM")
        << "c" << true << true << (connected + QStringList{"reader:double_short_beep", "reader:setNetState_true"});
    QTest::newRow("first confirmation, Quabo or TCPBS: no beep")
        << "c" << true << false << (connected + QStringList{"reader:setNetState_true"});
    QTest::newRow("first confirmation, no reader") << "c" << false << true << connected;
    QTest::newRow("confirmations while connected only relay")
        << "cc" << true << true
        << (connected + QStringList{"reader:double_short_beep", "reader:setNetState_true", "reader:setNetState_true"});
    QTest::newRow("two expiries then a confirmation: no report")
        << "crrc" << false << true << connected;
    QTest::newRow("four expiries after the last confirmation: one report")
        << "crrrrrr" << true << true
        << (connected + QStringList{"reader:double_short_beep", "reader:setNetState_true", "event:Disconnected from server",
                                    "alarm:4", "reader:long_and_short_beep"});
    QTest::newRow("back after the report: connected again")
        << "crrrrc" << false << false
        << (connected + QStringList{"event:Disconnected from server", "alarm:4"} + connected);
    QTest::newRow("expiries from start count on from offline: no second report")
        << "rrr" << true << true << QStringList();
    QTest::newRow("loss only relays") << "cd" << true << false
                                      << (connected + QStringList{"reader:setNetState_true", "reader:setNetState_false"});
    QTest::newRow("loss without reader") << "d" << false << false << QStringList();
}

void TestLinkState::sequences()
{
    QFETCH(QString, script);
    QFETCH(bool, hasReader);
    QFETCH(bool, beeps);
    QFETCH(QStringList, actions);
    LinkState s;
    QCOMPARE(run(s, script, hasReader, beeps), actions);
}

void TestLinkState::stateChanges_data()
{
    QTest::addColumn<QList<int>>("states");
    QTest::addColumn<QStringList>("actions");

    QTest::newRow("first state is only stored") << QList<int>{0x0E} << QStringList();
    QTest::newRow("start with 0, then all working")
        << QList<int>{0, 0x0E}
        << QStringList{"alarm:18", "event:Receiver noise is normal", "alarm:14", "event:UL channel is OK",
                       "alarm:16", "event:DL channel is OK"};
    QTest::newRow("uplink lost") << QList<int>{0x0E, 0x0A} << QStringList{"alarm:15", "event:UL channel is not working"};
    QTest::newRow("noise and downlink lost together")
        << QList<int>{0x0E, 0x04}
        << QStringList{"alarm:19", "event:Receiver noise is not normal", "alarm:17", "event:DL channel is not working"};
    QTest::newRow("all three flip, with other bits changing too") << QList<int>{0x0E, 0xF1, 0x0F} << QStringList{
        "alarm:19", "event:Receiver noise is not normal", "alarm:15", "event:UL channel is not working",
        "alarm:17", "event:DL channel is not working", "alarm:18", "event:Receiver noise is normal", "alarm:14",
        "event:UL channel is OK", "alarm:16", "event:DL channel is OK"};
    QTest::newRow("unchanged reports nothing") << QList<int>{0x0A, 0x0A, 0x0A} << QStringList();
    QTest::newRow("other bits alone are stored") << QList<int>{0x0E, 0x1F, 0x0F} << QStringList();
}

void TestLinkState::stateChanges()
{
    QFETCH(QList<int>, states);
    QFETCH(QStringList, actions);
    LinkState s;
    QStringList out;
    for (int state : states)
        out << text(s.processStateChanges(quint8(state)));
    QCOMPARE(out, actions);
}

void TestLinkState::alarmTexts_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("receiverCode");
    QTest::addColumn<int>("transmitterCode");
    QTest::newRow("artix") << "EVENT_REBOOT_ARTIX" << 11 << 0;
    QTest::newRow("axsem") << "EVENT_REBOOT_AXSEM" << 12 << 0;
    QTest::newRow("lattice") << "EVENT_REBOOT_LATTICE" << 26 << 0;
    QTest::newRow("door opened") << "EVENT_DOOR_OPENED" << 29 << 0;
    QTest::newRow("door closed") << "EVENT_DOOR_CLOSED" << 30 << 0;
    QTest::newRow("autocorrection fault") << "EVENT_AUTOCORR_ERR" << 0 << 9;
    QTest::newRow("autocorrection ok is ignored") << "EVENT_AUTOCORR_OK" << 0 << 0;
    QTest::newRow("commands are not alarms") << "rebootAxsemSignal" << 0 << 0;
    QTest::newRow("case matters") << "event_door_opened" << 0 << 0;
}

void TestLinkState::alarmTexts()
{
    QFETCH(QString, text);
    QFETCH(int, receiverCode);
    QFETCH(int, transmitterCode);
    QCOMPARE(LinkState::receiver_alarm_code(text), receiverCode);
    QCOMPARE(LinkState::transmitter_alarm_code(text), transmitterCode);
}

QTEST_GUILESS_MAIN(TestLinkState)
#include "tst_link_state.moc"
