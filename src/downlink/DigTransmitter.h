#pragma once

#include "Base_Pin_Controller.h"
#include "SettingsController.h"
#include "StationClock.h"
#include "dig_mod.h"
#include "interfaces/IVexaTransmitter.h"
#include "logger.h"

#include <memory>

// Downlink back-end of the single FPGA modulator: picks the frame form of each request,
// sets the power and logs. A send returns when the modulator reports the frame out (or its
// wait runs out), so the back-end is never busy.
class DigTransmitter : public IVexaTransmitter, public logger
{
    Q_OBJECT
public:
    static const QList<vexa_phy_channel_t> DL_BIT_RATES;
    static constexpr qint32 MAX_POWER = 24;

    DigTransmitter(SettingsController& settings, std::shared_ptr<Base_Pin_Controller> pin_controller,
                   QObject* parent = nullptr, std::shared_ptr<StationClock> clock = {},
                   int poll_limit = dig_mod::DEFAULT_POLL_LIMIT);
    ~DigTransmitter() override;

    bool is_phy_supported(const QString& phy) override;
    quint32 get_transmitter_id() override;
    bool isBusy() override;
    QList<vexa_phy_channel_t> get_supported() override;
    qint32 get_max_power() override;
    void switch_syntesizer_off() override;

    // Argument of dig_mod::set_pwr for a power in dBm.
    static int8_t power_argument(int dbm);

public slots:
    bool sendDLMessage(dl_message_point* message, double corr_freq) override;
    bool sendAutocorr(quint32 id, quint32 freq, qint32 power) override;
    void alarm_in(const QString& text) override;

private:
    void send_line(const char* what, const dl_message_point& m, bool crypto);

    dig_mod _modulator;
    SettingsController& settCtrlr;
};
