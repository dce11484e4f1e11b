// Shared records, their meta-types, the result texts and the interfaces across threads.
#include "interfaces/IReceiver.h"
#include "interfaces/ITransmitter.h"
#include "interfaces/IVexaTransmitter.h"
#include "records.h"
#include "vexa_status.h"

#include <QSignalSpy>
#include <QThread>
#include <QtTest>

namespace {

// A receiver that emits one record from its own thread and keeps its reference, as readers do.
class FakeReceiver : public IReceiver {
    Q_OBJECT
public:
    QSharedPointer<message_point> kept;
    receiver_info info() override { return receiver_info(); }
public slots:
    void start() override
    {
        kept = QSharedPointer<message_point>::create();
        kept->ID = 0x123456;
        kept->PAYLOAD[7] = 0xFF;
        emit message_ready(kept);
    }
    void alarm_in(const QString&) override {}
    void stopReader() override {}
    bool init() override { return true; }
};

class FakeTransmitter : public ITransmitter {
    Q_OBJECT
public:
    QList<QSharedPointer<message_point>> uplinks;
    QStringList alarms;
    void init() override {}
    transmitter_info info() override { return transmitter_info(); }
public slots:
    void start() override {}
    void setULMessage(QSharedPointer<message_point> message) override { uplinks.append(message); }
    void queueDLMessage(dl_message_point* message) override { delete message; }
    void alarm_in(const QString& text) override { alarms.append(text); }
    void stopTransmitter() override {}
};

class FakeBackend : public IVexaTransmitter {
    Q_OBJECT
public:
    bool is_phy_supported(const QString& phy) override { return phy == QLatin1String("DL_PSK_200"); }
    quint32 get_transmitter_id() override { return 0; }
    bool isBusy() override { return false; }
    QList<vexa_phy_channel_t> get_supported() override { return {DL_PSK_200}; }
    qint32 get_max_power() override { return 26; }
public slots:
    bool sendDLMessage(dl_message_point*, double) override { return true; }
    bool sendAutocorr(quint32, quint32, qint32) override { return true; }
    void alarm_in(const QString&) override {}
};

} // namespace

class TestRecords : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() { registerRecordMetaTypes(); }

    void newMessagePointIsInitialised()
    {
        message_point m;
        QCOMPARE(m.TYPE, Protocol_C);
        QCOMPARE(m.num_of_copies, 1u);
        QCOMPARE(m.tmp_for_aver_freq, 1u);
        QCOMPARE(m.num_of_copies_1_2, 0u);
        QCOMPARE(m.ID, 0u);
        QCOMPARE(m.FREQ, quint64(0));
        QCOMPARE(m.total, 0u);
        QCOMPARE(m.offset, 0);
        QCOMPARE(int(m.phy), 0);
        QCOMPARE(m.demod_method, Demod_Unknown);
        QVERIFY(m.time.isNull());
        QVERIFY(!m.band && !m.processed && !m.emited && !m.calculated);
        for (unsigned char b : m.packet)
            QCOMPARE(int(b), 0);
        QCOMPARE(m.RSSI, 0.0f);
        QCOMPARE(m.NOISE, 0.0f);
    }

    void payloadAsHex_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QString>("hex");
        QTest::newRow("new record") << QByteArray(8, '\0') << "0000000000000000";
        QTest::newRow("counting, last FF") << QByteArray::fromHex("00010203040506FF") << "00010203040506FF";
        QTest::newRow("upper case") << QByteArray::fromHex("abcdef0a1b2c3d4e") << "ABCDEF0A1B2C3D4E";
    }
    void payloadAsHex()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(QString, hex);
        message_point m;
        memcpy(m.PAYLOAD, bytes.constData(), 8);
        QCOMPARE(m.getPayload(), hex);
    }

    // Assignment copies the decoded message and its radio metrics and keeps the target's own
    // bookkeeping; copy construction copies everything.
    void assignmentKeepsTargetBookkeeping()
    {
        message_point src;
        src.TYPE = Protocol_E;
        src.ID = 77;
        src.CRYPTO_ITER = 3;
        src.FLAGS = 9;
        src.PAYLOAD[0] = 0xAA;
        src.CRYPTO_MIC = 0xABCDEF;
        src.CRC8_D = 0x5A;
        src.RSSI = -120.5f;
        src.MAX_RSSI = -100.f;
        src.MIN_RSSI = -130.f;
        src.SNR = 12.f;
        src.MAX_SNR = 13.f;
        src.MIN_SNR = 11.f;
        src.NOISE = -140.f;
        src.FREQ = 868800123;
        src.time = QDateTime::fromMSecsSinceEpoch(1000);
        src.demod_method = Demod_1_2;
        src.bitrate = 3200;
        src.err_num = 2;
        src.batch_id = 42;
        // Fields that assignment must not touch.
        src.packet[0] = 0x11;
        src.P_CRC = 0x1234;
        src.batch_time = 5;
        src.rotation = 6;
        src.calculated = true;
        src.num_of_copies = 7;
        src.num_of_copies_1_2 = 8;
        src.tmp_for_aver_freq = 9;
        src.processed = true;
        src.emited = true;
        src.total = 10;
        src.offset = -11;
        src.phy = UL_DBPSK_3200_PROT_D;
        src.band = true;

        message_point dst;
        dst.num_of_copies = 3;
        dst.offset = 4;
        dst = src;
        QCOMPARE(dst.TYPE, Protocol_E);
        QCOMPARE(dst.ID, 77u);
        QCOMPARE(dst.CRYPTO_ITER, quint8(3));
        QCOMPARE(dst.FLAGS, quint8(9));
        QCOMPARE(dst.getPayload(), src.getPayload());
        QCOMPARE(dst.CRYPTO_MIC, 0xABCDEFu);
        QCOMPARE(dst.CRC8_D, quint8(0x5A));
        QCOMPARE(dst.RSSI, -120.5f);
        QCOMPARE(dst.MAX_RSSI, -100.f);
        QCOMPARE(dst.MIN_RSSI, -130.f);
        QCOMPARE(dst.SNR, 12.f);
        QCOMPARE(dst.MAX_SNR, 13.f);
        QCOMPARE(dst.MIN_SNR, 11.f);
        QCOMPARE(dst.NOISE, -140.f);
        QCOMPARE(dst.FREQ, quint64(868800123));
        QCOMPARE(dst.time, src.time);
        QCOMPARE(dst.demod_method, Demod_1_2);
        QCOMPARE(dst.bitrate, 3200u);
        QCOMPARE(dst.err_num, quint8(2));
        QCOMPARE(dst.batch_id, 42u);

        QCOMPARE(int(dst.packet[0]), 0);
        QCOMPARE(dst.P_CRC, 0u);
        QCOMPARE(dst.batch_time, 0u);
        QCOMPARE(dst.rotation, 0u);
        QVERIFY(!dst.calculated && !dst.processed && !dst.emited && !dst.band);
        QCOMPARE(dst.num_of_copies, 3u);
        QCOMPARE(dst.num_of_copies_1_2, 0u);
        QCOMPARE(dst.tmp_for_aver_freq, 1u);
        QCOMPARE(dst.total, 0u);
        QCOMPARE(dst.offset, 4);
        QCOMPARE(int(dst.phy), 0);

        const message_point copy(src);
        QCOMPARE(copy.num_of_copies, 7u);
        QCOMPARE(copy.offset, -11);
        QCOMPARE(copy.phy, UL_DBPSK_3200_PROT_D);
        QCOMPARE(int(copy.packet[0]), 0x11);
        QVERIFY(copy.band);
    }

    void newDownlinkAndStatusRecordsAreInitialised()
    {
        dl_message_point dl;
        QCOMPARE(dl.modem_id, 0u);
        QCOMPARE(dl.strength, quint8(0));
        QVERIFY(dl.time_out_dated.isNull());
        QVERIFY(dl.pld_str.isEmpty() && dl.phy.isEmpty() && dl.placeholder.isEmpty());
        QCOMPARE(dl.priority, dl_message_point::PRIORITY_LOW);
        QCOMPARE(dl.freq, 0u);
        QCOMPARE(dl.payload_len, quint8(0));
        for (unsigned char b : dl.payload)
            QCOMPARE(int(b), 0);

        transmitter_info t;
        QVERIFY(t.type.isEmpty() && t.compilation_dt.isNull());
        QCOMPARE(t.max_power, 0);
        QCOMPARE(t.state, 0u);
        QVERIFY(t.base_freqs.isEmpty() && t.freq_plans.isEmpty() && t.dl_bitrates.isEmpty());

        receiver_info r;
        QCOMPARE(r.state, 0u);
        QCOMPARE(r.fpga_info_.fpga_bs_type, Unknown_Type);
        QCOMPARE(r.fpga_info_.firmware_ver, 0u);
        QVERIFY(r.fpga_info_.supported_ul_bitrates_band1.isEmpty());
    }

    void enumerationValues()
    {
        QCOMPARE(int(QORM), 0);
        QCOMPARE(int(QORM_LTE), 3);
        QCOMPARE(int(Unknown_Type), 4);
        QCOMPARE(int(bt25600), 25600);
        QCOMPARE(sizeof(Protocol_Types), size_t(1));
        QCOMPARE(int(Protocol_E), 3);
        QCOMPARE(int(UL_DBPSK_100H_PROT_E), 35);
        QCOMPARE(int(DL_DBPSK_100H_PROT_D), 18);
        QCOMPARE(int(OSC_CAL), 51);
        QCOMPARE(int(Switched_Off), 3);
        QCOMPARE(int(fault), 2);
        QCOMPARE(int(EITHER), 2);
        QCOMPARE(int(CS1), 1);
        QCOMPARE(int(dl_message_point::PRIORITY_HIGHEST), 3);
    }

    void bandsMetaTypeRegisteredOnce()
    {
        const int first = qMetaTypeId<Bands>();
        const int second = qMetaTypeId<Bands>();
        QCOMPARE(first, second);
        QCOMPARE(QMetaType::type("Bands"), first);
    }

    void resultTexts_data()
    {
        QTest::addColumn<int>("code");
        QTest::addColumn<QString>("text");
        QTest::newRow("OK") << int(OK) << "ok error";
        QTest::newRow("ERR") << int(ERR) << "some error";
        QTest::newRow("RF busy") << int(ERR_RF_BUSY) << "rf busy";
        QTest::newRow("ack lost") << int(ERR_ACK_LOST) << "acknowledge lost";
        QTest::newRow("buffer full") << int(ERR_BUFFER_FULL) << "buffer full";
        QTest::newRow("tx timeout") << int(ERR_TX_TIMEOUT) << "transmitt timeout";
        QTest::newRow("6") << 6 << "unknown error";
        QTest::newRow("255") << 255 << "unknown error";
        QTest::newRow("negative") << -1 << "unknown error";
    }
    void resultTexts()
    {
        QFETCH(int, code);
        QFETCH(QString, text);
        QCOMPARE(QString::fromLatin1(vexa_status_text(code)), text);
        if (code >= 0 && code <= 5)
            QCOMPARE(QString::fromLatin1(err_str[code]), text);
        QCOMPARE(QString::fromLatin1(err_str[6]), QStringLiteral("unknown error"));
    }

    // The record crosses from the reader thread to a consumer and on to the sender by a queued
    // call by name; it stays alive while any of them holds it.
    void uplinkRecordCrossesThreads()
    {
        QThread readerThread;
        auto* reader = new FakeReceiver;
        reader->moveToThread(&readerThread);
        connect(&readerThread, &QThread::started, reader, &IReceiver::start);
        connect(&readerThread, &QThread::finished, reader, &QObject::deleteLater);

        FakeTransmitter sender;
        QSignalSpy spy(reader, &IReceiver::message_ready);
        QSharedPointer<message_point> received;
        connect(reader, &IReceiver::message_ready, this, [&](QSharedPointer<message_point> m) {
            received = m;
            QMetaObject::invokeMethod(&sender, "setULMessage", Qt::QueuedConnection,
                                      Q_ARG(QSharedPointer<message_point>, m));
        }, Qt::QueuedConnection);
        readerThread.start();
        QTRY_VERIFY(!received.isNull());
        QTRY_COMPARE(sender.uplinks.size(), 1);
        readerThread.quit();
        readerThread.wait();
        QCOMPARE(received->ID, 0x123456u);
        QCOMPARE(sender.uplinks.first()->getPayload(), QStringLiteral("00000000000000FF"));
        QCOMPARE(spy.count(), 1);
    }

    void interfacesByName()
    {
        FakeTransmitter sender;
        QVERIFY(QMetaObject::invokeMethod(&sender, "alarm_in", Qt::QueuedConnection,
                                          Q_ARG(QString, QStringLiteral("setDLState_true"))));
        QTRY_COMPARE(sender.alarms, QStringList{QStringLiteral("setDLState_true")});

        FakeBackend backend;
        bool sent = false;
        auto* dl = new dl_message_point;
        QVERIFY(QMetaObject::invokeMethod(&backend, "sendDLMessage", Qt::DirectConnection, Q_RETURN_ARG(bool, sent),
                                          Q_ARG(dl_message_point*, dl), Q_ARG(double, 0.0)));
        QVERIFY(sent);
        delete dl;
        QCOMPARE(backend.get_supported(), QList<vexa_phy_channel_t>{DL_PSK_200});
    }
};

QTEST_GUILESS_MAIN(TestRecords)
#include "test_records.moc"
