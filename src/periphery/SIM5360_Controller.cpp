#include "SIM5360_Controller.h"

#include "Base_Pin_Controller.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QThread>

SIM5360_Controller::SIM5360_Controller(std::shared_ptr<Base_Pin_Controller> pins, const SystemPaths& paths,
                                       QObject* parent)
    : QObject(parent), bcm_worker(std::move(pins)), modem_dir_(paths.modemScriptsDir)
{
    // A coarse timer may fire up to 5 % early; the modem needs the whole pulse.
    tmr_pwr_on_off.setTimerType(Qt::PreciseTimer);
    tmr_reset.setTimerType(Qt::PreciseTimer);
    connect(&tmr_pwr_on_off, &QTimer::timeout, this, &SIM5360_Controller::on_timer_pwr_on_off_timeout);
    connect(&tmr_reset, &QTimer::timeout, this, &SIM5360_Controller::on_timer_reset_timeout);
}

QString SIM5360_Controller::phoneFile() const
{
    return QDir(modem_dir_).filePath(QStringLiteral("phone.txt"));
}

QString SIM5360_Controller::balanceFile() const
{
    return QDir(modem_dir_).filePath(QStringLiteral("balance_enc.txt"));
}

QString SIM5360_Controller::balancePlainFile() const
{
    return QDir(modem_dir_).filePath(QStringLiteral("balance.txt"));
}

QString SIM5360_Controller::rssiFile() const
{
    return QDir(modem_dir_).filePath(QStringLiteral("rssi.txt"));
}

QString SIM5360_Controller::readStatusFile(const QString& path, const char* missingText)
{
    QFile file(path);
    if (!file.exists()) {
        qDebug() << missingText << path;
        return QString();
    }
    if (!file.open(QIODevice::ReadOnly))
        return QString();
    const QString text = QString::fromUtf8(file.readAll());
    file.close();
    return text.isNull() ? QString(QLatin1String("")) : text;
}

QString SIM5360_Controller::get_phone_number()
{
    parse_phone_number_file();
    return phone_number_;
}

QString SIM5360_Controller::get_balance()
{
    parse_balance_file();
    return balance_;
}

float SIM5360_Controller::rssi()
{
    parse_rssi_file();
    return rssi_;
}

void SIM5360_Controller::parse_phone_number_file()
{
    phone_number_.clear();
    const QString text = readStatusFile(phoneFile(), "File with phone number not found:");
    if (text.isEmpty())
        return;
    for (const QString& field : text.split(QLatin1Char(','), Qt::KeepEmptyParts)) {
        if (!field.contains(QStringLiteral("\"+")))
            continue;
        // The quoted number without its quotes; blanks and line ends around the field do not
        // count as the quotes.
        const QString quoted = field.trimmed();
        phone_number_ = quoted.mid(1, quoted.size() - 2);
        return;
    }
}

void SIM5360_Controller::parse_balance_file()
{
    balance_.clear();
    const QString text = readStatusFile(balanceFile(), "File with balance not found:");
    const QStringList parts = text.split(QLatin1Char('"'), Qt::KeepEmptyParts);
    if (parts.size() >= 2)
        balance_ = parts.at(1);
}

void SIM5360_Controller::parse_rssi_file()
{
    rssi_ = 0.0f;
    const QString text = readStatusFile(rssiFile(), "File with rssi not found:");
    const QString marker = QStringLiteral("+CSQ:");
    const int p = text.indexOf(marker);
    if (p < 0)
        return;  // no signal-quality reply at all
    const int from = p + marker.size();
    const int q = text.indexOf(QLatin1Char(','), from);
    if (q < 0)
        return;
    bool ok = false;
    const int n = text.mid(from, q - from).trimmed().toInt(&ok, 10);
    if (ok && n >= 2 && n <= 30)
        rssi_ = float(2 * n - 113);
}

QString SIM5360_Controller::phone()
{
    return readStatusFile(phoneFile(), "File with phone number not found:");
}

QString SIM5360_Controller::balance()
{
    return readStatusFile(balancePlainFile(), "File with balance not found:");
}

void SIM5360_Controller::power_on()
{
    qDebug() << "Enabling SIM5360...";
    if (!bcm_worker)
        return;
    bcm_worker->set_pin_state(kPowerPin, high);
    tmr_pwr_on_off.start(200);
    tmr_test.start(7000);
}

void SIM5360_Controller::power_off()
{
    qDebug() << "Disabling SIM5360...";
    if (!bcm_worker)
        return;
    bcm_worker->set_pin_state(kPowerPin, high);
    tmr_pwr_on_off.start(800);
}

void SIM5360_Controller::reset()
{
    qDebug() << "Reseting SIM5360...";
    if (!bcm_worker)
        return;
    bcm_worker->set_pin_state(kResetPin, high);
    tmr_reset.start(70);
}

void SIM5360_Controller::on_timer_pwr_on_off_timeout()
{
    qDebug() << "on timeout SIM5360 pull down pin";
    tmr_pwr_on_off.stop();
    if (!bcm_worker)
        return;
    bcm_worker->set_pin_state(kPowerPin, low);
    QThread::msleep(50);
}

void SIM5360_Controller::on_timer_reset_timeout()
{
    qDebug() << "on timeout Reset pull down pin";
    tmr_reset.stop();
    if (!bcm_worker)
        return;
    bcm_worker->set_pin_state(kResetPin, low);
}

void SIM5360_Controller::logAndClearReplies()
{
    splitted_data = read_from_SIM5360.split(QStringLiteral("\r\n"), Qt::SkipEmptyParts);
    for (const QString& line : qAsConst(splitted_data))
        qDebug().noquote() << line.trimmed();
    splitted_data.clear();
    read_from_SIM5360.clear();
}

void SIM5360_Controller::handle_recieved_data_ok()
{
    qDebug() << "=============== read from SIM5360 ==============";
    logAndClearReplies();
    qDebug() << "============ End of recieve ======";
}

void SIM5360_Controller::handle_error_from_sim5360()
{
    logAndClearReplies();
}

void SIM5360_Controller::handle_cme_error_from_sim5360()
{
    const QString marker = QStringLiteral("+CME ERROR: ");
    const int p = read_from_SIM5360.indexOf(marker);
    const QString text = p < 0 ? QString() : read_from_SIM5360.mid(p + marker.size());
    qDebug() << "Error from SIM5360:" << text.trimmed();
    read_from_SIM5360.clear();
}

void SIM5360_Controller::handle_start_sim5360()
{
    qDebug() << "Recieved info about starting: " << read_from_SIM5360.trimmed();
    splitted_data.clear();
    read_from_SIM5360.clear();
}
