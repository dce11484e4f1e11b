// The spectrum server's shared state under concurrent use from plain threads (no Qt event
// loop, so ThreadSanitizer sees every synchronisation): frames replaced while frames are built,
// and one pacing for every caller.
#include "SpectrumPacer.h"
#include "spectrum_server.h"

#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QtTest>

#include <algorithm>
#include <atomic>
#include <thread>

namespace {

QVector<quint32> flat(int n, quint32 value)
{
    return QVector<quint32>(n, value);
}

} // namespace

class TestSpectrumThreads : public QObject {
    Q_OBJECT
private slots:
    void slotsTakenFromTwoThreads();
    void commandsFromTwoThreads();
    void framesReplacedWhileCommandReads();

private:
    QTemporaryDir dir;
    QString logPath() const { return dir.filePath(QStringLiteral("spectrum.log")); }
};

void TestSpectrumThreads::slotsTakenFromTwoThreads()
{
    // On a clock that stands still, every slot is taken once, one period after the one before,
    // whichever thread takes it.
    SpectrumPacer pacer([] { return qint64(5000000); }, [](qint64) {});
    pacer.start();
    std::vector<qint64> mine;
    std::vector<qint64> theirs;
    std::thread other([&] {
        for (int i = 0; i < 50; ++i)
            theirs.push_back(pacer.reserve(20));
    });
    for (int i = 0; i < 50; ++i)
        mine.push_back(pacer.reserve(20));
    other.join();
    std::vector<qint64> all(mine);
    all.insert(all.end(), theirs.begin(), theirs.end());
    std::sort(all.begin(), all.end());
    for (size_t k = 0; k < all.size(); ++k)
        QCOMPARE(all[k], qint64(k + 1) * 20000);
}

void TestSpectrumThreads::commandsFromTwoThreads()
{
    SpectrumPacer real;
    spectrum_server s(logPath(), QHostAddress::LocalHost, 0);
    s.setPacer(&real);
    s.set_spectrum_data(flat(1024, 1), 1024, Band1);
    s.set_spectrum_data(flat(1024, 1), 1024, Band2);
    QElapsedTimer t;
    t.start();
    std::atomic<int> frames{0};
    std::thread other([&] {
        for (int i = 0; i < 3; ++i)
            frames += s.get_current_frame(QStringLiteral("x/20/600/8/96")).size() == 609;
    });
    for (int i = 0; i < 3; ++i)
        frames += s.get_current_frame(QStringLiteral("x/20/600/8/192")).size() == 609;
    other.join();
    QCOMPARE(frames.load(), 6);
    // Each caller waits one 50 ms period per frame at least, the first a full one too.
    QVERIFY2(t.elapsed() >= 3 * 50, qPrintable(QString::number(t.elapsed())));
}

void TestSpectrumThreads::framesReplacedWhileCommandReads()
{
    // Spectra and noise values are replaced on one thread while another builds frames, as the
    // server thread and the "spectrum" command do.
    spectrum_server s(logPath(), QHostAddress::LocalHost, 0);
    std::atomic<qint64> fast{0};
    SpectrumPacer noWait([&fast] { return fast.load(); }, [&fast](qint64 us) { fast += us; });
    s.setPacer(&noWait);
    s.set_spectrum_data(flat(1024, 1), 1024, Band1);
    s.set_spectrum_data(flat(1024, 1), 1024, Band2);
    std::atomic<bool> stop{false};
    std::thread feeder([&] {
        quint32 v = 0;
        while (!stop.load()) {
            const int n = (v % 2) ? 1024 : 512;
            s.set_spectrum_data(flat(n, v), uint(n), (v % 3) ? Band1 : Band2);
            s.set_current_noise_band1(float(v));
            s.set_current_noise_band2(-float(v));
            s.setLogOffset(200.0f + float(v % 20));
            ++v;
        }
    });
    int good = 0;
    for (int i = 0; i < 300; ++i) {
        const QByteArray f = s.get_current_frame(i % 2 ? QStringLiteral("x/1000/600/8/192")
                                                        : QStringLiteral("x/1000/333/5/96"));
        good += f.size() == (i % 2 ? 609 : 9 + 333 * 5 / 8);
    }
    stop = true;
    feeder.join();
    QCOMPARE(good, 300);
}

QTEST_GUILESS_MAIN(TestSpectrumThreads)
#include "tst_spectrum_threads.moc"
