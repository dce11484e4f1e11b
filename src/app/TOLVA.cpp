#include "TOLVA.h"

#include "BrokerInput.h"
#include "HeartbeatRecord.h"
#include "LocalTime.h"
#include "UplinkRecord.h"

#include "DL_sender.h"
#include "Initializer_AT86.h"
#include "Initializer_Axsem.h"
#include "QORM_LTE_Pin_Controller.h"
#include "QORM_Pin_Controller.h"
#include "Quabo_Pin_Controller.h"
#include "Quabo_Reader.h"
#include "RealHostCommandRunner.h"
#include "SIM5360_Controller.h"
#include "StoredCredential.h"
#include "errlog.h"
#include "gpspos.h"
#include "interfaces/IReceiver.h"
#include "interfaces/ITransmitter.h"
#include "levent.h"
#include "qorm_reader.h"
#include "rabbit_man.h"
#include "spectrum_server.h"
#include "tcp_reader.h"

#include <QCoreApplication>
#include <QDebug>
#include <QJsonDocument>
#include <QMetaMethod>
#include <QThread>
#include <QTime>
#include <QUrl>

#include <chrono>
#include <thread>
#include <utility>

namespace {
const char* const Comp_Time = __DATE__ " " __TIME__;
const char* const kVersion = "3.5.1";

QString timePrefix()
{
    return QTime::currentTime().toString(QStringLiteral("hh:mm:ss:zzz"));
}

// Every link's exchange, routing key and virtual host when its group leaves them out.
const char* const kDefaultExchange = "kavro.messages";
const char* const kDefaultRoutingKey = "backend.vexa_uplink";
const char* const kDefaultVhost = "/";

QString textOr(const QVariant& value, const char* fallback)
{
    return value.isValid() ? value.toString() : QString::fromLatin1(fallback);
}

// The board's controller over the platform's worker, or over its own BCM283x worker.
template <typename Controller>
std::shared_ptr<Base_Pin_Controller> makePinController(const StationPlatform& platform)
{
    return platform.pinWorker ? std::make_shared<Controller>(platform.pinWorker()) : std::make_shared<Controller>();
}
} // namespace

TOLVA::TOLVA(const QString& path, const StationPlatform& platform)
    : QObject(nullptr)
    , logger(QString())
    , _meslog(1440)
    , platform_(platform)
{
    runner_ = platform_.runner ? platform_.runner : std::make_shared<RealHostCommandRunner>();
    ntp_editor_ = std::make_unique<ntp_sysconf>(platform_.paths.ntpConf);

    _uptime_timer.start();
    registerRecordMetaTypes();
    qRegisterMetaType<QPair<double, double>>("QPair<double,double>");

    if (!settingsCtrlr.initController(path))
        qDebug() << "Setting controller not inited! ini-file:" << path;
    const BaseStationParams& bs = settingsCtrlr.getBS_Params();

    errlog& alarms = errlog::init(bs.errlogpath_.isValid() ? bs.errlogpath_.toString() : QStringLiteral("errlog.db3"));
    const QDateTime lastRunning = alarms.get_last_running_time();
    if (lastRunning.toSecsSinceEpoch() != 0)
        alarms.append(errlog::EVENT_STOP_APP, lastRunning);
    alarms.append(errlog::EVENT_START_APP, QDateTime::currentDateTime());

    *this << levent(levent::START, QString::fromLatin1(fnameEventLog));
    *this << levent(levent::UPDATE, QString::fromLatin1(fnameEventLog));

    if (bs.logpath_.isValid())
        setLogpath(bs.logpath_.toString());
    // Faults of the INI file reach the station log too, each once (those found before the log
    // path was known among them).
    settingsCtrlr.setWarningSink(
        [this](const QString& text) { *this << (LocalTime::stamp() + QLatin1Char(' ') + text + QLatin1Char('\n')); });
    bs_type_ = bs.bs_type;
    base_id = bs.base_id_.toInt();
    use_binary = bs.use_binary_.isValid() ? bs.use_binary_.toBool() : false;
    *this << "use binary (instead of json): " << use_binary << "\n";

    configure_connection_path();
    configure_rabbit_params();

    LogOffset = bs.LogOffset_.toFloat();
    *this << "LOGOFFSET = " << LogOffset << "\n";

    const quint32 ul = bs.uplink_freq_.toUInt();
    uplink_freq = (bs.uplink_freq_.isValid() && ul != 0) ? ul : 868800000u;
    const quint32 if1 = bs.if_freq_.toUInt();
    const quint32 if2 = bs.if_freq2_.toUInt();
    if (bs.if_freq_.isValid() && bs.if_freq2_.isValid() && if1 != 0 && if2 != 0) {
        // From the uplink frequency after its fallback: a UL_FREQ of 0 must not wrap.
        const quint32 step = if2 - if1;
        uplink_freq2 = settingsCtrlr.rev_lo() ? uplink_freq - step : uplink_freq + step;
    } else {
        uplink_freq2 = 868800000u;
    }

    *this << "Ver. " << kVersion << " " << Comp_Time << "\n";

    didivuveve_for_new_firmware();

    create_pin_controller();
    if (bs_type_ != TCPBS) {
        if (pin_ctrlr_)
            pin_ctrlr_->bootArtix();
        else
            *this << "No pin controller: FPGA boot skipped\n";
    }

    init_AT86();
    init_Axsem();
    enable_SIM5360();

    if (bs.qorm_.toBool()) {
        reader_thread = new QThread(this);
        create_reader();
        if (reader) {
            reader->moveToThread(reader_thread);
            connect(reader_thread, &QThread::finished, reader, &QObject::deleteLater);
            processStateChanges(0);
            connect(reader_thread, &QThread::started, reader, &IReceiver::start);
            // Records cross into the main thread through a locked inbox, not as arguments of
            // queued calls: the reader's thread fills it and the main thread empties it.
            connect(reader, &IReceiver::message_ready, this, &TOLVA::take_message, Qt::DirectConnection);
            connect(this, &TOLVA::messages_waiting, this, &TOLVA::take_waiting_messages, Qt::QueuedConnection);
            // A receive-only station records FPGA re-initialisations and door events too.
            connect(reader, &IReceiver::alarm_out, this, &TOLVA::alarm_from_receiver_in, Qt::QueuedConnection);
            reader_thread->start(QThread::InheritPriority);
        } else {
            *this << "No reader: reader thread not started\n";
            delete reader_thread;
            reader_thread = nullptr;
        }
    }

    if (bs.meslog_ttl_.isValid())
        _meslog.set_ttl(bs.meslog_ttl_.toInt());

    *this << "Uplink frequency(BAND1): " << uplink_freq << "\n";
    *this << "Uplink frequency(BAND2): " << uplink_freq2 << "\n";
    configure_downlink_freqs();

    create_dl_sender();

    create_rabbits();

    hb_timer = new QTimer(this);
    hb_timer->setInterval(kHeartbeatMs);
    connect(hb_timer, &QTimer::timeout, this, &TOLVA::send_hart_beats);
    // A heartbeat carries the minute statistics only while they are at most 29 s old. Made half
    // a heartbeat period before every second heartbeat, they are 15 s old when it goes out,
    // whatever the slack of these second-resolution timers. Left at the message log's own
    // phase, the statistics could be made about 30 s from every heartbeat, or just after it,
    // and then no heartbeat would ever carry them.
    QTimer::singleShot(2 * kHeartbeatMs - kHeartbeatMs / 2, this, [this] {
        _meslog.make_stats();
        _meslog.restart_stats_timer();
    });
    hb_timer->start();

    create_spectrum_server();
    create_gps();

    set_time_sync_from_server(bs.time_sync_.isValid() ? bs.time_sync_.toBool() : false);
}

TOLVA::~TOLVA()
{
    drop_commands();
    if (hb_timer)
        hb_timer->stop();
    for (rabbit_man* link : {rab_prim, rab_sec, rab_third}) {
        if (link)
            disconnect(link, nullptr, this, nullptr);
    }
    disconnect(this, nullptr, nullptr, nullptr);

    // Each worker is deleted in its own thread when that thread finishes; wait for that before
    // the thread objects go with this object.
    stop_thread(sender_thread, sender);
    sender = nullptr;
    stop_thread(reader_thread, reader);
    reader = nullptr;
    for (rabbit_man** link : {&rab_prim, &rab_sec, &rab_third}) {
        if (!*link)
            continue;
        (*link)->disconnect();
        delete *link;
        *link = nullptr;
    }
    stop_thread(spectrum_thread, s_server);
    s_server = nullptr;
    stop_thread(gps_thread, gps_reader);
    gps_reader = nullptr;

    // The alarm log closes with the station, while Qt's SQL layer still exists; what stays
    // behind until process exit holds no database.
    errlog::init(QString());
}

void TOLVA::stop_thread(QThread*& thread, QObject* worker)
{
    if (!thread)
        return;
    if (worker) {
        // Cut in both directions, so that the worker, destroyed on its own thread, finds no
        // connection to this object. The stop signals already posted to it are still delivered.
        // The wildcard forms look neither object up, since the worker may be running.
        QObject::disconnect(worker, QMetaMethod(), this, QMetaMethod());
        QObject::disconnect(this, QMetaMethod(), worker, QMetaMethod());
        // Posted behind the stop signals already queued for the worker, so they run first; it
        // carries nothing, and runs on the worker's thread.
        QMetaObject::invokeMethod(worker, [] { QThread::currentThread()->quit(); }, Qt::QueuedConnection);
    } else {
        thread->quit();
    }
    thread->wait();
    delete thread;
    thread = nullptr;
}

void TOLVA::shutdown()
{
    if (shut_down_)
        return;
    shut_down_ = true;
    line(QStringLiteral("Stopping"));
    drop_commands();
    if (hb_timer)
        hb_timer->stop();

    emit stopReader();
    emit stopSender();
    emit stopSpectrumServer();
    stop_thread(sender_thread, sender);
    sender = nullptr;
    stop_thread(reader_thread, reader);
    reader = nullptr;
    stop_thread(spectrum_thread, s_server);
    s_server = nullptr;
    stop_thread(gps_thread, gps_reader);
    gps_reader = nullptr;

    // Messages the reader emitted before it stopped are still queued for this object.
    QCoreApplication::sendPostedEvents(this, QEvent::MetaCall);
    take_waiting_messages();

    const struct {
        rabbit_man* link;
        const char* name;
    } links[] = {{rab_prim, "main"}, {rab_sec, "secondary"}, {rab_third, "third"}};
    for (const auto& l : links) {
        if (!l.link)
            continue;
        disconnect(l.link, nullptr, this, nullptr);
        if (l.link->has_save_to_disk()) {
            const int saved = l.link->save_unconfirmed_to_disk();
            line(QStringLiteral("%1 link: %2 unconfirmed records saved to disk").arg(QLatin1String(l.name)).arg(saved));
        }
    }
    line(QStringLiteral("Stopped"));
}

// ----------------------------------------------------------------------------- construction

QString TOLVA::bs_type_to_str(BS_Type type)
{
    switch (type) {
    case QORM: return QStringLiteral("QORM");
    case Quabo: return QStringLiteral("Quabo");
    case TCPBS: return QStringLiteral("TCPBS");
    case QORM_LTE: return QStringLiteral("QORM_LTE");
    case Unknown_Type: return QStringLiteral("Unknown_Type");
    }
    return QString();
}

QString TOLVA::uptime_text(qint64 ms)
{
    return QStringLiteral("%1d%2h%3m%4s")
        .arg(ms / 86400000)
        .arg((ms / 3600000) % 24)
        .arg((ms / 60000) % 60)
        .arg((ms / 1000) % 60);
}

bool TOLVA::decrypt_credential(const QByteArray& stored, QString* plain)
{
    return StoredCredential::decrypt(stored, plain);
}

QString TOLVA::build_url(const QString& host, const QString& user, const QString& pass)
{
    const QString format = user.endsWith(QStringLiteral("tsl")) ? QStringLiteral("amqps://%1:%2@%3//")
                                                                : QStringLiteral("amqp://%1:%2@%3//");
    // User and password are percent-encoded, so the client decodes them back to what is stored:
    // an '@', '/', '#', '?' or '%' in them can change neither the host nor the scheme.
    return format.arg(QString::fromLatin1(QUrl::toPercentEncoding(user)),
                      QString::fromLatin1(QUrl::toPercentEncoding(pass)), host);
}

namespace {
struct Credentials {
    logger& log;

    // A damaged value is logged and counts as absent (empty).
    bool decrypt(const QVariant& value, const QString& name, QString* plain)
    {
        plain->clear();
        if (!value.isValid())
            return false;
        if (TOLVA::decrypt_credential(value.toString().toLocal8Bit(), plain))
            return true;
        log << timePrefix() << " cannot decrypt " << name << "\n";
        return false;
    }
};
} // namespace

void TOLVA::configure_connection_path()
{
    const BaseStationParams& bs = settingsCtrlr.getBS_Params();
    if (bs.r_login_.isValid()) {
        connection_path = bs.r_login_.toString();
        return;
    }
    Credentials c{*this};
    QString host, user, pass;
    c.decrypt(bs.r_host_, QStringLiteral("R_HOST"), &host);
    c.decrypt(bs.r_user_, QStringLiteral("R_USER"), &user);
    c.decrypt(bs.r_pass_, QStringLiteral("R_PASS"), &pass);
    connection_path = build_url(host, user, pass);
}

void TOLVA::configure_rabbit_params()
{
    const BaseStationParams& bs = settingsCtrlr.getBS_Params();
    rabbit_exchange = textOr(bs.r_exchange_, kDefaultExchange);
    rabbit_routing_key = textOr(bs.r_routing_key_, kDefaultRoutingKey);
    rabbit_vhost = textOr(bs.r_vhost_, kDefaultVhost);
}

void TOLVA::run_host(const QString& command_line, int timeout_ms)
{
    QStringList parts = command_line.split(QLatin1Char(' '), Qt::SkipEmptyParts);
    if (parts.isEmpty())
        return;
    const QString program = parts.takeFirst();
    runner_->run(program, parts, timeout_ms);
}

void TOLVA::didivuveve_for_new_firmware()
{
    if (bs_type_ == TCPBS)
        return;
    *this << "Run qormupdate" << "\n";
    // The key's presence is the switch: the field is valid (false) for a file without it.
    if (settingsCtrlr.getBS_Params().update_artix_on_start_.toBool()) {
        run_host(QStringLiteral("sudo killall qormupdate"), 1000);
        run_host(bs_type_ == QORM_LTE ? QStringLiteral("sudo ./didivuveve -cs 0 -wifany")
                                      : QStringLiteral("sudo ./didivuveve -wifany"),
                 360000);
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    } else {
        *this << "didivuveve not killed" << "\n";
    }
}

void TOLVA::create_pin_controller()
{
    const BaseStationParams& bs = settingsCtrlr.getBS_Params();
    switch (bs_type_) {
    case QORM:
        qDebug() << "Creating QORM_Pin_Controller";
        pin_ctrlr_ = makePinController<QORM_Pin_Controller>(platform_);
        break;
    case Quabo:
        qDebug() << "Creating Quabo_Pin_Controller";
        pin_ctrlr_ = makePinController<Quabo_Pin_Controller>(platform_);
        pin_ctrlr_->set_LED_gpio(uint8_t(bs.gpio_led_green.toInt()), uint8_t(bs.gpio_led_red.toInt()));
        pin_ctrlr_->on_off_one_sec_pulse_gpio(uint8_t(bs.gpio_pps_en.toInt()));
        pin_ctrlr_->di_set_gpio(uint8_t(bs.gpio_di.toInt()));
        break;
    case QORM_LTE:
        qDebug() << "Creating QORM_LTE_Pin_Controller";
        pin_ctrlr_ = makePinController<QORM_LTE_Pin_Controller>(platform_);
        pin_ctrlr_->di_set_gpio(uint8_t(bs.gpio_di.toInt()));
        break;
    case TCPBS:
        qDebug() << "BS have not Pin_Controller!";
        break;
    case Unknown_Type:
        qDebug() << "Can't create pin controller! Unknown BS type!";
        break;
    }
}

void TOLVA::init_AT86()
{
    if (bs_type_ != Quabo || !pin_ctrlr_)
        return;
    const BaseStationParams& bs = settingsCtrlr.getBS_Params();
    Initializer_AT86 at86(pin_ctrlr_);
    if (bs.lna_level.isValid())
        at86.set_LNA_level(uint8_t(bs.lna_level.toUInt()));
    if (bs.uplink_freq_.isValid())
        at86.set_ul_freq_from_ini(bs.uplink_freq_.toUInt());
    *this << (at86.init_AT86() ? "AT86 inited" : "AT86 not inited") << "\n";
    pin_ctrlr_->close();
    pin_ctrlr_->init();
}

void TOLVA::init_Axsem()
{
    if ((bs_type_ != Quabo && bs_type_ != QORM_LTE) || !pin_ctrlr_)
        return;
    Initializer_Axsem axsem(pin_ctrlr_);
    *this << (axsem.init_axsem() ? "Axsem inited" : "Axsem not inited") << "\n";
}

void TOLVA::enable_SIM5360()
{
    if (bs_type_ != Quabo || !pin_ctrlr_)
        return;
    sim3560_ctrlr_ = std::make_shared<SIM5360_Controller>(pin_ctrlr_, platform_.paths);
}

void TOLVA::create_reader()
{
    qDebug() << "BS_TYPE:" << bs_type_to_str(bs_type_);
    switch (bs_type_) {
    case QORM:
    case QORM_LTE:
        if (pin_ctrlr_)
            reader = new qorm_reader(settingsCtrlr, pin_ctrlr_, nullptr);
        break;
    case Quabo:
        if (pin_ctrlr_)
            reader = new Quabo_Reader(settingsCtrlr, pin_ctrlr_, nullptr);
        break;
    case TCPBS:
        create_gateway_link();
        break;
    case Unknown_Type:
        *this << "Can't create reader! Unknown type of reader!" << "\n";
        break;
    }
    if (!reader)
        return;
    connect(this, &TOLVA::stopReader, reader, &IReceiver::stopReader);
    connect(reader, &IReceiver::wrongFirmwareVersion, this, &TOLVA::wrongFirmwareVersion);
    reader->init();
}

void TOLVA::create_gateway_link()
{
    // One object, two halves: the receiver is the reader (deleted with the reader thread), the
    // transmitter the sender when SEND_DL is on. The holder keeps the transmitter and deletes it
    // with the station, once its thread has ended.
    gateway_link_ = std::make_unique<tcp_reader>(settingsCtrlr);
    tcp_reader_receiver* rx = gateway_link_->takeReceiver();
    rx->setListenAddress(platform_.serverAddress, platform_.gatewayPort);
    // Gateways can bring records faster than this thread takes them: the link reads no more
    // while many wait.
    rx->setBacklog([this] { return inbox_waiting_.load(); });
    connect(rx, &tcp_reader_receiver::listening, this, [this](const QString& address, quint16 port) {
        line(QStringLiteral("Gateway server listening on %1:%2").arg(address).arg(port));
    }, Qt::QueuedConnection);
    reader = rx;
    if (settingsCtrlr.getTransmitterParams().send_dl_.toBool())
        sender = gateway_link_->transmitter();
}

void TOLVA::configure_downlink_freqs()
{
    const TransmitterParams tx = settingsCtrlr.getTransmitterParams();
    downlink_freq = tx.dl_freqs_.isEmpty() ? 446000000u : tx.dl_freqs_.at(0);
    *this << "Downlink frequency: " << downlink_freq << "\n";
    downlink_freq2 = tx.dl_freqs_.size() < 2 ? 0u : tx.dl_freqs_.at(1);
    *this << "Downlink frequency2: " << downlink_freq2 << "\n";
}

void TOLVA::create_dl_sender()
{
    if (!settingsCtrlr.getTransmitterParams().send_dl_.toBool())
        return;
    bool own = false;
    if (!sender && (bs_type_ == QORM || bs_type_ == Quabo || bs_type_ == QORM_LTE) && pin_ctrlr_) {
        auto* dl = new DL_sender(settingsCtrlr, pin_ctrlr_, nullptr, platform_.downlinkBackends);
        // At once, not queued: a tick in progress stops after the frame on the air instead of
        // sending the rest of its round before the stop is read.
        connect(this, &TOLVA::stopSender, dl, &DL_sender::requestStop, Qt::DirectConnection);
        sender = dl;
        own = true;
    }
    if (!sender) {
        // A station of unknown type has no board for a radio back-end; the gateway object of a
        // TCPBS station is both its reader and its sender.
        *this << "SEND_DL is on, but this station has no downlink sender: sender steps skipped" << "\n";
        return;
    }
    sender_thread = new QThread(this);
    connect(this, &TOLVA::stopSender, sender, &ITransmitter::stopTransmitter);
    sender->moveToThread(sender_thread);
    if (own)
        connect(sender_thread, &QThread::finished, sender, &QObject::deleteLater);
    connect(sender_thread, &QThread::started, sender, &ITransmitter::start);
    if (reader) {
        connect(sender, &ITransmitter::alarm_out, reader, &IReceiver::alarm_in, Qt::QueuedConnection);
        connect(reader, &IReceiver::alarm_out, sender, &ITransmitter::alarm_in, Qt::QueuedConnection);
    }
    // Also without a reader, so the autocorrection alarms reach the alarm log.
    connect(sender, &ITransmitter::alarm_out, this, &TOLVA::alarm_from_transmitter_in, Qt::QueuedConnection);
    sender_thread->start(QThread::InheritPriority);
}

void TOLVA::create_rabbits()
{
    const BaseStationParams& bs = settingsCtrlr.getBS_Params();
    const QString id = QString::number(base_id);
    const QString logpath = getLogpath();

    rab_prim = new rabbit_man(id, connection_path, rabbit_exchange, rabbit_vhost, rabbit_routing_key,
                              QStringLiteral("backup.db3"), logpath, true, true, true, bs.save_to_disk_.toBool());
    rab_prim->setLogpath(logpath);
    rab_prim->set_main_link(true);
    connect(rab_prim, &rabbit_man::data_received, this, &TOLVA::messageReceived);
    connect(rab_prim, SIGNAL(conn_estimated()), this, SLOT(go_connected()), Qt::DirectConnection);
    connect(rab_prim, SIGNAL(conn_lost()), this, SLOT(go_disconnected()), Qt::DirectConnection);
    connect(rab_prim, SIGNAL(republish()), this, SLOT(republish()), Qt::DirectConnection);

    Credentials c{*this};
    auto extra = [&](const SecondaryRabbitParams& p, const QString& backup) -> rabbit_man* {
        if (!p.enable_.toBool())
            return nullptr;
        QString url;
        if (p.r_login_.isValid()) {
            url = p.r_login_.toString();
        } else {
            QString host, user, pass;
            if (!c.decrypt(p.r_host_, QStringLiteral("R_HOST"), &host))
                return nullptr;
            c.decrypt(p.r_user_, QStringLiteral("R_USER"), &user);
            c.decrypt(p.r_pass_, QStringLiteral("R_PASS"), &pass);
            url = build_url(host, user, pass);
        }
        auto* link = new rabbit_man(id, url, textOr(p.r_exchange_, kDefaultExchange), textOr(p.r_vhost_, kDefaultVhost),
                                    textOr(p.r_routing_key_, kDefaultRoutingKey), backup, p.log_file_path_.toString(),
                                    p.has_ul_.toBool(), p.has_dl_.toBool(), p.has_cmd_.toBool(), p.save_to_disk_.toBool());
        connect(link, &rabbit_man::data_received, this, &TOLVA::messageReceived);
        link->setLogpath(logpath);
        return link;
    };
    rab_sec = extra(settingsCtrlr.getSecondaryRabbitParams(), QStringLiteral("backup_sec.db3"));
    rab_third = extra(settingsCtrlr.getThirdRabbitParams(), QStringLiteral("backup_third.db3"));
    setBinaryFlagToRabbits();
}

void TOLVA::create_spectrum_server()
{
    if (bs_type_ == TCPBS)
        return;
    s_server = new spectrum_server(getLogpath(), platform_.serverAddress, platform_.spectrumPort);
    if (s_server->isListening())
        line(QStringLiteral("Spectrum server listening on %1:%2").arg(platform_.serverAddress.toString()).arg(s_server->serverPort()));
    else
        line(QStringLiteral("Spectrum server is not listening"));
    connect(this, &TOLVA::stopSpectrumServer, s_server, &spectrum_server::stopServer);
    s_server->setLogOffset(LogOffset);
    spectrum_thread = new QThread(this);
    s_server->moveToThread(spectrum_thread);
    connect(spectrum_thread, &QThread::finished, s_server, &QObject::deleteLater);
    spectrum_thread->start(QThread::InheritPriority);
    s_server->setRevLo((bs_type_ == QORM || bs_type_ == QORM_LTE) ? settingsCtrlr.rev_lo() : true);
    // Called on the reader thread: the server keeps the frame under its own lock, so the
    // spectrum needs no trip through the server thread's event queue, whose hand-off of the
    // arguments ThreadSanitizer cannot see. The reader thread is joined before the server goes.
    if (reader)
        connect(reader, &IReceiver::fft_mag_out, s_server, &spectrum_server::set_spectrum_data, Qt::DirectConnection);
}

void TOLVA::create_gps()
{
    if (bs_type_ != QORM && bs_type_ != QORM_LTE)
        return;
    gps_reader = new gpspos(platform_.gpsRunner ? platform_.gpsRunner : runner_, nullptr);
    gps_thread = new QThread(this);
    gps_reader->moveToThread(gps_thread);
    connect(gps_thread, &QThread::finished, gps_reader, &QObject::deleteLater);
    gps_thread->start(QThread::InheritPriority);
    connect(hb_timer, &QTimer::timeout, gps_reader, &gpspos::getPos, Qt::QueuedConnection);
    connect(gps_reader, &gpspos::position, this, &TOLVA::gps_position, Qt::QueuedConnection);
}

void TOLVA::reinit_quabo()
{
    if (pin_ctrlr_)
        pin_ctrlr_->bootArtix();
    init_AT86();
    init_Axsem();
}

// ----------------------------------------------------------------------------- system actions

void TOLVA::line(const QString& text)
{
    *this << timePrefix() << " " << text << "\n";
}

void TOLVA::exit()
{
    if (hb_timer)
        hb_timer->stop();
    for (rabbit_man* link : {rab_prim, rab_sec, rab_third}) {
        if (link)
            link->set_has_ul(false);
    }
    for (rabbit_man* link : {rab_prim, rab_sec, rab_third}) {
        if (link)
            link->set_has_dl(false);
    }
    shutdown();
    // The orderly stop above normally ends the process; the kill is only the fallback for a
    // stop that hangs.
    const std::shared_ptr<HostCommandRunner> runner = runner_;
    const int delay = platform_.exitKillDelayMs;
    std::thread([runner, delay] {
        std::this_thread::sleep_for(std::chrono::milliseconds(delay));
        runner->run(QStringLiteral("sudo"), {QStringLiteral("killall"), QStringLiteral("TOLVAR")}, 30000);
    }).detach();
    QCoreApplication::exit(0);
}

// System actions run after their command's reply, through the runner's start(): heartbeats,
// AMQP heartbeats and uplinks go on while they take their time.
void TOLVA::reboot()
{
    *this << "start system rebooting" << "\n";
    runner_->start(QStringLiteral("sudo"), {QStringLiteral("reboot")}, 30000, [](const HostCommandResult&) {});
}

void TOLVA::restarteth0()
{
    *this << "restarting eth0" << "\n";
    const std::shared_ptr<HostCommandRunner> runner = runner_;
    runner->start(QStringLiteral("sudo"), {QStringLiteral("ifdown"), QStringLiteral("eth0")}, 10000, [runner](const HostCommandResult&) {
        runner->start(QStringLiteral("sudo"), {QStringLiteral("ifup"), QStringLiteral("eth0")}, 10000, [](const HostCommandResult&) {});
    });
}

void TOLVA::set_time_sync_from_server(bool on)
{
    _do_time_sync_from_server = on;
}

void TOLVA::set_ntp_service_on_off(bool on)
{
    start_host(QStringLiteral("sudo"), {QStringLiteral("service"), QStringLiteral("ntp"), on ? QStringLiteral("start") : QStringLiteral("stop")},
               5000, nullptr);
}

void TOLVA::gps_position(QPair<double, double> pos)
{
    _last_coords = pos;
    _last_coords_dt = QDateTime::currentDateTime();
}

void TOLVA::wrongFirmwareVersion(quint32 fw)
{
    qDebug() << "Error: wrong firmware version. Current firmware: " << fw;
}

void TOLVA::readerFinished()
{
    qDebug() << "void TOLVA::readerFinished()";
    qDebug() << "=============Reader Finished!";
}

// ----------------------------------------------------------------------------- uplink road

void TOLVA::take_message(QSharedPointer<message_point> msg)
{
    bool first = false;
    {
        std::lock_guard<std::mutex> lock(inbox_mutex_);
        first = inbox_.empty();
        inbox_.push_back(std::move(msg));
    }
    ++inbox_waiting_;
    // One wake-up per batch: a later record finds the inbox not yet emptied.
    if (first)
        emit messages_waiting();
}

void TOLVA::take_waiting_messages()
{
    std::vector<QSharedPointer<message_point>> batch;
    {
        std::lock_guard<std::mutex> lock(inbox_mutex_);
        batch.swap(inbox_);
    }
    for (QSharedPointer<message_point>& msg : batch) {
        set_message(std::move(msg));
        --inbox_waiting_;
    }
}

void TOLVA::set_message(QSharedPointer<message_point> msg)
{
    if (!msg)
        return;
    const qint32 expected = UplinkRecord::calc_freq_expected(*msg, uplink_freq, uplink_freq2);
    msg->offset = qint32(quint32(msg->FREQ) - quint32(expected));
    // Set before the sender sees the record: autocorrection reads it.
    vexa_phy_channel_t phy;
    if (UplinkRecord::phy_of(*msg, &phy))
        msg->phy = phy;

    // One write for the record's lines, none when logging is off.
    if (logging()) {
        QString text = UplinkRecord::log_line(*msg, LocalTime::timeOfDay());
        text += QStringLiteral("Expected FREQ = ") + QString::number(expected) + QLatin1Char('\n');
        text += QStringLiteral("Delta = ") + QString::number(msg->offset) + QLatin1Char('\n');
        text += QStringLiteral("DL freq = ")
            + QString::number(UplinkRecord::calc_dl_freq(*msg, expected, downlink_freq, uplink_freq)) + QLatin1Char('\n');
        text += QStringLiteral("DL freq2 = ")
            + QString::number(UplinkRecord::calc_dl_freq(*msg, expected, downlink_freq2, uplink_freq)) + QLatin1Char('\n');
        *this << text;
    }

    if (sender && reader) {
        // A functor call: a lookup of the slot by name cost more than the rest of the hand-off.
        ITransmitter* const to = sender;
        QMetaObject::invokeMethod(sender, [to, msg] { to->setULMessage(msg); }, Qt::QueuedConnection);
        if (UplinkRecord::is_own_echo(msg->ID, sender->info().modem_id)) {
            to_reader(QStringLiteral("setDLState_true"));
            QMetaObject::invokeMethod(sender, "alarm_in", Qt::QueuedConnection,
                                      Q_ARG(QString, QStringLiteral("setDLState_true")));
            return;
        }
    }

    _meslog.append(*msg);
    sendPayload([&] { return UplinkRecord::json_text(*msg, base_id); });
}

void TOLVA::sendPayload(const QJsonObject& record)
{
    sendPayload([&] { return QJsonDocument(record).toJson(QJsonDocument::Indented); });
}

void TOLVA::sendPayload(const std::function<QByteArray()>& makeText)
{
    // Built once; the links share the bytes.
    QByteArray text;
    for (rabbit_man* link : {rab_prim, rab_sec, rab_third}) {
        if (!link || !link->has_ul())
            continue;
        if (text.isNull())
            text = makeText();
        link->queue_string(text);
    }
}

// ----------------------------------------------------------------------------- heartbeat

QJsonObject TOLVA::build_heartbeat(QJsonObject* no_dl)
{
    const BaseStationParams& bs = settingsCtrlr.getBS_Params();
    QJsonObject hb;
    hb.insert(QStringLiteral("version"), 1);
    hb.insert(QStringLiteral("msg_type"), QStringLiteral("beat_vexa_e"));
    hb.insert(QStringLiteral("bs_id"), base_id);
    hb.insert(QStringLiteral("mode"), bs.mode_.toString());

    const HostCommandResult temp = runner_->run(QStringLiteral("/opt/vc/bin/vcgencmd"), {QStringLiteral("measure_temp")}, 100);
    const int temperature = HeartbeatRecord::parse_temperature(temp.output);
    hb.insert(QStringLiteral("temperature"), temperature);
    *this << "TEMPERATURE = " << temperature << "\n";

    const QDateTime now = QDateTime::currentDateTime();
    if (_last_coords_dt.secsTo(now) <= 119) {
        hb.insert(QStringLiteral("latitude"), _last_coords.first);
        hb.insert(QStringLiteral("longitude"), _last_coords.second);
    }

    QJsonObject revisions;
    QJsonObject receiver;
    QJsonObject transmitter;
    receiver_info rinfo;
    transmitter_info tinfo;
    if (reader) {
        rinfo = reader->info();
        hb.insert(QStringLiteral("bs_type"), bs_type_to_str(rinfo.fpga_info_.fpga_bs_type));
        hb.insert(QStringLiteral("bs_state"), int(rinfo.state & 0xFFu));
        hb.insert(QStringLiteral("fpga_temperature"), double(rinfo.fpga_temperature_));
        receiver = HeartbeatRecord::receiver(rinfo, uplink_freq);
        processStateChanges(quint8(rinfo.state & 0xFFu));
        if (s_server) {
            s_server->set_current_noise_band1(rinfo.aver_noiseBand1);
            s_server->set_current_noise_band2(rinfo.aver_noiseBand2);
        }
    }
    if (sender) {
        tinfo = sender->info();
        transmitter = HeartbeatRecord::transmitter(tinfo);
    }
    revisions = HeartbeatRecord::revisions(reader ? &rinfo : nullptr, sender ? &tinfo : nullptr, QString::fromLatin1(kVersion));

    hb.insert(QStringLiteral("time_published"), qint32(now.toSecsSinceEpoch()));
    hb.insert(QStringLiteral("bs_revisions"), revisions);
    hb.insert(QStringLiteral("receiver"), receiver);
    hb.insert(QStringLiteral("transmitter"), transmitter);
    if (sim3560_ctrlr_) {
        hb.insert(QStringLiteral("gsm_data"),
                  HeartbeatRecord::gsm_data(sim3560_ctrlr_->get_phone_number(), sim3560_ctrlr_->get_balance(),
                                            sim3560_ctrlr_->rssi()));
    }
    hb.insert(QStringLiteral("stats"),
              HeartbeatRecord::fresh_stats({_meslog.last_minute_stats(), _meslog.last_hour_stats(), _meslog.last_total_stats()}, now));

    if (no_dl) {
        *no_dl = hb;
        no_dl->insert(QStringLiteral("transmitter"), HeartbeatRecord::transmitter_disabled(transmitter));
    }
    return hb;
}

void TOLVA::send_hart_beats()
{
    if (hb_counter_++ % 2 == 0)
        *this << levent(levent::UPDATE, QString::fromLatin1(fnameEventLog));
    QJsonObject no_dl;
    const QJsonObject full = build_heartbeat(&no_dl);
    _last_hb = full;
    sendHeartbeat(full, no_dl);
}

void TOLVA::sendHeartbeat(const QJsonObject& full, const QJsonObject& no_dl)
{
    const QByteArray fullText = HeartbeatRecord::text(full);
    const QByteArray noDlText = HeartbeatRecord::text(no_dl);
    for (rabbit_man* link : {rab_prim, rab_sec, rab_third}) {
        if (!link)
            continue;
        const bool takes = link == rab_prim ? link->has_ul() : (link->has_ul() || link->has_cmd());
        if (!takes)
            continue;
        // A link that was down is reconnecting now; this heartbeat is not kept for it.
        if (link->reconnect_if_disconnected())
            continue;
        link->queue_string(link->has_dl() ? fullText : noDlText);
    }
}

// ----------------------------------------------------------------------------- broker input

void TOLVA::setBinaryFlagToRabbits()
{
    for (rabbit_man* link : {rab_prim, rab_sec, rab_third}) {
        if (link)
            link->set_binary_mode(use_binary);
    }
}

void TOLVA::messageReceived(const QByteArray& body, rabbit_man& link)
{
    QJsonObject message;
    QString error;
    if (!BrokerInput::decode(body, message, &error)) {
        *this << "Binary2Json error: " << error << "\n";
        return;
    }

    if (message.contains(QStringLiteral("use_pb"))) {
        // The configuration wins over the server.
        const QVariant configured = settingsCtrlr.getBS_Params().use_binary_;
        use_binary = configured.isValid() ? configured.toBool() : message.value(QStringLiteral("use_pb")).toBool();
        setBinaryFlagToRabbits();
    }

    bool sharded = false;
    int raw = 0;
    link.set_pub_shard_num(BrokerInput::shard_count(message, &sharded, &raw));
    if (sharded)
        *this << "Info: received heartbeat with sharded=" << raw << "\n";

    switch (BrokerInput::road(message, link.has_cmd(), link.has_dl())) {
    case BrokerInput::Road::Command: {
        // The heartbeat re-arms the broker watchdog and may set the clock: never behind a shell.
        if (message.value(QStringLiteral("msg_type")).toString() == QLatin1String("hb")) {
            if (!link.has_cmd() && message.contains(QStringLiteral("s_time")) && hb_time_ignored_.insert(&link).second)
                line(QStringLiteral("Heartbeat time ignored: a link without command rights does not set the clock "
                                    "(logged once for this link)"));
            std::weak_ptr<bool> alive = commands_alive_;
            QPointer<rabbit_man> from(&link);
            auto holdsClockSet = std::make_shared<bool>(false);
            const bool held = start_command(message, link.has_cmd() && !hb_clock_set_running_,
                                            [this, alive, from, holdsClockSet](const QJsonObject& reply, const QString& replyTo) {
                                                if (!alive.lock())
                                                    return;
                                                if (*holdsClockSet)
                                                    hb_clock_set_running_ = false;
                                                if (!replyTo.isEmpty() && from)
                                                    sendImmediately(reply, replyTo, from.data());
                                            });
            if (held) {
                *holdsClockSet = true;
                hb_clock_set_running_ = true;
            }
            return;
        }
        // Only a command that has to wait counts against the bytes: one that runs at once is
        // the broker's limit to bound.
        const bool waits = command_running_ || !commands_.empty();
        if (commands_.size() >= kMaxWaitingCommands) {
            refuse_command(message, link, 0);
            return;
        }
        QueuedCommand queued;
        queued.link = &link;
        if (waits) {
            // What the queue keeps is counted, not the body it came in: numbers written short
            // ("1e9") take more as this text, spaces between values are not kept.
            queued.text = QJsonDocument(message).toJson(QJsonDocument::Compact);
            // The writer grows its buffer as it goes, up to about twice the text.
            queued.text.squeeze();
            queued.bytes = queued.text.size();
            if (waiting_bytes_ + queued.bytes > kMaxWaitingBytes) {
                refuse_command(message, link, queued.bytes);
                return;
            }
        } else {
            queued.message = message;
        }
        waiting_bytes_ += queued.bytes;
        commands_.push_back(std::move(queued));
        run_commands();
        return;
    }
    case BrokerInput::Road::NoCmdAccess:
        *this << "Rabbit man has no cmd access!\n";
        return;
    case BrokerInput::Road::NoDlAccess:
        *this << "Rabbit man has no downlink access!\n";
        return;
    case BrokerInput::Road::NotARequest:
        line(QStringLiteral("Broker message dropped: neither a command (\"msg_type\") nor a downlink request (\"modem_id\")"));
        return;
    case BrokerInput::Road::Downlink:
        break;
    }

    const QString oversized = BrokerInput::oversized_field(message);
    if (!oversized.isEmpty()) {
        line(QStringLiteral("Downlink request for modem %1 refused: %2")
                 .arg(BrokerInput::json_uint32(message.value(QStringLiteral("modem_id"))))
                 .arg(oversized));
        return;
    }

    if (!sender) {
        *this << "Error! BS don't has any transmitters!\n";
        return;
    }
    if (!sender->info().active) {
        *this << "Error! Transmitter is not enabled!\n";
        return;
    }
    auto* request = new dl_message_point;
    QStringList notes;
    BrokerInput::fill_downlink(message, *request, &notes);
    for (const QString& note : notes)
        line(QStringLiteral("Downlink request for modem %1: %2").arg(request->modem_id).arg(note));
    _meslog.append(*request);
    sender->queueDLMessage(request);
}

void TOLVA::run_commands()
{
    // A command that answers at once calls back into here; the loop below takes the next one.
    if (running_commands_)
        return;
    running_commands_ = true;
    while (!command_running_ && !commands_.empty()) {
        QueuedCommand next = std::move(commands_.front());
        commands_.pop_front();
        waiting_bytes_ -= next.bytes;
        if (refused_while_full_ > 0) {
            line(QStringLiteral("Command queue has room again; %1 commands were refused while it was full").arg(refused_while_full_));
            refused_while_full_ = 0;
        }
        command_running_ = true;
        std::weak_ptr<bool> alive = commands_alive_;
        QPointer<rabbit_man> link = next.link;
        // The text is this program's own writing of an object it decoded: it parses back.
        const QJsonObject message = next.text.isNull() ? next.message : QJsonDocument::fromJson(next.text).object();
        next.text.clear();
        start_command(message, true, [this, alive, link](const QJsonObject& reply, const QString& replyTo) {
            if (!alive.lock())
                return;
            if (!replyTo.isEmpty() && link)
                sendImmediately(reply, replyTo, link.data());
            command_running_ = false;
            run_commands();
        });
    }
    running_commands_ = false;
}

// What start_host ties to the command being started: its reply waits for every program started.
struct TOLVA::CommandHold {
    int running = 0;
    bool answered = false;
    QJsonObject reply;
    QString replyTo;
    CommandDone done;

    void sendWhenDone()
    {
        if (answered && running == 0 && done) {
            const CommandDone send = std::move(done);
            done = nullptr;
            send(reply, replyTo);
        }
    }
};

bool TOLVA::start_command(const QJsonObject& message, bool maySetClock, CommandDone done)
{
    auto hold = std::make_shared<CommandHold>();
    hold->done = std::move(done);
    // A command starts inside another's reply (the queue's next one): restore what was there.
    const std::shared_ptr<CommandHold> outer = std::exchange(starting_, hold);
    const bool outerClock = std::exchange(may_set_clock_, maySetClock);
    BrokerInput::start_command(message, *this, [hold](const QJsonObject& reply, const QString& replyTo) {
        hold->answered = true;
        hold->reply = reply;
        hold->replyTo = replyTo;
        hold->sendWhenDone();
    });
    starting_ = outer;
    may_set_clock_ = outerClock;
    return !hold->answered || hold->running > 0;
}

void TOLVA::start_host(const QString& program, const QStringList& arguments, int timeoutMs, std::function<void()> ended)
{
    const std::shared_ptr<CommandHold> hold = starting_;
    if (hold)
        ++hold->running;
    runner_->start(program, arguments, timeoutMs, [hold, ended](const HostCommandResult&) {
        if (ended)
            ended();
        if (hold) {
            --hold->running;
            hold->sendWhenDone();
        }
    });
}

void TOLVA::refuse_command(const QJsonObject& message, rabbit_man& link, qint64 bytes)
{
    const QString reason = bytes > 0
        ? QStringLiteral("command not run: its %1 bytes and the %2 bytes of the commands already waiting are more than %3")
              .arg(bytes)
              .arg(waiting_bytes_)
              .arg(kMaxWaitingBytes)
        : QStringLiteral("command not run: %1 commands are already waiting").arg(kMaxWaitingCommands);
    if (refused_while_full_++ == 0) {
        if (bytes > 0)
            line(QStringLiteral("Command queue full (%1 bytes waiting, at most %2): commands that do not fit are refused until one is done")
                     .arg(waiting_bytes_)
                     .arg(kMaxWaitingBytes));
        else
            line(QStringLiteral("Command queue full (%1 waiting): commands are refused until one is done").arg(kMaxWaitingCommands));
    }
    QString replyTo;
    const QJsonObject reply = BrokerInput::refusal(message, reason, &replyTo);
    if (!replyTo.isEmpty())
        sendImmediately(reply, replyTo, &link);
}

void TOLVA::drop_commands()
{
    commands_alive_ = std::make_shared<bool>(true);
    commands_.clear();
    waiting_bytes_ = 0;
    command_running_ = false;
    hb_clock_set_running_ = false;
    if (runner_)
        runner_->stopStarted();
}

void TOLVA::sendImmediately(const QJsonObject& reply, const QString& routing_key, rabbit_man* link)
{
    rabbit_man* target = link ? link : rab_prim;
    if (target)
        target->publish_string(QJsonDocument(reply).toJson(QJsonDocument::Compact), routing_key, false);
}

// ----------------------------------------------------------------------------- link state, alarms

void TOLVA::apply(const LinkState::Actions& actions)
{
    for (const LinkState::Action& a : actions) {
        switch (a.kind) {
        case LinkState::Action::Alarm:
            errlog::instance().append(errlog::EVENT_CODE(a.code), QDateTime::currentDateTime());
            break;
        case LinkState::Action::EventLine:
            *this << levent(a.text, QString::fromLatin1(fnameEventLog));
            break;
        case LinkState::Action::ReaderText:
            to_reader(a.text);
            break;
        }
    }
}

void TOLVA::to_reader(const QString& text)
{
    if (reader)
        QMetaObject::invokeMethod(reader, "alarm_in", Qt::QueuedConnection, Q_ARG(QString, text));
}

quint8 TOLVA::reader_state()
{
    return reader ? quint8(reader->info().state & 0xFFu) : 0;
}

void TOLVA::processStateChanges(quint8 state)
{
    apply(link_state_.processStateChanges(state));
}

void TOLVA::go_connected()
{
    apply(link_state_.go_connected(reader != nullptr, bs_type_ == QORM || bs_type_ == QORM_LTE));
    if (reader)
        processStateChanges(reader_state());
}

void TOLVA::go_disconnected()
{
    apply(link_state_.go_disconnected(reader != nullptr));
    if (reader)
        processStateChanges(reader_state());
}

void TOLVA::republish()
{
    apply(link_state_.republish(reader != nullptr));
}

void TOLVA::alarm_from_receiver_in(const QString& text)
{
    const int code = LinkState::receiver_alarm_code(text);
    if (!code)
        return;
    errlog::instance().append(errlog::EVENT_CODE(code), QDateTime::currentDateTime());
    if (text == QLatin1String("EVENT_REBOOT_AXSEM"))
        init_Axsem();
    else if (text == QLatin1String("EVENT_REBOOT_LATTICE"))
        reinit_quabo();
}

void TOLVA::alarm_from_transmitter_in(const QString& text)
{
    const int code = LinkState::transmitter_alarm_code(text);
    if (code)
        errlog::instance().append(errlog::EVENT_CODE(code), QDateTime::currentDateTime());
}

// ----------------------------------------------------------------------------- command context

errlog& TOLVA::alarm_log()
{
    return errlog::instance();
}

bool TOLVA::spectrum_frame(const QString& request, QByteArray* frame, int* waitMs)
{
    if (!s_server)
        return false;
    qint64 waitUs = 0;
    *frame = s_server->get_current_frame(request, &waitUs);
    *waitMs = int((waitUs + 999) / 1000);
    return true;
}

void TOLVA::run_later(int ms, std::function<void()> action)
{
    QTimer::singleShot(ms, this, std::move(action));
}
