#include "vexa_conf.h"

#include "ax_modem.h"

namespace {
const int kValueBytes = 6;
const quint8 kWriteFlag = 0x40;
const quint8 kReplyOk = 0x80;

quint8 byteAt(const QByteArray& bytes, int i)
{
    return i < bytes.size() ? quint8(bytes.at(i)) : 0;
}

// The six value bytes of a record, a missing one sent as 0.
QByteArray valueBytes(const QByteArray& data)
{
    QByteArray out(kValueBytes, '\0');
    for (int i = 0; i < kValueBytes; ++i)
        out[i] = char(byteAt(data, i));
    return out;
}
} // namespace

vexa_conf::vexa_conf(ax_modem* modem_, QObject* parent) : QObject(parent), modem(modem_) {}

bool vexa_conf::vexaReadConfLocal(quint8 param_id, QByteArray& data)
{
    QByteArray reply;
    const QByteArray request = QByteArray(1, char(param_id)) + QByteArray(kValueBytes, '\0');
    if (!modem->request(ax_modem::SLIP_VEXA_CONFIG, request, ax_modem::SLIP_VEXA_CONFIG, modem->timings().readWaitMs, &reply))
        return false;
    if (reply.isEmpty() || !(byteAt(reply, 0) & kReplyOk))
        return false;
    if (data.size() < kValueBytes)
        data.resize(kValueBytes);
    for (int i = 0; i < kValueBytes; ++i)
        data[i] = char(byteAt(reply, i + 1));
    return true;
}

bool vexa_conf::vexaWriteConfLocal(quint8 param_id, QByteArray& data)
{
    QByteArray reply;
    const QByteArray request = QByteArray(1, char(quint8(param_id + kWriteFlag))) + valueBytes(data);
    if (!modem->request(ax_modem::SLIP_VEXA_CONFIG, request, ax_modem::SLIP_VEXA_CONFIG, modem->timings().writeWaitMs, &reply))
        return false;
    return !reply.isEmpty() && (byteAt(reply, 0) & kReplyOk);
}

bool vexa_conf::writeWithTries(quint8 param_id, QByteArray data)
{
    bool ok = false;
    for (int i = 0; i < kTries && !ok; ++i)
        ok = vexaWriteConfLocal(param_id, data);
    return ok;
}

bool vexa_conf::getVersion(vexa_version_t* ver)
{
    QByteArray data;
    bool ok = false;
    for (int i = 0; i < kTries && !ok; ++i)
        ok = vexaReadConfLocal(kVersion, data);
    if (!ok)
        return false;
    if (ver) {
        ver->VEXA_REV = byteAt(data, 0);
        ver->VEXA_SUBREV = byteAt(data, 1);
        ver->CompVersion = byteAt(data, 2);
        ver->HARDWARE_ID = byteAt(data, 3);
        ver->HARDWARE_REV = byteAt(data, 4);
        ver->BAND_ID = byteAt(data, 5);
    }
    return true;
}

QByteArray vexa_conf::modeRecord(vexa_mode_t mode, vexa_mack_mode_t mack_mode, vexa_phy_channel_t tx,
                                 vexa_phy_channel_t rx, qint8 tx_pwr, quint8 retries)
{
    QByteArray d(kValueBytes, '\0');
    d[0] = char(quint8(mode));
    d[1] = char(quint8(mack_mode));
    d[2] = char(quint8(tx));
    d[3] = char(quint8(rx));
    d[4] = char(tx_pwr);
    d[5] = char(retries);
    return d;
}

bool vexa_conf::setModeLocal(vexa_mode_t mode, vexa_mack_mode_t mack_mode, vexa_phy_channel_t tx,
                             vexa_phy_channel_t rx, qint8 tx_pwr, quint8 retries)
{
    return writeWithTries(kMode, modeRecord(mode, mack_mode, tx, rx, tx_pwr, retries));
}

bool vexa_conf::setTxFreqLocal(quint32 freq, qint8 tx_power, rf_antenna_t tx_ant)
{
    QByteArray d(kValueBytes, '\0');
    d[0] = char(quint8(freq >> 24));
    d[1] = char(quint8(freq >> 16));
    d[2] = char(quint8(freq >> 8));
    d[3] = char(quint8(freq));
    d[4] = char(tx_power);
    d[5] = char(quint8(tx_ant));
    return writeWithTries(kTxFreq, d);
}

bool vexa_conf::setRxFreqLocal(quint32 freq)
{
    QByteArray d(kValueBytes, '\0');
    d[0] = char(quint8(freq >> 24));
    d[1] = char(quint8(freq >> 16));
    d[2] = char(quint8(freq >> 8));
    d[3] = char(quint8(freq));
    return writeWithTries(kRxFreq, d);
}

bool vexa_conf::setANTLocal(qint8 tx_power, rf_antenna_t tx_ant, rf_antenna_t rx_ant)
{
    QByteArray d(kValueBytes, '\0');
    d[0] = char(tx_power);
    d[1] = char(quint8(tx_ant));
    d[2] = char(quint8(rx_ant));
    return writeWithTries(kAntennas, d);
}

bool vexa_conf::setDlAddLocal(quint32 add)
{
    QByteArray d(kValueBytes, '\0');
    d[0] = char(quint8(add >> 16));
    d[1] = char(quint8(add >> 8));
    d[2] = char(quint8(add));
    return writeWithTries(kDlAddress, d);
}

// A request carried in a downlink; the answer is a radio message the modem receives.
bool vexa_conf::remoteExchange(const QByteArray& request, QByteArray* message)
{
    return modem->request(ax_modem::SLIP_CMD_SEND_DL, request, ax_modem::SLIP_CMD_RECEIVED_DL,
                          modem->timings().remoteWaitMs, message);
}

bool vexa_conf::vexaReadConfRemote(quint8 param_id, QByteArray& data)
{
    QByteArray message;
    const QByteArray request = QByteArray("\x80\x06", 2) + QByteArray(1, char(param_id)) + QByteArray(kValueBytes, '\0');
    if (!remoteExchange(request, &message))
        return false;
    if (message.size() < 3 || byteAt(message, 1) != 0x06 || !(byteAt(message, 2) & kReplyOk))
        return false;
    if (data.size() < kValueBytes)
        data.resize(kValueBytes);
    for (int i = 0; i < kValueBytes; ++i)
        data[i] = char(byteAt(message, i + 3));
    return true;
}

bool vexa_conf::vexaWriteConfRemote(quint8 param_id, QByteArray& data)
{
    QByteArray message;
    const QByteArray request =
        QByteArray("\x80\x06", 2) + QByteArray(1, char(quint8(param_id + kWriteFlag))) + valueBytes(data);
    if (!remoteExchange(request, &message))
        return false;
    if (message.size() < 3 || byteAt(message, 1) != 0x06 || !(byteAt(message, 2) & kReplyOk))
        return false;
    vexaSendACK(byteAt(message, 0) & 0x1F);
    return true;
}

void vexa_conf::vexaSendACK(quint8 iter)
{
    const QByteArray ack = QByteArray(1, char(quint8(iter + 0x80))) + QByteArray(7, '\0');
    modem->sendDL(ack, 0);
}

bool vexa_conf::setModeRemote(vexa_mode_t mode, vexa_mack_mode_t mack_mode, vexa_phy_channel_t tx,
                              vexa_phy_channel_t rx, qint8 tx_pwr, quint8 retries)
{
    QByteArray d = modeRecord(mode, mack_mode, tx, rx, tx_pwr, retries);
    bool ok = false;
    for (int i = 0; i < kTries && !ok; ++i)
        ok = vexaWriteConfRemote(kMode, d);
    return ok;
}
