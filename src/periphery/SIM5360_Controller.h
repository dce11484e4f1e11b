#pragma once

#include "SystemPaths.h"

#include <QObject>
#include <QString>
#include <QStringList>
#include <QTimer>

#include <memory>

class Base_Pin_Controller;

// The Quabo station's SIM5360 GSM modem, as the heartbeat sees it: phone number, balance and
// signal strength, read from the status files that the external modem scripts leave in the
// modem-scripts folder. Each getter re-reads its file. Also carries the modem's power-key and
// reset pin pulses.
class SIM5360_Controller : public QObject {
    Q_OBJECT
public:
    static constexpr uint8_t kPowerPin = 22;
    static constexpr uint8_t kResetPin = 23;

    explicit SIM5360_Controller(std::shared_ptr<Base_Pin_Controller> pins, const SystemPaths& paths = SystemPaths(),
                                QObject* parent = nullptr);

    QString get_phone_number();
    QString get_balance();
    float rssi();

    // Whole-file readers of the phone and balance status files.
    QString phone();
    QString balance();

    void power_on();
    void power_off();
    void reset();

    void handle_recieved_data_ok();
    void handle_error_from_sim5360();
    void handle_cme_error_from_sim5360();
    void handle_start_sim5360();

    QString phoneFile() const;
    QString balanceFile() const;
    QString balancePlainFile() const;
    QString rssiFile() const;

public slots:
    void on_timer_pwr_on_off_timeout();
    void on_timer_reset_timeout();

private:
    void parse_phone_number_file();
    void parse_balance_file();
    void parse_rssi_file();
    // The file's text; null when it is missing (logged with `missingText`) or unreadable.
    QString readStatusFile(const QString& path, const char* missingText);
    void logAndClearReplies();

    std::shared_ptr<Base_Pin_Controller> bcm_worker;
    QString modem_dir_;
    QTimer tmr_pwr_on_off;
    QTimer tmr_reset;
    QTimer tmr_test;
    QTimer tmr_check_simcard;
    QString read_from_SIM5360;
    QStringList splitted_data;
    QString phone_number_;
    QString balance_;
    float rssi_ = 0.0f;
};
