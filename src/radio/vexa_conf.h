#pragma once

#include <QByteArray>
#include <QObject>

class ax_modem;

// The radio modem's numbered parameter records (six value bytes each), read and written over the
// serial link (local) or carried to a remote device inside downlinks (remote). Failures are
// reported by the result only; the callers log.
class vexa_conf : public QObject
{
    Q_OBJECT
public:
    enum vexa_mode_t : qint32 { DRX = 1, CRX = 2, TRANSPARENT = 3 };
    enum vexa_mack_mode_t : qint32 { MACK_0 = 0, MACK_1 = 1, MACK_2 = 2, MACK_4 = 4, MACK_8 = 8, MACK_16 = 16, MACK_32 = 32 };
    // The shared phy codes, sent as their code.
    using vexa_phy_channel_t = qint32;
    enum rf_antenna_t : qint32 { PCB = 0, SMA = 1, FILT = 2 };

    struct vexa_version_t
    {
        quint8 VEXA_REV = 0;
        quint8 VEXA_SUBREV = 0;
        quint8 CompVersion = 0;
        quint8 HARDWARE_ID = 0;
        quint8 HARDWARE_REV = 0;
        quint8 BAND_ID = 0;
    };

    // Record numbers.
    static constexpr quint8 kMode = 0;
    static constexpr quint8 kTxFreq = 3;
    static constexpr quint8 kRxFreq = 4;
    static constexpr quint8 kAntennas = 5;
    static constexpr quint8 kDlAddress = 6;
    static constexpr quint8 kVersion = 10;
    static constexpr int kTries = 3;

    explicit vexa_conf(ax_modem* modem, QObject* parent = nullptr);

    bool vexaReadConfLocal(quint8 param_id, QByteArray& data);
    bool vexaWriteConfLocal(quint8 param_id, QByteArray& data);
    bool getVersion(vexa_version_t* ver);

    bool setModeLocal(vexa_mode_t mode, vexa_mack_mode_t mack_mode, vexa_phy_channel_t tx, vexa_phy_channel_t rx,
                      qint8 tx_pwr, quint8 retries);
    bool setTxFreqLocal(quint32 freq, qint8 tx_power, rf_antenna_t tx_ant);
    bool setRxFreqLocal(quint32 freq);
    bool setANTLocal(qint8 tx_power, rf_antenna_t tx_ant, rf_antenna_t rx_ant);
    bool setDlAddLocal(quint32 add);

    bool vexaReadConfRemote(quint8 param_id, QByteArray& data);
    bool vexaWriteConfRemote(quint8 param_id, QByteArray& data);
    void vexaSendACK(quint8 iter);
    bool setModeRemote(vexa_mode_t mode, vexa_mack_mode_t mack_mode, vexa_phy_channel_t tx, vexa_phy_channel_t rx,
                       qint8 tx_pwr, quint8 retries);

private:
    bool writeWithTries(quint8 param_id, QByteArray data);
    bool remoteExchange(const QByteArray& request, QByteArray* message);
    static QByteArray modeRecord(vexa_mode_t mode, vexa_mack_mode_t mack_mode, vexa_phy_channel_t tx,
                                 vexa_phy_channel_t rx, qint8 tx_pwr, quint8 retries);

    ax_modem* modem;
};
