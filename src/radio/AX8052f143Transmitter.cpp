#include "AX8052f143Transmitter.h"

#include "LogText.h"
#include "SettingsController.h"
#include "phy_names.h"
#include "replacePlaceholders.h"

#include <QDateTime>
#include <QEventLoop>
#include <QTimer>

#include <cmath>

namespace {

const QList<vexa_phy_channel_t>& dl_bit_rates()
{
    static const QList<vexa_phy_channel_t> rates = {DL_PSK_200, DL_PSK_500, DL_PSK_5000, DL_PSK_FASTDL};
    return rates;
}

const QList<vexa_phy_channel_t>& dl_bit_rates_new()
{
    static const QList<vexa_phy_channel_t> rates = {DL_PSK_200, DL_PSK_500, DL_PSK_5000, DL_PSK_FASTDL,
        DL_DBPSK_50_PROT_D, DL_DBPSK_400_PROT_D, DL_DBPSK_3200_PROT_D, DL_DBPSK_25600_PROT_D};
    return rates;
}

// What was last written to the modem by one of the two remembering paths. Process-wide: a new
// back-end (a scheduler restart) talks to the same modem.
struct Remembered
{
    dl_message_point last_message;
    quint32 last_freq = 0;
};

Remembered& ver5_memory()
{
    static Remembered* memory = new Remembered;
    return *memory;
}

Remembered& header_memory()
{
    static Remembered* memory = new Remembered;
    return *memory;
}

// Marks a remembered phy as unknown, so the next request writes the mode again.
const QString kForgottenPhy = QString(QChar(0xFF));

QString now_text()
{
    return QDateTime::currentDateTime().toString(QStringLiteral("hh:mm:ss:zzz"));
}

QString hex_id(quint32 id)
{
    return QString::number(id, 16).toUpper();
}

QString hex_bytes(const unsigned char* p, int n)
{
    return QString::fromLatin1(QByteArray(reinterpret_cast<const char*>(p), n).toHex());
}

// The mode record is skipped only when nothing changed since it was written, and never for the
// DBPSK phys, whose mode the modem needs before every frame.
bool mode_needed(bool was_auto, const dl_message_point& m, const dl_message_point& last)
{
    return was_auto || m.phy != last.phy || m.strength != last.strength || m.phy.contains(QLatin1String("DL_DBPSK"));
}

} // namespace

AX8052f143Transmitter::AX8052f143Transmitter(SettingsController& ctrlr, std::shared_ptr<Base_Pin_Controller>,
                                             QObject*, std::shared_ptr<StationClock> clock)
    : IVexaTransmitter(nullptr), logger(QString()), settCtrlr(ctrlr), modem(ctrlr), vexa(&modem),
      clock_(clock ? std::move(clock) : StationClock::system())
{
    was_auto = false;
    openPort();
}

AX8052f143Transmitter::~AX8052f143Transmitter()
{
    modem.close();
}

void AX8052f143Transmitter::forgetConfiguration()
{
    ver5_memory() = Remembered();
    header_memory() = Remembered();
}

// ----------------------------------------------------------------------------- port

bool AX8052f143Transmitter::openPort()
{
    lastOpenTryMs_ = clock_->monotonicMs();
    if (modem.open()) {
        opened_ = true;
        lastOpenError_ = -1;
        connect(&modem, &ax_modem::gotEcho, this, &AX8052f143Transmitter::modemEcho, Qt::UniqueConnection);
        modem.runBootLoader();
        return true;
    }
    opened_ = false;
    logOpenFailure(modem.error());
    return false;
}

void AX8052f143Transmitter::logOpenFailure(ax_modem::AX_MODEM_ERROR error)
{
    const qint64 now = clock_->monotonicMs();
    const bool first = lastOpenError_ < 0;
    const bool changed = !first && lastOpenError_ != int(error);
    const bool repeat = !first && !changed && now - lastOpenLogMs_ >= timings_.openErrorRepeatMs;
    if (!first && !changed && !repeat)
        return;
    if (getLogpath().isEmpty()) {
        // Built before the scheduler gave it a log: the line has nowhere to go yet, so the
        // next failure counts as the first.
        *this << "Serial port open error! Error code ax_modem:  " << int(error);
        return;
    }
    lastOpenError_ = int(error);
    lastOpenLogMs_ = now;
    *this << now_text() << " Serial port open error! Error code ax_modem:  " << int(error) << "\n";
}

bool AX8052f143Transmitter::portReady()
{
    if (opened_ && modem.isOpen())
        return true;
    if (clock_->monotonicMs() - lastOpenTryMs_ < timings_.reopenIntervalMs)
        return false;
    return openPort();
}

// ----------------------------------------------------------------------------- what the scheduler asks

bool AX8052f143Transmitter::is_phy_supported(const QString& phy)
{
    // The modem takes every name: a version-0 request goes out in PSK 200 whatever its phy. The
    // scheduler keeps other requests with a name outside the phy tables from it.
    Q_UNUSED(phy);
    return true;
}

quint32 AX8052f143Transmitter::get_transmitter_id()
{
    return modem_id;
}

bool AX8052f143Transmitter::isBusy()
{
    return modem.isBusy();
}

QList<vexa_phy_channel_t> AX8052f143Transmitter::get_supported()
{
    const quint8 hw = modem_version.HARDWARE_ID;
    if ((hw >= 6 && hw <= 9) || hw > 59)
        return dl_bit_rates_new();
    return dl_bit_rates();
}

qint32 AX8052f143Transmitter::get_max_power()
{
    return 26;
}

vexa_conf::rf_antenna_t AX8052f143Transmitter::antenna_for(quint32 freq)
{
    if (freq <= 599999999u)
        return vexa_conf::PCB;
    if (freq >= 863000001u && freq <= 864999999u)
        return vexa_conf::FILT;
    return vexa_conf::SMA;
}

quint32 AX8052f143Transmitter::carrier_for(quint32 freq, double corr_freq)
{
    // Truncated toward zero; a correction beyond 32 bits is no correction a station makes.
    const double c = std::trunc(corr_freq);
    const qint32 corr = std::isfinite(c) && std::fabs(c) < 2147483647.0 ? qint32(c) : 0;
    return freq + quint32(corr);
}

quint8 AX8052f143Transmitter::header_byte(const dl_message_point& m)
{
    if (m.type == 1 || m.type == 2)
        return m.type;
    return quint8((m.iterator & 31) + 32 * m.f_multi + 64 * m.f_ack + 128 * m.f_system);
}

QByteArray AX8052f143Transmitter::prot_d_ver5_body(const dl_message_point& m)
{
    QByteArray b;
    b.append(char(m.preambula >> 24)).append(char(m.preambula >> 16)).append(char(m.preambula >> 8))
        .append(char(m.preambula));
    b.append(char(m.crypto_iter)).append(char(m.crypto_flags));
    b.append(reinterpret_cast<const char*>(m.payload), 8);
    b.append(char(m.crypto_mic >> 16)).append(char(m.crypto_mic >> 8)).append(char(m.crypto_mic));
    return b;
}

// ----------------------------------------------------------------------------- downlinks

bool AX8052f143Transmitter::sendDLMessage(dl_message_point* message, double corr_freq)
{
    if (!message)
        return false;
    const vexa_phy_channel_t k = vexa_fhy_from_str_right(message->phy);
    const bool protD = k >= DL_DBPSK_50_PROT_D && k <= DL_DBPSK_25600_PROT_D;
    if (protD && message->vexa_ver <= 4) {
        // The modem has no version 4 frame: offering it again would never change that.
        *this << now_text() << " Send Zadar4 DL message by ax8052f143 unsupported\n";
        return true;
    }
    if (!portReady())
        return false;
    if (!protD)
        return sendHeaderAndPayload(message, corr_freq);

    *this << now_text() << " Send Zadov5 DL message by ax8052f143 to ID: " << hex_id(message->modem_id)
          << " IT: " << uint(message->iterator & 31) << " FREQ: " << uint(message->freq) << " PHY: " << LogText::escaped(message->phy)
          << " PWR:" << uint(message->strength) << " PLD: " << hex_bytes(message->payload, 8) << "\n";
    const bool r = sendDL_DBPSK_ProtD_ver5(message, corr_freq);
    *this << now_text() << " Send Zadov5 DL message by ax8052f143 " << (r ? "successful\n" : "failed\n");
    return r;
}

bool AX8052f143Transmitter::configurationFailed(const dl_message_point& m)
{
    *this << now_text() << " Vexa set mode error! ID = " << hex_id(m.modem_id) << "\n";
    rebootAxsem();
    return false;
}

bool AX8052f143Transmitter::writeMode(const dl_message_point& m, vexa_phy_channel_t tx, dl_message_point& last)
{
    if (!mode_needed(was_auto, m, last)
        || vexa.setModeLocal(vexa_conf::TRANSPARENT, vexa_conf::MACK_1, tx, 0xFF, qint8(m.strength), 0xFF))
        return true;
    configurationFailed(m);
    last.phy = kForgottenPhy;
    return false;
}

bool AX8052f143Transmitter::writeCarrier(const dl_message_point& m, quint32 carrier, quint32& last_freq)
{
    if ((!was_auto && carrier == last_freq) || vexa.setTxFreqLocal(carrier, -1, antenna_for(m.freq))) {
        // The configuration step passed: what the modem now holds is remembered.
        last_freq = carrier;
        was_auto = false;
        return true;
    }
    configurationFailed(m);
    last_freq = 0;
    return false;
}

bool AX8052f143Transmitter::sendDL_DBPSK_ProtD_ver5(dl_message_point* m, double corr_freq)
{
    const vexa_phy_channel_t k = vexa_fhy_from_str_right(m->phy);
    const quint32 carrier = carrier_for(m->freq, corr_freq);
    Remembered& mem = ver5_memory();
    if (!writeMode(*m, k, mem.last_message) || !writeCarrier(*m, carrier, mem.last_freq))
        return false;
    mem.last_message = *m;
    return sendFrame(*m, prot_d_ver5_body(*m), k != DL_DBPSK_25600_PROT_D, true, false);
}

bool AX8052f143Transmitter::sendFrame(const dl_message_point& m, const QByteArray& frame, bool waitForQueue,
                                      bool rebootWhenRefused, bool logSuccess)
{
    bool taken = false;
    for (int attempt = 0; attempt < 3 && !taken; ++attempt)
        taken = modem.sendDL(frame, quint16(timings_.dlReplyMs));
    if (!taken) {
        if (rebootWhenRefused) {
            *this << now_text() << " Vexa send message error! ID = " << hex_id(m.modem_id) << "\n";
            rebootAxsem();
        }
        return false;
    }
    if (waitForQueue && !modem.waitforAxsemSent(timings_.sentWaitMs)) {
        // The modem may still hold the frame; no reboot, and the request is offered again.
        *this << now_text() << " Vexa wait for sent timeout! ID = " << hex_id(m.modem_id) << "\n";
        return false;
    }
    if (logSuccess)
        *this << now_text() << " Successfully sent DL message to ID: " << hex_id(m.modem_id) << "\n";
    return true;
}

bool AX8052f143Transmitter::sendHeaderAndPayload(dl_message_point* m, double corr_freq)
{
    QByteArray frame(1, char(header_byte(*m)));
    replacePlaceholders(m);
    frame.append(reinterpret_cast<const char*>(m->payload), qMin<int>(m->payload_len, int(sizeof m->payload)));
    const quint32 carrier = carrier_for(m->freq, corr_freq);
    if (m->vexa_ver == 0)
        return sendVersion0(m, frame, carrier);
    return sendRemembering(m, frame, corr_freq, carrier);
}

bool AX8052f143Transmitter::sendVersion0(dl_message_point* m, const QByteArray& frame, quint32 carrier)
{
    *this << now_text() << " Send DL message to ID: " << hex_id(m->modem_id) << " FREQ: " << uint(m->freq)
          << " PHY: " << LogText::escaped(m->phy) << " PWR:" << uint(m->strength) << " PLD: " << QString::fromLatin1(frame.toHex())
          << "\n";
    const bool configured = vexa.setModeLocal(vexa_conf::TRANSPARENT, vexa_conf::MACK_1, UL_PSK_200, 0xFF, -1, 0xFF)
        && vexa.setDlAddLocal(m->modem_id & 0xFFFFu)
        && vexa.setTxFreqLocal(carrier, -1, vexa_conf::rf_antenna_t(0xFF));
    if (!configured)
        return configurationFailed(*m);
    return sendFrame(*m, frame, true, false, true);
}

bool AX8052f143Transmitter::sendRemembering(dl_message_point* m, const QByteArray& frame, double corr_freq,
                                            quint32 carrier)
{
    *this << now_text() << " Send Vexa DL message to ID: " << hex_id(m->modem_id) << " IT: " << uint(m->iterator & 31)
          << " FREQ: " << uint(m->freq) << " CORR: " << corr_freq << " PHY: " << LogText::escaped(m->phy) << " PWR:"
          << uint(m->strength) << " PLD: " << QString::fromLatin1(frame.toHex()) << "\n";
    Remembered& mem = header_memory();
    if (!writeMode(*m, vexa_fhy_from_str(m->phy), mem.last_message))
        return false;
    if ((was_auto || m->modem_id != mem.last_message.modem_id) && !vexa.setDlAddLocal(m->modem_id)) {
        configurationFailed(*m);
        mem.last_message.modem_id = 0;
        return false;
    }
    if (!writeCarrier(*m, carrier, mem.last_freq))
        return false;
    mem.last_message = *m;
    return sendFrame(*m, frame, true, true, true);
}

// ----------------------------------------------------------------------------- autocorrection

void AX8052f143Transmitter::waitForReply(int msec)
{
    QEventLoop loop;
    QTimer timer;
    timer.setSingleShot(true);
    connect(&timer, &QTimer::timeout, &loop, &QEventLoop::quit);
    connect(&modem, &ax_modem::rxDataReady, &loop, &QEventLoop::quit);
    timer.start(msec);
    loop.exec();
}

bool AX8052f143Transmitter::sendAutocorr(quint32, quint32 freq, qint32 power)
{
    if (modem.isBusy())
        return false;
    if (!portReady())
        return false;
    *this << now_text()
          << QStringLiteral(" Send autocorrection packet at %1 MHz, %2 dBm\n").arg(double(float(freq) * 0.000001f)).arg(power);
    if (modem_id == 0) {
        *this << now_text() << " Get AXSEM data\n";
        const quint32 id = modem.getID();
        modem_id = id == 0xFFFFFFu ? 0x6FFFFFu : id;
        if (modem_id != 0)
            *this << "AXSEM ID = " << QString::number(modem_id, 16) << "\n";
        if (vexa.getVersion(&modem_version)) {
            const auto hex = [](quint8 v) { return QString::number(v, 16); };
            *this << "AXSEM VEXA_REV = " << hex(modem_version.VEXA_REV) << "\n";
            *this << "AXSEM VEXA_SUBREV = " << hex(modem_version.VEXA_SUBREV) << "\n";
            *this << "AXSEM COMP_VER = " << hex(modem_version.CompVersion) << "\n";
            *this << "AXSEM HARDWARE_ID = " << hex(modem_version.HARDWARE_ID) << "\n";
            *this << "AXSEM HARDWARE_REV = " << hex(modem_version.HARDWARE_REV) << "\n";
            *this << "AXSEM BAND_ID = " << hex(modem_version.BAND_ID) << "\n";
        }
    }
    vexa.setANTLocal(qint8(power), vexa_conf::SMA, vexa_conf::rf_antenna_t(0xFF));
    // Each wait has its own bound: the frequency may go unanswered and the packet still be sent.
    if (modem.setFreq(freq))
        waitForReply(timings_.autocorrWaitMs);
    if (modem.SLIP_Send(ax_modem::SLIP_CMD_SEND_CORR_PCKT, nullptr, 0))
        waitForReply(timings_.autocorrWaitMs);
    *this << now_text() << " Successfully sent autocorrection " << "\n";
    was_auto = true;
    return true;
}

// ----------------------------------------------------------------------------- reboot and echo

void AX8052f143Transmitter::rebootAxsem()
{
    *this << now_text() << " Reboot Axsem! \n";
    emit alarm_out(QStringLiteral("rebootAxsemSignal"));
    if (!opened_ || !modem.isOpen()) {
        // A port that never opened cannot take the boot-loader byte: try it now instead.
        if (!openPort()) {
            *this << now_text() << " Exit from reboot Axsem \n";
            return;
        }
    }
    clock_->sleepMs(timings_.rebootSleepMs);
    modem.runBootLoader();
    clock_->sleepMs(timings_.rebootEchoSleepMs);
    static const char kEcho[] = "Axsem rebooted!";
    modem.SLIP_Send(ax_modem::SLIP_CMD_ECHO, reinterpret_cast<const quint8*>(kEcho), quint8(sizeof kEcho - 1));
    *this << now_text() << " Exit from reboot Axsem \n";
}

void AX8052f143Transmitter::alarm_in(const QString& alarm)
{
    if (alarm == QLatin1String("rebootAxsemSignal"))
        rebootAxsem();
}

void AX8052f143Transmitter::modemEcho(QByteArray& ba)
{
    *this << now_text() << " " << QString::fromLatin1(ba) << "\n";
}
