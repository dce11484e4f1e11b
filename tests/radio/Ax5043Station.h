#pragma once

// A Quabo board on the simulated bus with the AX5043 model on CS1 and the driver over it.
// The model's clock can run faster than real time, so long packets take little real time;
// the driver's clock can be a fast one too, for the cases that wait out a time-out.

#include "Quabo_Pin_Controller.h"
#include "SimAx5043.h"
#include "SimPinWorker.h"
#include "rf_ax5043.h"

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>

struct FastDriverClock {
    static std::atomic<uint32_t>& ms()
    {
        static std::atomic<uint32_t> value{0};
        return value;
    }
    static uint32_t time() { return ms(); }
    // One driver millisecond per 20 us: the poller (every 500 us) still gets its turns.
    static void sleep(uint32_t n)
    {
        for (uint32_t i = 0; i < n; ++i) {
            ++ms();
            std::this_thread::sleep_for(std::chrono::microseconds(20));
        }
    }
    FastDriverClock() { rf_ax5043::set_clock(time, sleep); }
    ~FastDriverClock() { rf_ax5043::reset_clock(); }
};

struct Ax5043Station {
    explicit Ax5043Station(int64_t model_speed = 50, bool attach = true)
    {
        auto w = std::make_unique<SimPinWorker>();
        worker = w.get();
        pins = std::make_shared<Quabo_Pin_Controller>(std::move(w));
        const auto start = std::chrono::steady_clock::now();
        chip = std::make_unique<SimAx5043>(worker, [start, model_speed] {
            return model_speed
                * int64_t(std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - start).count());
        });
        if (attach)
            worker->attach_device(CS1, chip.get());
        rf = std::make_unique<rf_ax5043>(pins);
    }
    ~Ax5043Station()
    {
        rf.reset();
        worker->detach_device(chip.get());
        chip.reset();
    }

    SimPinWorker* worker = nullptr;
    std::shared_ptr<Quabo_Pin_Controller> pins;
    std::unique_ptr<SimAx5043> chip;
    std::unique_ptr<rf_ax5043> rf;
};
