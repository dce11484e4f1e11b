#pragma once

#include "qorm_reader.h"

// Uplink receiver of the Quabo station: one band, a Lattice receiver FPGA booted by its pin
// controller, no liveness test but a 30 s configuration refresh, and a board LED that follows
// the reader state.
class Quabo_Reader : public qorm_reader
{
    Q_OBJECT
public:
    Quabo_Reader(SettingsController& settings, std::shared_ptr<Base_Pin_Controller> pins, QObject* parent = nullptr);
    ~Quabo_Reader() override;

    bool read_messages(message_point* mes);
    void writeFSCBands() override;
    void reinit() override;
    void initNoiseLev() override;
    void create_message_parser() override;
    void set_LED_color(LED_Color color);
    static uint32_t freq_offset(uint32_t uplink_freq);

public slots:
    void start() override;
    void alarm_in(const QString& text) override;
    bool init() override;
    void read_messages_loop() override;
    void check_lattice();
    void check_di() override;

protected:
    receiver_info build_info() const override;

private:
    Noise_LevelsSPI noise_lev400_band1{128, Band1};
    FFT_Magnitudes scaled_fft;
    unsigned fault_cntr = 0;
    PIN_State quabo_door_state = fault;
};
