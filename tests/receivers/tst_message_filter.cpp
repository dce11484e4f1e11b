// Folding the copies of one message and ageing the emitted records.
#include "MessageFilter.h"

#include <QtTest>

namespace {

QSharedPointer<message_point> msg(quint32 id, float rssi, quint64 freq = 868800000, quint32 bitrate = 50)
{
    auto m = QSharedPointer<message_point>::create();
    m->TYPE = Protocol_D;
    m->ID = id;
    m->FLAGS = 3;
    for (int i = 0; i < 8; ++i)
        m->PAYLOAD[i] = static_cast<unsigned char>(i + id);
    m->CRC8_D = 0x11;
    m->RSSI = rssi;
    m->SNR = 10.0f;
    m->FREQ = freq;
    m->bitrate = bitrate;
    return m;
}

} // namespace

class TestMessageFilter : public QObject
{
    Q_OBJECT

private slots:
    void foldTwoCopies_data();
    void foldTwoCopies();
    void foldThreeCopiesAroundAnother();
    void laterPassCopy();
    void sameMessage_data();
    void sameMessage();
    void snrOutOfRange_data();
    void snrOutOfRange();
    void windows_data();
    void windows();
    void deletionAfterTwentySeconds();
    void eachRecordAgesOnItsOwnStamp();
    void wallClockPlaysNoPart();
    void heldRecordOutlivesList();
};

void TestMessageFilter::foldTwoCopies_data()
{
    QTest::addColumn<float>("rssiA");
    QTest::addColumn<quint64>("freqA");
    QTest::addColumn<float>("rssiB");
    QTest::addColumn<quint64>("freqB");
    QTest::addColumn<bool>("survivorIsB");
    QTest::addColumn<quint32>("averCount");
    QTest::addColumn<quint64>("freq");

    // The stronger copy survives with both counted and its own frequency.
    QTest::newRow("later copy stronger") << -120.0f << quint64(1000) << -110.0f << quint64(2000) << true << 1u
                                         << quint64(2000);
    QTest::newRow("earlier copy stronger") << -110.0f << quint64(1000) << -120.0f << quint64(2000) << false << 1u
                                           << quint64(1000);
    // Equal levels: the later one survives with the mean frequency.
    QTest::newRow("equal levels") << -110.0f << quint64(868800000) << -110.0f << quint64(868800200) << true << 2u
                                  << quint64(868800100);
}

void TestMessageFilter::foldTwoCopies()
{
    QFETCH(float, rssiA);
    QFETCH(quint64, freqA);
    QFETCH(float, rssiB);
    QFETCH(quint64, freqB);
    QFETCH(bool, survivorIsB);
    QFETCH(quint32, averCount);
    QFETCH(quint64, freq);
    MessageFilter f;
    auto a = msg(1, rssiA, freqA);
    auto b = msg(1, rssiB, freqB);
    f.add(a, 0);
    f.add(b, 0);
    f.filter_messages();
    const auto survivor = survivorIsB ? b : a;
    QCOMPARE(f.out_list.size(), 1);
    QCOMPARE(f.out_list[0].mes, survivor);
    QCOMPARE(survivor->num_of_copies, 2u);
    QCOMPARE(survivor->tmp_for_aver_freq, averCount);
    QCOMPARE(survivor->FREQ, freq);
    QVERIFY(f.m_list.isEmpty());
}

// -120, -110, -110: the third survives with all three counted and the mean of the two
// strongest frequencies; another message in between stays apart.
void TestMessageFilter::foldThreeCopiesAroundAnother()
{
    MessageFilter f;
    auto a = msg(1, -120.0f, 100);
    auto b = msg(1, -110.0f, 200);
    auto other = msg(2, -100.0f, 999);
    auto c = msg(1, -110.0f, 400);
    a->num_of_copies_1_2 = 1;
    for (auto& m : {a, b, other, c})
        f.add(m, 0);
    f.filter_messages();
    QCOMPARE(f.out_list.size(), 2);
    QCOMPARE(f.out_list[0].mes, other);
    QCOMPARE(f.out_list[1].mes, c);
    QCOMPARE(c->num_of_copies, 3u);
    QCOMPARE(c->num_of_copies_1_2, 1u);
    QCOMPARE(c->FREQ, quint64(300));
    QCOMPARE(other->num_of_copies, 1u);
}

void TestMessageFilter::laterPassCopy()
{
    MessageFilter f;
    auto first = msg(1, -110.0f);
    f.add(first, 0);
    f.filter_messages();
    first->emited = true;

    // A copy in a later pass while the first still waits for copies: dropped, count kept.
    auto late = msg(1, -90.0f);
    f.add(late, 1000);
    f.filter_messages();
    QCOMPARE(f.out_list.size(), 1);
    QCOMPARE(first->num_of_copies, 1u);
    QVERIFY(late->processed);

    // Once the first is processed, a copy is a new message.
    f.remove_timeout_messages(17281);
    QVERIFY(first->processed);
    auto again = msg(1, -90.0f);
    f.add(again, 17300);
    f.filter_messages();
    QCOMPARE(f.out_list.size(), 2);
    QCOMPARE(f.out_list[1].mes, again);
}

void TestMessageFilter::sameMessage_data()
{
    QTest::addColumn<int>("type");
    QTest::addColumn<QString>("change");
    QTest::addColumn<bool>("same");

    QTest::newRow("identical D") << int(Protocol_D) << "" << true;
    QTest::newRow("D, other CRC8") << int(Protocol_D) << "crc8" << false;
    QTest::newRow("E, other CRC8") << int(Protocol_E) << "crc8" << true;
    QTest::newRow("C, other CRC8") << int(Protocol_C) << "crc8" << true;
    QTest::newRow("other ID") << int(Protocol_E) << "id" << false;
    QTest::newRow("other flags") << int(Protocol_E) << "flags" << false;
    QTest::newRow("other last payload byte") << int(Protocol_C) << "payload" << false;
    QTest::newRow("other type") << int(Protocol_D) << "type" << false;
    QTest::newRow("other bit rate, frequency, level") << int(Protocol_D) << "radio" << true;
}

void TestMessageFilter::sameMessage()
{
    QFETCH(int, type);
    QFETCH(QString, change);
    QFETCH(bool, same);
    auto a = msg(5, -100.0f);
    auto b = msg(5, -100.0f);
    a->TYPE = b->TYPE = static_cast<Protocol_Types>(type);
    if (change == "crc8")
        b->CRC8_D = 0x12;
    else if (change == "id")
        b->ID = 6;
    else if (change == "flags")
        b->FLAGS = 4;
    else if (change == "payload")
        b->PAYLOAD[7] ^= 1;
    else if (change == "type")
        b->TYPE = Protocol_E;
    else if (change == "radio") {
        b->bitrate = 400;
        b->FREQ += 5000;
        b->RSSI = -50.0f;
        b->CRYPTO_MIC = 77;
    }
    QCOMPARE(MessageFilter::same_message(*a, *b), same);
}

void TestMessageFilter::snrOutOfRange_data()
{
    QTest::addColumn<float>("snr");
    QTest::addColumn<float>("out");
    QTest::newRow("250") << 250.0f << 0.0f;
    QTest::newRow("-3") << -3.0f << 0.0f;
    QTest::newRow("200") << 200.0f << 200.0f;
    QTest::newRow("12.5") << 12.5f << 12.5f;
    QTest::newRow("infinite") << std::numeric_limits<float>::infinity() << 0.0f;
}

void TestMessageFilter::snrOutOfRange()
{
    QFETCH(float, snr);
    QFETCH(float, out);
    MessageFilter f;
    auto m = msg(1, -100.0f);
    m->SNR = snr;
    f.add(m, 0);
    f.filter_messages();
    QCOMPARE(m->SNR, out);
}

void TestMessageFilter::windows_data()
{
    QTest::addColumn<uint>("bitrate");
    QTest::addColumn<qint64>("window");
    QTest::newRow("50") << 50u << qint64(17280);
    QTest::newRow("125") << 125u << qint64(6912);
    QTest::newRow("400") << 400u << qint64(2160);
    QTest::newRow("3200") << 3200u << qint64(270);
    QTest::newRow("25600") << 25600u << qint64(33);
    QTest::newRow("unknown ages with the longest window") << 0u << qint64(17280);
}

void TestMessageFilter::windows()
{
    QFETCH(uint, bitrate);
    QFETCH(qint64, window);
    MessageFilter f;
    auto m = msg(1, -100.0f, 0, bitrate);
    const qint64 stamp = 1000000;
    f.add(m, stamp);
    f.filter_messages();
    f.remove_timeout_messages(stamp + window);
    QVERIFY(!m->processed);
    f.remove_timeout_messages(stamp + window + 1);
    QVERIFY(m->processed);
    QCOMPARE(f.out_list.size(), 1);
}

void TestMessageFilter::deletionAfterTwentySeconds()
{
    MessageFilter f;
    auto m = msg(1, -100.0f, 0, 3200);
    f.add(m, 0);
    f.filter_messages();
    // Marked in one run, not deleted in the same run even when already old.
    f.remove_timeout_messages(25000);
    QVERIFY(m->processed);
    QCOMPARE(f.out_list.size(), 1);

    MessageFilter g;
    auto n = msg(1, -100.0f, 0, 3200);
    g.add(n, 0);
    g.filter_messages();
    g.remove_timeout_messages(300);
    QVERIFY(n->processed);
    g.remove_timeout_messages(19999);
    QCOMPARE(g.out_list.size(), 1);
    g.remove_timeout_messages(20000);
    QCOMPARE(g.out_list.size(), 0);
}

// Records of several passes, bit rates and stamps out of order (a slow record is stamped
// back by its own length): each is marked at the end of its own window and leaves at its own
// twenty seconds, whatever lies before it in the list.
void TestMessageFilter::eachRecordAgesOnItsOwnStamp()
{
    MessageFilter f;
    struct Rec { quint32 id; quint32 bitrate; qint64 stamp; };
    const Rec recs[] = {{1, 3200, 5000}, {2, 50, 1000}, {3, 25600, 7000}, {4, 400, 3000}, {5, 3200, 4000}};
    QList<QSharedPointer<message_point>> ms;
    for (const Rec& r : recs) {
        ms << msg(r.id, -100.0f, 0, r.bitrate);
        f.add(ms.last(), r.stamp);
        f.filter_messages();
    }
    const auto ids = [&f] {
        QList<quint32> out;
        for (const MessageFilter::Entry& e : f.out_list)
            out << e.mes->ID;
        return out;
    };
    for (qint64 now = 0; now <= 45000; now += 1) {
        // What every record should look like after a run at `now`, runs coming every ms.
        f.remove_timeout_messages(now);
        QList<quint32> expected;
        for (int i = 0; i < ms.size(); ++i) {
            const qint64 age = now - recs[i].stamp;
            QCOMPARE(ms[i]->processed, age > MessageFilter::window_ms(recs[i].bitrate));
            // Dropped in the first run at which it is processed (from an earlier run) and old.
            if (age < MessageFilter::KEEP_MS)
                expected << recs[i].id;
        }
        QCOMPARE(ids(), expected);
    }
    QVERIFY(f.out_list.isEmpty());
}

void TestMessageFilter::wallClockPlaysNoPart()
{
    // The station sets its clock a day back and then a day forward: ageing follows the
    // monotonic stamps only.
    MessageFilter f;
    auto m = msg(1, -100.0f, 0, 400);
    m->time = QDateTime::currentDateTime().addDays(1);
    f.add(m, 0);
    f.filter_messages();
    f.remove_timeout_messages(2161);
    QVERIFY(m->processed);
    m->time = QDateTime::currentDateTime().addDays(-1);
    f.remove_timeout_messages(10000);
    QCOMPARE(f.out_list.size(), 1);
    f.remove_timeout_messages(20000);
    QCOMPARE(f.out_list.size(), 0);
}

void TestMessageFilter::heldRecordOutlivesList()
{
    QSharedPointer<message_point> held;
    {
        MessageFilter f;
        auto m = msg(42, -100.0f, 0, 25600);
        f.add(m, 0);
        f.filter_messages();
        held = f.out_list[0].mes;
        m.reset();
        f.remove_timeout_messages(100);
        f.remove_timeout_messages(30000);
        QVERIFY(f.out_list.isEmpty());
    }
    QCOMPARE(held->ID, 42u);
    QCOMPARE(held->PAYLOAD[0], static_cast<unsigned char>(42));
}

QTEST_GUILESS_MAIN(TestMessageFilter)
#include "tst_message_filter.moc"
