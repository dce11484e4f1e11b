#pragma once

#include <QProcess>
#include <QString>
#include <QStringList>

// tolvar-modem-sim as a child process on a pseudo-terminal of its own: the station's INI points
// Comunications/PortNum at portPath(). Its on-air log is modem_air.jsonl in the given folder.
class ModemSimProcess
{
public:
    explicit ModemSimProcess(const QString& dir);
    ~ModemSimProcess();

    // Starts it with the given options and waits (bounded) for the port path.
    bool start(const QStringList& args);
    QString portPath() const { return port_; }
    QString onAirPath() const;
    // The [Comunications] group for a station on this port.
    QString iniGroup(bool crc) const;
    QByteArray output();

    static QString binary();

private:
    QString dir_;
    QString port_;
    QProcess process_;
};
