// The AX5043 back-end's cost on the simulated chip: SPI transfers and sender-thread time per
// frame (air time taken out by a fast model clock), the interrupt poller's CPU share while idle,
// and how long a competing reader (one SPI transfer every 5 ms, as the uplink reader does) waits
// for the board while frames go out. Figures with targets; always exits 0.
#include "Quabo_Pin_Controller.h"
#include "SimAx5043.h"
#include "SimPinWorker.h"
#include "rf_ax5043.h"

#include <QtGlobal>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <memory>
#include <thread>
#include <vector>

namespace {

void quiet(QtMsgType, const QMessageLogContext&, const QString&) {}

double process_cpu_s()
{
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) / 1e9;
}

const char* verdict(bool met)
{
    return met ? "met" : "missed";
}

} // namespace

int main()
{
    qInstallMessageHandler(quiet);
    using Clock = std::chrono::steady_clock;
    auto w = std::make_unique<SimPinWorker>();
    SimPinWorker* worker = w.get();
    auto pins = std::make_shared<Quabo_Pin_Controller>(std::move(w));
    const auto start = Clock::now();
    // The model's air time runs 1000 times faster than real time.
    SimAx5043 chip(worker, [start] {
        return 1000 * int64_t(std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - start).count());
    });
    worker->attach_device(CS1, &chip);

    // Idle poller share: the process's CPU with the poller running and nothing else to do,
    // less the same without it (the model's own thread stays in both).
    const auto cpu_share = [&](bool with_driver) {
        std::unique_ptr<rf_ax5043> rf;
        if (with_driver)
            rf = std::make_unique<rf_ax5043>(pins);
        const double cpu0 = process_cpu_s();
        const auto t0 = Clock::now();
        std::this_thread::sleep_for(std::chrono::seconds(2));
        const double wall = std::chrono::duration<double>(Clock::now() - t0).count();
        return (process_cpu_s() - cpu0) / wall * 100.0;
    };
    const double idle_share = std::max(0.0, cpu_share(true) - cpu_share(false));

    rf_ax5043 rf(pins);
    std::vector<uint8_t> frame(64); // the DBPSK senders take the first 36
    for (size_t i = 0; i < frame.size(); ++i)
        frame[i] = uint8_t(i * 13);

    // A competing reader on CS0.
    std::atomic<bool> stop{false};
    std::vector<double> waits_us;
    std::thread reader([&] {
        char tx[37] = {};
        char rx[37];
        while (!stop) {
            const auto t = Clock::now();
            pins->read_write_spi(tx, rx, CS0, sizeof tx);
            waits_us.push_back(std::chrono::duration<double, std::micro>(Clock::now() - t).count());
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    });

    struct Case {
        const char* name;
        vexa_phy_channel_t phy;
        bool psk;
    };
    const Case cases[] = {{"DBPSK 50", UL_DBPSK_50_PROT_D, false}, {"DBPSK 3200", UL_DBPSK_3200_PROT_D, false},
        {"PSK 500, 64 bytes", UL_PSK_500, true}};
    std::printf("%-20s %-14s %-16s %s\n", "frame", "SPI transfers", "ms per frame", "target: 60 ms per frame");
    const int frames = 20;
    for (const Case& c : cases) {
        const unsigned before = worker->transfer_count();
        const auto t0 = Clock::now();
        int ok = 0;
        for (int i = 0; i < frames; ++i)
            ok += c.psk ? rf.sendDL_PSK(0x123456, 0, frame.data(), 64, 868800000u, 0, c.phy)
                        : rf.sendDL_DBPSK_frame(frame.data(), 868800000u, 0, c.phy);
        const double ms = std::chrono::duration<double, std::milli>(Clock::now() - t0).count() / frames;
        const double transfers = double(worker->transfer_count() - before) / frames;
        std::printf("%-20s %-14.0f %-16.2f %s%s\n", c.name, transfers, ms, verdict(ms < 60.0),
            ok == frames ? "" : " (some frames failed)");
    }
    stop = true;
    reader.join();

    std::sort(waits_us.begin(), waits_us.end());
    const double p99 = waits_us.empty() ? 0 : waits_us[size_t(double(waits_us.size() - 1) * 0.99)];
    std::printf("%-36s %-10.1f %s (target below 1000 us)\n", "reader's p99 wait for the board, us", p99, verdict(p99 < 1000));
    std::printf("%-36s %-10.2f %s (target below 5 %%)\n", "idle poller CPU share, %", idle_share, verdict(idle_share < 5.0));
    worker->detach_device(&chip);
    return 0;
}
