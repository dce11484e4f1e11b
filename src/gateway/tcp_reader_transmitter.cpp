#include "tcp_reader_transmitter.h"

#include "LogText.h"
#include "SettingsController.h"
#include "gateway_frames.h"

#include <QTime>

#include <memory>

tcp_reader_transmitter::tcp_reader_transmitter(SettingsController& ctrlr, QObject* parent)
    : ITransmitter(parent), logger(QString()), setCtrlr(ctrlr)
{
}

tcp_reader_transmitter::~tcp_reader_transmitter() = default;

void tcp_reader_transmitter::init() {}

void tcp_reader_transmitter::stopTransmitter() {}

void tcp_reader_transmitter::setULMessage(QSharedPointer<message_point>) {}

void tcp_reader_transmitter::alarm_in(const QString&) {}

void tcp_reader_transmitter::start()
{
    setLogpath(setCtrlr.getBS_ParamsCopy().logpath_.toString());
}

transmitter_info tcp_reader_transmitter::info()
{
    const TransmitterParams p = setCtrlr.getTransmitterParams();
    transmitter_info i;
    i.type = "TCPBS";
    i.firmware_ver = 0;
    i.hardware_ver = 0;
    i.state = 8;
    i.active = true;
    i.modem_id = 0;
    i.busyness = 0.0f;
    i.aver_busyness = 0.0f;
    i.max_power = p.max_power_.toInt();
    i.max_duty_cycle = p.max_duty_cycle_.toUInt();
    i.lbt = p.lbt_.toBool();
    for (quint32 f : p.dl_freqs_)
        i.base_freqs.append(f);
    i.freq_plans.append(0);
    for (quint32 plan : p.freq_plans_)
        i.freq_plans.append(plan);
    i.dl_bitrates.append({DL_PSK_200, DL_PSK_500, DL_PSK_5000, DL_PSK_FASTDL, DL_DBPSK_50_PROT_D, DL_DBPSK_400_PROT_D,
                          DL_DBPSK_3200_PROT_D, DL_DBPSK_25600_PROT_D});
    for (const auto& rates : p.dl_bitrates_)
        i.dl_bitrates.append(rates);
    return i;
}

void tcp_reader_transmitter::queueDLMessage(dl_message_point* message)
{
    if (!message)
        return;
    std::unique_ptr<dl_message_point> owned(message);
    const QByteArray frame = gateway_frames::build(*owned);
    if (owned->vexa_ver >= 4) {
        QString line = QTime::currentTime().toString("hh:mm:ss:zzz");
        line += owned->vexa_ver >= 5 ? " Send ZADov5 DL message by TCP to ID: " : " Send ZADar4 DL message by TCP to ID: ";
        line += QString::number(owned->modem_id, 16).toUpper();
        line += " IT: " + QString::number(owned->iterator & 31);
        if (owned->vexa_ver >= 5)
            line += " IT_crypto: " + QString::number(owned->crypto_iter);
        line += " FREQ: " + QString::number(owned->freq);
        line += " PHY: " + LogText::escaped(owned->phy);
        line += " PWR:" + QString::number(owned->strength);
        line += " PLD: " + QString::fromLatin1(QByteArray(reinterpret_cast<const char*>(owned->payload), 8).toHex());
        line += "\n";
        *this << line;
    }
    emit write_socket_tx(owned->modem_id, frame);
}
