#include "LocalTime.h"

#include <QDateTime>

#include <atomic>
#include <ctime>

namespace {

const qint64 kDayMs = 86400000;
const qint64 kRefreshMs = 1000;

std::atomic<qint64> g_offsetMs{0};
std::atomic<qint64> g_refreshAtMs{0};

qint64 offsetFor(qint64 utcMs)
{
    if (utcMs >= g_refreshAtMs.load(std::memory_order_relaxed)
        || utcMs < g_refreshAtMs.load(std::memory_order_relaxed) - 2 * kRefreshMs) {
        // tzset() rereads TZ and /etc/localtime, which localtime_r alone would not.
        tzset();
        const time_t secs = time_t(utcMs / 1000);
        struct tm local{};
        if (localtime_r(&secs, &local))
            g_offsetMs.store(qint64(local.tm_gmtoff) * 1000, std::memory_order_relaxed);
        g_refreshAtMs.store(utcMs + kRefreshMs, std::memory_order_relaxed);
    }
    return g_offsetMs.load(std::memory_order_relaxed);
}

} // namespace

namespace LocalTime {

qint64 localMsecs()
{
    const qint64 utc = QDateTime::currentMSecsSinceEpoch();
    return utc + offsetFor(utc);
}

QTime timeOfDay()
{
    qint64 ms = localMsecs() % kDayMs;
    if (ms < 0)
        ms += kDayMs;
    return QTime::fromMSecsSinceStartOfDay(int(ms));
}

QString stamp()
{
    qint64 ms = localMsecs() % kDayMs;
    if (ms < 0)
        ms += kDayMs;
    const int h = int(ms / 3600000), m = int(ms / 60000 % 60), s = int(ms / 1000 % 60), z = int(ms % 1000);
    char buf[12] = {char('0' + h / 10), char('0' + h % 10), ':', char('0' + m / 10), char('0' + m % 10), ':',
                    char('0' + s / 10), char('0' + s % 10), ':', char('0' + z / 100), char('0' + z / 10 % 10),
                    char('0' + z % 10)};
    return QString::fromLatin1(buf, 12);
}

} // namespace LocalTime
