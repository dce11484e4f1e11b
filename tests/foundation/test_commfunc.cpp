// Shell output and string splitting helpers.
#include "OS_helper.h"
#include "RecordingHostCommandRunner.h"
#include "StreamCapture.h"
#include "commfunc.h"

#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

Q_DECLARE_METATYPE(std::vector<std::string>)

class TestCommfunc : public QObject {
    Q_OBJECT
    QTemporaryDir dir;

private slots:
    void split_data()
    {
        using V = std::vector<std::string>;
        QTest::addColumn<QString>("input");
        QTest::addColumn<char>("delimiter");
        QTest::addColumn<bool>("skipEmpty");
        QTest::addColumn<V>("expected");
        QTest::newRow("empty piece kept") << "a,,b" << ',' << false << V{"a", "", "b"};
        QTest::newRow("empty piece skipped") << "a,,b" << ',' << true << V{"a", "b"};
        QTest::newRow("no delimiter: whole text") << "abc" << ',' << false << V{"abc"};
        QTest::newRow("no delimiter, skip empty") << "abc" << ',' << true << V{"abc"};
        QTest::newRow("empty input") << "" << ',' << false << V{};
        QTest::newRow("leading delimiter") << ",a" << ',' << false << V{"", "a"};
        QTest::newRow("final delimiter") << "a,b," << ',' << false << V{"a", "b"};
        QTest::newRow("two final delimiters") << "a,," << ',' << false << V{"a", ""};
        QTest::newRow("only delimiters, skip") << ",,," << ',' << true << V{};
        QTest::newRow("other delimiter") << "k=v=w" << '=' << false << V{"k", "v", "w"};
        QTest::newRow("blank") << "1 2  3" << ' ' << true << V{"1", "2", "3"};
    }
    void split()
    {
        using V = std::vector<std::string>;
        QFETCH(QString, input);
        QFETCH(char, delimiter);
        QFETCH(bool, skipEmpty);
        QFETCH(V, expected);
        V out{"kept"};
        commfunc::String_Split(input.toStdString(), delimiter, out, skipEmpty);
        expected.insert(expected.begin(), "kept");
        QCOMPARE(out, expected);
    }

    void execWithParams_data()
    {
        QTest::addColumn<QString>("command");
        QTest::addColumn<QByteArray>("expected");
        QTest::newRow("echo") << "echo hello" << QByteArray("hello\n");
        QTest::newRow("no line end") << "printf 'a b'" << QByteArray("a b");
        QTest::newRow("prints nothing") << "true" << QByteArray();
        QTest::newRow("only standard error") << "echo oops >&2" << QByteArray();
        QTest::newRow("failing command keeps output") << "echo partial; exit 3" << QByteArray("partial\n");
        QTest::newRow("shell syntax") << "for i in 1 2 3; do printf $i; done | tr 1 x" << QByteArray("x23");
        QTest::newRow("long output") << "head -c 5000 /dev/zero | tr '\\0' y" << QByteArray(5000, 'y');
        QTest::newRow("reads no input") << "cat" << QByteArray();
    }
    void execWithParams()
    {
        QFETCH(QString, command);
        QFETCH(QByteArray, expected);
        StreamCapture err(stderr, dir.filePath(QStringLiteral("stderr")));
        const std::string out = commfunc::execWithParams(command.toStdString());
        err.text();
        QCOMPARE(QByteArray::fromStdString(out), expected);
    }

    void execWithParamsGoesThroughRunner()
    {
        RecordingHostCommandRunner runner;
        runner.scriptProgram(QStringLiteral("/bin/sh"), HostCommandResult{true, 0, false, QByteArray("scripted")});
        QCOMPARE(commfunc::execWithParams("echo x", runner, 1000), std::string("scripted"));
        QCOMPARE(runner.calls().size(), 1);
        QCOMPARE(runner.calls().first().program, QStringLiteral("/bin/sh"));
        QCOMPARE(runner.calls().first().arguments, (QStringList{"-c", "echo x"}));
        QCOMPARE(runner.calls().first().timeoutMs, 1000);

        // The default runner is the one the plain form uses.
        auto shared = std::make_shared<RecordingHostCommandRunner>();
        HostCommandRunner::setDefaultRunner(shared);
        commfunc::execWithParams("reboot");
        HostCommandRunner::setDefaultRunner(nullptr);
        QCOMPARE(shared->commandLines(), QStringList{QStringLiteral("/bin/sh -c reboot")});
    }

    void commandThatCannotStart()
    {
        RecordingHostCommandRunner runner;
        runner.setDefaultResult(HostCommandResult{false, -1, false, QByteArray("ignored")});
        StreamCapture err(stderr, dir.filePath(QStringLiteral("stderr_fail")));
        const std::string out = commfunc::execWithParams("anything", runner);
        QCOMPARE(err.text(), QByteArray("Couldn't start command.\n"));
        QCOMPARE(out, std::string());
    }

    void osVersionIsEtcIssue()
    {
        QFile issue(QStringLiteral("/etc/issue"));
        if (!issue.open(QIODevice::ReadOnly))
            QSKIP("this machine has no /etc/issue");
        OS_helper helper;
        QCOMPARE(QByteArray::fromStdString(helper.os_version()), issue.readAll());
    }
};

QTEST_GUILESS_MAIN(TestCommfunc)
#include "test_commfunc.moc"
