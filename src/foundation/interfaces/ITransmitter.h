#pragma once

#include "records.h"
#include "vexa_status.h"

#include <QObject>
#include <QSharedPointer>
#include <QString>

// What the station core sees of a downlink sender. It lives in the sender thread; info() and
// queueDLMessage() are called directly from the main thread, everything else arrives queued.
class ITransmitter : public QObject {
    Q_OBJECT
public:
    explicit ITransmitter(QObject* parent = nullptr) : QObject(parent) {}
    ~ITransmitter() override = default;

    virtual void init() = 0;
    virtual transmitter_info info() = 0;

public slots:
    virtual void start() = 0;
    // Every received uplink, for frequency autocorrection. The shared pointer keeps the record
    // alive for as long as the sender looks at it.
    virtual void setULMessage(QSharedPointer<message_point> message) = 0;
    // Ownership of the request passes to the sender.
    virtual void queueDLMessage(dl_message_point* message) = 0;
    virtual void alarm_in(const QString& text) = 0;
    virtual void stopTransmitter() = 0;

signals:
    void alarm_out(const QString& text);
};
