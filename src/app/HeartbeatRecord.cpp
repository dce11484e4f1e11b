#include "HeartbeatRecord.h"

#include <QDebug>
#include <QJsonDocument>

#include <cmath>

int HeartbeatRecord::ul_freq_plan(quint32 bandwidth, qint32 offset)
{
    if (bandwidth == 0) {
        qDebug() << "Heartbeat: receiver band with bandwidth 0, frequency plan 0";
        return 0;
    }
    const quint32 k = bandwidth / 6400u;
    quint32 p;
    if (offset >= 0)
        p = quint32(offset) / bandwidth;
    else
        p = (quint32(0) - quint32(offset)) / bandwidth + 64u;
    quint32 log2k = 0;
    for (quint32 v = k; v > 1; v >>= 1)
        ++log2k;
    const quint32 w = (log2k << 7) & 0x380u;
    return int(p + w);
}

static QJsonArray codes(const QList<vexa_phy_channel_t>& list)
{
    QJsonArray a;
    for (vexa_phy_channel_t c : list)
        a.append(int(c));
    return a;
}

QJsonObject HeartbeatRecord::receiver(const receiver_info& info, quint32 uplink_freq)
{
    QJsonObject r;
    r.insert(QStringLiteral("enabled"), info.active);
    r.insert(QStringLiteral("ul_base_freqs"), QJsonArray{qint32(uplink_freq)});
    QJsonArray bands;
    const FPGA_Param_Info& f = info.fpga_info_;
    struct Band {
        const QList<vexa_phy_channel_t>& rates;
        quint32 bandwidth;
        qint32 offset;
        float noise;
    } both[] = {
        {f.supported_ul_bitrates_band1, f.bandwidth1, info.band1_offset, info.aver_noiseBand1},
        {f.supported_ul_bitrates_band2, f.bandwidth2, info.band2_offset, info.aver_noiseBand2},
    };
    for (const Band& b : both) {
        if (b.rates.isEmpty())
            continue;
        QJsonObject band;
        band.insert(QStringLiteral("ul_freq_plan"), ul_freq_plan(b.bandwidth, b.offset));
        band.insert(QStringLiteral("ul_bitrates"), codes(b.rates));
        if (std::isfinite(b.noise))
            band.insert(QStringLiteral("noise"), double(b.noise));
        bands.append(band);
    }
    r.insert(QStringLiteral("bands"), bands);
    return r;
}

QJsonObject HeartbeatRecord::transmitter(const transmitter_info& info)
{
    QJsonObject t;
    t.insert(QStringLiteral("enabled"), info.active && (info.state & 8u));
    QJsonArray freqs;
    for (uint f : info.base_freqs)
        freqs.append(qint32(f));
    t.insert(QStringLiteral("dl_base_freqs"), freqs);
    t.insert(QStringLiteral("busyness"), double(info.busyness));
    t.insert(QStringLiteral("busyness_aver"), double(info.aver_busyness));
    t.insert(QStringLiteral("max_power"), info.max_power);
    t.insert(QStringLiteral("max_duty_cycle"), qint32(info.max_duty_cycle));
    t.insert(QStringLiteral("lbt"), info.lbt);
    QJsonArray bands;
    for (int i = 0; i < info.freq_plans.size(); ++i) {
        QJsonObject band;
        band.insert(QStringLiteral("dl_freq_plan"), qint32(info.freq_plans.at(i)));
        band.insert(QStringLiteral("dl_bitrates"),
                    i < info.dl_bitrates.size() ? codes(info.dl_bitrates.at(i)) : QJsonArray());
        bands.append(band);
    }
    t.insert(QStringLiteral("bands"), bands);
    return t;
}

QJsonObject HeartbeatRecord::transmitter_disabled(const QJsonObject& transmitter)
{
    QJsonObject t = transmitter;
    t.insert(QStringLiteral("enabled"), false);
    return t;
}

QJsonObject HeartbeatRecord::revisions(const receiver_info* reader, const transmitter_info* sender, const QString& version)
{
    QJsonObject r;
    if (reader) {
        r.insert(QStringLiteral("fpga_rev"), qint32(reader->fpga_info_.firmware_ver));
        r.insert(QStringLiteral("tolva_rev"), version);
        const float hw = float(reader->fpga_info_.hardware_ver) / 100.0f;
        r.insert(QStringLiteral("hw_rev"), QString::number(double(hw), 'g', 6));
    }
    if (sender && sender->type.contains(QStringLiteral("AX8052F143")))
        r.insert(QStringLiteral("ax_rev"), QStringLiteral("ax.") + QString::number(sender->hardware_ver));
    return r;
}

QJsonObject HeartbeatRecord::gsm_data(const QString& sim_number, const QString& balance, float rssi)
{
    QJsonObject g;
    g.insert(QStringLiteral("sim_number"), sim_number);
    g.insert(QStringLiteral("balance"), balance);
    g.insert(QStringLiteral("rssi"), QString::number(double(rssi), 'g', 6));
    return g;
}

int HeartbeatRecord::parse_temperature(const QByteArray& output)
{
    const QString text = QString::fromLocal8Bit(output);
    if (!text.contains(QStringLiteral("temp=")))
        return -100;
    for (int len : {4, 3, 5}) {
        bool ok = false;
        const float t = text.mid(5, len).toFloat(&ok);
        if (ok && std::isfinite(t) && std::fabs(t) < 1e6f)
            return int(t);
    }
    return -100;
}

QJsonArray HeartbeatRecord::fresh_stats(const QList<QJsonObject>& stats, const QDateTime& now)
{
    QJsonArray out;
    const qint64 nowSecs = now.toSecsSinceEpoch();
    for (const QJsonObject& s : stats) {
        const qint32 ts = s.value(QStringLiteral("ts")).toInt();
        if (nowSecs - qint64(ts) <= 29)
            out.append(s);
    }
    return out;
}

QByteArray HeartbeatRecord::text(const QJsonObject& heartbeat)
{
    return QJsonDocument(heartbeat).toJson(QJsonDocument::Indented);
}
