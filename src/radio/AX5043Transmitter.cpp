#include "AX5043Transmitter.h"

#include "LogText.h"
#include "SettingsController.h"
#include "phy_names.h"

#include <QDateTime>

namespace {

const QList<vexa_phy_channel_t>& dl_bit_rates()
{
    static const QList<vexa_phy_channel_t> rates = {DL_PSK_200, DL_PSK_500, DL_PSK_5000, DL_PSK_FASTDL,
        DL_DBPSK_50_PROT_D, DL_DBPSK_400_PROT_D, DL_DBPSK_3200_PROT_D, DL_DBPSK_25600_PROT_D, DL_DBPSK_50_PROT_E,
        DL_DBPSK_400_PROT_E, DL_DBPSK_3200_PROT_E, DL_DBPSK_25600_PROT_E};
    return rates;
}

QString now_text()
{
    return QDateTime::currentDateTime().toString(QStringLiteral("hh:mm:ss:zzz"));
}

QString hex_bytes(const unsigned char* p, int n)
{
    return QString::fromLatin1(QByteArray(reinterpret_cast<const char*>(p), n).toHex());
}

} // namespace

AX5043Transmitter::AX5043Transmitter(SettingsController& settings, std::shared_ptr<Base_Pin_Controller> pins, QObject*)
    : IVexaTransmitter(nullptr), logger(QString()), rf(std::make_unique<rf_ax5043>(std::move(pins))),
      settCtrlr(settings)
{
    logoff(false);
    was_auto = false;
    (void)busy;
    (void)was_auto;
}

AX5043Transmitter::~AX5043Transmitter() = default;

BS_Type AX5043Transmitter::station_type() const
{
    return settCtrlr.getBS_ParamsCopy().bs_type;
}

bool AX5043Transmitter::is_phy_supported(const QString& phy)
{
    // An unknown name converts to code 0, which is one of the rates: refused by name first.
    return vexa_phy_name_known(phy) && dl_bit_rates().contains(vexa_fhy_from_str_right(phy));
}

quint32 AX5043Transmitter::get_transmitter_id()
{
    return 0;
}

bool AX5043Transmitter::isBusy()
{
    return rf->rf_busy() || rf->transmitting();
}

QList<vexa_phy_channel_t> AX5043Transmitter::get_supported()
{
    return dl_bit_rates();
}

qint32 AX5043Transmitter::get_max_power()
{
    return station_type() == QORM_LTE ? 26 : 22;
}

AX5043Transmitter::Frame AX5043Transmitter::frame_for(vexa_phy_channel_t code, quint32 vexa_ver)
{
    const int c = int(code);
    if ((c >= 14 && c <= 17) || (c >= 30 && c <= 33))
        return Frame::ProtE_v5;
    if ((c >= 10 && c <= 13) || c == 21 || c == 24 || c == 26 || c == 28)
        return vexa_ver > 4 ? Frame::ProtD_v5 : Frame::ProtD_v4;
    return Frame::PSK;
}

quint32 AX5043Transmitter::carrier_for(BS_Type type, quint32 freq, double correction)
{
    if (type != QORM_LTE)
        return freq;
    return quint32(double(freq) + correction);
}

bool AX5043Transmitter::sendDLMessage(dl_message_point* m, double corr_freq)
{
    const BS_Type type = station_type();
    const quint32 carrier = carrier_for(type, m->freq, corr_freq);
    const int max = type == QORM_LTE ? 26 : 22;
    // The request's strength is signed dBm.
    if (int(int8_t(m->strength)) > max)
        m->strength = quint8(max);
    const int8_t power = int8_t(m->strength);
    const vexa_phy_channel_t code = vexa_fhy_from_str(m->phy);
    const Frame frame = frame_for(code, m->vexa_ver);
    const uint8_t header = uint8_t((m->iterator % 32) + 32 * m->f_multi + 64 * m->f_ack + 128 * m->f_system);

    QString lead;
    QString result;
    switch (frame) {
    case Frame::PSK:
        lead = QStringLiteral(" Send DL message by ax5043 to ID: ");
        result = QStringLiteral(" Send DL message by ax5043 ");
        break;
    case Frame::ProtD_v4:
        lead = QStringLiteral(" Send Zadar4 DL message by ax5043 to ID: ");
        result = QStringLiteral(" Send Zadar4 DL message by ax5043 ");
        break;
    default:
        lead = QStringLiteral(" Send Zadov5 DL message by ax5043 to ID: ");
        result = QStringLiteral(" Send Zadov5 DL message by ax5043 ");
        break;
    }
    const int shown = frame == Frame::PSK ? m->payload_len : 8;
    *this << now_text() << lead << QString::number(m->modem_id, 16).toUpper() << " IT: " << uint(m->iterator)
          << " FREQ: " << uint(m->freq) << " PHY: " << LogText::escaped(m->phy) << " PWR:" << uint(m->strength)
          << " PLD: " << hex_bytes(m->payload, shown) << "\n";

    bool ok = false;
    switch (frame) {
    case Frame::PSK:
        ok = rf->sendDL_PSK(m->modem_id, header, m->payload, m->payload_len, carrier, power, code);
        break;
    case Frame::ProtD_v4:
        ok = rf->sendDL_DBPSK_ProtD_ver4(m->modem_id, header, m->payload, m->payload[8], carrier, power, code);
        break;
    case Frame::ProtD_v5:
        ok = rf->sendDL_DBPSK_ProtD_ver5(m->preambula, m->crypto_iter, m->crypto_flags, m->payload, m->crypto_mic,
            carrier, power, code);
        break;
    case Frame::ProtE_v5:
        ok = rf->sendDL_DBPSK_ProtE_ver5(m->modem_id, m->preambula, m->crypto_iter, m->crypto_flags, m->payload,
            m->crypto_mic, carrier, power, code);
        break;
    }
    *this << now_text() << result << (ok ? "successful\n" : "failed\n");
    return ok;
}

bool AX5043Transmitter::sendAutocorr(quint32 id, quint32 freq, qint32 power)
{
    *this << now_text()
          << QStringLiteral(" Send autocorrection by ax5043 packet ID %3 at %1 MHz, %2 dBm\n")
                 .arg(float(freq) * 0.000001f)
                 .arg(power)
                 .arg(QString::number(id, 16).toUpper());
    const vexa_phy_channel_t phy = station_type() == QORM_LTE ? UL_DBPSK_50_PROT_D : UL_DBPSK_400_PROT_D;
    const bool ok = rf->sendDL_DBPSK_ProtD_autocorrection(id, freq, int8_t(power), phy);
    *this << now_text() << " Send autocorrection packet by ax5043 " << (ok ? "successful\n" : "failed\n");
    return ok;
}

void AX5043Transmitter::alarm_in(const QString&) {}
