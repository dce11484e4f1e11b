// The text logger (file and standard output) and the event log "bsevent.log".
#include "LogText.h"
#include "StreamCapture.h"
#include "logger.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>

#include <cstdint>
#include <thread>

namespace {

QByteArray readAll(const QString& path)
{
    QFile f(path);
    f.open(QIODevice::ReadOnly);
    return f.readAll();
}

void writeFile(const QString& path, const QByteArray& bytes)
{
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    f.write(bytes);
}

const QRegularExpression stampRe(QStringLiteral("^\\d\\d\\.\\d\\d\\.\\d{4} \\d\\d:\\d\\d:\\d\\d\\.\\d{3}$"));

} // namespace

class TestLogger : public QObject {
    Q_OBJECT
    QTemporaryDir dir;
    QString path(const QString& name) const { return dir.filePath(name); }

private slots:
    void values_data()
    {
        QTest::addColumn<int>("kind");
        QTest::addColumn<QByteArray>("expected");
        QTest::newRow("const char* latin-1") << 0 << QByteArray("caf\xc3\xa9");
        QTest::newRow("QString") << 1 << QByteArray("\xd0\xaf text");
        QTest::newRow("QByteArray utf-8") << 2 << QByteArray("\xe2\x82\xac");
        QTest::newRow("char") << 3 << QByteArray("x");
        QTest::newRow("unsigned char as number") << 4 << QByteArray("65");
        QTest::newRow("bool") << 5 << QByteArray("10");
        QTest::newRow("short") << 6 << QByteArray("-32768");
        QTest::newRow("int") << 7 << QByteArray("-42");
        QTest::newRow("unsigned int") << 8 << QByteArray("4294967295");
        QTest::newRow("long") << 9 << QByteArray("-9000000000");
        QTest::newRow("unsigned long") << 10 << QByteArray("18446744073709551615");
        QTest::newRow("long long") << 11 << QByteArray("-9223372036854775808");
        QTest::newRow("quint64") << 12 << QByteArray("18446744073709551615");
        QTest::newRow("uint64_t") << 13 << QByteArray("12345678901234");
        QTest::newRow("float") << 14 << QByteArray("-110.5");
        QTest::newRow("double small") << 15 << QByteArray("1e-07");
        QTest::newRow("double large") << 16 << QByteArray("1.23457e+06");
        QTest::newRow("quint16") << 17 << QByteArray("65535");
        QTest::newRow("chain") << 18 << QByteArray("A6512.5\n");
    }
    void values()
    {
        QFETCH(int, kind);
        QFETCH(QByteArray, expected);
        const QString file = path(QStringLiteral("values_%1.log").arg(kind));
        logger log(file);
        StreamCapture out(stdout, path(QStringLiteral("stdout_%1").arg(kind)));
        switch (kind) {
        case 0: log << "caf\xe9"; break;
        case 1: log << QStringLiteral("\u042f text"); break;
        case 2: log << QByteArray("\xe2\x82\xac"); break;
        case 3: log << 'x'; break;
        case 4: log << static_cast<unsigned char>(65); break;
        case 5: log << true << false; break;
        case 6: log << short(-32768); break;
        case 7: log << -42; break;
        case 8: log << 4294967295u; break;
        case 9: log << -9000000000L; break;
        case 10: log << 18446744073709551615UL; break;
        case 11: log << std::numeric_limits<long long>::min(); break;
        case 12: log << std::numeric_limits<quint64>::max(); break;
        case 13: log << uint64_t(12345678901234ULL); break;
        case 14: log << -110.5f; break;
        case 15: log << 1e-07; break;
        case 16: log << 1234567.0; break;
        case 17: log << quint16(65535); break;
        case 18: log << "A" << static_cast<unsigned char>(65) << true << 2.5 << "\n"; break;
        }
        QCOMPARE(out.text(), expected);
        QCOMPARE(readAll(file), expected);
    }

    void valuesAppendAndLogOffDropsThem()
    {
        const QString file = path(QStringLiteral("off.log"));
        writeFile(file, "old\n");
        logger log(file);
        StreamCapture out(stdout, path(QStringLiteral("stdout_off")));
        log << "a";
        log.logoff(true);
        QVERIFY(log.isLogOff());
        log << "dropped" << 5;
        log.logoff(false);
        log << "b";
        QCOMPARE(out.text(), QByteArray("ab"));
        QCOMPARE(readAll(file), QByteArray("old\nab"));
    }

    void captureHoldsOrPassesLines_data()
    {
        QTest::addColumn<bool>("through");
        QTest::newRow("held back") << false;
        QTest::newRow("passed through") << true;
    }
    void captureHoldsOrPassesLines()
    {
        QFETCH(bool, through);
        const QString file = path(QStringLiteral("capture_%1.log").arg(through));
        logger log(file);
        StreamCapture out(stdout, path(QStringLiteral("stdout_capture_%1").arg(through)));
        QString seen;
        log << "a\n";
        log.capture(&seen, through);
        log << "b " << 7 << "\n";
        log.capture(nullptr, true);
        log << "c\n";
        QCOMPARE(seen, QStringLiteral("b 7\n"));
        const QByteArray expected = through ? QByteArray("a\nb 7\nc\n") : QByteArray("a\nc\n");
        QCOMPARE(out.text(), expected);
        QCOMPARE(readAll(file), expected);
    }

    // The cause is told once with the system's reason, however many values and loggers fail on
    // that path; every value still reaches standard output. The empty path comes first: its
    // notice is given once per process.
    void unopenableFileReportsOnceOnStdout_data()
    {
        QTest::addColumn<QString>("file");
        QTest::addColumn<QString>("reason");
        QTest::newRow("empty path") << QString() << QString();
        QTest::newRow("missing folder") << QStringLiteral("/nonexistent-folder-of-tolvar/x.log")
                                        << QStringLiteral("No such file or directory");
        QTest::newRow("a folder") << QStringLiteral("FOLDER") << QStringLiteral("Is a directory");
    }
    void unopenableFileReportsOnceOnStdout()
    {
        QFETCH(QString, file);
        QFETCH(QString, reason);
        if (file == QLatin1String("FOLDER"))
            file = dir.path();
        StreamCapture out(stdout, path(QStringLiteral("stdout_fail")));
        {
            logger log(file);
            logger other(file);
            log << "lost " << 7 << "\n";
            other << "again\n";
            log << "and again\n";
        }
        const QByteArray notice = file.isEmpty()
            ? QByteArray("logger. Can't open file for writing: (no log file path; standard output only)\n")
            : "logger. Can't open file for writing: " + file.toUtf8() + " (" + reason.toUtf8() + ")\n";
        QCOMPARE(out.text(), notice + "lost 7\nagain\nand again\n");
    }

    void logPathCanBeReplaced()
    {
        logger log(path(QStringLiteral("first.log")));
        StreamCapture out(stdout, path(QStringLiteral("stdout_replace")));
        log << "one";
        log.setLogpath(path(QStringLiteral("second.log")));
        QCOMPARE(log.getLogpath(), path(QStringLiteral("second.log")));
        log << "two";
        out.text();
        QCOMPARE(readAll(path(QStringLiteral("first.log"))), QByteArray("one"));
        QCOMPARE(readAll(path(QStringLiteral("second.log"))), QByteArray("two"));
    }

    // Several threads stream into one logger while another replaces its path: every value lands
    // whole in one of the two files.
    void concurrentWritersAndPathChanges()
    {
        logger log(path(QStringLiteral("c1.log")));
        StreamCapture out(stdout, path(QStringLiteral("stdout_conc")));
        auto writer = [&log] {
            for (int i = 0; i < 200; ++i)
                log << "0123456789\n";
        };
        std::thread a(writer), b(writer);
        std::thread c([&] {
            for (int i = 0; i < 50; ++i)
                log.setLogpath(path(i % 2 ? QStringLiteral("c1.log") : QStringLiteral("c2.log")));
        });
        a.join();
        b.join();
        c.join();
        out.text();
        const QByteArray all = readAll(path(QStringLiteral("c1.log"))) + readAll(path(QStringLiteral("c2.log")));
        QCOMPARE(all.count("0123456789\n"), 400);
        QCOMPARE(all.size(), 400 * 11);
    }

    // Loggers of one path share its file: lines of different objects stay in the order written.
    void loggersOfOnePathKeepOrder()
    {
        const QString file = path(QStringLiteral("shared.log"));
        StreamCapture out(stdout, path(QStringLiteral("stdout_shared")));
        logger a(file);
        logger b(file);
        for (int i = 0; i < 50; ++i) {
            a << "a" << i << "\n";
            b << "b" << i << "\n";
        }
        out.text();
        QByteArray expected;
        for (int i = 0; i < 50; ++i)
            expected += "a" + QByteArray::number(i) + "\nb" + QByteArray::number(i) + "\n";
        QCOMPARE(readAll(file), expected);
    }

    // A log moved away or deleted (rotation) is written anew at its path within about a second;
    // what was written before the move stays in the moved file.
    void rotatedFileIsOpenedAgain_data()
    {
        QTest::addColumn<bool>("moved");
        QTest::newRow("moved away") << true;
        QTest::newRow("deleted") << false;
    }
    void rotatedFileIsOpenedAgain()
    {
        QFETCH(bool, moved);
        const QString file = path(moved ? QStringLiteral("rot-moved.log") : QStringLiteral("rot-deleted.log"));
        StreamCapture out(stdout, path(QStringLiteral("stdout_rot")));
        logger log(file);
        log << "before\n";
        if (moved)
            QVERIFY(QFile::rename(file, file + QStringLiteral(".1")));
        else
            QVERIFY(QFile::remove(file));
        QElapsedTimer t;
        t.start();
        while (!QFile::exists(file) && t.elapsed() < 10000) {
            log << "after\n";
            QTest::qWait(20);
        }
        out.text();
        QVERIFY2(QFile::exists(file), "the log was not opened again at its path");
        QVERIFY(readAll(file).startsWith("after\n"));
        if (moved)
            QVERIFY(readAll(file + QStringLiteral(".1")).startsWith("before\n"));
    }

    // ---- event log ----

    void noEventAppendsStampedLine()
    {
        const QString ev = path(QStringLiteral("noevent.log"));
        writeFile(ev, "01.01.2020 00:00:00.000\n");
        logger log(QString{});
        log.logoff(true); // the event log does not depend on the text log
        log << levent(QStringLiteral("Connected to server"), ev);
        const QList<QByteArray> lines = readAll(ev).split('\n');
        QCOMPARE(lines.size(), 3);
        QCOMPARE(lines[0], QByteArray("01.01.2020 00:00:00.000"));
        QVERIFY(lines[1].endsWith(":    Connected to server"));
        QVERIFY(stampRe.match(QString::fromUtf8(lines[1].left(23))).hasMatch());
        QCOMPARE(lines[1].size(), 23 + 5 + 19);
        QCOMPARE(lines[2], QByteArray());
    }

    void startSequences_data()
    {
        QTest::addColumn<QByteArray>("before");
        QTest::addColumn<QByteArray>("stoppedPrefix");
        QTest::newRow("no file") << QByteArray() << QByteArray();
        QTest::newRow("stamp line") << QByteArray("02.03.2021 04:05:06.789\nold event\n")
                                    << QByteArray("02.03.2021 04:05:06.789");
        QTest::newRow("first line over 100 chars") << QByteArray(150, 'x') + "\n" << QByteArray(100, 'x');
    }
    void startSequences()
    {
        QFETCH(QByteArray, before);
        QFETCH(QByteArray, stoppedPrefix);
        const QString ev = path(QStringLiteral("start_%1.log").arg(QTest::currentDataTag()));
        if (!before.isEmpty())
            writeFile(ev, before);
        logger log(QString{});
        log << levent(levent::START, ev);
        const QByteArray after = readAll(ev);
        QVERIFY(after.startsWith(before));
        const QList<QByteArray> added = after.mid(before.size()).split('\n');
        QCOMPARE(added.size(), 3);
        QCOMPARE(added[0], stoppedPrefix + ":    TOLVAR stopped");
        QVERIFY(added[1].endsWith(":    TOLVAR started"));
        QVERIFY(stampRe.match(QString::fromUtf8(added[1].left(23))).hasMatch());
        QCOMPARE(added[2], QByteArray());
    }

    void updateOverwritesStampInPlace()
    {
        const QString ev = path(QStringLiteral("update.log"));
        const QByteArray rest = "01.01.2020 00:00:01.000:    TOLVAR stopped\n01.01.2020 00:00:02.000:    TOLVAR started\n";
        writeFile(ev, "01.01.2020 00:00:00.000\n" + rest);
        logger log(QString{});
        log << levent(levent::UPDATE, ev);
        const QByteArray after = readAll(ev);
        QCOMPARE(after.size(), 24 + rest.size());
        QCOMPARE(after.mid(24), rest);
        QVERIFY(after.left(23) != "01.01.2020 00:00:00.000");
        QVERIFY(stampRe.match(QString::fromUtf8(after.left(23))).hasMatch());
        QCOMPARE(after.at(23), '\n');
    }

    // A fresh log begun by START has a short first line: UPDATE replaces that line and keeps the
    // started line intact; the next START then carries the renewed stamp.
    void updateAfterStartOnFreshFile()
    {
        const QString ev = path(QStringLiteral("fresh.log"));
        logger log(QString{});
        log << levent(levent::START, ev);
        const QList<QByteArray> started = readAll(ev).split('\n');
        QCOMPARE(started[0], QByteArray(":    TOLVAR stopped"));
        log << levent(levent::UPDATE, ev);
        QList<QByteArray> lines = readAll(ev).split('\n');
        QCOMPARE(lines.size(), 3);
        QVERIFY(stampRe.match(QString::fromUtf8(lines[0])).hasMatch());
        QCOMPARE(lines[1], started[1]);
        const QByteArray renewed = lines[0];
        log << levent(levent::UPDATE, ev);
        log << levent(QStringLiteral("Door opened"), ev);
        log << levent(levent::START, ev);
        lines = readAll(ev).split('\n');
        QCOMPARE(lines.size(), 6);
        QCOMPARE(lines[1], started[1]);
        QVERIFY(lines[2].endsWith(":    Door opened"));
        QVERIFY(lines[3].startsWith(lines[0] + ":    TOLVAR stopped"));
        QVERIFY(lines[4].endsWith(":    TOLVAR started"));
        Q_UNUSED(renewed);
    }

    void updateOnMissingOrEmptyFileWritesStamp_data()
    {
        QTest::addColumn<bool>("exists");
        QTest::newRow("missing") << false;
        QTest::newRow("empty") << true;
    }
    void updateOnMissingOrEmptyFileWritesStamp()
    {
        QFETCH(bool, exists);
        const QString ev = path(QStringLiteral("upd_%1.log").arg(exists));
        if (exists)
            writeFile(ev, QByteArray());
        logger log(QString{});
        log << levent(levent::UPDATE, ev);
        const QByteArray after = readAll(ev);
        QCOMPARE(after.size(), 24);
        QVERIFY(stampRe.match(QString::fromUtf8(after.left(23))).hasMatch());
    }

    void unopenableEventLogIsSilent()
    {
        const QString ev = QStringLiteral("/nonexistent-folder-of-tolvar/bsevent.log");
        logger log(path(QStringLiteral("silent.log")));
        StreamCapture out(stdout, path(QStringLiteral("stdout_silent")));
        log << levent(QStringLiteral("x"), ev) << levent(levent::UPDATE, ev) << levent(levent::START, ev);
        QCOMPARE(out.text(), QByteArray());
        QVERIFY(!QFile::exists(ev));
    }

    // Writers on two threads through two logger objects: UPDATEs and events never tear a line.
    void eventWritersOnSeveralThreads()
    {
        const QString ev = path(QStringLiteral("threads.log"));
        logger first(QString{}), second(QString{});
        first << levent(levent::UPDATE, ev);
        auto run = [&ev](logger* log, const char* text) {
            for (int i = 0; i < 100; ++i) {
                *log << levent(QString::fromLatin1(text), ev);
                *log << levent(levent::UPDATE, ev);
            }
        };
        std::thread a(run, &first, "from reader"), b(run, &second, "from main");
        a.join();
        b.join();
        const QList<QByteArray> lines = readAll(ev).split('\n');
        QCOMPARE(lines.size(), 202);
        QVERIFY(stampRe.match(QString::fromUtf8(lines[0])).hasMatch());
        int reader = 0, main = 0;
        for (int i = 1; i < 201; ++i) {
            QVERIFY2(stampRe.match(QString::fromUtf8(lines[i].left(23))).hasMatch(), lines[i].constData());
            reader += lines[i].endsWith(":    from reader");
            main += lines[i].endsWith(":    from main");
        }
        QCOMPARE(reader, 100);
        QCOMPARE(main, 100);
    }

    // Texts from outside keep at most 4096 characters in a log line, and say how many more there were.
    void boundedTexts_data()
    {
        QTest::addColumn<QStringList>("parts");
        QTest::addColumn<QString>("expected");
        const QString a4095(4095, QLatin1Char('a'));
        QTest::newRow("short") << QStringList{"abc"} << "abc";
        QTest::newRow("4096 characters") << QStringList{a4095 + "b"} << a4095 + "b";
        QTest::newRow("4097 characters") << QStringList{a4095 + "bc"} << a4095 + "b [1 characters left out]";
        QTest::newRow("parts across the bound") << QStringList{QString(3000, 'x'), QString(2000, 'y'), "z"}
                                                << QString(3000, 'x') + QString(1096, 'y') + " [905 characters left out]";
        QTest::newRow("surrogate pair at the bound")
            << QStringList{a4095 + QString::fromUtf8("\xF0\x9F\x93\xA1") + "z"} << a4095 + " [3 characters left out]";
    }
    void boundedTexts()
    {
        QFETCH(QStringList, parts);
        QFETCH(QString, expected);
        LogText text;
        for (const QString& part : parts)
            text.append(part);
        QCOMPARE(text.text(), expected);
        if (parts.size() == 1)
            QCOMPARE(LogText::cut(parts.first()), expected);
    }

    // A peer's text cannot forge a line of the log or reach the terminal that follows it.
    void escapedTexts_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("expected");
        QTest::newRow("printable") << "heartbeat ~ \u00e9 \\x41" << "heartbeat ~ \u00e9 \\x41";
        QTest::newRow("line feed and stamp") << "hb\n2026.12.11 09:00:00.000 FORGED" << "hb\\x0A2026.12.11 09:00:00.000 FORGED";
        QTest::newRow("carriage return") << "a\rb" << "a\\x0Db";
        QTest::newRow("escape sequence") << "\x1b[2J" << "\\x1B[2J";
        QTest::newRow("nul, tab, DEL") << QString::fromLatin1("a\0b\tc\x7f", 6) << "a\\x00b\\x09c\\x7F";
        QTest::newRow("0x80 stays") << QString(QChar(0x80)) << QString(QChar(0x80));
    }
    void escapedTexts()
    {
        QFETCH(QString, text);
        QFETCH(QString, expected);
        QCOMPARE(LogText::escaped(text), expected);
    }

    void eventLogName() { QCOMPARE(QString::fromLatin1(fnameEventLog), QStringLiteral("bsevent.log")); }
};

QTEST_GUILESS_MAIN(TestLogger)
#include "test_logger.moc"
