#include "SpectrumPacer.h"

#include <QThread>

#include <algorithm>
#include <chrono>

SpectrumPacer::SpectrumPacer()
    : SpectrumPacer(
          [] {
              return qint64(std::chrono::duration_cast<std::chrono::microseconds>(
                                std::chrono::steady_clock::now().time_since_epoch())
                                .count());
          },
          [](qint64 us) { QThread::usleep(ulong(us)); })
{
}

SpectrumPacer::SpectrumPacer(Clock clock, Sleeper sleeper) : clock_(std::move(clock)), sleeper_(std::move(sleeper)) {}

SpectrumPacer& SpectrumPacer::instance()
{
    static SpectrumPacer pacer;
    return pacer;
}

void SpectrumPacer::start()
{
    std::lock_guard<std::mutex> lock(mut_);
    if (!started_) {
        started_ = true;
        last_ = clock_();
    }
}

void SpectrumPacer::pace(qint64 periodMs)
{
    qint64 now = 0;
    qint64 slot = 0;
    {
        std::lock_guard<std::mutex> lock(mut_);
        now = clock_();
        if (!started_) {
            started_ = true;
            last_ = now;
        }
        slot = std::max(now, last_ + std::max<qint64>(periodMs, 0) * 1000);
        last_ = slot;
    }
    if (slot > now)
        sleeper_(slot - now);
}
