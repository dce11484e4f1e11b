#pragma once
// A simulator (gw-sim, rs-sim) run by a test: its JSON lines read as they come, and the process
// stopped however the test ends.

#include <QJsonDocument>
#include <QJsonObject>
#include <QList>
#include <QProcess>

struct SimOutput {
    QProcess& process;
    QByteArray pending;
    QList<QJsonObject> lines;
    QByteArray firstLine;

    void poll()
    {
        pending += process.readAllStandardOutput();
        int nl;
        while ((nl = pending.indexOf('\n')) >= 0) {
            const QByteArray line = pending.left(nl);
            pending.remove(0, nl + 1);
            if (firstLine.isNull())
                firstLine = line;
            const QJsonDocument doc = QJsonDocument::fromJson(line);
            if (doc.isObject())
                lines.append(doc.object());
        }
    }

    QList<QJsonObject> events(const QString& name)
    {
        poll();
        QList<QJsonObject> out;
        for (const QJsonObject& o : lines)
            if (o.value("event").toString() == name)
                out.append(o);
        return out;
    }
};

struct SimStopper {
    QProcess& p;
    ~SimStopper()
    {
        if (p.state() == QProcess::NotRunning)
            return;
        p.terminate();
        if (!p.waitForFinished(10000)) {
            p.kill();
            p.waitForFinished(10000);
        }
    }
};
