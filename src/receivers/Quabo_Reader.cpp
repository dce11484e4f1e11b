#include "Quabo_Reader.h"

#include "Message_Parser_Protocol_V1_1.h"
#include "levent.h"

#include <QDebug>
#include <QThread>

Quabo_Reader::Quabo_Reader(SettingsController& settings, std::shared_ptr<Base_Pin_Controller> pins, QObject* parent)
    : qorm_reader(settings, std::move(pins), parent)
{
    publish_info();
}

Quabo_Reader::~Quabo_Reader()
{
    set_LED_color(Switched_Off);
}

void Quabo_Reader::set_LED_color(LED_Color color)
{
    if (Base_Pin_Controller* p = pins())
        p->set_LED_color(color);
}

bool Quabo_Reader::init()
{
    fft_size = 1024;
    load_common_settings(setCtrlr.getBS_ParamsCopy());
    rev_lo = true;
    update_decoder();
    publish_info();
    return true;
}

void Quabo_Reader::start()
{
    if (!pin_controller_ || !pin_controller_->is_inited()) {
        *this << "Quabo_Reader: the board's pin controller is not initialised: no uplink\n";
        publish_info();
        return;
    }
    fw_version = read_firmware_version();
    *this << "Quabo_Reader: FW Version: " << fw_version << "\n";
    read_fpga_rpi_protocol_version_bs_version();
    read_fft_size_spectrum();
    initNoiseLev();
    create_message_parser();
    compdatetime = read_firmware_DateTime();
    *this << "Quabo_Reader: Artix compilation date&time: " << compdatetime.toString("dd.MM.yyyy hh:mm:ss") << "\n";
    if (fw_version <= 10042) {
        *this << "Unsupported FPGA firmware version: " << fw_version << "\n";
        set_LED_color(Switched_Off);
        emit wrongFirmwareVersion(fw_version);
        publish_info();
        return;
    }
    write_rev_lo(rev_lo);
    analyzeHopping();
    read_supported_ul_bitrates();
    writeThresholdsToPlis();
    write_stream_offset(static_cast<uint8_t>(stream_offset_ & 0xFF));
    write_stream_offset(18);
    on_off_window(use_window);
    writeFSCBands();
    update_decoder();
    start_timers([this] { check_lattice(); });
    on_off_one_sec_pulse_tester(one_sec_pulse_test);
    set_LED_color(Red);
    publish_info();
}

uint32_t Quabo_Reader::freq_offset(uint32_t f)
{
    const uint32_t w = (f - 40000u) % 25000u + 40000u;
    const double v = double(w) * 4294967296.0 * 2.5e-7;
    return static_cast<uint32_t>(static_cast<uint64_t>(v));
}

void Quabo_Reader::writeFSCBands()
{
    qDebug() << "=============== Quabo BS writeFSCBands()";
    const uint32_t fo = freq_offset(uplink_freq);
    *this << "freq_offset =  " << fo << "\n";
    write_word_register(char(0xA8), fo);
}

void Quabo_Reader::check_lattice()
{
    *this << "Quabo_Reader::check_lattice() Check Lattice\n";
    writeFSCBands();
}

void Quabo_Reader::check_di()
{
    poll_door(quabo_door_state);
}

void Quabo_Reader::initNoiseLev()
{
    qorm_reader::initNoiseLev();
    noise_lev400_band1.resize(NoiseLevels::BINS_50, Band1);
    qDebug() << "====================== ini noise lev: size=" << NoiseLevels::BINS_50;
}

void Quabo_Reader::create_message_parser()
{
    if (bs_type_ == Quabo)
        msg_parser = std::make_unique<Message_Parser_Protocol_V1_1>();
    else if (bs_type_ == Unknown_Type)
        qDebug() << "Can't create Message Parser for uplink messages";
    decoder.setParser(msg_parser.get());
}

void Quabo_Reader::reinit()
{
    *this << "QuaboReader: Reinit!\n";
    *this << levent(QStringLiteral("Lattice reboot and reinit"), QString::fromLatin1(fnameEventLog));
    // The core resets the board on this alarm; the read loop is held still meanwhile (this
    // runs on the reader thread) and the pass that called it ends afterwards.
    const bool was_reading = timer_read_messages_loop && timer_read_messages_loop->isActive();
    if (was_reading)
        timer_read_messages_loop->stop();
    emit alarm_out(QStringLiteral("EVENT_REBOOT_LATTICE"));
    QThread::msleep(1000);
    write_stream_offset(18);
    on_off_window(use_window);
    write_rev_lo(rev_lo);
    on_off_ext_filter(eant);
    writeFSCBands();
    analyzeHopping();
    writeThresholdsToPlis();
    update_decoder();
    if (was_reading)
        timer_read_messages_loop->start(5);
    publish_info();
}

void Quabo_Reader::alarm_in(const QString& text)
{
    qorm_reader::alarm_in(text);
    set_LED_color((qorm_state & 1) && (qorm_state & 4) && (qorm_state & 8) ? Green : Yellow);
    if (text == QLatin1String("EVENT_AUTOCORR_ERR"))
        reinit();
    publish_info();
}

bool Quabo_Reader::read_messages(message_point* mes)
{
    return read_fifo_record(char(0x80), RecordDecoder::Fifo::Quabo, mes, fault_cntr,
                            "bool Quabo_Reader::read_messages(message_point*)");
}

void Quabo_Reader::read_messages_loop()
{
    if (!msg_parser)
        return;
    QElapsedTimer pass;
    pass.start();
    qint64 t = mono_now();
    quint32 count = 0;
    bool fast = false;
    while (pass.elapsed() < PASS_LIMIT_MS && int(count) < PASS_LIMIT_RECORDS) {
        auto mes = QSharedPointer<message_point>::create();
        if (read_messages(mes.data())) {
            ++count;
            if (mes->bitrate >= 3200)
                fast = true;
            filter.add(mes, mono_now() - 3040);
            t = mono_now();
            continue;
        }
        if (quiet_since(t, fast ? 5 : 30))
            break;
    }
    emit_and_age(count);
}

receiver_info Quabo_Reader::build_info() const
{
    receiver_info r = qorm_reader::build_info();
    r.fpga_info_.fpga_bs_type = Quabo;
    QList<vexa_phy_channel_t> b2 = supported_ul_bitrates_band1;
    b2.removeAll(UL_DBPSK_50_PROT_C);
    b2.removeAll(UL_DBPSK_50_PROT_D);
    b2.removeAll(UL_DBPSK_50_PROT_E);
    r.fpga_info_.supported_ul_bitrates_band2 = b2;
    r.fpga_info_.bandwidth1 = 51200;
    r.fpga_info_.bandwidth2 = uint32_t(flag_mode_FFT_band1) * fft_size;
    r.band1_offset = 0;
    r.fpga_temperature_ = -1000.0f;
    r.aver_noiseBand1 = noise.getAverNoise50Band1();
    r.aver_noiseBand2 = noise_lev400_band1.aver_noise;
    return r;
}
