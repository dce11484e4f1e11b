// Other threads copy the settings while the main thread rewrites the file again and again.
#include "SettingsController.h"

#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include <atomic>
#include <thread>

class TestSettingsConcurrency : public QObject {
    Q_OBJECT
private slots:
    void copiesWhileSetValueRuns()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("station.ini"));
        {
            QFile f(path);
            QVERIFY(f.open(QIODevice::WriteOnly));
            f.write("[BASE_STATION]\nBS_ID=0\nR_HOST=host\nTHRESHOLD_50=0\n"
                    "[TRANSMITTER]\nFREQ_PLANS=\"1:10\"\n[SECONDARY_RABBIT]\nENABLE=true\n");
        }
        SettingsController c;
        QVERIFY(c.initController(path));

        std::atomic<bool> done{false};
        std::atomic<int> copies{0};
        std::atomic<int> inconsistent{0};
        std::thread reader([&] {
            while (!done.load()) {
                const BaseStationParams bs = c.getBS_ParamsCopy();
                const TransmitterParams tx = c.getTransmitterParams();
                const SecondaryRabbitParams sec = c.getSecondaryRabbitParams();
                const quint16 threshold = c.getThreshold(bt50);
                (void)c.rev_lo();
                (void)c.getSerialCommunicationParams();
                (void)c.getThirdRabbitParams();
                // Every snapshot is whole: plans and their phy lists match, no key half-read.
                if (tx.freq_plans_.size() != tx.dl_bitrates_.size() || tx.freq_plans_.isEmpty()
                    || bs.r_host_.toString() != QLatin1String("host") || !sec.enable_.toBool()
                    || bs.base_id_.toInt() < 0 || bs.base_id_.toInt() > 200 || threshold > 200)
                    ++inconsistent;
                ++copies;
            }
        });
        // The writer runs on a thread of its own too: a test slot runs under QMetaMethod::invoke,
        // and a race whose stack passes through Qt's library would fall under the Qt suppression.
        std::atomic<int> failedWrites{0};
        std::thread writer([&] {
            for (int i = 1; i <= 200; ++i) {
                const QString plans = (i % 2) ? QStringLiteral("1:10,11|2:12") : QStringLiteral("3:13");
                bool ok = false;
                if (i % 3 == 0)
                    ok = c.setValue(QStringLiteral("BASE_STATION"), QStringLiteral("BS_ID"), i);
                else if (i % 3 == 1)
                    ok = c.setValue(QStringLiteral("TRANSMITTER"), QStringLiteral("FREQ_PLANS"), plans);
                else
                    ok = c.setValue(QStringLiteral("BASE_STATION"), QStringLiteral("THRESHOLD_50"), i);
                if (!ok)
                    ++failedWrites;
            }
        });
        writer.join();
        done = true;
        reader.join();
        QCOMPARE(failedWrites.load(), 0);
        QCOMPARE(inconsistent.load(), 0);
        QVERIFY(copies.load() > 0);
        QCOMPARE(c.getBS_Params().base_id_, QVariant(198));
        QCOMPARE(c.getThreshold(bt50), quint16(200));
        QCOMPARE(c.getTransmitterParams().freq_plans_, (QList<quint32>{1u, 2u})); // written at i = 199
    }
};

QTEST_GUILESS_MAIN(TestSettingsConcurrency)
#include "test_settings_concurrency.moc"
