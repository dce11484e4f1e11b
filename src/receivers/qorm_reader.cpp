#include "qorm_reader.h"

#include "Message_Parser_Protocol_V1_0.h"
#include "Message_Parser_Protocol_V1_1.h"
#include "adf4350.h"
#include "levent.h"

#include <QDebug>
#include <QFile>
#include <QMetaObject>
#include <QMutexLocker>
#include <QThread>
#include <cmath>
#include <cstring>

namespace {

const QString ts()
{
    return QDateTime::currentDateTime().toString("hh:mm:ss:zzz ");
}

uint32_t le32(const char* p)
{
    const auto* b = reinterpret_cast<const uint8_t*>(p);
    return uint32_t(b[0]) | (uint32_t(b[1]) << 8) | (uint32_t(b[2]) << 16) | (uint32_t(b[3]) << 24);
}

void put_le32(char* p, uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        p[i] = static_cast<char>((v >> (8 * i)) & 0xFF);
}

template <typename T> T setting(const QVariant& v, T fallback);
template <> uint32_t setting(const QVariant& v, uint32_t fallback)
{
    bool ok = false;
    const uint r = v.toUInt(&ok);
    return v.isValid() && ok ? r : fallback;
}
template <> int setting(const QVariant& v, int fallback)
{
    bool ok = false;
    const int r = v.toInt(&ok);
    return v.isValid() && ok ? r : fallback;
}
template <> float setting(const QVariant& v, float fallback)
{
    bool ok = false;
    const float r = v.toFloat(&ok);
    return v.isValid() && ok ? r : fallback;
}
template <> bool setting(const QVariant& v, bool fallback)
{
    return v.isValid() ? v.toBool() : fallback;
}

// Sizes of the spectrum buffers, in bytes (one 32-bit word per bin).
constexpr size_t SPECTRUM_50 = 4096;
constexpr size_t SPECTRUM_125 = 8192;
constexpr size_t SPECTRUM_3200 = 64;
constexpr size_t SPECTRUM_400_B2 = 2048;

} // namespace

qorm_reader::qorm_reader(SettingsController& settings, std::shared_ptr<Base_Pin_Controller> pins, QObject* parent)
    : IReceiver(parent), setCtrlr(settings), pin_controller_(std::move(pins))
{
    saved_koeff = QVector<quint32>(6, 0);
    mapThresholdAdresses = {{bt50, char(0x90)}, {bt125, char(0x90)}, {bt400, 0x08}, {bt3200, char(0xD8)},
                            {bt25600, char(0xE8)}};
    registerRecordMetaTypes();
    mono_clock.start();
    noise.on_fft = [this](const QVector<quint32>& m, uint size, Bands band) { emit fft_mag_out(m, size, band); };
    noise.on_noise_state = [this](bool normal) { set_state_bit(2, normal); };
    info_snapshot = build_info();
}

qorm_reader::~qorm_reader() = default;

bool qorm_reader::is_equal(double a, double b)
{
    return std::fabs(a - b) < 2.220446049250313e-16;
}

void qorm_reader::set_state_bit(quint8 bit, bool on)
{
    if (on)
        qorm_state |= bit;
    else
        qorm_state &= static_cast<quint8>(~bit);
}

Base_Pin_Controller* qorm_reader::pins()
{
    if (!pin_controller_ && !no_pins_logged) {
        no_pins_logged = true;
        *this << ts() << "QORMReader: no pin controller: board functions are skipped\n";
    }
    return pin_controller_.get();
}

// ---------------------------------------------------------------- construction, init, start

bool qorm_reader::init()
{
    fft_size = 1024;
    fft_size_band2 = 512;
    const BaseStationParams bs = setCtrlr.getBS_ParamsCopy();
    load_common_settings(bs);
    const auto ul = static_cast<int32_t>(uplink_freq);
    const auto ifq = static_cast<int32_t>(setting(bs.if_freq_, uint32_t(137500000)));
    const auto ifq2 = static_cast<int32_t>(setting(bs.if_freq2_, uint32_t(137909600)));
    const bool revlo = setCtrlr.rev_lo();
    uplink_freq2 = static_cast<uint32_t>(revlo ? ul + (ifq - ifq2) : ul + (ifq2 - ifq));
    adc_freq = static_cast<uint32_t>(20000000 - (ifq % 20000000));
    adc_freq2 = static_cast<uint32_t>(20000000 - (ifq2 % 20000000));
    use_window = setting(bs.use_window_, false);
    eant = setting(bs.ext_filter_, false);

    QVector<quint32> words{0x648068, 0x8008191, 0x8E42, 0x4B3, 0xAA003C, 0x580005};
    adf4350_state st;
    adf4350_platform_data pd;
    init_config(&st, &pd);
    const uint64_t lo = revlo ? uint64_t(uplink_freq) + uint32_t(ifq) : uint64_t(uplink_freq) - uint32_t(ifq);
    const int64_t achieved = adf4350_set_freq(&st, lo);
    *this << "SINTH FREQ = " << static_cast<long long>(achieved) << "\n";
    if (achieved >= 0)
        for (int i = 0; i < 6; ++i)
            words[i] = st.regs[i];
    rev_lo = revlo;
    for (auto it = bs.koeffs.constBegin(); it != bs.koeffs.constEnd(); ++it)
        if (it.key() >= 0 && it.key() < 6)
            words[it.key()] = it.value();
    for (int i = 0; i < 6; ++i)
        *this << "K" << i << " = " << QString::number(words[i], 16).toUpper() << "\n";
    saved_koeff = words;

    update_decoder();
    publish_info();
    QMetaObject::invokeMethod(this, "setSinthKoeff", Qt::QueuedConnection, Q_ARG(QVector<quint32>, words));
    return true;
}

void qorm_reader::load_common_settings(const BaseStationParams& bs)
{
    bs_type_ = bs.bs_type;
    setLogpath(bs.logpath_.isValid() ? bs.logpath_.toString() : QString::fromLatin1(DEFAULT_LOG_PATH));
    LogOffset = setting(bs.LogOffset_, 210.0f);
    uplink_freq = setting(bs.uplink_freq_, uint32_t(868800000));
    one_sec_pulse_test = setting(bs.use_one_sec_pulse_test_, false);
    stream_offset_ = setting(bs.stream_offset_, 18);
}

void qorm_reader::start()
{
    if (!pin_controller_ || !pin_controller_->is_inited()) {
        *this << ts() << "QORMReader: the board's pin controller is not initialised: no uplink\n";
        publish_info();
        return;
    }
    bootArtix();
    QThread::sleep(3);
    reboot();
    fw_version = read_firmware_version();
    *this << "QORMReader: FW Version: " << fw_version << "\n";
    read_fpga_rpi_protocol_version_bs_version();
    read_fft_size_spectrum();
    initNoiseLev();
    create_message_parser();
    compdatetime = read_firmware_DateTime();
    *this << "QORMReader: Artix compilation date&time: " << compdatetime.toString("dd.MM.yyyy hh:mm:ss") << "\n";

    if (fw_version > 719) {
        write_rev_lo(rev_lo);
        write_sinth_koeff(saved_koeff);
        analyzeHopping();
        read_supported_ul_bitrates();
        writeThresholdsToPlis();
        write_stream_offset(static_cast<uint8_t>(stream_offset_ & 0xFF));
        write_stream_offset(18);
        on_off_window(use_window);
        update_decoder();
        start_timers([this] { reboot(); });
        on_off_ext_filter(eant);
        on_off_one_sec_pulse_tester(one_sec_pulse_test);
        beep(100);
    } else {
        *this << "Unsupported FPGA firmware version: " << fw_version << "\n";
        emit wrongFirmwareVersion(fw_version);
    }
    publish_info();
}

void qorm_reader::start_timers(const std::function<void()>& check)
{
    timer_read_messages_loop = new QTimer(this);
    connect(timer_read_messages_loop, &QTimer::timeout, this, [this] { read_messages_loop(); });
    timer_read_messages_loop->start(5);
    read_spectr_timer = new QTimer(this);
    connect(read_spectr_timer, &QTimer::timeout, this, &qorm_reader::read_spectr_loop);
    read_spectr_timer->start(100);
    check_artix_timer = new QTimer(this);
    connect(check_artix_timer, &QTimer::timeout, this, check);
    check_artix_timer->start(30000);
    check_di_timer = new QTimer(this);
    connect(check_di_timer, &QTimer::timeout, this, [this] { check_di(); });
    check_di_timer->start(300);
    reading = true;
}

void qorm_reader::create_message_parser()
{
    if (bs_type_ == QORM || bs_type_ == QORM_LTE) {
        if (fw_version < 677) {
            msg_parser = std::make_unique<Message_Parser_Protocol_V1_0>();
            qDebug() << "Message_Parser_Protocol_V1_0 created. fw_version:" << fw_version;
        } else {
            msg_parser = std::make_unique<Message_Parser_Protocol_V1_1>();
            qDebug() << "Message_Parser_Protocol_V1_1 created";
        }
    } else if (bs_type_ == Unknown_Type) {
        qDebug() << "Can't create Message Parser for uplink messages";
    }
    decoder.setParser(msg_parser.get());
}

void qorm_reader::read_fpga_rpi_protocol_version_bs_version()
{
    const auto b = static_cast<uint8_t>(read_status_word(0x30) >> 8);
    fpga_rpi_protocol_version = b & 0x0F;
    const uint8_t board = b >> 4;
    check_bs_types(board);
    qDebug() << "FPGA_RPI protocol version: " << fpga_rpi_protocol_version << "read bs ver:" << board;
}

void qorm_reader::check_bs_types(uint8_t read_type)
{
    if (int(bs_type_) != int(read_type))
        *this << "WARNING! Read BS type differs from BS type in *.ini file! Read bs type: " << int(read_type)
              << " in *.ini-file bs type: " << int(bs_type_) << "\n";
}

void qorm_reader::bootArtix()
{
    *this << "QORMReader: Boot Artix!\n";
    if (Base_Pin_Controller* p = pins())
        p->bootArtix();
}

void qorm_reader::analyzeHopping()
{
    hoppingSupport = readHoppingSupport();
    *this << "Hopping support: " << (hoppingSupport ? "yes" : "no") << "\n";
    if (hoppingSupport) {
        const HoppingParams p = hoppReader.getHoppingParams(QString::fromLatin1(PATH_TO_HOPPING_SETTINGS), rev_lo);
        // Said once per change: the check repeats every 30 s.
        if (hoppReader.lastProblem() != last_hopping_problem) {
            last_hopping_problem = hoppReader.lastProblem();
            if (!last_hopping_problem.isEmpty())
                *this << ts() << last_hopping_problem << "\n";
        }
        write_HoppingParamsToPlis(p);
    }
    update_decoder();
}

void qorm_reader::update_decoder()
{
    RecordDecoder::Context c;
    c.station = bs_type_;
    c.fw_version = fw_version;
    c.hopping = hoppingSupport;
    c.rev_lo = rev_lo;
    c.LogOffset = LogOffset;
    c.uplink_freq = uplink_freq;
    c.uplink_freq2 = uplink_freq2;
    decoder.setContext(c);
    decoder.setNoise(&noise);
    decoder.setParser(msg_parser.get());
    NoiseLevels::Config n;
    n.LogOffset = LogOffset;
    n.rev_lo = rev_lo;
    n.hopping = hoppingSupport;
    n.station = bs_type_;
    noise.setConfig(n);
}

// ---------------------------------------------------------------- register protocol

bool qorm_reader::read_write_spi(char* tx, char* rx, uint32_t length)
{
    Base_Pin_Controller* p = pins();
    if (!p)
        return false;
    // GPIO 16 high selects the FPGA on CS0; the select and the transfer happen under one lock
    // so that no other user of the bus can re-route CS0 in between.
    return p->select_read_write_spi(16, high, tx, rx, CS0, length);
}

uint32_t qorm_reader::read_status_word(char address, char turnaround)
{
    char tx[9] = {0x0B, address, 0, 0, turnaround};
    char rx[9] = {};
    read_write_spi(tx, rx, 9);
    return le32(rx + 5);
}

void qorm_reader::write_byte_register(char address, uint8_t value)
{
    char tx[5] = {0x0A, address, 0, 0, char(value)};
    char rx[5];
    read_write_spi(tx, rx, 5);
}

void qorm_reader::write_word_register(char address, uint32_t value)
{
    char tx[8] = {0x0A, address, 0, 0};
    char rx[8];
    put_le32(tx + 4, value);
    read_write_spi(tx, rx, 8);
}

uint32_t qorm_reader::read_firmware_version()
{
    return read_status_word(char(0xA0)) & 0x00FFFFFF;
}

bool qorm_reader::readHoppingSupport()
{
    return (read_status_word(char(0xA0)) >> 24) != 0;
}

QDateTime qorm_reader::read_firmware_DateTime()
{
    const uint32_t w = read_status_word(0x20);
    const int sec = int(w & 0x3F);
    const int min = int((w >> 6) & 0x3F);
    const int hour = int((w >> 12) & 0x1F);
    const int year = 2000 + int((w >> 17) & 0x3F);
    const int month = int((w >> 23) & 0x0F);
    const int day = int((w >> 27) & 0x1F);
    return QDateTime(QDate(year, month, day), QTime(hour, min, sec), Qt::LocalTime);
}

float qorm_reader::read_fpga_temperature()
{
    return static_cast<float>(read_status_word(char(0xD0)) * 0.123046875 - 273.0);
}

void qorm_reader::write_LEDs(uint8_t state)
{
    write_byte_register(char(0xC0), state);
}

void qorm_reader::write_stream_offset(uint8_t offset)
{
    write_byte_register(char(0xE0), offset);
}

void qorm_reader::write_rev_lo(bool on)
{
    write_byte_register(char(0xB0), on ? 1 : 0);
}

void qorm_reader::on_off_window(bool on)
{
    write_byte_register(0x70, on ? 1 : 0);
}

uint32_t qorm_reader::nco_word(uint32_t adc)
{
    const double w = std::ceil(double(adc) * 1.6777216);
    return static_cast<uint32_t>(static_cast<uint64_t>(w));
}

void qorm_reader::writeFSCBands()
{
    write_word_register(char(0xA8), nco_word(adc_freq));
    write_word_register(char(0xC8), nco_word(adc_freq2));
}

void qorm_reader::write_sinth_koeff(const QVector<quint32>& words)
{
    if (words.size() < 6)
        return;
    char tx[29] = {0x0A, 0x10, 0, 0};
    char rx[29];
    for (int i = 0; i < 6; ++i)
        put_le32(tx + 4 + 4 * i, words[i]);
    tx[28] = 0;
    read_write_spi(tx, rx, 29);
}

void qorm_reader::setSinthKoeff(QVector<quint32> words)
{
    if (words.size() < 6)
        return;
    saved_koeff = words.mid(0, 6);
    write_sinth_koeff(words);
    write_sinth_koeff(words);
}

void qorm_reader::writeThresholdInAdress(char address, uint16_t value)
{
    // The same value in both halves.
    write_word_register(address, uint32_t(value) | (uint32_t(value) << 16));
}

void qorm_reader::writeThreshold(BS_Bitrates bitrate, uint16_t value)
{
    const auto it = mapThresholdAdresses.find(bitrate);
    if (it != mapThresholdAdresses.end())
        writeThresholdInAdress(it->second, value);
}

void qorm_reader::writeThresholdsToPlis()
{
    if (!hoppingSupport) {
        writeThreshold(bt50, setCtrlr.getThreshold(bt50));
        writeThreshold(bt400, setCtrlr.getThreshold(bt400));
    } else {
        writeThreshold(bt125, setCtrlr.getThreshold(bt125));
    }
    writeThreshold(bt3200, setCtrlr.getThreshold(bt3200));
    writeThreshold(bt25600, setCtrlr.getThreshold(bt25600));
}

void qorm_reader::readThresholds()
{
    const std::pair<int, char> regs[] = {{3200, char(0xD8)}, {125, char(0x90)}, {50, char(0x90)}, {400, 0x08}, {25600, char(0xE8)}};
    for (const auto& r : regs) {
        const uint32_t w = read_status_word(r.second);
        const auto a = uint16_t(w & 0xFFFF);
        const auto b = uint16_t(w >> 16);
        qDebug() << QString("======================== Threshold %1=").arg(r.first) << a << "b2=" << b;
    }
}

void qorm_reader::read_supported_ul_bitrates()
{
    // The current window flag goes out in the turn-around byte.
    initializeUplinkBitrates(read_status_word(0x70, use_window ? 1 : 0));
}

void qorm_reader::initializeUplinkBitrates(uint32_t mask)
{
    supported_ul_bitrates_band1.clear();
    supported_ul_bitrates_band2.clear();
    if (hoppingSupport) {
        supported_ul_bitrates_band1 = {UL_DBPSK_100H_PROT_E, UL_DBPSK_3200_PROT_E, UL_DBPSK_25600_PROT_E,
                                       UL_DBPSK_3200_PROT_D, UL_DBPSK_25600_PROT_D};
    } else {
        *this << "===============Supported bitrates:" << QString::number(mask, 2).rightJustified(32, '0') << "\n";
        static const std::pair<int, vexa_phy_channel_t> bits[] = {
            {0, UL_DBPSK_50_PROT_C},     {1, UL_DBPSK_400_PROT_C},    {8, UL_DBPSK_50_PROT_D},
            {9, UL_DBPSK_400_PROT_D},    {10, UL_DBPSK_3200_PROT_D},  {11, UL_DBPSK_25600_PROT_D},
            {16, UL_DBPSK_50_PROT_E},    {17, UL_DBPSK_400_PROT_E},   {18, UL_DBPSK_3200_PROT_E},
            {19, UL_DBPSK_25600_PROT_E}};
        for (const auto& b : bits)
            if (mask & (1u << b.first))
                supported_ul_bitrates_band1.append(b.second);
        for (const auto& b : bits)
            if (mask & (1u << (b.first + 4)))
                supported_ul_bitrates_band2.append(b.second);
    }
    *this << "Band 1 bitrates count=" << supported_ul_bitrates_band1.size() << "\n";
    *this << "Band 2 bitrates count=" << supported_ul_bitrates_band2.size() << "\n";
}

void qorm_reader::write_HoppingParamsToPlis(const HoppingParams& table)
{
    static const char regs[] = {0x08, 0x18, 0x28, 0x38, 0x48, 0x68, char(0x88), char(0xA8), char(0xB8)};
    const size_t rows = std::min(table.size(), sizeof regs);
    for (size_t r = 0; r < rows; ++r) {
        char tx[20] = {0x0A, regs[r], 0, 0};
        char rx[20];
        for (size_t i = 0; i < 8; ++i) {
            const qint16 v = i < table[r].size() ? table[r][i] : 0;
            tx[4 + 2 * i] = static_cast<char>(uint16_t(v) & 0xFF);
            tx[5 + 2 * i] = static_cast<char>(uint16_t(v) >> 8);
        }
        read_write_spi(tx, rx, 20);
    }
}

// ---------------------------------------------------------------- spectrum

void qorm_reader::read_fft_size_spectrum()
{
    const uint32_t w = read_status_word(0x30);
    qDebug() << "is_use_band1=" << ((w >> 16) & 0xF) << "is_use_band2=" << ((w >> 20) & 0xF)
             << "raw_data: " << QString::number(w, 16);
    configure_flag_mode_fft(uint8_t((w >> 16) & 0xF), Band1);
    configure_flag_mode_fft(uint8_t((w >> 20) & 0xF), Band2);
    fft_size = uint16_t(1u << (w & 0xF));
    fft_size_band2 = uint16_t(1u << ((w >> 4) & 0xF));
    *this << "FFT size Band1=" << fft_size << "\n";
    *this << "FFT size Band2=" << fft_size_band2 << "\n";
}

void qorm_reader::configure_flag_mode_fft(uint8_t code, Bands band)
{
    static const BS_Bitrates modes[] = {bt_Unknown, bt50, bt400, bt3200, bt25600};
    if (code < 5)
        (band == Band1 ? flag_mode_FFT_band1 : flag_mode_FFT_band2) = modes[code];
    qDebug() << Q_FUNC_INFO << "band=" << band << "flag1=" << flag_mode_FFT_band1 << "flag2=" << flag_mode_FFT_band2;
}

char qorm_reader::configure_address_for_read_spectrum(bool hopping, Bands band, BS_Bitrates bitrate)
{
    if (hopping)
        return bitrate == bt3200 ? 0x58 : 0x00;
    if (band == Band1)
        return bitrate == bt400 ? 0x40 : 0x00;
    return bitrate == bt400 ? char(0xF8) : 0x18;
}

bool qorm_reader::read_spectr(std::vector<uint8_t>& buffer, Bands band, BS_Bitrates bitrate)
{
    const size_t n = std::min<size_t>(buffer.size(), SPECTRUM_125);
    std::vector<char> tx(n + 5, 0), rx(n + 5, 0);
    tx[0] = 0x0B;
    tx[1] = configure_address_for_read_spectrum(hoppingSupport, band, bitrate);
    if (!read_write_spi(tx.data(), rx.data(), uint32_t(n + 5)))
        return false;
    std::memcpy(buffer.data(), rx.data() + 5, n);
    return true;
}

void qorm_reader::initNoiseLev()
{
    // The passes read spectra of fixed sizes; an FPGA reporting other sizes still gets
    // tables that fit the spectra they are filled from.
    if (!noise_size_logged && (fft_size != NoiseLevels::BINS_50 || fft_size_band2 != NoiseLevels::BINS_400_BAND2)) {
        noise_size_logged = true;
        *this << ts() << "FPGA reports FFT sizes " << fft_size << " and " << fft_size_band2
              << "; noise tables stay sized for the spectra read (1024 and 512 bins)\n";
    }
    noise.initNoiseLev();
}

void qorm_reader::read_spectr_loop()
{
    write_LEDs(qorm_state);
    if (spectrum_4096.empty()) {
        spectrum_4096.assign(SPECTRUM_50, 0);
        spectrum_8192.assign(SPECTRUM_125, 0);
        spectrum_64.assign(SPECTRUM_3200, 0);
        spectrum_2048.assign(SPECTRUM_400_B2, 0);
    }
    if (hoppingSupport) {
        if (read_spectr(spectrum_8192, Band1, bt125))
            noise.calc_noise_levels2048(spectrum_8192);
        if (read_spectr(spectrum_64, Band1, bt3200))
            noise.calc_noise_levels3200(spectrum_64);
    } else {
        if (read_spectr(spectrum_4096, Band1, bt50))
            noise.calc_noise_levels(spectrum_4096, Band1);
        std::fill(spectrum_4096.begin(), spectrum_4096.end(), 0);
        if (flag_mode_FFT_band2 == bt50) {
            if (read_spectr(spectrum_4096, Band2, bt50))
                noise.calc_noise_levels(spectrum_4096, Band2);
            std::fill(spectrum_4096.begin(), spectrum_4096.end(), 0);
        } else if (flag_mode_FFT_band2 == bt400) {
            if (read_spectr(spectrum_2048, Band2, bt400))
                noise.calc_noise_levels(spectrum_2048, Band2);
            std::fill(spectrum_2048.begin(), spectrum_2048.end(), 0);
        }
    }
    publish_info();
}

// ---------------------------------------------------------------- supervision

QByteArray qorm_reader::readID()
{
    char tx[21] = {char(0x9E)};
    char rx[21] = {};
    if (Base_Pin_Controller* p = pins()) {
        if (bs_type_ == QORM_LTE)
            p->select_read_write_spi(16, low, tx, rx, CS0, 21);
        else
            p->read_write_spi(tx, rx, CS1, 21);
    }
    return QByteArray(rx + 1, 20);
}

void qorm_reader::reboot()
{
    *this << "QORMReader::reboot() Check Artix\n";
    readID();
    const QByteArray id = readID();
    if (static_cast<uint8_t>(id.at(2)) == 0x19)
        *this << "QORMReader: Success\n";
    else
        reinit();
    writeFSCBands();
    analyzeHopping();
    temperature = read_fpga_temperature();
    *this << QString("FPGA temperature = %1\n").arg(double(temperature), 0, 'g', 6);
    publish_info();
}

void qorm_reader::reinit()
{
    *this << "QORMReader: Reinit!\n";
    *this << levent(QStringLiteral("ARTIX reboot and reinit"), QString::fromLatin1(fnameEventLog));
    emit alarm_out(QStringLiteral("EVENT_REBOOT_ARTIX"));
    beep(1000);
    beep(1000);
    beep(1000);
    bootArtix();
    QThread::msleep(1000);
    fw_version = read_firmware_version();
    *this << "QORMReader::reinit(). FW Version: " << fw_version << "\n";
    compdatetime = read_firmware_DateTime();
    *this << "QORMReader:::reinit() Artix compilation date&time: " << compdatetime.toString("dd.MM.yyyy hh:mm:ss")
          << "\n";
    write_stream_offset(18);
    on_off_window(use_window);
    write_rev_lo(rev_lo);
    write_sinth_koeff(saved_koeff);
    write_sinth_koeff(saved_koeff);
    on_off_ext_filter(eant);
    writeFSCBands();
    analyzeHopping();
    writeThresholdsToPlis();
    update_decoder();
    publish_info();
}

void qorm_reader::alarm_in(const QString& text)
{
    if (text == QLatin1String("setDLState_true"))
        set_state_bit(8, true);
    else if (text == QLatin1String("setDLState_false"))
        set_state_bit(8, false);
    else if (text == QLatin1String("setNetState_true"))
        set_state_bit(1, true);
    else if (text == QLatin1String("setNetState_false"))
        set_state_bit(1, false);
    else if (text == QLatin1String("double_short_beep")) {
        beep(100);
        beep(100);
    } else if (text == QLatin1String("long_and_short_beep")) {
        beep(1000);
        beep(100);
    } else if (text == QLatin1String("rebootAxsemSignal"))
        rebootAxsem();
    else if (text == QLatin1String("rebootArtixSignal"))
        reinit();
    publish_info();
}

void qorm_reader::rebootAxsem()
{
    *this << "QORMReader: Reboot Axsem!\n";
    set_state_bit(8, false);
    if (Base_Pin_Controller* p = pins())
        p->rebootAxsem();
    emit alarm_out(QStringLiteral("EVENT_REBOOT_AXSEM"));
}

void qorm_reader::check_di()
{
    poll_door(door_state);
}

void qorm_reader::poll_door(PIN_State& remembered)
{
    Base_Pin_Controller* p = pins();
    const PIN_State s = p ? p->di_get() : fault;
    if (s == fault)
        return;
    if (remembered != fault && remembered != s)
        emit alarm_out(s == high ? QStringLiteral("EVENT_DOOR_CLOSED") : QStringLiteral("EVENT_DOOR_OPENED"));
    remembered = s;
}

void qorm_reader::stopReader()
{
    for (QTimer* t : {timer_read_messages_loop, read_spectr_timer, check_artix_timer})
        if (t)
            t->stop();
    reading = false;
    publish_info();
}

void qorm_reader::beep(uint16_t ms)
{
    if (Base_Pin_Controller* p = pins())
        p->beep(ms);
}

void qorm_reader::on_off_ext_filter(bool on)
{
    *this << "QORMReader: Configure ext filter! " << (on ? 1 : 0) << " \n";
    if (Base_Pin_Controller* p = pins())
        p->on_off_ext_filter(on);
}

void qorm_reader::on_off_one_sec_pulse_tester(bool on)
{
    if (Base_Pin_Controller* p = pins())
        p->on_off_one_sec_pulse_tester(on);
}

void qorm_reader::saveToFileRawMessageData(const QByteArray& raw)
{
    QFile f(QStringLiteral("raw_message_file.txt"));
    if (f.open(QIODevice::Append))
        f.write(raw);
}

// ---------------------------------------------------------------- read loop

void qorm_reader::crc_fault(unsigned& counter, unsigned limit, const QString& detail)
{
    const unsigned old = counter++;
    if (old > limit) {
        set_state_bit(4, false);
        reinit();
        counter = 0;
    }
    qDebug().noquote() << detail;
    ++CRC_failed;
}

bool qorm_reader::read_fifo_record(char address, RecordDecoder::Fifo fifo, message_point* mes, unsigned& fault_counter,
                                   const char* where)
{
    char tx[FPGA_RECORD_SIZE] = {0x0B, address};
    char rx[FPGA_RECORD_SIZE] = {};
    // A transfer that could not run reads as an empty FIFO.
    if (!read_write_spi(tx, rx, FPGA_RECORD_SIZE))
        return false;
    const auto res = decoder.decode(rx, fifo, *mes);
    switch (res.status) {
    case RecordDecoder::Status::Accepted:
        fault_counter = 0;
        return true;
    case RecordDecoder::Status::Empty:
        return false;
    case RecordDecoder::Status::CrcError:
        // Type D records of the high-rate FIFO give up ten times sooner.
        crc_fault(fault_counter,
                  fifo == RecordDecoder::Fifo::HighRate && res.type_byte == RECORD_TYPE_D ? 1000 : 10000, res.detail);
        return false;
    case RecordDecoder::Status::WrongType:
    case RecordDecoder::Status::Malformed:
        ++dropped_records;
        qDebug().noquote() << where << res.detail;
        return false;
    }
    return false;
}

bool qorm_reader::read_next_message(message_point* mes)
{
    return read_fifo_record(char(0x80), RecordDecoder::Fifo::LowRate, mes, fault_cntr_low, Q_FUNC_INFO);
}

bool qorm_reader::read_next_message_3200_25600(message_point* mes)
{
    if (fw_version < 239)
        return false;
    return read_fifo_record(char(0xF0), RecordDecoder::Fifo::HighRate, mes, fault_cntr_high, Q_FUNC_INFO);
}

void qorm_reader::read_messages_loop()
{
    if (!msg_parser)
        return;
    QElapsedTimer pass;
    pass.start();
    qint64 t = mono_now();
    quint32 total_50_400 = 0;
    quint32 total_3200_25600 = 0;
    const auto capped = [&] {
        return pass.elapsed() >= PASS_LIMIT_MS || int(total_50_400 + total_3200_25600) >= PASS_LIMIT_RECORDS;
    };

    while (!capped()) {
        while (!capped()) {
            auto mes = QSharedPointer<message_point>::create();
            if (!read_next_message_3200_25600(mes.data()))
                break;
            ++total_3200_25600;
            filter.add(mes, mono_now() - 90);
            t = mono_now();
        }
        if (capped())
            break;
        auto mes = QSharedPointer<message_point>::create();
        if (read_next_message(mes.data())) {
            ++total_50_400;
            filter.add(mes, mono_now() - 3040);
            t = mono_now();
            continue;
        }
        if (quiet_since(t, total_50_400 > 0 ? 30 : 5))
            break;
    }
    emit_and_age(total_3200_25600 + total_50_400);
}

bool qorm_reader::quiet_since(qint64 last_record, qint64 limit_ms)
{
    QMutexLocker lock(&mutMessageLoop);
    _cond.wait(&mutMessageLoop, 2);
    return mono_now() - last_record > limit_ms;
}

void qorm_reader::emit_and_age(quint32 total)
{
    filter.filter_messages();
    bool emitted = false;
    for (const MessageFilter::Entry& e : filter.out_list) {
        if (e.mes->emited)
            continue;
        e.mes->total = total;
        e.mes->emited = true;
        // The filter keeps folding later copies into its own record while the main thread
        // reads the emitted one, so the main thread gets a snapshot of its own.
        emit message_ready(message_point_ptr::create(*e.mes));
        set_state_bit(4, true);
        emitted = true;
    }
    filter.remove_timeout_messages(mono_now());
    if (emitted)
        publish_info();
}

// ---------------------------------------------------------------- status record

receiver_info qorm_reader::build_info() const
{
    receiver_info r;
    float n1 = 999.0f, n2 = 999.0f;
    if (hoppingSupport) {
        n1 = noise.getAverNoise3200HoppingBand1();
        n2 = 0.0f;
    } else {
        switch (flag_mode_FFT_band1) {
        case bt50: n1 = noise.getAverNoise50Band1(); break;
        case bt400: n1 = 333.0f; break;
        case bt3200:
        case bt25600: break;
        default: n1 = 0.0f; break;
        }
        switch (flag_mode_FFT_band2) {
        case bt400: n2 = noise.getAverNoise400Band2(); break;
        case bt50: n2 = noise.getAverNoise50Band2(); break;
        case bt3200:
        case bt25600: break;
        default: n2 = 0.0f; break;
        }
    }
    r.aver_noiseBand1 = n1;
    r.aver_noiseBand2 = n2;
    r.state = qorm_state;
    r.active = reading;
    r.band1_offset = 0;
    r.band2_offset = static_cast<qint32>(uplink_freq2 - uplink_freq);
    r.fpga_info_.firmware_ver = fw_version;
    r.fpga_info_.hardware_ver = 310;
    r.fpga_info_.compilation_dt = compdatetime;
    r.fpga_info_.fpga_bs_type = QORM;
    r.fpga_info_.fpga_rpi_protocol_version = 0;
    r.fpga_info_.supported_ul_bitrates_band1 = supported_ul_bitrates_band1;
    r.fpga_info_.bandwidth1 = uint32_t(flag_mode_FFT_band1) * fft_size;
    r.fpga_info_.bandwidth2 = uint32_t(flag_mode_FFT_band2) * fft_size_band2;
    r.fpga_info_.supported_ul_bitrates_band2 = supported_ul_bitrates_band2;
    r.fpga_temperature_ = temperature;
    return r;
}

void qorm_reader::publish_info()
{
    receiver_info r = build_info();
    std::lock_guard<std::mutex> lock(info_mutex);
    info_snapshot = std::move(r);
}

receiver_info qorm_reader::info()
{
    std::lock_guard<std::mutex> lock(info_mutex);
    return info_snapshot;
}
