// The hopping settings file turned into the FPGA's step tables and boundary row.
#include "HoppingSettingsReader.h"

#include <QTemporaryDir>
#include <QtTest>

using Rows = QVector<QVector<int>>;
Q_DECLARE_METATYPE(Rows)

namespace {
Rows to_rows(const HoppingParams& p)
{
    Rows r;
    for (const auto& row : p) {
        QVector<int> v;
        for (qint16 x : row)
            v.append(x);
        r.append(v);
    }
    return r;
}
} // namespace

class TestHoppingSettings : public QObject
{
    Q_OBJECT

private slots:
    void tables_data();
    void tables();
    void missingFile();
    void tooManyRows();

private:
    QTemporaryDir dir;
};

void TestHoppingSettings::tables_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("invert");
    QTest::addColumn<Rows>("expected");
    QTest::addColumn<QVector<int>>("indexes");
    // Text the reader's complaint must contain, or empty when there must be none.
    QTest::addColumn<QString>("problem");

    QTest::newRow("one row") << "0 10 20\n" << false << Rows{{80, 80, 0}, {800}} << QVector<int>{0} << QString();
    QTest::newRow("one row inverted") << "0 10 20\n" << true << Rows{{1520, 1968, 0}, {800}} << QVector<int>{0}
                                      << QString();
    QTest::newRow("three rows ranked by first channel")
        << "100 101\n50 52\n75 74\n" << false << Rows{{2040, 0}, {8, 0}, {16, 0}, {500, 700, 800}}
        << QVector<int>{2, 0, 1} << QString();
    QTest::newRow("blank line and odd spacing")
        << "  0   10 20 \n\n\t\n0 10 20\n" << false << Rows{{80, 80, 0}, {80, 80, 0}, {0, 800}}
        << QVector<int>{0, 0} << QString();
    QTest::newRow("boundary held at the middle") << "200\n10\n" << false << Rows{{0}, {0}, {800, 1600}}
                                                 << QVector<int>{1, 0} << QString();
    QTest::newRow("boundary between channels") << "150\n10\n" << false << Rows{{0}, {0}, {640, 1600}}
                                                << QVector<int>{1, 0} << QString();
    // A pattern with an entry that is not a channel number is left out whole, never sent to the
    // FPGA with channel 0 in its place; the other patterns are ranked among themselves.
    QTest::newRow("text refuses its line") << "abc 5\n0 10 20\n" << false << Rows{{80, 80, 0}, {800}}
                                           << QVector<int>{0} << "line 1: \"abc\"";
    QTest::newRow("bad line between patterns") << "100 101\n50 5x2\n\n50 52\n" << false
                                               << Rows{{16, 0}, {8, 0}, {600, 800}} << QVector<int>{1, 0}
                                               << "line 2: \"5x2\"";
    QTest::newRow("number beyond 16 bits") << "0 10 20\n5 40000\n" << false << Rows{{80, 80, 0}, {800}}
                                           << QVector<int>{0} << "line 2: \"40000\"";
    QTest::newRow("no usable line") << "1.5 2\n- 3\n" << false << Rows{{}} << QVector<int>{}
                                    << "no hopping patterns";
}

void TestHoppingSettings::tables()
{
    QFETCH(QString, text);
    QFETCH(bool, invert);
    QFETCH(Rows, expected);
    QFETCH(QVector<int>, indexes);
    QFETCH(QString, problem);

    const QString path = dir.filePath(QString::fromLatin1(QTest::currentDataTag()) + ".set");
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.write(text.toUtf8());
    f.close();

    HoppingSettingsReader reader;
    QCOMPARE(to_rows(reader.getHoppingParams(path, invert)), expected);
    QVector<int> idx;
    for (qint16 i : reader.getIndexes())
        idx.append(i);
    QCOMPARE(idx, indexes);
    if (problem.isEmpty())
        QVERIFY2(reader.lastProblem().isEmpty(), qPrintable(reader.lastProblem()));
    else
        QVERIFY2(reader.lastProblem().contains(problem), qPrintable(reader.lastProblem()));
}

void TestHoppingSettings::missingFile()
{
    HoppingSettingsReader reader;
    QCOMPARE(to_rows(reader.getHoppingParams(dir.filePath("none.set"), false)), Rows{{}});
    QVERIFY(!reader.lastProblem().isEmpty());

    const QString path = dir.filePath("empty.set");
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.write("\n  \n");
    f.close();
    QCOMPARE(to_rows(reader.getHoppingParams(path, false)), Rows{{}});
    QVERIFY(!reader.lastProblem().isEmpty());
}

void TestHoppingSettings::tooManyRows()
{
    const QString path = dir.filePath("ten.set");
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly));
    for (int i = 0; i < 10; ++i)
        f.write(QByteArray::number(10 * i) + " " + QByteArray::number(10 * i + 1) + "\n");
    f.close();

    HoppingSettingsReader reader;
    const HoppingParams p = reader.getHoppingParams(path, false);
    // Eight patterns and the boundary row fill the nine registers; nothing more.
    QCOMPARE(p.size(), size_t(9));
    QCOMPARE(reader.getIndexes().size(), size_t(8));
    QCOMPARE(to_rows(p).last(), (QVector<int>{40, 120, 200, 280, 360, 440, 520, 800}));
    QVERIFY(reader.lastProblem().contains("10"));
}

QTEST_GUILESS_MAIN(TestHoppingSettings)
#include "tst_hopping_settings.moc"
