// "file" in a temporary folder: whole-file writes that never lose the target, reads of regular
// files only, and the Base64 bodies that are accepted or refused.
#include "FakeCommandContext.h"
#include "FileCommandHandler.h"
#include "errlog.h"

#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>
#include <QtTest>

#include <sys/stat.h>

namespace {
QJsonObject run(FakeCommandContext& ctx, const QJsonObject& request)
{
    return FileCommandHandler(ctx).exec(request).object();
}

QJsonObject writeRequest(const QString& name, const QByteArray& content)
{
    return QJsonObject{{"cmd", "write"}, {"filename", name}, {"body", QString::fromLatin1(content.toBase64())}};
}

QByteArray contentOf(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<missing>");
}

void put(const QString& path, const QByteArray& content)
{
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    f.write(content);
}


const int kOwnerGroupOther = 0x7077;
} // namespace

class TestFileCommand : public QObject {
    Q_OBJECT
private slots:
    void newFile();
    void existingFileKeepsItsMode();
    void symlinkedTargetUpdatedThroughTheLink();
    void failuresLeaveTheTarget_data();
    void failuresLeaveTheTarget();
    void base64Bodies_data();
    void base64Bodies();
    void read_data();
    void read();
    void namesCutByTheSystemRefused_data();
    void namesCutByTheSystemRefused();
    void namesLoggedAsGiven_data();
    void namesLoggedAsGiven();
    void pathsKeptInsideTheFileRoot_data();
    void pathsKeptInsideTheFileRoot();
};

void TestFileCommand::newFile()
{
    FakeCommandContext ctx;
    const QString name = ctx.path("new.bin");
    QCOMPARE(run(ctx, writeRequest(name, QByteArray("\x00\x01zz", 4))), (QJsonObject{{"result", true}}));
    QCOMPARE(contentOf(name), QByteArray("\x00\x01zz", 4));
    const mode_t mask = ::umask(0);
    ::umask(mask);
    struct stat st {};
    QCOMPARE(::stat(QFile::encodeName(name).constData(), &st), 0);
    QCOMPARE(int(st.st_mode & 0777), int(0666 & ~mask));
    const QString text = QString("File %1 is written, size=4").arg(name);
    QCOMPARE(FakeCommandContext::alarmTexts(errlog::EVENT_WRITE_FILE), QStringList{text});
    QVERIFY(contentOf(ctx.path("bsevent.log")).contains(text.toUtf8()));
    QVERIFY(ctx.logText().contains(QString(" File %1 has written, size=4\n").arg(name).toUtf8()));
}

void TestFileCommand::existingFileKeepsItsMode()
{
    FakeCommandContext ctx;
    QDir().mkpath(ctx.path("data"));
    const QString name = ctx.path("data/secret.conf");
    put(name, "old content that is longer");
    const QFile::Permissions mode = QFile::ReadOwner | QFile::WriteOwner;
    QVERIFY(QFile::setPermissions(name, mode));
    QCOMPARE(run(ctx, writeRequest(name, "new")), (QJsonObject{{"result", true}}));
    QCOMPARE(contentOf(name), QByteArray("new"));
    QCOMPARE(int(QFile::permissions(name)) & kOwnerGroupOther, int(mode) & kOwnerGroupOther);
    // Nothing left beside it, and no event for a replaced file.
    QCOMPARE(QDir(ctx.path("data")).entryList(QDir::Files | QDir::Hidden | QDir::System), QStringList{"secret.conf"});
    QVERIFY(FakeCommandContext::alarmTexts(errlog::EVENT_WRITE_FILE).isEmpty());
    QVERIFY(ctx.logText().contains(QString(" File %1 exists\n").arg(name).toUtf8()));
}

void TestFileCommand::symlinkedTargetUpdatedThroughTheLink()
{
    FakeCommandContext ctx;
    QDir().mkpath(ctx.path("real"));
    put(ctx.path("real/target.txt"), "before");
    QVERIFY(QFile::link(ctx.path("real/target.txt"), ctx.path("link.txt")));
    QCOMPARE(run(ctx, writeRequest(ctx.path("link.txt"), "after")), (QJsonObject{{"result", true}}));
    QVERIFY(QFileInfo(ctx.path("link.txt")).isSymLink());
    QCOMPARE(contentOf(ctx.path("real/target.txt")), QByteArray("after"));
}

void TestFileCommand::failuresLeaveTheTarget_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QJsonObject>("extra"); // replaced keys
    QTest::addColumn<QStringList>("without"); // removed keys
    QTest::newRow("missing folder") << "nowhere/file.txt" << QJsonObject() << QStringList();
    QTest::newRow("parent is a file") << "plain.txt/file.txt" << QJsonObject() << QStringList();
    QTest::newRow("target is a folder") << "folder" << QJsonObject() << QStringList();
    QTest::newRow("no body") << "plain.txt" << QJsonObject() << QStringList{"body"};
    QTest::newRow("no filename") << "plain.txt" << QJsonObject() << QStringList{"filename"};
    QTest::newRow("body not Base64") << "plain.txt" << QJsonObject{{"body", "bm90!YmFzZTY0"}} << QStringList();
    QTest::newRow("body length 1 mod 4") << "plain.txt" << QJsonObject{{"body", "QUJDR"}} << QStringList();
    QTest::newRow("padding inside") << "plain.txt" << QJsonObject{{"body", "QQ==QUJD"}} << QStringList();
    QTest::newRow("unknown cmd") << "plain.txt" << QJsonObject{{"cmd", "append"}} << QStringList();
}

void TestFileCommand::failuresLeaveTheTarget()
{
    QFETCH(QString, name);
    QFETCH(QJsonObject, extra);
    QFETCH(QStringList, without);
    FakeCommandContext ctx;
    put(ctx.path("plain.txt"), "keep me");
    QVERIFY(QDir().mkpath(ctx.path("folder")));
    QJsonObject request = writeRequest(ctx.path(name), "new");
    for (auto it = extra.begin(); it != extra.end(); ++it)
        request.insert(it.key(), it.value());
    for (const QString& key : without)
        request.remove(key);
    const QStringList before = QDir(ctx.dir.path()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot);
    QCOMPARE(run(ctx, request), (QJsonObject{{"result", false}}));
    QCOMPARE(contentOf(ctx.path("plain.txt")), QByteArray("keep me"));
    QVERIFY(QFileInfo(ctx.path("folder")).isDir());
    QStringList after = QDir(ctx.dir.path()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot);
    after.removeAll("station.log");
    QStringList expected = before;
    expected.removeAll("station.log");
    QCOMPARE(after, expected);
    QVERIFY(FakeCommandContext::alarmTexts(errlog::EVENT_WRITE_FILE).isEmpty());
}

void TestFileCommand::base64Bodies_data()
{
    QTest::addColumn<QString>("body");
    QTest::addColumn<QByteArray>("content");
    QTest::newRow("padded") << "QUJDRA==" << QByteArray("ABCD");
    QTest::newRow("unpadded") << "QUJDRA" << QByteArray("ABCD");
    QTest::newRow("line-wrapped") << "QUJD\r\nREVG\n R0g=\t" << QByteArray("ABCDEFGH");
    QTest::newRow("empty") << "" << QByteArray();
}

void TestFileCommand::base64Bodies()
{
    QFETCH(QString, body);
    QFETCH(QByteArray, content);
    FakeCommandContext ctx;
    const QString name = ctx.path("b.txt");
    QCOMPARE(run(ctx, QJsonObject{{"cmd", "write"}, {"filename", name}, {"body", body}}), (QJsonObject{{"result", true}}));
    QCOMPARE(contentOf(name), content);
}

void TestFileCommand::read_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<bool>("ok");
    QTest::addColumn<QByteArray>("content");
    QTest::newRow("file") << "data.bin" << true << QByteArray("\xff\x00\x10", 3);
    QTest::newRow("empty file") << "empty" << true << QByteArray();
    QTest::newRow("missing") << "absent" << false << QByteArray();
    QTest::newRow("folder") << "folder" << false << QByteArray();
    QTest::newRow("fifo") << "fifo" << false << QByteArray();
    QTest::newRow("/dev/zero") << "/dev/zero" << false << QByteArray();
    QTest::newRow("16 MiB") << "16MiB" << true << QByteArray(16 * 1024 * 1024, '\0');
    // The reply would hold the file as Base64, about 2.3 times its size.
    QTest::newRow("16 MiB + 1: refused") << "16MiB+1" << false << QByteArray();
}

void TestFileCommand::read()
{
    QFETCH(QString, name);
    QFETCH(bool, ok);
    QFETCH(QByteArray, content);
    FakeCommandContext ctx;
    put(ctx.path("data.bin"), QByteArray("\xff\x00\x10", 3));
    put(ctx.path("empty"), QByteArray());
    QVERIFY(QDir().mkpath(ctx.path("folder")));
    QCOMPARE(::mkfifo(QFile::encodeName(ctx.path("fifo")).constData(), 0600), 0);
    for (qint64 size : {qint64(16 * 1024 * 1024), qint64(16 * 1024 * 1024 + 1)}) {
        QFile big(ctx.path(size % 2 ? "16MiB+1" : "16MiB"));
        QVERIFY(big.open(QIODevice::WriteOnly));
        QVERIFY(big.resize(size));
    }
    const QString path = name.startsWith('/') ? name : ctx.path(name);
    const QJsonObject reply = run(ctx, QJsonObject{{"cmd", "read"}, {"filename", path}});
    if (!ok) {
        QCOMPARE(reply, (QJsonObject{{"result", false}}));
        QVERIFY(FakeCommandContext::alarmTexts(errlog::EVENT_READ_FILE).isEmpty());
        if (name == "16MiB+1")
            QVERIFY2(ctx.logText().contains(QString(" File %1 not read: 16777217 bytes, more than 16777216\n").arg(path).toUtf8()),
                     ctx.logText().constData());
        return;
    }
    QCOMPARE(reply, (QJsonObject{{"result", true}, {"filename", path}, {"body", QString::fromLatin1(content.toBase64())}}));
    QCOMPARE(FakeCommandContext::alarmTexts(errlog::EVENT_READ_FILE), QStringList{QString("File %1 read, size=%2").arg(path).arg(content.size())});
}

// The system takes a name up to its first NUL byte: "a\0b" would act on "a" and say true. A
// line end would split the log line naming the file.
void TestFileCommand::namesCutByTheSystemRefused_data()
{
    QTest::addColumn<QString>("cmd");
    QTest::addColumn<QString>("tail");
    QTest::addColumn<QString>("shown"); // the tail in the log line
    for (const char* cmd : {"write", "read"}) {
        QTest::addRow("%s, NUL byte", cmd) << cmd << QString(QChar(0)) + "b" << "\\x00b";
        QTest::addRow("%s, NUL byte at the end", cmd) << cmd << QString(QChar(0)) << "\\x00";
        QTest::addRow("%s, line feed", cmd) << cmd << "\nb" << "\\x0Ab";
        QTest::addRow("%s, carriage return", cmd) << cmd << "\r" << "\\x0D";
    }
}

void TestFileCommand::namesCutByTheSystemRefused()
{
    QFETCH(QString, cmd);
    QFETCH(QString, tail);
    QFETCH(QString, shown);
    FakeCommandContext ctx;
    put(ctx.path("a"), "keep me");
    // Relative to the context's folder, the working directory: short enough to be logged whole.
    const QString name = "a" + tail;
    const QJsonObject request = cmd == "write" ? writeRequest(name, "new") : QJsonObject{{"cmd", "read"}, {"filename", name}};
    const QStringList before = QDir(ctx.dir.path()).entryList(QDir::Files | QDir::Hidden);
    QCOMPARE(run(ctx, request), (QJsonObject{{"result", false}}));
    QCOMPARE(contentOf(ctx.path("a")), QByteArray("keep me"));
    QStringList after = QDir(ctx.dir.path()).entryList(QDir::Files | QDir::Hidden);
    after.removeAll("station.log");
    QStringList expected = before;
    expected.removeAll("station.log");
    QCOMPARE(after, expected);
    QVERIFY(FakeCommandContext::alarmTexts(errlog::EVENT_READ_FILE).isEmpty());
    QVERIFY(FakeCommandContext::alarmTexts(errlog::EVENT_WRITE_FILE).isEmpty());
    const QByteArray log = ctx.logText();
    QVERIFY2(log.contains(QString(" File a%1 not %2: the name holds a NUL byte or a line end\n")
                              .arg(shown, cmd == "write" ? "written" : "read")
                              .toUtf8()),
             log.constData());
    QVERIFY(!log.contains('\0') && !log.contains('\r'));
    for (const QByteArray& line : log.split('\n'))
        QVERIFY2(line.isEmpty() || line.at(0) != 'b', log.constData());
}

// A name the system takes is logged as it came, its control characters as \xHH: an escape
// sequence in it reaches no terminal that follows the log, and "%2" in it is no placeholder.
void TestFileCommand::namesLoggedAsGiven_data()
{
    QTest::addColumn<QString>("leaf");
    QTest::addColumn<QString>("shown");
    QTest::newRow("escape sequence") << "a\x1b[2Jb" << "a\\x1B[2Jb";
    QTest::newRow("tab and DEL") << "a\tb\x7f" << "a\\x09b\\x7F";
    QTest::newRow("placeholders") << "a%2%1b" << "a%2%1b";
}

void TestFileCommand::namesLoggedAsGiven()
{
    QFETCH(QString, leaf);
    QFETCH(QString, shown);
    FakeCommandContext ctx;
    const QString name = ctx.path(leaf);
    QCOMPARE(run(ctx, writeRequest(name, "abc")), (QJsonObject{{"result", true}}));
    QCOMPARE(run(ctx, writeRequest(name, "abcd")), (QJsonObject{{"result", true}}));
    QCOMPARE(run(ctx, QJsonObject{{"cmd", "read"}, {"filename", name}}).value("result"), QJsonValue(true));
    const QString logged = ctx.path(shown);
    const QByteArray log = ctx.logText();
    for (const QString& line : {QString(" File %1 has written, size=3\n"), QString(" File %1 exists\n"),
                                QString(" File %1 was readed, size=4\n")})
        QVERIFY2(log.contains(line.arg(logged).toUtf8()), log.constData());
    QVERIFY2(!log.contains('\x1b') && !log.contains('\t') && !log.contains('\x7f'), log.constData());
    // The event log keeps the name as it came, placeholders included.
    QVERIFY(FakeCommandContext::alarmTexts(errlog::EVENT_WRITE_FILE).contains(QString("File %1 is written, size=3").arg(name)));
    QVERIFY(FakeCommandContext::alarmTexts(errlog::EVENT_READ_FILE).contains(QString("File %1 read, size=4").arg(name)));
}

// The simulator's "file" commands: every name lands inside its folder, whatever it says.
void TestFileCommand::pathsKeptInsideTheFileRoot_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("inside"); // where it lands under the root; empty: refused
    QTest::newRow("/etc/hostname") << "/etc/hostname" << "etc/hostname";
    QTest::newRow("x") << "x" << "x";
    QTest::newRow("../x") << "../x" << "";
    QTest::newRow("a/../../x") << "a/../../x" << "";
    QTest::newRow("a/../x") << "a/../x" << "x";
    QTest::newRow("//etc/./hostname") << "//etc/./hostname" << "etc/hostname";
    QTest::newRow("/../etc/hostname") << "/../etc/hostname" << "";
}

void TestFileCommand::pathsKeptInsideTheFileRoot()
{
    QFETCH(QString, name);
    QFETCH(QString, inside);
    FakeCommandContext ctx;
    ctx.paths.fileRoot = ctx.path("sim-root");
    QVERIFY(QDir().mkpath(ctx.path("sim-root/etc")));
    QVERIFY(QDir().mkpath(ctx.path("sim-root/a")));
    put(ctx.path("x"), "outside");
    if (!inside.isEmpty())
        put(ctx.path("sim-root/" + inside), "before");

    // Read first: a name that escaped would show another file here before anything is written.
    const QJsonObject reply = run(ctx, QJsonObject{{"cmd", "read"}, {"filename", name}});
    if (inside.isEmpty()) {
        QCOMPARE(reply, (QJsonObject{{"result", false}}));
        QCOMPARE(run(ctx, writeRequest(name, "written")), (QJsonObject{{"result", false}}));
        QCOMPARE(contentOf(ctx.path("x")), QByteArray("outside"));
        QVERIFY2(ctx.logText().contains("the name leaves " + ctx.path("sim-root").toUtf8()), ctx.logText().constData());
        QCOMPARE(QDir(ctx.path("sim-root")).entryList(QDir::AllEntries | QDir::NoDotAndDotDot), (QStringList{"a", "etc"}));
        return;
    }
    QCOMPARE(reply, (QJsonObject{{"result", true}, {"filename", name}, {"body", QString::fromLatin1(QByteArray("before").toBase64())}}));
    QCOMPARE(run(ctx, writeRequest(name, "written")), (QJsonObject{{"result", true}}));
    QCOMPARE(contentOf(ctx.path("sim-root/" + inside)), QByteArray("written"));
    QCOMPARE(contentOf(ctx.path("x")), QByteArray("outside"));
}

QTEST_GUILESS_MAIN(TestFileCommand)
#include "tst_file_command.moc"
