#pragma once

#include "StationClock.h"
#include "ax_modem.h"
#include "interfaces/IVexaTransmitter.h"
#include "logger.h"
#include "vexa_conf.h"

#include <QList>
#include <QString>

#include <memory>

class Base_Pin_Controller;
class SettingsController;

// The downlink back-end of the AX8052F143 radio modem on the serial port (QORM stations): it
// writes the modem's mode, address and carrier records, hands it each frame and waits for its
// transmit queue to drain; it runs the autocorrection exchange, reads the modem's ID and
// version, and reboots the modem when a configuration or send step fails. Lives on the
// sender thread; every wait is a nested event loop of that thread.
class AX8052f143Transmitter : public IVexaTransmitter, public logger
{
    Q_OBJECT
public:
    // The back-end's own waits, in milliseconds (tests shorten them; the link has its own).
    struct Timings
    {
        int dlReplyMs = 100;            // each of the three sendDL attempts
        quint32 sentWaitMs = 10000;     // the modem's queue must drain within this
        int autocorrWaitMs = 10000;     // each of the two waits of an autocorrection
        int rebootSleepMs = 600;        // before the boot-loader byte
        int rebootEchoSleepMs = 100;    // between it and the echo
        qint64 reopenIntervalMs = 10000;     // a port that did not open is tried again after this
        qint64 openErrorRepeatMs = 3600000;  // an unchanged open error is logged again after this
    };

    AX8052f143Transmitter(SettingsController& ctrlr, std::shared_ptr<Base_Pin_Controller> bcm_worker,
                          QObject* parent = nullptr, std::shared_ptr<StationClock> clock = {});
    ~AX8052f143Transmitter() override;

    bool is_phy_supported(const QString& phy) override;
    quint32 get_transmitter_id() override;
    bool isBusy() override;
    QList<vexa_phy_channel_t> get_supported() override;
    qint32 get_max_power() override;
    quint32 firmware_version() override { return modem_version.CompVersion; }
    quint32 hardware_version() override { return modem_version.HARDWARE_REV; }

    // The protocol D version 5 path: the 17-byte body, mode and carrier.
    bool sendDL_DBPSK_ProtD_ver5(dl_message_point* message, double corr_freq);
    void rebootAxsem();

    // The antenna a carrier goes out on, chosen from the request's own frequency.
    static vexa_conf::rf_antenna_t antenna_for(quint32 freq);
    // The request's frequency plus the correction truncated toward zero, in 32 bits.
    static quint32 carrier_for(quint32 freq, double corr_freq);
    static quint8 header_byte(const dl_message_point& m);
    static QByteArray prot_d_ver5_body(const dl_message_point& m);

    const vexa_conf::vexa_version_t& version() const { return modem_version; }
    ax_modem& link() { return modem; }
    void setTimings(const Timings& timings) { timings_ = timings; }
    // The remembered configuration belongs to the process; tests start each case from none.
    static void forgetConfiguration();

public slots:
    bool sendDLMessage(dl_message_point* message, double corr_freq) override;
    bool sendAutocorr(quint32 id, quint32 freq, qint32 power) override;
    void alarm_in(const QString& alarm) override;

private slots:
    void modemEcho(QByteArray& ba);

private:
    bool sendHeaderAndPayload(dl_message_point* message, double corr_freq);
    bool sendVersion0(dl_message_point* message, const QByteArray& frame, quint32 carrier);
    bool sendRemembering(dl_message_point* message, const QByteArray& frame, double corr_freq, quint32 carrier);
    // Logs the set-mode error and reboots the modem; false.
    bool configurationFailed(const dl_message_point& m);
    // The mode record unless nothing changed since it was written; on failure the remembered
    // phy is forgotten.
    bool writeMode(const dl_message_point& m, vexa_phy_channel_t tx, dl_message_point& last);
    // The carrier record unless already written; on failure the remembered carrier is forgotten.
    bool writeCarrier(const dl_message_point& m, quint32 carrier, quint32& last_freq);
    // Three attempts of sendDL, then (when asked) the wait for the modem's queue to drain.
    bool sendFrame(const dl_message_point& m, const QByteArray& frame, bool waitForQueue, bool rebootWhenRefused,
                   bool logSuccess);
    // Opens the port (with the boot-loader byte); logs a failure as sound behaviour asks.
    bool openPort();
    // A closed port is tried again at most every reopenIntervalMs; true when it is open.
    bool portReady();
    void waitForReply(int msec);
    void logOpenFailure(ax_modem::AX_MODEM_ERROR error);

    quint32 modem_id = 0;
    SettingsController& settCtrlr;
    ax_modem modem;
    vexa_conf vexa;
    bool was_auto = false;
    vexa_conf::vexa_version_t modem_version;

    std::shared_ptr<StationClock> clock_;
    Timings timings_;
    bool opened_ = false;
    qint64 lastOpenTryMs_ = 0;
    qint64 lastOpenLogMs_ = 0;
    int lastOpenError_ = -1;
};
