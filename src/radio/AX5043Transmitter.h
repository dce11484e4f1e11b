#pragma once

#include "interfaces/IVexaTransmitter.h"
#include "logger.h"
#include "rf_ax5043.h"
#include "station_types.h"

#include <QList>
#include <QString>

#include <memory>

class Base_Pin_Controller;
class SettingsController;

// The downlink back-end of the AX5043 transceiver on Quabo and QORM_LTE stations: clamps the
// power, chooses the frame from the phy and the protocol version, sends it through rf_ax5043
// and logs a line before and after each send. Lives on the sender thread.
class AX5043Transmitter : public IVexaTransmitter, public logger {
    Q_OBJECT
public:
    enum class Frame { PSK, ProtD_v4, ProtD_v5, ProtE_v5 };

    AX5043Transmitter(SettingsController& settings, std::shared_ptr<Base_Pin_Controller> pins, QObject* parent = nullptr);
    ~AX5043Transmitter() override;

    bool is_phy_supported(const QString& phy) override;
    quint32 get_transmitter_id() override;
    bool isBusy() override;
    QList<vexa_phy_channel_t> get_supported() override;
    qint32 get_max_power() override;

    // The frame a request of this code and protocol version goes out as.
    static Frame frame_for(vexa_phy_channel_t code, quint32 vexa_ver);
    // The carrier of a request: corrected on QORM_LTE only, truncated toward zero.
    static quint32 carrier_for(BS_Type type, quint32 freq, double correction);

public slots:
    bool sendDLMessage(dl_message_point* message, double corr_freq) override;
    bool sendAutocorr(quint32 id, quint32 freq, qint32 power) override;
    void alarm_in(const QString& text) override;

private:
    BS_Type station_type() const;

    std::unique_ptr<rf_ax5043> rf;
    bool busy = false;
    SettingsController& settCtrlr;
    bool was_auto = false;
};
