#include "TestBroker.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QProcess>
#include <QTcpSocket>
#include <QThread>
#include <QUrl>
#include <QtDebug>
#include <QtTest>

#include <csignal>
#include <sys/types.h>

namespace {

const int startTimeoutMs = 240000; // three attempts of up to a minute each on a loaded machine
const int stopTimeoutMs = 180000;
const int toolTimeoutMs = 60000;
// A query past its bound has nothing to clean up: it is killed soon after TERM, so that a
// bounded wait stays bounded.
const int queryGraceMs = 2000;

QString encoded(const QString& part)
{
    return QString::fromLatin1(QUrl::toPercentEncoding(part));
}

bool finishOrTerminate(QProcess& p, int timeoutMs, int graceMs = 30000, bool pumpEvents = false)
{
    if (pumpEvents) {
        if (QTest::qWaitFor([&p] { return p.state() == QProcess::NotRunning; }, timeoutMs))
            return p.exitStatus() == QProcess::NormalExit;
    } else if (p.waitForFinished(timeoutMs)) {
        return p.exitStatus() == QProcess::NormalExit;
    }
    // TERM first: the script then stops whatever it has started so far.
    p.terminate();
    if (!p.waitForFinished(graceMs)) {
        p.kill();
        p.waitForFinished(5000);
    }
    return false;
}

} // namespace

TestBroker::TestBroker() = default;

TestBroker::~TestBroker()
{
    stop();
}

QString TestBroker::scriptPath()
{
    QString root = qEnvironmentVariable("TOLVAR_SOURCE_DIR");
    if (root.isEmpty())
        root = QStringLiteral(TOLVAR_SOURCE_DIR);
    return root + QStringLiteral("/scripts/rabbitmq");
}

QString TestBroker::directory() const
{
    return m_dir ? m_dir->path() : QString();
}

quint16 TestBroker::amqpPort() const
{
    return quint16(value(QStringLiteral("AMQP_PORT")).toUInt());
}

quint16 TestBroker::amqpsPort() const
{
    return quint16(value(QStringLiteral("AMQPS_PORT")).toUInt());
}

qint64 TestBroker::beamPid() const
{
    return value(QStringLiteral("BEAM_PID")).toLongLong();
}

QString TestBroker::url(const QString& user, const QString& pass, const QString& vhost) const
{
    return QStringLiteral("amqp://%1:%2@%3:%4/%5")
        .arg(encoded(user), encoded(pass), host())
        .arg(amqpPort())
        .arg(encoded(vhost));
}

QString TestBroker::tlsUrl(const QString& user, const QString& pass, const QString& vhost) const
{
    return QStringLiteral("amqps://%1:%2@%3:%4/%5")
        .arg(encoded(user), encoded(pass), tlsHost())
        .arg(amqpsPort())
        .arg(encoded(vhost));
}

bool TestBroker::runScript(const QStringList& args, int timeoutMs, QByteArray* out, QByteArray* err,
                           int* exitCode, int graceMs, bool pumpEvents) const
{
    QProcess p;
    p.setProgram(QStringLiteral("bash"));
    p.setArguments(QStringList{scriptPath()} + args);
    p.setStandardInputFile(QProcess::nullDevice());
    p.start();
    bool ok = p.waitForStarted(10000) && finishOrTerminate(p, timeoutMs, graceMs, pumpEvents);
    if (out)
        *out = p.readAllStandardOutput();
    if (err)
        *err = p.readAllStandardError();
    if (exitCode)
        *exitCode = ok ? p.exitCode() : -1;
    return ok && p.exitCode() == 0;
}

bool TestBroker::start(int frameMax, int heartbeat)
{
    m_error.clear();
    if (m_running) {
        m_error = QStringLiteral("the broker is already running");
        return false;
    }
    if (!m_dir) {
        m_dir = std::make_unique<QTemporaryDir>(QDir::tempPath() + QStringLiteral("/tolvar-broker-XXXXXX"));
        if (!m_dir->isValid()) {
            m_error = QStringLiteral("no temporary folder: ") + m_dir->errorString();
            m_dir.reset();
            return false;
        }
    }
    QStringList args{QStringLiteral("start"), m_dir->path(), QStringLiteral("--watch"),
                     QString::number(QCoreApplication::applicationPid())};
    if (frameMax > 0)
        args << QStringLiteral("--frame-max") << QString::number(frameMax);
    if (heartbeat > 0)
        args << QStringLiteral("--heartbeat") << QString::number(heartbeat);

    QByteArray out, err;
    int code = 0;
    if (!runScript(args, startTimeoutMs, &out, &err, &code)) {
        m_error = QStringLiteral("scripts/rabbitmq start failed (exit code %1): %2")
                      .arg(code)
                      .arg(QString::fromLocal8Bit(err));
        qWarning().noquote() << m_error;
        return false;
    }
    m_env.clear();
    for (const QByteArray& line : out.split('\n')) {
        const int eq = line.indexOf('=');
        if (eq > 0)
            m_env.insert(QString::fromUtf8(line.left(eq)), QString::fromUtf8(line.mid(eq + 1)));
    }
    m_running = true;
    m_paused = false;
    if (amqpPort() == 0 || amqpsPort() == 0 || node().isEmpty() || beamPid() <= 0) {
        m_error = QStringLiteral("scripts/rabbitmq start printed no ports: ") + QString::fromUtf8(out);
        stop();
        return false;
    }
    return true;
}

bool TestBroker::stop()
{
    if (!m_dir)
        return true;
    QByteArray err;
    int code = 0;
    const bool ok = runScript({QStringLiteral("stop"), m_dir->path()}, stopTimeoutMs, nullptr, &err, &code);
    if (!ok) {
        m_error = QStringLiteral("scripts/rabbitmq stop failed (exit code %1): %2")
                      .arg(code)
                      .arg(QString::fromLocal8Bit(err));
        qWarning().noquote() << m_error;
    }
    m_running = false;
    m_paused = false;
    return ok;
}

QString TestBroker::ctl(const QStringList& args, int* exitCode, int timeoutMs) const
{
    QByteArray out, err;
    int code = -1;
    if (!m_dir || !m_running) {
        if (exitCode)
            *exitCode = -1;
        return QString();
    }
    runScript(QStringList{QStringLiteral("ctl"), m_dir->path()} + args, timeoutMs, &out, &err, &code, queryGraceMs,
              m_pumpEvents);
    if (code != 0)
        qWarning().noquote() << "rabbitmqctl" << args.join(QLatin1Char(' ')) << "exit code" << code
                             << QString::fromLocal8Bit(err).trimmed();
    if (exitCode)
        *exitCode = code;
    return QString::fromUtf8(out);
}

QList<QStringList> TestBroker::list(const QString& what, const QStringList& fields, bool* ok, int timeoutMs) const
{
    int code = -1;
    const QString out = ctl(QStringList{QStringLiteral("-q"), QStringLiteral("--no-table-headers"),
                                        QStringLiteral("list_") + what}
                                + fields,
                            &code, timeoutMs);
    if (ok)
        *ok = code == 0;
    QList<QStringList> rows;
    if (code != 0)
        return rows;
    for (const QString& line : out.split(QLatin1Char('\n'), Qt::SkipEmptyParts))
        rows << line.split(QLatin1Char('\t'));
    return rows;
}

bool TestBroker::closeAllConnections(const QString& reason)
{
    int code = -1;
    ctl({QStringLiteral("close_all_connections"), QStringLiteral("--global"), reason}, &code);
    return code == 0;
}

bool TestBroker::stopApp()
{
    int code = -1;
    ctl({QStringLiteral("stop_app")}, &code);
    return code == 0;
}

bool TestBroker::startApp()
{
    int code = -1;
    ctl({QStringLiteral("start_app")}, &code);
    if (code != 0)
        return false;
    // start_app returns once the application runs; the listeners follow a moment later.
    QElapsedTimer timer;
    timer.start();
    while (timer.elapsed() < 30000) {
        QTcpSocket socket;
        socket.connectToHost(host(), amqpPort());
        if (socket.waitForConnected(1000))
            return true;
        QThread::msleep(100);
    }
    return false;
}

bool TestBroker::pause()
{
    if (!m_running || beamPid() <= 0 || ::kill(pid_t(beamPid()), SIGSTOP) != 0)
        return false;
    m_paused = true;
    return true;
}

bool TestBroker::resume()
{
    if (!m_running || beamPid() <= 0 || ::kill(pid_t(beamPid()), SIGCONT) != 0)
        return false;
    m_paused = false;
    return true;
}

bool TestBroker::blockPublishers(bool block)
{
    int code = -1;
    ctl({QStringLiteral("set_vm_memory_high_watermark"), block ? QStringLiteral("0.000001") : QStringLiteral("0.4")},
        &code);
    if (code != 0)
        return false;
    // Return only once the alarm is raised (or lifted), so that the test sees a settled broker.
    QElapsedTimer timer;
    timer.start();
    while (timer.elapsed() < 60000) {
        const QString alarms = ctl({QStringLiteral("-q"), QStringLiteral("eval"),
                                    QStringLiteral("rabbit_alarm:get_alarms().")},
                                   &code);
        if (code != 0)
            return false;
        if (alarms.contains(QLatin1String("memory")) == block)
            return true;
        QThread::msleep(200);
    }
    return false;
}

int TestBroker::queueMessageCount(const QString& queue, int timeoutMs) const
{
    bool ok = false;
    const QList<QStringList> rows =
        list(QStringLiteral("queues"), {QStringLiteral("name"), QStringLiteral("messages")}, &ok, timeoutMs);
    for (const QStringList& row : rows) {
        if (row.size() == 2 && row.at(0) == queue) {
            bool isNumber = false;
            const int n = row.at(1).toInt(&isNumber);
            return isNumber ? n : -1;
        }
    }
    return -1;
}

bool TestBroker::declareTestQueue(const QString& exchange, const QString& type, const QString& queue,
                                  const QString& routingKey) const
{
    if (!m_dir || !m_running)
        return false;
    QByteArray err;
    int code = -1;
    const bool ok = runScript({QStringLiteral("declare"), m_dir->path(), exchange, type, queue, routingKey},
                              toolTimeoutMs, nullptr, &err, &code);
    if (!ok)
        qWarning().noquote() << "scripts/rabbitmq declare failed:" << QString::fromLocal8Bit(err).trimmed();
    return ok;
}

bool TestBroker::runTool(const QString& program, const QStringList& args, const QByteArray& input,
                         QByteArray* out, int* exitCode, int timeoutMs) const
{
    QProcess p;
    p.start(program, args);
    if (!p.waitForStarted(10000)) {
        qWarning().noquote() << program << "did not start:" << p.errorString();
        return false;
    }
    p.write(input);
    p.closeWriteChannel();
    const bool finished = finishOrTerminate(p, timeoutMs, queryGraceMs);
    if (out)
        *out = p.readAllStandardOutput();
    *exitCode = finished ? p.exitCode() : -1;
    if (*exitCode != 0)
        qWarning().noquote() << program << "exit code" << *exitCode
                             << QString::fromLocal8Bit(p.readAllStandardError()).trimmed();
    return *exitCode == 0;
}

QStringList TestBroker::tlsToolArgs() const
{
    return {QStringLiteral("--ssl"), QStringLiteral("--cacert"), caCertificate(), QStringLiteral("-u"), tlsUrl()};
}

bool TestBroker::publish(const QString& exchange, const QString& routingKey, const QByteArray& body,
                         bool overTls) const
{
    if (!m_running)
        return false;
    QStringList args = overTls ? tlsToolArgs() : QStringList{QStringLiteral("-u"), url()};
    args << QStringLiteral("-p") << QStringLiteral("-e") << exchange << QStringLiteral("-r") << routingKey;
    int code = -1;
    return runTool(QStringLiteral("amqp-publish"), args, body, nullptr, &code);
}

bool TestBroker::get(const QString& queue, QByteArray* body, int timeoutMs) const
{
    if (!m_running)
        return false;
    int code = -1;
    QByteArray out;
    if (!runTool(QStringLiteral("amqp-get"), {QStringLiteral("-u"), url(), QStringLiteral("-q"), queue}, QByteArray(),
                 &out, &code, timeoutMs))
        return false;
    if (body)
        *body = out;
    return true;
}
