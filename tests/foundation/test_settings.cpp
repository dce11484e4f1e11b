// Reading the station INI file into the parameter records, and writing keys back.
#include "SettingsController.h"
#include "settings_fields.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include <limits>

namespace {

QStringList capturedMessages;
void captureMessages(QtMsgType, const QMessageLogContext&, const QString& text)
{
    capturedMessages << text;
}

// Collects Qt debug and warning lines while it lives.
struct MessageCapture {
    QtMessageHandler previous;
    MessageCapture()
    {
        capturedMessages.clear();
        previous = qInstallMessageHandler(captureMessages);
    }
    ~MessageCapture() { qInstallMessageHandler(previous); }
    int count(const QString& text) const { return capturedMessages.filter(text).size(); }
};

QVariant U(uint v) { return QVariant(v); }

} // namespace

class TestSettings : public QObject {
    Q_OBJECT
    QTemporaryDir dir;
    int serial = 0;

    QString writeIni(const QByteArray& content)
    {
        const QString path = dir.filePath(QStringLiteral("station_%1.ini").arg(++serial));
        QFile f(path);
        if (!f.open(QIODevice::WriteOnly))
            qFatal("cannot write test INI");
        f.write(content);
        return path;
    }

    static void compareField(const SettingsController& c, const QString& field, const QVariant& expected)
    {
        const QVariant actual = settingsField(c, field);
        QVERIFY2(actual.isValid() == expected.isValid(), qPrintable(field + QStringLiteral(": validity")));
        if (!expected.isValid())
            return;
        QVERIFY2(actual.userType() == expected.userType(),
                 qPrintable(QStringLiteral("%1: type %2, expected %3").arg(field, QLatin1String(actual.typeName()),
                                                                          QLatin1String(expected.typeName()))));
        QVERIFY2(actual == expected, qPrintable(QStringLiteral("%1: %2, expected %3")
                                                    .arg(field, actual.toString(), expected.toString())));
    }

private slots:
    // A missing file applies nothing at all; an empty file applies every default.
    void missingFileAppliesNothing()
    {
        SettingsController c;
        QVERIFY(!c.initController(dir.filePath(QStringLiteral("absent.ini"))));
        QCOMPARE(c.getBS_Params().bs_type, Unknown_Type);
        QVERIFY(!c.getBS_Params().logpath_.isValid());
        QVERIFY(!c.getBS_Params().tcp_port_.isValid());
        QVERIFY(c.getBS_Params().koeffs.isEmpty());
        QVERIFY(c.getTransmitterParams().dl_freqs_.isEmpty());
        QVERIFY(!c.getTransmitterParams().max_power_.isValid());
        QVERIFY(!c.rev_lo());
        QCOMPARE(c.getThreshold(bt50), quint16(0));
        QVERIFY(!c.getSecondaryRabbitParams().save_to_disk_.isValid());
    }

    void folderIsNoFile()
    {
        SettingsController c;
        QVERIFY(!c.initController(dir.path()));
        QCOMPARE(c.getBS_Params().bs_type, Unknown_Type);
    }

    // A second init on a missing file resets what the first one read.
    void missingFileAfterGoodFileResets()
    {
        SettingsController c;
        QVERIFY(c.initController(writeIni("[BASE_STATION]\nBS_ID=5\n")));
        QCOMPARE(c.getBS_Params().base_id_, QVariant(5));
        QVERIFY(!c.initController(dir.filePath(QStringLiteral("absent.ini"))));
        QVERIFY(!c.getBS_Params().base_id_.isValid());
        QCOMPARE(c.getBS_Params().bs_type, Unknown_Type);
    }

    void emptyFileDefaults_data()
    {
        QTest::addColumn<QString>("field");
        QTest::addColumn<QVariant>("expected");
        const QVariant invalid;
        QTest::newRow("TCP_RS") << "bs.tcp_rs_" << QVariant(QStringList{QString()});
        QTest::newRow("TCP_RS_TIMEOUT") << "bs.tcp_rs_timeout_" << QVariant(25);
        QTest::newRow("TCP_PORT") << "bs.tcp_port_" << QVariant(16384);
        QTest::newRow("TCP_TTL") << "bs.tcp_ttl_" << QVariant(43200);
        QTest::newRow("TCP_TTL_TIMEOUT") << "bs.tcp_ttl_timeout_" << QVariant(3600);
        QTest::newRow("GPIO_LED_GREEN") << "bs.gpio_led_green" << QVariant(17);
        QTest::newRow("GPIO_LED_RED") << "bs.gpio_led_red" << QVariant(3);
        QTest::newRow("GPIO_PPS_EN") << "bs.gpio_pps_en" << QVariant(20);
        QTest::newRow("GPIO_DI") << "bs.gpio_di" << QVariant(19);
        QTest::newRow("QORM") << "bs.qorm_" << QVariant(true);
        QTest::newRow("BS_ID") << "bs.base_id_" << invalid;
        QTest::newRow("LOG_FILE_PATH") << "bs.logpath_" << QVariant(QStringLiteral("/var/log/syslog"));
        QTest::newRow("ERR_LOG_FILE_PATH") << "bs.errlogpath_" << QVariant(QStringLiteral("errlog.db3"));
        QTest::newRow("LOGOFFSET raw") << "bs.LogOffsetRaw_" << invalid;
        QTest::newRow("LOGOFFSET") << "bs.LogOffset_" << QVariant(210);
        QTest::newRow("IF_FREQ") << "bs.if_freq_" << U(137500000);
        QTest::newRow("UL_FREQ") << "bs.uplink_freq_" << U(868800000);
        QTest::newRow("IF_FREQ2") << "bs.if_freq2_" << U(137909600);
        QTest::newRow("UPDATE_ARTIX_ON_START") << "bs.update_artix_on_start_" << QVariant(false);
        QTest::newRow("USE_WINDOW") << "bs.use_window_" << QVariant(false);
        QTest::newRow("EXT_FILTER") << "bs.ext_filter_" << QVariant(false);
        QTest::newRow("ONE_SEC_PULSE_TESTER") << "bs.use_one_sec_pulse_test_" << QVariant(false);
        QTest::newRow("STREAM_OFFSET") << "bs.stream_offset_" << QVariant(18);
        QTest::newRow("SAVE_TO_DISK") << "bs.save_to_disk_" << QVariant(false);
        QTest::newRow("THRESHOLD_50") << "bs.threshold50_" << QVariant(1024);
        QTest::newRow("THRESHOLD_125") << "bs.threshold125_" << QVariant(1024);
        QTest::newRow("THRESHOLD_400") << "bs.threshold400_" << QVariant(1024);
        QTest::newRow("THRESHOLD_3200") << "bs.threshold3200_" << QVariant(1024);
        QTest::newRow("THRESHOLD_25600") << "bs.threshold25600_" << QVariant(800);
        QTest::newRow("USE_BINARY") << "bs.use_binary_" << QVariant(true);
        QTest::newRow("R_HOST") << "bs.r_host_" << invalid;
        QTest::newRow("R_USER") << "bs.r_user_" << invalid;
        QTest::newRow("R_PASS") << "bs.r_pass_" << invalid;
        QTest::newRow("R_LOGIN") << "bs.r_login_" << invalid;
        QTest::newRow("R_ROUTING_KEY") << "bs.r_routing_key_" << invalid;
        QTest::newRow("R_EXCHANGE") << "bs.r_exchange_" << invalid;
        QTest::newRow("R_VHOST") << "bs.r_vhost_" << invalid;
        QTest::newRow("MESLOG_TTL") << "bs.meslog_ttl_" << invalid;
        QTest::newRow("MODE") << "bs.mode_" << invalid;
        QTest::newRow("TIME_SYNC") << "bs.time_sync_" << QVariant(true);
        QTest::newRow("NTP") << "bs.ntp_" << QVariant(true);
        QTest::newRow("BS_TYPE") << "bs.bs_type" << QVariant(int(QORM));
        QTest::newRow("AT86_LNA_LEVEL") << "bs.lna_level" << QVariant(10);
        QTest::newRow("REV_LO") << "rev_lo" << QVariant(true);
        QTest::newRow("K0..K5") << "bs.koeffs" << QVariant(QString());
        QTest::newRow("AUTO_CORRECTION") << "tx.need_auto_correction_" << invalid;
        QTest::newRow("DL_FREQS") << "tx.dl_freqs_" << QVariant(QStringLiteral("446000000"));
        QTest::newRow("FREQ_PLANS") << "tx.plans" << QVariant(QString());
        QTest::newRow("DL_FREQ") << "tx.dl_freq_" << U(446000000);
        QTest::newRow("DL_FREQ2") << "tx.dl_freq2_" << invalid;
        QTest::newRow("DL_SAVE_WINDOW") << "tx.dl_save_window_" << QVariant(1.0);
        QTest::newRow("DL_CH_COUNT") << "tx.dl_ch_count_" << QVariant(1);
        QTest::newRow("DL_SINTH_FREQ") << "tx.dl_sinth_freq_" << QVariant(0);
        QTest::newRow("DL_FILTER_OFFSET") << "tx.dl_filter_offset_" << QVariant(0);
        QTest::newRow("DL_SINTH_FREQ_STEP") << "tx.dl_sinth_freq_step_" << QVariant(100000);
        QTest::newRow("DL_SINTH_BANDWIDTH") << "tx.dl_sinth_bandwidth_" << QVariant(4000000);
        QTest::newRow("SEND_DL") << "tx.send_dl_" << invalid;
        QTest::newRow("DIG_MOD") << "tx.dig_mod_" << invalid;
        QTest::newRow("MAX_POWER") << "tx.max_power_" << U(26);
        QTest::newRow("MAX_DUTY_CYCLE") << "tx.max_duty_cycle_" << U(100);
        QTest::newRow("LBT") << "tx.lbt_" << QVariant(false);
        QTest::newRow("PortNum") << "comm.serialPortName_" << invalid;
        QTest::newRow("BaudeRate") << "comm.baudRate_" << invalid;
        QTest::newRow("SLIP_CRC") << "comm.slip_crc_" << invalid;
        for (const char* rec : {"sec", "third"}) {
            const QString r = QLatin1String(rec);
            for (const char* f : {"enable_", "has_cmd_", "has_dl_", "has_ul_", "r_host_", "r_pass_", "r_user_",
                                  "r_login_", "r_exchange_", "r_routing_key_", "r_vhost_"})
                QTest::newRow(qPrintable(r + QLatin1Char(' ') + QLatin1String(f))) << r + QLatin1Char('.') + QLatin1String(f) << invalid;
            QTest::newRow(qPrintable(r + QStringLiteral(" SAVE_TO_DISK"))) << r + QStringLiteral(".save_to_disk_") << QVariant(false);
            QTest::newRow(qPrintable(r + QStringLiteral(" LOG_FILE_PATH"))) << r + QStringLiteral(".log_file_path_") << QVariant(QString(""));
        }
    }
    void emptyFileDefaults()
    {
        QFETCH(QString, field);
        QFETCH(QVariant, expected);
        SettingsController c;
        QVERIFY(c.initController(writeIni(QByteArray())));
        compareField(c, field, expected);
    }

    void conversions_data()
    {
        QTest::addColumn<QByteArray>("ini");
        QTest::addColumn<QString>("field");
        QTest::addColumn<QVariant>("expected");
        const QVariant invalid;
        const QByteArray bs = "[BASE_STATION]\n";
        QTest::newRow("BS_TYPE QORM_TYPE") << bs + "BS_TYPE=QORM_TYPE" << "bs.bs_type" << QVariant(int(QORM));
        QTest::newRow("BS_TYPE QORM7_TYPE") << bs + "BS_TYPE=QORM7_TYPE" << "bs.bs_type" << QVariant(int(QORM));
        QTest::newRow("BS_TYPE QUABO_TYPE") << bs + "BS_TYPE=QUABO_TYPE" << "bs.bs_type" << QVariant(int(Quabo));
        QTest::newRow("BS_TYPE XQUABO") << bs + "BS_TYPE=XQUABO" << "bs.bs_type" << QVariant(int(Quabo));
        QTest::newRow("BS_TYPE quabo") << bs + "BS_TYPE=quabo" << "bs.bs_type" << QVariant(int(Unknown_Type));
        QTest::newRow("BS_TYPE TCPBS_TYPE") << bs + "BS_TYPE=TCPBS_TYPE" << "bs.bs_type" << QVariant(int(TCPBS));
        QTest::newRow("BS_TYPE QORM_LTE_TYPE") << bs + "BS_TYPE=QORM_LTE_TYPE" << "bs.bs_type" << QVariant(int(QORM_LTE));
        QTest::newRow("BS_TYPE other") << bs + "BS_TYPE=qorm_type" << "bs.bs_type" << QVariant(int(Unknown_Type));
        QTest::newRow("TCP_TTL 10") << bs + "TCP_TTL=10" << "bs.tcp_ttl_" << QVariant(600);
        QTest::newRow("TCP_TTL garbage") << bs + "TCP_TTL=ten" << "bs.tcp_ttl_" << QVariant(43200);
        QTest::newRow("TCP_TTL clamped high") << bs + "TCP_TTL=2147483647" << "bs.tcp_ttl_"
                                              << QVariant(std::numeric_limits<int>::max());
        QTest::newRow("TCP_TTL clamped low") << bs + "TCP_TTL=-2147483648" << "bs.tcp_ttl_"
                                             << QVariant(std::numeric_limits<int>::min());
        QTest::newRow("TCP_TTL_TIMEOUT 5") << bs + "TCP_TTL_TIMEOUT=5" << "bs.tcp_ttl_timeout_" << QVariant(300);
        QTest::newRow("TCP_PORT") << bs + "TCP_PORT=7000" << "bs.tcp_port_" << QVariant(7000);
        QTest::newRow("TCP_PORT garbage") << bs + "TCP_PORT=7000x" << "bs.tcp_port_" << QVariant(16384);
        QTest::newRow("TCP_RS quoted") << bs + "TCP_RS=\"10.0.0.1:5000,10.0.0.2:5001\"" << "bs.tcp_rs_"
                                       << QVariant(QStringList{"10.0.0.1:5000", "10.0.0.2:5001"});
        QTest::newRow("TCP_RS unquoted") << bs + "TCP_RS=10.0.0.1:5000,10.0.0.2:5001" << "bs.tcp_rs_"
                                         << QVariant(QStringList{"10.0.0.1:5000", "10.0.0.2:5001"});
        QTest::newRow("TCP_RS empty part kept") << bs + "TCP_RS=\"a:1,,b:2\"" << "bs.tcp_rs_"
                                                << QVariant(QStringList{"a:1", "", "b:2"});
        QTest::newRow("LOGOFFSET raw") << bs + "LOGOFFSET=262" << "bs.LogOffsetRaw_" << QVariant(262.0f);
        QTest::newRow("LOGOFFSET") << bs + "LOGOFFSET=262" << "bs.LogOffset_" << QVariant(210.0f);
        QTest::newRow("LOGOFFSET fraction") << bs + "LOGOFFSET=-10.5" << "bs.LogOffset_" << QVariant(-62.5f);
        QTest::newRow("LOGOFFSET garbage") << bs + "LOGOFFSET=abc" << "bs.LogOffset_" << QVariant(210);
        QTest::newRow("LOGOFFSET garbage raw") << bs + "LOGOFFSET=abc" << "bs.LogOffsetRaw_" << invalid;
        QTest::newRow("IF_FREQ") << bs + "IF_FREQ=140000000" << "bs.if_freq_" << U(140000000);
        QTest::newRow("IF_FREQ beyond int") << bs + "IF_FREQ=3000000000" << "bs.if_freq_" << U(137500000);
        QTest::newRow("IF_FREQ negative") << bs + "IF_FREQ=-5" << "bs.if_freq_" << U(137500000);
        QTest::newRow("UL_FREQ") << bs + "UL_FREQ=869000000" << "bs.uplink_freq_" << U(869000000);
        QTest::newRow("IF_FREQ2 garbage") << bs + "IF_FREQ2=1e8" << "bs.if_freq2_" << U(137909600);
        QTest::newRow("THRESHOLD_50 clamped") << bs + "THRESHOLD_50=70000" << "bs.threshold50_" << QVariant(65535);
        QTest::newRow("THRESHOLD_125 negative") << bs + "THRESHOLD_125=-1" << "bs.threshold125_" << QVariant(0);
        QTest::newRow("THRESHOLD_400") << bs + "THRESHOLD_400=500" << "bs.threshold400_" << QVariant(500);
        QTest::newRow("THRESHOLD_3200 garbage") << bs + "THRESHOLD_3200=high" << "bs.threshold3200_" << QVariant(1024);
        QTest::newRow("THRESHOLD_25600 huge") << bs + "THRESHOLD_25600=99999999999" << "bs.threshold25600_" << QVariant(65535);
        QTest::newRow("bool true") << bs + "USE_WINDOW=true" << "bs.use_window_" << QVariant(true);
        QTest::newRow("bool 1") << bs + "EXT_FILTER=1" << "bs.ext_filter_" << QVariant(true);
        QTest::newRow("bool yes") << bs + "ONE_SEC_PULSE_TESTER=yes" << "bs.use_one_sec_pulse_test_" << QVariant(true);
        QTest::newRow("bool FALSE") << bs + "USE_BINARY=FALSE" << "bs.use_binary_" << QVariant(false);
        QTest::newRow("bool 0") << bs + "TIME_SYNC=0" << "bs.time_sync_" << QVariant(false);
        QTest::newRow("bool empty") << bs + "NTP=" << "bs.ntp_" << QVariant(false);
        QTest::newRow("QORM false") << bs + "QORM=false" << "bs.qorm_" << QVariant(false);
        QTest::newRow("SAVE_TO_DISK") << bs + "SAVE_TO_DISK=true" << "bs.save_to_disk_" << QVariant(true);
        QTest::newRow("UPDATE_ARTIX_ON_START=false") << bs + "UPDATE_ARTIX_ON_START=false" << "bs.update_artix_on_start_" << QVariant(true);
        QTest::newRow("UPDATE_ARTIX_ON_START=") << bs + "UPDATE_ARTIX_ON_START=" << "bs.update_artix_on_start_" << QVariant(true);
        QTest::newRow("BS_ID") << bs + "BS_ID=4711" << "bs.base_id_" << QVariant(4711);
        QTest::newRow("BS_ID garbage") << bs + "BS_ID=x12" << "bs.base_id_" << invalid;
        QTest::newRow("MESLOG_TTL") << bs + "MESLOG_TTL=90" << "bs.meslog_ttl_" << QVariant(90);
        QTest::newRow("STREAM_OFFSET") << bs + "STREAM_OFFSET=20" << "bs.stream_offset_" << QVariant(20);
        QTest::newRow("GPIO_DI") << bs + "GPIO_DI=26" << "bs.gpio_di" << QVariant(26);
        QTest::newRow("AT86_LNA_LEVEL") << bs + "AT86_LNA_LEVEL=5" << "bs.lna_level" << U(5);
        QTest::newRow("AT86_LNA_LEVEL negative") << bs + "AT86_LNA_LEVEL=-1" << "bs.lna_level" << QVariant(10);
        QTest::newRow("R_HOST text") << bs + "R_HOST=q83vEjhGdfs=" << "bs.r_host_" << QVariant(QStringLiteral("q83vEjhGdfs="));
        QTest::newRow("MODE unquoted comma") << bs + "MODE=a,b" << "bs.mode_" << QVariant(QStringLiteral("a,b"));
        QTest::newRow("LOG_FILE_PATH") << bs + "LOG_FILE_PATH=/tmp/tolva.log" << "bs.logpath_" << QVariant(QStringLiteral("/tmp/tolva.log"));
        QTest::newRow("REV_LO false") << QByteArray("[ADF4350]\nREV_LO=false") << "rev_lo" << QVariant(false);
        const QByteArray tx = "[TRANSMITTER]\n";
        QTest::newRow("AUTO_CORRECTION") << tx + "AUTO_CORRECTION=true" << "tx.need_auto_correction_" << QVariant(true);
        QTest::newRow("DL_FREQ") << tx + "DL_FREQ=869100000" << "tx.dl_freq_" << QVariant(869100000);
        QTest::newRow("DL_FREQ beyond int") << tx + "DL_FREQ=3000000000" << "tx.dl_freq_" << U(446000000);
        QTest::newRow("DL_FREQ2") << tx + "DL_FREQ2=869200000" << "tx.dl_freq2_" << QVariant(869200000);
        QTest::newRow("DL_SAVE_WINDOW") << tx + "DL_SAVE_WINDOW=0.25" << "tx.dl_save_window_" << QVariant(0.25);
        QTest::newRow("DL_SAVE_WINDOW garbage") << tx + "DL_SAVE_WINDOW=wide" << "tx.dl_save_window_" << QVariant(1.0);
        QTest::newRow("DL_CH_COUNT") << tx + "DL_CH_COUNT=4" << "tx.dl_ch_count_" << QVariant(4);
        QTest::newRow("DL_SINTH_FREQ") << tx + "DL_SINTH_FREQ=868000000" << "tx.dl_sinth_freq_" << QVariant(868000000);
        QTest::newRow("DL_FILTER_OFFSET") << tx + "DL_FILTER_OFFSET=-2000" << "tx.dl_filter_offset_" << QVariant(-2000);
        QTest::newRow("DL_SINTH_FREQ_STEP") << tx + "DL_SINTH_FREQ_STEP=50000" << "tx.dl_sinth_freq_step_" << QVariant(50000);
        QTest::newRow("DL_SINTH_BANDWIDTH") << tx + "DL_SINTH_BANDWIDTH=2000000" << "tx.dl_sinth_bandwidth_" << QVariant(2000000);
        QTest::newRow("SEND_DL") << tx + "SEND_DL=1" << "tx.send_dl_" << QVariant(true);
        QTest::newRow("DIG_MOD") << tx + "DIG_MOD=false" << "tx.dig_mod_" << QVariant(false);
        QTest::newRow("MAX_POWER") << tx + "MAX_POWER=20" << "tx.max_power_" << QVariant(20);
        QTest::newRow("MAX_POWER garbage") << tx + "MAX_POWER=max" << "tx.max_power_" << U(26);
        QTest::newRow("MAX_DUTY_CYCLE") << tx + "MAX_DUTY_CYCLE=10" << "tx.max_duty_cycle_" << U(10);
        QTest::newRow("LBT") << tx + "LBT=true" << "tx.lbt_" << QVariant(true);
        const QByteArray cm = "[Comunications]\n";
        QTest::newRow("PortNum") << cm + "PortNum=/dev/ttyUSB0" << "comm.serialPortName_" << QVariant(QStringLiteral("/dev/ttyUSB0"));
        QTest::newRow("BaudeRate") << cm + "BaudeRate=115200" << "comm.baudRate_" << QVariant(115200);
        QTest::newRow("BaudeRate garbage") << cm + "BaudeRate=fast" << "comm.baudRate_" << invalid;
        QTest::newRow("SLIP_CRC") << cm + "SLIP_CRC=true" << "comm.slip_crc_" << QVariant(true);
        const QByteArray rabbit = "ENABLE=true\nR_LOGIN=login\nR_EXCHANGE=ex\nR_ROUTING_KEY=rk\nR_VHOST=/\nHAS_UL=true\n"
                                  "HAS_DL=false\nHAS_CMD=1\nR_HOST=h\nR_USER=u\nR_PASS=p\nSAVE_TO_DISK=true\nLOG_FILE_PATH=sec.log\n";
        for (const char* group : {"SECONDARY_RABBIT", "THIRD_RABBIT"}) {
            const QByteArray ini = "[" + QByteArray(group) + "]\n" + rabbit;
            const QString r = QLatin1String(group[0] == 'S' ? "sec" : "third");
            const QString other = QLatin1String(group[0] == 'S' ? "third" : "sec");
            auto row = [&](const char* f, const QVariant& v) {
                QTest::newRow(qPrintable(QStringLiteral("%1 %2").arg(QLatin1String(group), QLatin1String(f))))
                    << ini << r + QLatin1Char('.') + QLatin1String(f) << v;
            };
            row("enable_", true);
            row("r_login_", QStringLiteral("login"));
            row("r_exchange_", QStringLiteral("ex"));
            row("r_routing_key_", QStringLiteral("rk"));
            row("r_vhost_", QStringLiteral("/"));
            row("has_ul_", true);
            row("has_dl_", false);
            row("has_cmd_", true);
            row("r_host_", QStringLiteral("h"));
            row("r_user_", QStringLiteral("u"));
            row("r_pass_", QStringLiteral("p"));
            row("save_to_disk_", true);
            row("log_file_path_", QStringLiteral("sec.log"));
            QTest::newRow(qPrintable(QStringLiteral("%1 leaves the other link").arg(QLatin1String(group))))
                << ini << other + QStringLiteral(".enable_") << invalid;
        }
    }
    void conversions()
    {
        QFETCH(QByteArray, ini);
        QFETCH(QString, field);
        QFETCH(QVariant, expected);
        SettingsController c;
        QVERIFY(c.initController(writeIni(ini + "\n")));
        compareField(c, field, expected);
    }

    // Every key at once, each with a value other than its default, so that a misspelt key in
    // the reader (which would leave the default) fails its row.
    void everyKeyWithAnotherValue_data()
    {
        QTest::addColumn<QString>("field");
        QTest::addColumn<QVariant>("expected");
        auto row = [](const char* name, const char* field, const QVariant& v) { QTest::newRow(name) << field << v; };
        row("TCP_RS", "bs.tcp_rs_", QStringList{"10.1.1.1:7000", "10.1.1.2:7001"});
        row("TCP_RS_TIMEOUT", "bs.tcp_rs_timeout_", 31);
        row("TCP_PORT", "bs.tcp_port_", 17001);
        row("TCP_TTL", "bs.tcp_ttl_", 32 * 60);
        row("TCP_TTL_TIMEOUT", "bs.tcp_ttl_timeout_", 33 * 60);
        row("GPIO_LED_GREEN", "bs.gpio_led_green", 21);
        row("GPIO_LED_RED", "bs.gpio_led_red", 22);
        row("GPIO_PPS_EN", "bs.gpio_pps_en", 23);
        row("GPIO_DI", "bs.gpio_di", 24);
        row("QORM", "bs.qorm_", false);
        row("BS_ID", "bs.base_id_", 4242);
        row("LOG_FILE_PATH", "bs.logpath_", QStringLiteral("/tmp/other.log"));
        row("ERR_LOG_FILE_PATH", "bs.errlogpath_", QStringLiteral("/tmp/other.db3"));
        row("LOGOFFSET raw", "bs.LogOffsetRaw_", 250.0f);
        row("LOGOFFSET", "bs.LogOffset_", 198.0f);
        row("IF_FREQ", "bs.if_freq_", 140000001u);
        row("UL_FREQ", "bs.uplink_freq_", 869000002u);
        row("IF_FREQ2", "bs.if_freq2_", 140000003u);
        row("UPDATE_ARTIX_ON_START", "bs.update_artix_on_start_", true);
        row("USE_WINDOW", "bs.use_window_", true);
        row("EXT_FILTER", "bs.ext_filter_", true);
        row("ONE_SEC_PULSE_TESTER", "bs.use_one_sec_pulse_test_", true);
        row("STREAM_OFFSET", "bs.stream_offset_", 25);
        row("SAVE_TO_DISK", "bs.save_to_disk_", true);
        row("THRESHOLD_50", "bs.threshold50_", 101);
        row("THRESHOLD_125", "bs.threshold125_", 102);
        row("THRESHOLD_400", "bs.threshold400_", 103);
        row("THRESHOLD_3200", "bs.threshold3200_", 104);
        row("THRESHOLD_25600", "bs.threshold25600_", 105);
        row("USE_BINARY", "bs.use_binary_", false);
        row("R_HOST", "bs.r_host_", QStringLiteral("host-text"));
        row("R_USER", "bs.r_user_", QStringLiteral("user-text"));
        row("R_PASS", "bs.r_pass_", QStringLiteral("pass-text"));
        row("R_LOGIN", "bs.r_login_", QStringLiteral("login-text"));
        row("R_ROUTING_KEY", "bs.r_routing_key_", QStringLiteral("routing.key"));
        row("R_EXCHANGE", "bs.r_exchange_", QStringLiteral("exchange.name"));
        row("R_VHOST", "bs.r_vhost_", QStringLiteral("vhost-name"));
        row("MESLOG_TTL", "bs.meslog_ttl_", 45);
        row("MODE", "bs.mode_", QStringLiteral("mode-text"));
        row("TIME_SYNC", "bs.time_sync_", false);
        row("NTP", "bs.ntp_", false);
        row("BS_TYPE", "bs.bs_type", int(Quabo));
        row("AT86_LNA_LEVEL", "bs.lna_level", 7u);
        row("REV_LO", "rev_lo", false);
        row("K0..K5", "bs.koeffs", QStringLiteral("0=1 1=2 2=3 3=4 4=5 5=6"));
        row("AUTO_CORRECTION", "tx.need_auto_correction_", false);
        row("DL_FREQS", "tx.dl_freqs_", QStringLiteral("868100000,868200000"));
        row("FREQ_PLANS", "tx.plans", QStringLiteral("3:30,31"));
        row("DL_FREQ", "tx.dl_freq_", 868300000);
        row("DL_FREQ2", "tx.dl_freq2_", 868400000);
        row("DL_SAVE_WINDOW", "tx.dl_save_window_", 0.5);
        row("DL_CH_COUNT", "tx.dl_ch_count_", 3);
        row("DL_SINTH_FREQ", "tx.dl_sinth_freq_", 867000000);
        row("DL_FILTER_OFFSET", "tx.dl_filter_offset_", 1500);
        row("DL_SINTH_FREQ_STEP", "tx.dl_sinth_freq_step_", 25000);
        row("DL_SINTH_BANDWIDTH", "tx.dl_sinth_bandwidth_", 1000000);
        row("SEND_DL", "tx.send_dl_", false);
        row("DIG_MOD", "tx.dig_mod_", true);
        row("MAX_POWER", "tx.max_power_", 14);
        row("MAX_DUTY_CYCLE", "tx.max_duty_cycle_", 7u);
        row("LBT", "tx.lbt_", true);
        row("PortNum", "comm.serialPortName_", QStringLiteral("/dev/ttyS9"));
        row("BaudeRate", "comm.baudRate_", 57600);
        row("SLIP_CRC", "comm.slip_crc_", false);
        // The two extra links get different values, so that neither reads the other's group.
        for (const char* rec : {"sec", "third"}) {
            const QString r = QLatin1String(rec);
            const QString tag = r == QLatin1String("sec") ? QStringLiteral("2") : QStringLiteral("3");
            const bool second = r == QLatin1String("sec");
            auto linkRow = [&](const char* f, const QVariant& v) {
                QTest::newRow(qPrintable(r + QLatin1Char(' ') + QLatin1String(f))) << r + QLatin1Char('.') + QLatin1String(f) << v;
            };
            linkRow("enable_", second);
            linkRow("has_cmd_", !second);
            linkRow("has_dl_", second);
            linkRow("has_ul_", !second);
            linkRow("r_host_", QVariant(QStringLiteral("host") + tag));
            linkRow("r_pass_", QVariant(QStringLiteral("pass") + tag));
            linkRow("r_user_", QVariant(QStringLiteral("user") + tag));
            linkRow("r_login_", QVariant(QStringLiteral("login") + tag));
            linkRow("r_exchange_", QVariant(QStringLiteral("exchange") + tag));
            linkRow("r_routing_key_", QVariant(QStringLiteral("key") + tag));
            linkRow("r_vhost_", QVariant(QStringLiteral("vhost") + tag));
            linkRow("save_to_disk_", true);
            linkRow("log_file_path_", QVariant(QStringLiteral("link%1.log").arg(tag)));
        }
    }
    void everyKeyWithAnotherValue()
    {
        QFETCH(QString, field);
        QFETCH(QVariant, expected);
        static const QByteArray ini =
            "[BASE_STATION]\n"
            "TCP_RS=\"10.1.1.1:7000,10.1.1.2:7001\"\nTCP_RS_TIMEOUT=31\nTCP_PORT=17001\nTCP_TTL=32\nTCP_TTL_TIMEOUT=33\n"
            "GPIO_LED_GREEN=21\nGPIO_LED_RED=22\nGPIO_PPS_EN=23\nGPIO_DI=24\nQORM=false\nBS_ID=4242\n"
            "LOG_FILE_PATH=/tmp/other.log\nERR_LOG_FILE_PATH=/tmp/other.db3\nLOGOFFSET=250\n"
            "IF_FREQ=140000001\nUL_FREQ=869000002\nIF_FREQ2=140000003\nUPDATE_ARTIX_ON_START=true\n"
            "USE_WINDOW=true\nEXT_FILTER=true\nONE_SEC_PULSE_TESTER=true\nSTREAM_OFFSET=25\nSAVE_TO_DISK=true\n"
            "THRESHOLD_50=101\nTHRESHOLD_125=102\nTHRESHOLD_400=103\nTHRESHOLD_3200=104\nTHRESHOLD_25600=105\n"
            "USE_BINARY=false\nR_HOST=host-text\nR_USER=user-text\nR_PASS=pass-text\nR_LOGIN=login-text\n"
            "R_ROUTING_KEY=routing.key\nR_EXCHANGE=exchange.name\nR_VHOST=vhost-name\nMESLOG_TTL=45\n"
            "MODE=mode-text\nTIME_SYNC=false\nNTP=false\nBS_TYPE=QUABO_TYPE\nAT86_LNA_LEVEL=7\n"
            "[ADF4350]\nREV_LO=false\nK0=1\nK1=2\nK2=3\nK3=4\nK4=5\nK5=6\n"
            "[TRANSMITTER]\nAUTO_CORRECTION=false\nDL_FREQS=\"868100000,868200000\"\nFREQ_PLANS=\"3:30,31\"\n"
            "DL_FREQ=868300000\nDL_FREQ2=868400000\nDL_SAVE_WINDOW=0.5\nDL_CH_COUNT=3\nDL_SINTH_FREQ=867000000\n"
            "DL_FILTER_OFFSET=1500\nDL_SINTH_FREQ_STEP=25000\nDL_SINTH_BANDWIDTH=1000000\nSEND_DL=false\n"
            "DIG_MOD=true\nMAX_POWER=14\nMAX_DUTY_CYCLE=7\nLBT=true\n"
            "[Comunications]\nPortNum=/dev/ttyS9\nBaudeRate=57600\nSLIP_CRC=false\n"
            "[SECONDARY_RABBIT]\nENABLE=true\nHAS_CMD=false\nHAS_DL=true\nHAS_UL=false\nR_HOST=host2\nR_PASS=pass2\n"
            "R_USER=user2\nR_LOGIN=login2\nR_EXCHANGE=exchange2\nR_ROUTING_KEY=key2\nR_VHOST=vhost2\n"
            "SAVE_TO_DISK=true\nLOG_FILE_PATH=link2.log\n"
            "[THIRD_RABBIT]\nENABLE=false\nHAS_CMD=true\nHAS_DL=false\nHAS_UL=true\nR_HOST=host3\nR_PASS=pass3\n"
            "R_USER=user3\nR_LOGIN=login3\nR_EXCHANGE=exchange3\nR_ROUTING_KEY=key3\nR_VHOST=vhost3\n"
            "SAVE_TO_DISK=true\nLOG_FILE_PATH=link3.log\n";
        SettingsController defaults;
        QVERIFY(defaults.initController(writeIni(QByteArray())));
        QVERIFY2(settingsField(defaults, field) != expected, qPrintable(field + QStringLiteral(": the row repeats the default")));
        SettingsController c;
        QVERIFY(c.initController(writeIni(ini)));
        compareField(c, field, expected);
    }

    void koeffs_data()
    {
        QTest::addColumn<QByteArray>("ini");
        QTest::addColumn<QString>("expected");
        QTest::newRow("plain hex") << QByteArray("K0=580005") << "0=5767173";
        QTest::newRow("0x prefix") << QByteArray("K0=0x580005") << "0=5767173";
        QTest::newRow("garbage gives no entry") << QByteArray("K1=10\nK2=zz\nK3=3") << "1=16 3=3";
        QTest::newRow("absent gives no entry") << QByteArray("K0=1\nK1=2\nK2=3\nK3=4\nK5=6") << "0=1 1=2 2=3 3=4 5=6";
        QTest::newRow("full word") << QByteArray("K5=FFFFFFFF") << "5=4294967295";
        QTest::newRow("negative refused") << QByteArray("K4=-1") << "";
        QTest::newRow("beyond 32 bits refused") << QByteArray("K4=100000000") << "";
        QTest::newRow("empty refused") << QByteArray("K0=") << "";
    }
    void koeffs()
    {
        QFETCH(QByteArray, ini);
        QFETCH(QString, expected);
        SettingsController c;
        QVERIFY(c.initController(writeIni("[ADF4350]\n" + ini + "\n")));
        QCOMPARE(settingsField(c, QStringLiteral("bs.koeffs")).toString(), expected);
    }

    void dlFreqs_data()
    {
        QTest::addColumn<QByteArray>("ini");
        QTest::addColumn<QString>("expected");
        QTest::newRow("quoted pair") << QByteArray("DL_FREQS=\"869100000,869200000\"") << "869100000,869200000";
        QTest::newRow("unquoted pair") << QByteArray("DL_FREQS=869100000,869200000") << "869100000,869200000";
        QTest::newRow("unquoted with blanks") << QByteArray("DL_FREQS=869100000, 869200000") << "869100000,869200000";
        QTest::newRow("single") << QByteArray("DL_FREQS=869100000") << "869100000";
        QTest::newRow("beyond int is a valid unsigned") << QByteArray("DL_FREQS=3000000000") << "3000000000";
        QTest::newRow("empty and garbage parts skipped") << QByteArray("DL_FREQS=\"869100000,,x,869200000,\"") << "869100000,869200000";
        QTest::newRow("nothing usable falls back") << QByteArray("DL_FREQS=x,y\nDL_FREQ=869300000") << "869300000";
        QTest::newRow("empty value falls back") << QByteArray("DL_FREQS=") << "446000000";
        QTest::newRow("absent, DL_FREQ and DL_FREQ2") << QByteArray("DL_FREQ2=869500000\nDL_FREQ=869400000") << "869400000,869500000";
        QTest::newRow("absent, DL_FREQ only") << QByteArray("DL_FREQ=869400000") << "869400000";
        QTest::newRow("absent, nothing") << QByteArray() << "446000000";
        QTest::newRow("DL_FREQS wins over DL_FREQ") << QByteArray("DL_FREQ=1\nDL_FREQS=2,3") << "2,3";
    }
    void dlFreqs()
    {
        QFETCH(QByteArray, ini);
        QFETCH(QString, expected);
        SettingsController c;
        QVERIFY(c.initController(writeIni("[TRANSMITTER]\n" + ini + "\n")));
        QCOMPARE(settingsField(c, QStringLiteral("tx.dl_freqs_")).toString(), expected);
    }

    void freqPlans_data()
    {
        QTest::addColumn<QByteArray>("ini");
        QTest::addColumn<QString>("expected");
        QTest::newRow("quoted") << QByteArray("FREQ_PLANS=\"1:10,11|2:12|7\"") << "1:10,11|2:12";
        QTest::newRow("unquoted") << QByteArray("FREQ_PLANS=1:10,11|2:12|7") << "1:10,11|2:12";
        QTest::newRow("three pieces skipped") << QByteArray("FREQ_PLANS=\"1:10,11|2:12|3:1:2\"") << "1:10,11|2:12";
        QTest::newRow("garbage plan skipped") << QByteArray("FREQ_PLANS=\"x:10|2:12\"") << "2:12";
        QTest::newRow("garbage code skipped") << QByteArray("FREQ_PLANS=\"1:10,zz,11\"") << "1:10,11";
        QTest::newRow("empty part skipped") << QByteArray("FREQ_PLANS=\"|1:10||\"") << "1:10";
        QTest::newRow("plan without codes kept") << QByteArray("FREQ_PLANS=\"4:\"") << "4:";
        QTest::newRow("empty") << QByteArray("FREQ_PLANS=") << "";
        QTest::newRow("absent") << QByteArray() << "";
    }
    void freqPlans()
    {
        QFETCH(QByteArray, ini);
        QFETCH(QString, expected);
        SettingsController c;
        QVERIFY(c.initController(writeIni("[TRANSMITTER]\n" + ini + "\n")));
        QCOMPARE(settingsField(c, QStringLiteral("tx.plans")).toString(), expected);
    }

    void thresholds_data()
    {
        QTest::addColumn<int>("bitrate");
        QTest::addColumn<int>("expected");
        QTest::newRow("50") << int(bt50) << 100;
        QTest::newRow("125") << int(bt125) << 200;
        QTest::newRow("400") << int(bt400) << 300;
        QTest::newRow("3200") << int(bt3200) << 65535;
        QTest::newRow("25600 default") << int(bt25600) << 800;
        QTest::newRow("unknown") << int(bt_Unknown) << 0;
        QTest::newRow("not a bit rate") << 100 << 0;
    }
    void thresholds()
    {
        QFETCH(int, bitrate);
        QFETCH(int, expected);
        SettingsController c;
        QVERIFY(c.initController(writeIni("[BASE_STATION]\nTHRESHOLD_50=100\nTHRESHOLD_125=200\nTHRESHOLD_400=300\n"
                                          "THRESHOLD_3200=70000\n")));
        QCOMPARE(int(c.getThreshold(BS_Bitrates(bitrate))), expected);
    }

    // One odd line must not cost the station its other settings.
    void formatErrorStillApplies()
    {
        MessageCapture capture;
        SettingsController c;
        const QString path = writeIni("[BASE_STATION\nBS_ID=12\nR_HOST=abc\n[TRANSMITTER]\nDL_FREQ=869000000\n");
        QVERIFY(c.initController(path));
        QCOMPARE(c.getBS_Params().base_id_, QVariant(12));
        QCOMPARE(c.getBS_Params().r_host_, QVariant(QStringLiteral("abc")));
        QCOMPARE(c.getTransmitterParams().dl_freqs_, QList<quint32>{869000000u});
        QCOMPARE(capture.count(QStringLiteral("format errors")), 1);
        QVERIFY(c.setValue(QStringLiteral("BASE_STATION"), QStringLiteral("BS_ID"), 13));
        QCOMPARE(c.getBS_Params().base_id_, QVariant(13));
        QCOMPARE(c.getBS_Params().r_host_, QVariant(QStringLiteral("abc")));
    }

    void skippedValuesAreLogged()
    {
        MessageCapture capture;
        SettingsController c;
        QVERIFY(c.initController(writeIni("[ADF4350]\nK2=zz\n[TRANSMITTER]\nDL_FREQS=\"1,x\"\nFREQ_PLANS=\"1:q\"\n")));
        QCOMPARE(capture.count(QStringLiteral("ADF4350/K2")), 1);
        QCOMPARE(capture.count(QStringLiteral("TRANSMITTER/DL_FREQS")), 1);
        QCOMPARE(capture.count(QStringLiteral("TRANSMITTER/FREQ_PLANS")), 1);
    }

    void updateArtixFalseWarnsOnce()
    {
        MessageCapture capture;
        SettingsController c;
        const QString path = writeIni("[BASE_STATION]\nUPDATE_ARTIX_ON_START=false\n");
        QVERIFY(c.initController(path));
        QVERIFY(c.initController(path));
        QCOMPARE(capture.count(QStringLiteral("UPDATE_ARTIX_ON_START=false still enables the firmware update; "
                                              "remove the key to disable it")),
                 1);
        SettingsController quiet;
        capturedMessages.clear();
        QVERIFY(quiet.initController(writeIni("[BASE_STATION]\nUPDATE_ARTIX_ON_START=true\n")));
        QCOMPARE(capture.count(QStringLiteral("UPDATE_ARTIX_ON_START")), 0);
    }

    // Warnings reach the sink (the station log) once each, also those found before it was
    // set, and also across re-reads of the same file.
    void warningsReachTheSinkOnce()
    {
        MessageCapture capture;
        SettingsController c;
        QVERIFY(!c.initController(dir.filePath(QStringLiteral("absent.ini"))));
        const QString path = writeIni("[BASE_STATION]\nBS_ID=4x\nBS_TYPE=QORM5_TYPE\n[TRANSMITTER]\nDL_FREQS=\"1,x\"\n");
        QVERIFY(c.initController(path));
        QStringList told;
        c.setWarningSink([&](const QString& text) { told << text; });
        QVERIFY(c.initController(path));
        QVERIFY(c.setValue(QStringLiteral("BASE_STATION"), QStringLiteral("MODE"), QStringLiteral("x")));
        QCOMPARE(told, QStringList({
                           QStringLiteral("INI file not found: ") + dir.filePath(QStringLiteral("absent.ini")),
                           QStringLiteral("INI BASE_STATION/BS_ID: value \"4x\" is not a valid number, ignored"),
                           QStringLiteral("INI BASE_STATION/BS_TYPE: unknown station type \"QORM5_TYPE\"; accepted: "
                                          "QORM_TYPE, QORM7_TYPE, QORM_LTE_TYPE, QUABO_TYPE, TCPBS_TYPE"),
                           QStringLiteral("INI TRANSMITTER/DL_FREQS: part \"x\" skipped: not a frequency"),
                       }));
        QCOMPARE(c.getBS_Params().bs_type, Unknown_Type);
        QCOMPARE(capture.count(QStringLiteral("BASE_STATION/BS_ID")), 1);
    }

    // The bool rule stays (files in the field rely on it); a value other than empty, 0, 1, true
    // and false is named once with how it reads.
    void boolValuesNamed_data()
    {
        QTest::addColumn<QByteArray>("value");
        QTest::addColumn<bool>("reads");
        QTest::addColumn<bool>("named");
        QTest::newRow("no") << QByteArray("no") << true << true;
        QTest::newRow("off") << QByteArray("off") << true << true;
        QTest::newRow("yes") << QByteArray("yes") << true << true;
        QTest::newRow("2") << QByteArray("2") << true << true;
        QTest::newRow("TRUE") << QByteArray("TRUE") << true << false;
        QTest::newRow("empty") << QByteArray("") << false << false;
        QTest::newRow("False") << QByteArray("False") << false << false;
        QTest::newRow("0") << QByteArray("0") << false << false;
        QTest::newRow("1") << QByteArray("1") << true << false;
    }
    void boolValuesNamed()
    {
        QFETCH(QByteArray, value);
        QFETCH(bool, reads);
        QFETCH(bool, named);
        MessageCapture capture;
        SettingsController c;
        QStringList told;
        c.setWarningSink([&](const QString& text) { told << text; });
        const QString path = writeIni("[TRANSMITTER]\nSEND_DL=" + value + "\n[SECONDARY_RABBIT]\nHAS_DL=" + value + "\n");
        QVERIFY(c.initController(path));
        QVERIFY(c.initController(path));
        QCOMPARE(c.getTransmitterParams().send_dl_, QVariant(reads));
        QCOMPARE(c.getSecondaryRabbitParams().has_dl_, QVariant(reads));
        const auto line = [&](const char* key) {
            return QStringLiteral("INI %1: \"%2\" reads as %3 (only empty, 0 and false are false)")
                .arg(QLatin1String(key), QString::fromLatin1(value), reads ? QStringLiteral("true") : QStringLiteral("false"));
        };
        const QStringList expected = named ? QStringList{line("TRANSMITTER/SEND_DL"), line("SECONDARY_RABBIT/HAS_DL")} : QStringList();
        QCOMPARE(told, expected);
        QCOMPARE(capturedMessages, expected); // standard error: the same, once each
    }

    // Keys and groups the station passes over are named once, as such; those the station's own
    // commands write are not.
    void unreadKeysNamed_data()
    {
        QTest::addColumn<QByteArray>("ini");
        QTest::addColumn<QStringList>("expected");
        QTest::newRow("misspelt key") << QByteArray("[BASE_STATION]\nR_LOGNI=amqp://u:p@h/\nBS_ID=5\n")
                                      << QStringList{"INI BASE_STATION/R_LOGNI: not read by the station"};
        QTest::newRow("misspelt group") << QByteArray("[BASE_STATION]\nBS_ID=5\n[TRANSMITER]\nSEND_DL=true\nDL_FREQ=869000000\n")
                                        << QStringList{"INI [TRANSMITER]: group not read by the station"};
        QTest::newRow("group in another letter case") << QByteArray("[communications]\nPortNum=/dev/ttyS0\n")
                                                      << QStringList{"INI [communications]: group not read by the station"};
        QTest::newRow("key before any group") << QByteArray("BS_ID=5\n[BASE_STATION]\nMODE=x\n")
                                              << QStringList{"INI BS_ID: outside any group, not read by the station"};
        QTest::newRow("key of another group") << QByteArray("[SECONDARY_RABBIT]\nENABLE=true\nDL_FREQ=1\n[ADF4350]\nK6=1\n")
                                              << QStringList{"INI ADF4350/K6: not read by the station",
                                                             "INI SECONDARY_RABBIT/DL_FREQ: not read by the station"};
        QTest::newRow("keys the commands write")
            << QByteArray("[BASE_STATION]\nUL_FREQ2=868400000\nMESLOG_TTL=60\nHAS_UL=true\nHAS_DL=true\nHAS_CMD=true\n"
                          "ENABLE=true\n[TRANSMITTER]\nMESLOG_TTL=60\n")
            << QStringList();
        QTest::newRow("every group read") << QByteArray("[BASE_STATION]\nBS_ID=1\n[ADF4350]\nK0=1\n[TRANSMITTER]\nLBT=false\n"
                                                        "[Comunications]\nPortNum=x\n[SECONDARY_RABBIT]\nENABLE=false\n"
                                                        "[THIRD_RABBIT]\nENABLE=false\n")
                                          << QStringList();
        QStringList many;
        for (int i = 1; i <= 20; ++i)
            many << QStringLiteral("INI BASE_STATION/X%1: not read by the station").arg(i, 2, 10, QLatin1Char('0'));
        many << QStringLiteral("INI: 5 more keys or groups not read by the station");
        QByteArray manyIni("[BASE_STATION]\n");
        for (int i = 1; i <= 25; ++i)
            manyIni += QStringLiteral("X%1=1\n").arg(i, 2, 10, QLatin1Char('0')).toLatin1();
        QTest::newRow("25 keys: 20 named, the rest counted") << manyIni << many;
    }
    void unreadKeysNamed()
    {
        QFETCH(QByteArray, ini);
        QFETCH(QStringList, expected);
        MessageCapture capture;
        SettingsController c;
        QStringList told;
        c.setWarningSink([&](const QString& text) { told << text; });
        const QString path = writeIni(ini);
        QVERIFY(c.initController(path));
        QVERIFY(c.initController(path));
        QCOMPARE(told, expected);
        QCOMPARE(capturedMessages, expected);
    }

    // The keys "change_params" writes for "ul_freq2" and "meslog_ttl" are the station's own.
    void keysWrittenByCommandsNotNamed()
    {
        SettingsController c;
        QStringList told;
        c.setWarningSink([&](const QString& text) { told << text; });
        QVERIFY(c.initController(writeIni("[BASE_STATION]\nBS_ID=7\n")));
        QString error;
        const auto replace = [](const QString& path, const QByteArray& content, QString*) {
            QFile f(path);
            return f.open(QIODevice::WriteOnly | QIODevice::Truncate) && f.write(content) == content.size();
        };
        QVERIFY2(c.setValues({{QStringLiteral("BASE_STATION"), QStringLiteral("UL_FREQ2"), 868400000},
                              {QStringLiteral("BASE_STATION"), QStringLiteral("MESLOG_TTL"), 60},
                              {QStringLiteral("TRANSMITTER"), QStringLiteral("MESLOG_TTL"), 60}},
                             replace, &error),
                 qPrintable(error));
        QCOMPARE(c.getBS_Params().meslog_ttl_, QVariant(60));
        QCOMPARE(told, QStringList());
    }

    void setValueRoundTrips_data()
    {
        QTest::addColumn<QString>("group");
        QTest::addColumn<QString>("key");
        QTest::addColumn<QVariant>("value");
        QTest::addColumn<QString>("field");
        QTest::addColumn<QVariant>("expected");
        QTest::newRow("int") << "BASE_STATION" << "BS_ID" << QVariant(42) << "bs.base_id_" << QVariant(42);
        QTest::newRow("bool false") << "BASE_STATION" << "USE_BINARY" << QVariant(false) << "bs.use_binary_" << QVariant(false);
        QTest::newRow("bool true") << "TRANSMITTER" << "SEND_DL" << QVariant(true) << "tx.send_dl_" << QVariant(true);
        QTest::newRow("text") << "BASE_STATION" << "R_HOST" << QVariant(QStringLiteral("xyz==")) << "bs.r_host_"
                              << QVariant(QStringLiteral("xyz=="));
        QTest::newRow("text with comma") << "BASE_STATION" << "MODE" << QVariant(QStringLiteral("a,b")) << "bs.mode_"
                                         << QVariant(QStringLiteral("a,b"));
        QTest::newRow("list") << "BASE_STATION" << "TCP_RS" << QVariant(QStringList{"h1:1", "h2:2"}) << "bs.tcp_rs_"
                              << QVariant(QStringList{"h1:1", "h2:2"});
        QTest::newRow("new key") << "BASE_STATION" << "TCP_TTL" << QVariant(3) << "bs.tcp_ttl_" << QVariant(180);
        QTest::newRow("new group") << "THIRD_RABBIT" << "ENABLE" << QVariant(true) << "third.enable_" << QVariant(true);
        QTest::newRow("freq plans") << "TRANSMITTER" << "FREQ_PLANS" << QVariant(QStringLiteral("5:20,21|6:22"))
                                    << "tx.plans" << QVariant(QStringLiteral("5:20,21|6:22"));
        QTest::newRow("dl freqs") << "TRANSMITTER" << "DL_FREQS" << QVariant(QStringLiteral("1,2,3")) << "tx.dl_freqs_"
                                  << QVariant(QStringLiteral("1,2,3"));
        QTest::newRow("hex word") << "ADF4350" << "K4" << QVariant(QStringLiteral("0x10")) << "bs.koeffs"
                                  << QVariant(QStringLiteral("0=5767173 4=16"));
    }
    void setValueRoundTrips()
    {
        QFETCH(QString, group);
        QFETCH(QString, key);
        QFETCH(QVariant, value);
        QFETCH(QString, field);
        QFETCH(QVariant, expected);
        const QString path = writeIni("; station file\n[BASE_STATION]\nBS_ID=7\nR_PASS=\"p,q\"\n"
                                      "[TRANSMITTER]\nFREQ_PLANS=\"1:10,11|2:12|3:13\"\nDL_FREQ=869000000\n"
                                      "[ADF4350]\nK0=580005\n[SECONDARY_RABBIT]\nR_VHOST=/sec\n");
        SettingsController c;
        QVERIFY(c.initController(path));
        const BaseStationParams& live = c.getBS_Params();
        const BaseStationParams before = c.getBS_ParamsCopy();
        QVERIFY(c.setValue(group, key, value));
        compareField(c, field, expected);
        // Every other key survives the write.
        if (key != QLatin1String("BS_ID"))
            QCOMPARE(c.getBS_Params().base_id_, QVariant(7));
        QCOMPARE(c.getBS_Params().r_pass_, QVariant(QStringLiteral("p,q")));
        QCOMPARE(c.getSecondaryRabbitParams().r_vhost_, QVariant(QStringLiteral("/sec")));
        if (key != QLatin1String("FREQ_PLANS"))
            QCOMPARE(settingsField(c, QStringLiteral("tx.plans")).toString(), QStringLiteral("1:10,11|2:12|3:13"));
        // The reference sees the re-read, a copy taken before does not.
        QCOMPARE(&live, &c.getBS_Params());
        QCOMPARE(before.base_id_, QVariant(7));
        // A fresh controller reads the same from disk.
        SettingsController again;
        QVERIFY(again.initController(path));
        compareField(again, field, expected);
    }

    void setValueFileRemoved()
    {
        const QString path = writeIni("[BASE_STATION]\nBS_ID=7\n");
        SettingsController c;
        QVERIFY(c.initController(path));
        QVERIFY(QFile::remove(path));
        QVERIFY(!c.setValue(QStringLiteral("BASE_STATION"), QStringLiteral("BS_ID"), 8));
        QCOMPARE(c.getBS_Params().base_id_, QVariant(7));
        QCOMPARE(c.getBS_Params().bs_type, QORM);
        QVERIFY(!QFile::exists(path)); // nothing half-made in its place
    }

    // As root no permission stops a write, but a folder standing where the file was does.
    void setValueUnwritablePath()
    {
        const QString path = writeIni("[BASE_STATION]\nBS_ID=7\n[TRANSMITTER]\nDL_FREQS=\"1,2\"\n");
        SettingsController c;
        QVERIFY(c.initController(path));
        QVERIFY(QFile::remove(path));
        QVERIFY(QDir().mkdir(path));
        QVERIFY(!c.setValue(QStringLiteral("BASE_STATION"), QStringLiteral("BS_ID"), 8));
        QCOMPARE(c.getBS_Params().base_id_, QVariant(7));
        QCOMPARE(c.getTransmitterParams().dl_freqs_, (QList<quint32>{1u, 2u}));
        QVERIFY(QFileInfo(path).isDir());
        QCOMPARE(QDir(path).entryList(QDir::NoDotAndDotDot | QDir::AllEntries), QStringList());
    }

    void setValueWithoutInit()
    {
        SettingsController c;
        QVERIFY(!c.setValue(QStringLiteral("BASE_STATION"), QStringLiteral("BS_ID"), 8));
        QVERIFY(!c.initController(dir.filePath(QStringLiteral("nope.ini"))));
        QVERIFY(!c.setValue(QStringLiteral("BASE_STATION"), QStringLiteral("BS_ID"), 8));
        QVERIFY(!c.getBS_Params().base_id_.isValid());
    }
};

QTEST_GUILESS_MAIN(TestSettings)
#include "test_settings.moc"
