// The sender thread and the interrupt poller in the radio library together: repeated sends
// while the interrupt line also toggles on its own. Run under ThreadSanitizer too.

#include "Ax5043Station.h"

#include <QtTest>

#include <atomic>
#include <thread>
#include <vector>

class TestAx5043Threads : public QObject {
    Q_OBJECT

private slots:
    void sends_while_interrupt_line_toggles();
};

void TestAx5043Threads::sends_while_interrupt_line_toggles()
{
    FastDriverClock clock;
    Ax5043Station st;
    std::vector<uint8_t> frame(36);
    for (size_t i = 0; i < frame.size(); ++i)
        frame[i] = uint8_t(i);
    std::atomic<bool> sending{true};
    std::atomic<int> sent{0};
    std::thread sender([&] {
        for (int i = 0; i < 6; ++i) {
            const vexa_phy_channel_t phy = i % 2 ? UL_DBPSK_25600_PROT_D : UL_PSK_5000;
            if (phy == UL_PSK_5000 ? st.rf->sendDL_PSK(0x10203, 0, frame.data(), 8, 868800000u, 0, phy)
                                   : st.rf->sendDL_DBPSK_frame(frame.data(), 868800000u, 0, phy))
                ++sent;
        }
        sending = false;
    });
    // Stray interrupts: the line held high for a moment, then released, over and over.
    while (sending) {
        st.chip->set_irq_stuck(1);
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
        st.chip->set_irq_stuck(-1);
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        (void)st.rf->transmitting();
    }
    sender.join();
    // Once the line behaves, a send goes through, and nothing was left busy.
    QVERIFY(!st.rf->rf_busy());
    QVERIFY(st.rf->sendDL_DBPSK_frame(frame.data(), 868800000u, 0, UL_DBPSK_25600_PROT_D));
    QVERIFY(!st.rf->transmitting());
    QVERIFY(!st.chip->packets().empty());
}

QTEST_GUILESS_MAIN(TestAx5043Threads)
#include "test_ax5043_threads.moc"
