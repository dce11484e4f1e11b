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

qint64 SpectrumPacer::take(qint64 periodMs, bool withinOnePeriod)
{
    std::lock_guard<std::mutex> lock(mut_);
    const qint64 now = clock_();
    if (!started_) {
        started_ = true;
        last_ = now;
    }
    const qint64 period = std::max<qint64>(periodMs, 0) * 1000;
    const qint64 slot = std::max(now, last_ + period);
    if (withinOnePeriod && slot - now > period)
        return period;
    last_ = slot;
    return slot - now;
}

qint64 SpectrumPacer::reserve(qint64 periodMs)
{
    return take(periodMs, false);
}

void SpectrumPacer::pace(qint64 periodMs)
{
    const qint64 wait = take(periodMs, true);
    if (wait > 0)
        sleeper_(wait);
}
