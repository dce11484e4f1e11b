#pragma once

#include "records.h"
#include "vexa_status.h"

#include <QList>
#include <QObject>
#include <QString>

// What the downlink scheduler sees of one radio back-end. Created in, and used only from, the
// sender thread.
class IVexaTransmitter : public QObject {
    Q_OBJECT
public:
    explicit IVexaTransmitter(QObject* parent = nullptr) : QObject(parent) {}
    ~IVexaTransmitter() override = default;

    virtual bool is_phy_supported(const QString& phy) = 0;
    // Modem id of the station's own radio, 0 when the back-end has none.
    virtual quint32 get_transmitter_id() = 0;
    virtual bool isBusy() = 0;
    virtual QList<vexa_phy_channel_t> get_supported() = 0;
    virtual qint32 get_max_power() = 0;

    // What the scheduler asks of particular back-ends only; the defaults fit every back-end
    // that lacks the feature.
    // FPGA modulators: switch the synthesizer off before another radio sends an
    // autocorrection frame.
    virtual void switch_syntesizer_off() {}
    // Multi-channel modulator: a channel is on the air; whether it admits a request now; the air
    // time its channels gathered since the last call.
    virtual bool isOngoing() { return false; }
    // Multi-channel modulator: a channel is claimed, as the last status read (isBusy(),
    // isOngoing() or its own controller) and the sends since left it, without reading the
    // channels again: the scheduler reads them once per pass and asks this for each request.
    virtual bool channelsClaimed() { return isOngoing(); }
    virtual bool exam_dl(dl_message_point* message)
    {
        Q_UNUSED(message)
        return true;
    }
    virtual quint32 get_busy_msec() { return 0; }
    // Serial radio modem: the firmware and hardware versions it reported, for the heartbeat.
    virtual quint32 firmware_version() { return 0; }
    virtual quint32 hardware_version() { return 0; }

public slots:
    // True: the request is finished (sent, or dropped for good after a log line) and may be
    // deleted. False: keep it queued and offer it again later. The back-end does not own it.
    virtual bool sendDLMessage(dl_message_point* message, double corr_freq) = 0;
    // True when the autocorrection frame went out; false means retry on a later tick.
    virtual bool sendAutocorr(quint32 id, quint32 freq, qint32 power) = 0;
    virtual void alarm_in(const QString& text) = 0;

signals:
    void alarm_out(const QString& text);
};
