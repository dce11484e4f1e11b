#pragma once

// A reader on a simulated board with the simulated receiver FPGA, in a thread of its own as
// the station core runs it. Messages and alarms are collected on the test's thread.

#include "QORM_LTE_Pin_Controller.h"
#include "QORM_Pin_Controller.h"
#include "Quabo_Pin_Controller.h"
#include "Quabo_Reader.h"
#include "SettingsController.h"
#include "SimReceiverFpga.h"
#include "qorm_reader.h"

#include <QDir>
#include <QFile>
#include <QObject>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>
#include <QtTest>
#include <memory>

class ReaderStation : public QObject
{
    Q_OBJECT
public:
    // ini: extra lines for the BASE_STATION group.
    ReaderStation(BS_Type board, const QByteArray& ini = QByteArray(), bool board_fails = false)
    {
        QVERIFY(dir.isValid());
        QDir::setCurrent(dir.path());
        const char* type = board == Quabo ? "QUABO_TYPE" : board == QORM_LTE ? "QORM_LTE_TYPE" : "QORM_TYPE";
        QFile f(dir.filePath("tolva.ini"));
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write("[BASE_STATION]\nBS_TYPE=" + QByteArray(type) + "\nLOG_FILE_PATH=" + dir.filePath("reader.log").toUtf8()
                + "\nTHRESHOLD_50=1001\nTHRESHOLD_125=1002\nTHRESHOLD_400=1003\nTHRESHOLD_3200=1004\n"
                  "THRESHOLD_25600=1005\nSTREAM_OFFSET=42\n"
                + ini);
        f.close();
        QVERIFY(settings.initController(dir.filePath("tolva.ini")));

        auto w = std::make_unique<SimFpgaPinWorker>(fpga, board);
        worker = w.get();
        worker->set_init_fails(board_fails);
        if (board == Quabo)
            pins = std::make_shared<Quabo_Pin_Controller>(std::move(w));
        else if (board == QORM_LTE)
            pins = std::make_shared<QORM_LTE_Pin_Controller>(std::move(w));
        else
            pins = std::make_shared<QORM_Pin_Controller>(std::move(w));
        if (board == Quabo)
            reader = std::make_unique<Quabo_Reader>(settings, pins);
        else
            reader = std::make_unique<qorm_reader>(settings, pins);
        connect(reader.get(), &IReceiver::message_ready, this,
                [this](QSharedPointer<message_point> m) { messages.append(m); }, Qt::QueuedConnection);
        connect(reader.get(), &IReceiver::alarm_out, this, [this](const QString& a) { alarms.append(a); },
                Qt::QueuedConnection);
        connect(reader.get(), &IReceiver::wrongFirmwareVersion, this, [this](quint32 v) { wrong_firmware.append(v); },
                Qt::QueuedConnection);
    }

    ~ReaderStation() override { stop(); }

    void start()
    {
        reader->init();
        reader->moveToThread(&thread);
        connect(&thread, &QThread::started, reader.get(), &IReceiver::start);
        thread.start();
    }

    // Ends the reader thread; the reader's members may then be read from the test.
    void stop()
    {
        if (!thread.isRunning())
            return;
        QThread* home = QThread::currentThread();
        // The reader comes back to the test's thread with its timers stopped, so the test can
        // look at it and delete it there.
        QMetaObject::invokeMethod(
            reader.get(),
            [this, home] {
                for (QTimer* t : reader->findChildren<QTimer*>())
                    t->stop();
                reader->moveToThread(home);
            },
            Qt::BlockingQueuedConnection);
        thread.quit();
        thread.wait();
    }

    void invoke(const char* slot)
    {
        QMetaObject::invokeMethod(reader.get(), slot, Qt::QueuedConnection);
    }

    void alarm(const QString& text)
    {
        QMetaObject::invokeMethod(reader.get(), "alarm_in", Qt::QueuedConnection, Q_ARG(QString, text));
    }

    QTemporaryDir dir;
    SettingsController settings;
    SimReceiverFpga fpga;
    SimFpgaPinWorker* worker = nullptr;
    std::shared_ptr<Base_Pin_Controller> pins;
    std::unique_ptr<qorm_reader> reader;
    QThread thread;
    QList<QSharedPointer<message_point>> messages;
    QStringList alarms;
    QList<quint32> wrong_firmware;
};
