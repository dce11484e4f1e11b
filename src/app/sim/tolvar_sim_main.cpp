#include "StationMain.h"

#include "DryRunHostCommandRunner.h"
#include "FpgaScenario.h"
#include "SettingsController.h"
#include "SimAt86Transceiver.h"
#include "SimGpsHostCommandRunner.h"
#include "SimReceiverFpga.h"

#include <QCommandLineParser>
#include <QDebug>
#include <QDir>

#include <QStringList>

#include <cmath>
#include <memory>

namespace {
// "<latitude>,<longitude>" within the earth's ranges, or "none" (no fix).
bool parseGpsPosition(const QString& text, double* latitude, double* longitude, bool* fix)
{
    if (text.trimmed() == QLatin1String("none")) {
        *fix = false;
        return true;
    }
    const QStringList parts = text.split(QLatin1Char(','));
    if (parts.size() != 2)
        return false;
    bool latOk = false;
    bool lonOk = false;
    *latitude = parts.at(0).trimmed().toDouble(&latOk);
    *longitude = parts.at(1).trimmed().toDouble(&lonOk);
    *fix = true;
    return latOk && lonOk && std::fabs(*latitude) <= 90.0 && std::fabs(*longitude) <= 180.0;
}
} // namespace

// The station simulated on a PC: the same core on a simulated board whose receiver FPGA plays
// a scenario file; host commands are logged, never run; servers listen on 127.0.0.1 only.
int main(int argc, char** argv)
{
    // They outlive the station, which holds the board worker that talks to them.
    SimReceiverFpga fpga;
    SimAt86Transceiver at86;

    StationEntry entry;
    entry.description = QStringLiteral("Simulated VEXA base station: the TOLVAR core on a simulated board.");
    entry.addOptions = [](QCommandLineParser& parser) {
        parser.addOption(QCommandLineOption(QStringList{QStringLiteral("s"), QStringLiteral("scenario")},
                                            QStringLiteral("Scenario file of the simulated receiver FPGA."),
                                            QStringLiteral("file")));
        parser.addOption(QCommandLineOption(QStringList{QStringLiteral("spectrum-port")},
                                            QStringLiteral("Port of the spectrum server on 127.0.0.1 (0: a free port, the default)."),
                                            QStringLiteral("port"), QStringLiteral("0")));
        parser.addOption(QCommandLineOption(QStringList{QStringLiteral("gateway-port")},
                                            QStringLiteral("Port of the gateway server of a TCPBS station on 127.0.0.1 (0: a free port, the default)."),
                                            QStringLiteral("port"), QStringLiteral("0")));
        parser.addOption(QCommandLineOption(QStringList{QStringLiteral("gps")},
                                            QStringLiteral("Position the simulated GPS client reports, as <latitude>,<longitude> in "
                                                           "decimal degrees, or \"none\" for no fix (default 55.7522,37.6156)."),
                                            QStringLiteral("lat,lon"), QStringLiteral("55.7522,37.6156")));
    };
    entry.makePlatform = [&fpga, &at86](const QCommandLineParser& parser, const QString& configPath,
                                        StationPlatform& platform, QString* error) {
        if (parser.isSet(QStringLiteral("scenario"))) {
            FpgaScenario scenario;
            QString why;
            if (!FpgaScenario::load(parser.value(QStringLiteral("scenario")), scenario, &why)) {
                *error = QStringLiteral("scenario %1: %2").arg(parser.value(QStringLiteral("scenario")), why);
                return false;
            }
            fpga.play(scenario);
        }
        bool ok = false;
        const uint port = parser.value(QStringLiteral("spectrum-port")).toUInt(&ok);
        if (!ok || port > 65535) {
            *error = QStringLiteral("--spectrum-port: not a port number: ") + parser.value(QStringLiteral("spectrum-port"));
            return false;
        }
        const uint gatewayPort = parser.value(QStringLiteral("gateway-port")).toUInt(&ok);
        if (!ok || gatewayPort > 65535) {
            *error = QStringLiteral("--gateway-port: not a port number: ") + parser.value(QStringLiteral("gateway-port"));
            return false;
        }

        // The simulated board is wired as the configured station's board.
        SettingsController settings;
        settings.initController(configPath);
        const BS_Type board = settings.getBS_Params().bs_type;
        platform.pinWorker = [&fpga, &at86, board]() -> std::unique_ptr<BasePinWorker> {
            auto worker = std::make_unique<SimFpgaPinWorker>(fpga, board);
            if (board == Quabo)
                worker->attach_device(CS0, 16, low, &at86);
            return worker;
        };
        platform.runner = std::make_shared<DryRunHostCommandRunner>();
        double latitude = 0.0;
        double longitude = 0.0;
        bool fix = false;
        if (!parseGpsPosition(parser.value(QStringLiteral("gps")), &latitude, &longitude, &fix)) {
            *error = QStringLiteral("--gps: not <latitude>,<longitude> in degrees or \"none\": ") + parser.value(QStringLiteral("gps"));
            return false;
        }
        auto gps = std::make_shared<SimGpsHostCommandRunner>(platform.runner, latitude, longitude);
        gps->set_fix(fix);
        platform.gpsRunner = gps;
        // System files the station may edit live in a folder of the simulation's own.
        platform.paths = SystemPaths::under(QDir::current().absoluteFilePath(QStringLiteral("sim-root")));
        platform.serverAddress = QHostAddress::LocalHost;
        platform.spectrumPort = quint16(port);
        platform.gatewayPort = quint16(gatewayPort);
        return true;
    };
    return runStation(argc, argv, entry);
}
