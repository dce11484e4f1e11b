#pragma once

#include "BaseMessageParser.h"
#include "HoppingSettingsReader.h"
#include "MessageFilter.h"
#include "NoiseLevels.h"
#include "RecordDecoder.h"

#include "Base_Pin_Controller.h"
#include "SettingsController.h"
#include "interfaces/IReceiver.h"
#include "logger.h"

#include <QDateTime>
#include <QElapsedTimer>
#include <QMutex>
#include <QTimer>
#include <QVector>
#include <QWaitCondition>
#include <functional>
#include <memory>
#include <mutex>
#include <unordered_map>
#include <vector>

// Uplink receiver of the QORM and QORM LTE stations: boots and supervises the receiver FPGA,
// reads its message FIFOs every 5 ms, decodes and folds the records and hands each new message
// to the station core. Constructed and init() on the main thread, then moved to the reader
// thread whose start signal runs start(); everything else runs on the reader thread, except
// info(), which reads a snapshot the reader thread publishes.
class qorm_reader : public IReceiver, public logger
{
    Q_OBJECT
public:
    // A read pass ends after this long or this many records, so that a FIFO that never runs
    // dry still lets the pass emit and age its records.
    static constexpr int PASS_LIMIT_MS = 200;
    static constexpr int PASS_LIMIT_RECORDS = 256;

    qorm_reader(SettingsController& settings, std::shared_ptr<Base_Pin_Controller> pins, QObject* parent = nullptr);
    ~qorm_reader() override;

    receiver_info info() override;

    // Plain accessors.
    void set_fft_size(uint32_t v) { fft_size = v; }
    void set_fft_size_band2(uint32_t v) { fft_size_band2 = v; }
    void set_uplink_freq(uint32_t v) { uplink_freq = v; }
    void set_uplink_freq2(uint32_t v) { uplink_freq2 = v; }
    void set_adc_freq(uint32_t v) { adc_freq = v; }
    void set_adc_freq2(uint32_t v) { adc_freq2 = v; }
    void setLogOffset(float v) { LogOffset = v; }
    void setUseWindow(bool v) { use_window = v; }
    void setRevLo(bool v) { rev_lo = v; }
    void use_ext_ant(bool v) { eant = v; }
    void use_one_sec_pulse_test(bool v) { one_sec_pulse_test = v; }
    bool revLo() const { return rev_lo; }
    float getAverNoise50Band1() const { return noise.getAverNoise50Band1(); }
    float getAverNoise50Band2() const { return noise.getAverNoise50Band2(); }
    float getAverNoise400Band2() const { return noise.getAverNoise400Band2(); }
    float getAverNoise3200HoppingBand1() const { return noise.getAverNoise3200HoppingBand1(); }
    static bool is_equal(double a, double b);

    // Register protocol.
    bool read_write_spi(char* tx, char* rx, uint32_t length);
    // One frame each: a 32-bit status word (receive bytes 5..8 of a 9-byte read; turnaround
    // goes out in byte 4), and a write of one byte or of one 32-bit word.
    uint32_t read_status_word(char address, char turnaround = 0);
    void write_byte_register(char address, uint8_t value);
    void write_word_register(char address, uint32_t value);
    uint32_t read_firmware_version();
    bool readHoppingSupport();
    QDateTime read_firmware_DateTime();
    float read_fpga_temperature();
    void write_LEDs(uint8_t state);
    void write_stream_offset(uint8_t offset);
    void write_rev_lo(bool on);
    void on_off_window(bool on);
    virtual void writeFSCBands();
    void write_sinth_koeff(const QVector<quint32>& words);
    void writeThresholdInAdress(char address, uint16_t value);
    void writeThreshold(BS_Bitrates bitrate, uint16_t value);
    void writeThresholdsToPlis();
    void readThresholds();
    void read_supported_ul_bitrates();
    void initializeUplinkBitrates(uint32_t mask);
    void write_HoppingParamsToPlis(const HoppingParams& table);
    static uint32_t nco_word(uint32_t adc_freq);

    // Start-up.
    virtual void create_message_parser();
    void read_fpga_rpi_protocol_version_bs_version();
    void check_bs_types(uint8_t read_type);
    void bootArtix();
    void analyzeHopping();

    // Spectrum.
    void read_fft_size_spectrum();
    void configure_flag_mode_fft(uint8_t code, Bands band);
    static char configure_address_for_read_spectrum(bool hopping, Bands band, BS_Bitrates bitrate);
    bool read_spectr(std::vector<uint8_t>& buffer, Bands band, BS_Bitrates bitrate);
    virtual void initNoiseLev();

    // Supervision.
    QByteArray readID();
    virtual void reinit();
    void rebootAxsem();
    void beep(uint16_t ms);
    void on_off_ext_filter(bool on);
    void on_off_one_sec_pulse_tester(bool on);
    void saveToFileRawMessageData(const QByteArray& raw);

    // Reading.
    bool read_next_message(message_point* mes);
    bool read_next_message_3200_25600(message_point* mes);

    // For tests and the status record.
    quint8 state() const { return qorm_state; }
    uint32_t firmware() const { return fw_version; }
    bool hopping() const { return hoppingSupport; }
    unsigned crcFailed() const { return CRC_failed; }
    unsigned droppedRecords() const { return dropped_records; }
    int waitingRecords() const { return filter.out_list.size(); }
    const QVector<quint32>& savedKoeff() const { return saved_koeff; }
    uint32_t adcFreq() const { return adc_freq; }
    uint32_t adcFreq2() const { return adc_freq2; }
    uint32_t uplinkFreq2() const { return uplink_freq2; }
    const BaseMessageParser* parser() const { return msg_parser.get(); }

public slots:
    void start() override;
    void alarm_in(const QString& text) override;
    void stopReader() override;
    bool init() override;

    void setSinthKoeff(QVector<quint32> words);
    virtual void read_messages_loop();
    void read_spectr_loop();
    void reboot();
    virtual void check_di();

protected:
    // The snapshot info() returns; the reader thread refreshes it after every change.
    virtual receiver_info build_info() const;
    void publish_info();
    qint64 mono_now() const { return mono_clock.elapsed(); }
    void update_decoder();
    void emit_and_age(quint32 total);
    // One record that failed its CRC: counts it and re-initialises after too many in a row.
    void crc_fault(unsigned& counter, unsigned limit, const QString& detail);
    // Reads one record from the FIFO behind the register address and decodes it into mes; true
    // for an accepted record. fault_counter counts this FIFO's CRC errors in a row; where names
    // the caller in the debug line of a dropped record.
    bool read_fifo_record(char address, RecordDecoder::Fifo fifo, message_point* mes, unsigned& fault_counter,
                          const char* where);
    // Waits up to 2 ms for more records; true once no record has come for more than limit_ms
    // since last_record (monotonic ms), which ends the read pass.
    bool quiet_since(qint64 last_record, qint64 limit_ms);
    // One look at the door input: a change against the remembered level raises the door alarm.
    void poll_door(PIN_State& remembered);
    // The settings both boards read the same way: station type, log path, log offset, uplink
    // frequency, pulse test and stream offset.
    void load_common_settings(const BaseStationParams& bs);
    // The read loop and the door poll run the (virtual) slots of this object; check is the
    // 30 s supervision slot.
    void start_timers(const std::function<void()>& check);
    void set_state_bit(quint8 bit, bool on);
    // The board's pin controller, or null (said once in the log) for a reader built without
    // one: every board function is then skipped instead of crashing the reader thread.
    Base_Pin_Controller* pins();

    QTimer* timer_read_messages_loop = nullptr;
    QTimer* read_spectr_timer = nullptr;
    QTimer* check_artix_timer = nullptr;
    QTimer* check_di_timer = nullptr;

    MessageFilter filter; // holds m_list and out_list
    uint32_t fft_size = 1024;
    uint32_t fft_size_band2 = 512;
    uint32_t uplink_freq = 0;
    uint32_t uplink_freq2 = 0;
    uint32_t adc_freq = 0;
    uint32_t adc_freq2 = 0;
    quint32 fw_version = 0;
    QDateTime compdatetime;
    float LogOffset = 210.0f;
    NoiseLevels noise;
    quint8 qorm_state = 0;
    float temperature = 0.0f;
    bool use_window = false;
    unsigned CRC_failed = 0;
    bool rev_lo = false;
    QVector<quint32> saved_koeff;
    bool eant = false;
    bool one_sec_pulse_test = false;
    std::unordered_map<BS_Bitrates, char> mapThresholdAdresses;
    QMutex mutMessageLoop;
    QWaitCondition _cond;
    bool hoppingSupport = false;
    HoppingSettingsReader hoppReader;
    SettingsController& setCtrlr;
    QList<vexa_phy_channel_t> supported_ul_bitrates_band1;
    QList<vexa_phy_channel_t> supported_ul_bitrates_band2;
    std::shared_ptr<Base_Pin_Controller> pin_controller_;
    std::unique_ptr<BaseMessageParser> msg_parser;
    uint8_t fpga_rpi_protocol_version = 0;
    BS_Bitrates flag_mode_FFT_band1 = bt_Unknown;
    BS_Bitrates flag_mode_FFT_band2 = bt_Unknown;

    // The station type and stream offset as read at init.
    BS_Type bs_type_ = Unknown_Type;
    int stream_offset_ = 18;
    RecordDecoder decoder;
    QElapsedTimer mono_clock;
    unsigned fault_cntr_low = 0;
    unsigned fault_cntr_high = 0;
    unsigned dropped_records = 0;
    PIN_State door_state = fault;
    bool reading = false;
    QString last_hopping_problem;
    bool noise_size_logged = false;
    bool no_pins_logged = false;
    std::vector<uint8_t> spectrum_4096, spectrum_8192, spectrum_64, spectrum_2048;

    mutable std::mutex info_mutex;
    receiver_info info_snapshot;
};
