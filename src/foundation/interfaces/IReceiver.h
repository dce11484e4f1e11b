#pragma once

#include "records.h"

#include <QObject>
#include <QSharedPointer>
#include <QString>
#include <QVector>

// Interface of every uplink source (FPGA readers, the TCP gateway receiver). It lives in the
// reader thread; info() is called directly from the main thread and must only read.
class IReceiver : public QObject {
    Q_OBJECT
public:
    explicit IReceiver(QObject* parent = nullptr) : QObject(parent) {}
    ~IReceiver() override = default;

    virtual receiver_info info() = 0;

public slots:
    virtual void start() = 0;
    virtual void alarm_in(const QString& text) = 0;
    virtual void stopReader() = 0;
    virtual bool init() = 0;

signals:
    // One uplink message. The emitter keeps its own reference for as long as it needs the record.
    void message_ready(QSharedPointer<message_point> message);
    void fft_mag_out_raw(qint32* magnitudes, uint count);
    void fft_mag_out(const QVector<quint32>& magnitudes, uint count, Bands band);
    void alarm_out(const QString& text);
    void wrongFirmwareVersion(quint32 version);
    void errorInitSPI();
};
