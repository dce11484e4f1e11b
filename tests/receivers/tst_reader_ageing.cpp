// The station core's thread blocked far longer than the reader keeps its records (a long
// "admin" command) while messages flow: every record the core reads afterwards is intact.
#include "FpgaRecordBuilder.h"
#include "ReaderStation.h"

#include <QtTest>
#include <set>

class TestReaderAgeing : public QObject
{
    Q_OBJECT

private slots:
    void blockedConsumer();
};

void TestReaderAgeing::blockedConsumer()
{
    ReaderStation st(QORM);
    st.start();
    QTRY_VERIFY_WITH_TIMEOUT(st.reader->info().active, 15000);

    FpgaScenario sc;
    std::set<quint32> ids;
    for (int i = 0; i < 24; ++i) {
        FpgaScenario::Event e;
        e.at_ms = 100 + 600 * (i / 4);
        e.fifo = i % 2 ? FpgaScenario::Fifo::HighRate : FpgaScenario::Fifo::LowRate;
        FpgaRecordBuilder::Fields f;
        f.type = i % 2 ? 0x0E : 0x0D;
        f.id = 0x1000u + quint32(i);
        for (int k = 0; k < 8; ++k)
            f.payload[size_t(k)] = uint8_t(i * 8 + k);
        f.bitrate_code = i % 2 ? FpgaRecordBuilder::CODE_3200 : FpgaRecordBuilder::CODE_400;
        f.rssi = 1u << 20;
        e.bytes = FpgaRecordBuilder::build(f);
        sc.events.append(e);
        ids.insert(f.id);
    }
    st.fpga.play(sc);

    // 25 s without an event loop: the reader emits, ages and lets go of every record meanwhile.
    QThread::sleep(25);

    QTRY_COMPARE_WITH_TIMEOUT(st.messages.size(), 24, 5000);
    for (const auto& m : st.messages) {
        QVERIFY(ids.count(m->ID) == 1);
        const int i = int(m->ID - 0x1000u);
        for (int k = 0; k < 8; ++k)
            QCOMPARE(int(m->PAYLOAD[k]), i * 8 + k);
        QCOMPARE(m->TYPE, i % 2 ? Protocol_E : Protocol_D);
        QCOMPARE(m->bitrate, i % 2 ? 3200u : 400u);
        QVERIFY(m->emited);
        // The core holds a snapshot: the reader's later ageing of its own record never reaches it.
        QVERIFY(!m->processed);
        ids.erase(m->ID);
    }
    QVERIFY(ids.empty());
    st.stop();
    // The reader holds none of them any more: only the core's references kept them alive.
    QCOMPARE(st.reader->waitingRecords(), 0);
}

QTEST_GUILESS_MAIN(TestReaderAgeing)
#include "tst_reader_ageing.moc"
