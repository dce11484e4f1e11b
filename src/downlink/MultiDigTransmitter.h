#pragma once

#include "Base_Pin_Controller.h"
#include "SettingsController.h"
#include "StationClock.h"
#include "interfaces/IVexaTransmitter.h"
#include "logger.h"
#include "multidig_mod.h"

#include <QTimer>

#include <memory>
#include <vector>

// Downlink back-end of the multi-channel FPGA modulator: up to DL_CH_COUNT downlinks on the
// air at once, one per channel, all inside the band of one shared synthesizer. It admits a
// request only when a channel is free, its carrier lies in the band of the synthesizer already
// on, its guard interval overlaps no downlink on the air and its modem is not being sent to.
// A send loads and starts the frame and returns; a 5 ms controller releases each channel when
// its modulator reports it idle and switches the synthesizer off when none is on the air.
// Lives in, and is used only from, the sender thread.
class MultiDigTransmitter : public IVexaTransmitter, public logger
{
    Q_OBJECT
public:
    static constexpr uint8_t NO_CHANNEL = 255;
    static constexpr int CONTROLLER_MS = 5;

    // One channel and the downlink it carries.
    struct send_info {
        std::unique_ptr<multidig_mod> p;
        qint64 t = 0;         // monotonic ms: start of the downlink, or its last air-time sample
        bool ongoing = false; // claimed by a frame on the air
        int32_t freq = 0;
        int32_t freq_start = 0;
        int32_t freq_end = 0;
        int32_t bitrate = 0; // width of the guard interval, Hz
        uint32_t modem_id = 0;
        bool autocorrection = false;
    };

    // clock: air time (null: the system clock).
    MultiDigTransmitter(SettingsController& settings, std::shared_ptr<Base_Pin_Controller> pin_controller,
                        QObject* parent = nullptr, std::shared_ptr<StationClock> clock = {});
    ~MultiDigTransmitter() override;

    bool is_phy_supported(const QString& phy) override;
    quint32 get_transmitter_id() override;
    bool isBusy() override;
    QList<vexa_phy_channel_t> get_supported() override;
    qint32 get_max_power() override;
    void switch_syntesizer_off() override;
    bool isOngoing() override;
    bool channelsClaimed() override;
    bool exam_dl(dl_message_point* message) override;
    quint32 get_busy_msec() override;

    uint8_t get_free_mod() const;
    uint8_t get_free_count_mod() const;

    // DL_CH_COUNT and DL_SINTH_BANDWIDTH after their fall-backs, for whoever builds the
    // modulator the station will find (the simulation).
    static int channels_from(const TransmitterParams& params);
    static int32_t bandwidth_from(const TransmitterParams& params);

    // What the settings became after their fall-backs.
    int channel_count() const { return _ch_count; }
    int power_reduction() const { return _ch_power_reduce; }
    int32_t bandwidth() const { return _bandwidth; }
    int32_t sinth_freq_step() const { return _sinth_freq_step; }
    double save_window() const { return _dl_save_window; }
    bool synthesizer_on() const { return !_sinth_disabled; }
    int32_t synthesizer_frequency() const { return _sinth_freq_ongoing; }
    const send_info& channel(int ch) const { return _modulators.at(size_t(ch)); }
    // The synthesizer frequency the automatic rule picks for a carrier.
    int32_t sinth_for(int32_t freq) const;
    // Stops the 5 ms controller, for tests that run passes themselves.
    void stop_controller() { _send_timer->stop(); }

public slots:
    bool sendDLMessage(dl_message_point* message, double corr_freq) override;
    bool sendAutocorr(quint32 id, quint32 freq, qint32 power) override;
    void alarm_in(const QString& text) override;
    void send_controller();

private:
    void switch_synthesizer_on(int32_t s, bool with_filter);
    void claim(uint8_t ch, uint32_t modem_id, int32_t freq, uint16_t bitrate, bool autocorrection);
    void on_saturated(multidig_mod::Saturated kind);
    int8_t attenuation_argument(int a) const;

    const QList<vexa_phy_channel_t> _support_list;
    std::vector<send_info> _modulators;
    QTimer* _send_timer = nullptr;
    quint32 _busy_msec = 0;
    bool _sinth_disabled = true;
    int32_t _sinth_freq_ongoing = 0;
    int32_t _sinth_freq = 0;
    int32_t _sinth_freq_step = 100000;
    int32_t _filter_offset = 0;
    int32_t _max_power = 30;
    int _ch_count = 1;
    int _ch_power_reduce = 0;
    double _dl_save_window = 1.0;
    int32_t _bandwidth = 4000000;
    SettingsController& settCtrlr;
    std::shared_ptr<StationClock> clock_;
    bool nco_saturation_logged_ = false;
    bool filter_saturation_logged_ = false;
};
