#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QList>
#include <QProcess>
#include <QString>
#include <QStringList>

#include <functional>

class TestBroker;

// tolvar-sim run as a separate process in a folder of the test's own, with an INI made from
// key=value lines and a scenario text. Standard output and error go to files in that folder.
// Writes text to path, making its folder first; a failure fails the running test.
void putFile(const QString& path, const QByteArray& text);
// The file's bytes, or "<missing>" when it cannot be read.
QByteArray fileContent(const QString& path);

class StationProcess {
public:
    explicit StationProcess(const QString& dir);
    ~StationProcess();

    // [BASE_STATION] ..., [TRANSMITTER] ... as given; written to station.ini.
    void writeIni(const QString& text);
    void writeScenario(const QString& text);
    // Runs tolvar-sim on station.ini and station.scn with a free spectrum port; extraArgs follow.
    bool start(const QStringList& extraArgs = QStringList());
    // SIGTERM, then waits; false when it did not end in time.
    bool terminate(int timeoutMs = 60000);
    int exitCode() const { return process_.exitCode(); }
    QProcess::ExitStatus exitStatus() const { return process_.exitStatus(); }
    bool running() const { return process_.state() != QProcess::NotRunning; }
    qint64 processId() const { return process_.processId(); }

    // The station's own text log (LOG_FILE_PATH=station.log) and its standard output.
    QByteArray log() const;
    QByteArray output() const;
    QString path(const QString& name) const;
    // The port the spectrum server logged, 0 until it did.
    quint16 spectrumPort() const;
    // TCPBS: the port the gateway server listens on, 0 before it does.
    quint16 gatewayPort() const;

    static QString binary();

private:
    QString dir_;
    QProcess process_;
};

// Every message a consumer took off a test queue, split into JSON objects.
struct Received {
    QList<QJsonObject> records;    // uplink records (no "msg_type" of a heartbeat)
    QList<QJsonObject> heartbeats;
    QList<QByteArray> other;       // bodies that are not JSON objects
};

// Takes every message waiting in the queue.
void drainQueue(const TestBroker& broker, const QString& queue, Received& into);

// The JSON objects of a file of one object per line (the simulated radios' on-air log); none
// while the file does not exist.
QList<QJsonObject> readJsonLines(const QString& path);

// Polls the condition every 250 ms, the event loop running in between; false once timeoutMs
// have passed without it holding.
bool waitUntil(const std::function<bool()>& condition, int timeoutMs);
