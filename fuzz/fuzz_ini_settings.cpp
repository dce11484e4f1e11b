// Feeds arbitrary bytes to the settings reader as an INI file and reads every value back the
// way the station's threads do.
#include "SettingsController.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>

#include <cstddef>
#include <cstdint>
#include <unistd.h>

static QString iniPath()
{
    static const QString path =
        QDir::temp().filePath(QStringLiteral("fuzz_ini_settings_%1.ini").arg(::getpid()));
    return path;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static int argc = 1;
    static char name[] = "fuzz_ini_settings";
    static char* argv[] = {name, nullptr};
    static QCoreApplication app(argc, argv);

    QFile file(iniPath());
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return 0;
    file.write(reinterpret_cast<const char*>(data), static_cast<qint64>(size));
    file.close();

    SettingsController settings;
    settings.initController(iniPath());
    (void)settings.getBS_ParamsCopy();
    (void)settings.getTransmitterParams();
    (void)settings.getSerialCommunicationParams();
    (void)settings.getSecondaryRabbitParams();
    (void)settings.getThirdRabbitParams();
    (void)settings.rev_lo();
    for (BS_Bitrates rate : {bt_Unknown, bt50, bt125, bt400, bt3200, bt25600})
        (void)settings.getThreshold(rate);
    return 0;
}
