#include "StationMain.h"

#include "DryRunHostCommandRunner.h"
#include "FpgaScenario.h"
#include "SettingsController.h"
#include "SimAx5043.h"
#include "SimAx5043AirLink.h"
#include "SimAx5043Scenario.h"
#include "SimAt86Transceiver.h"
#include "SimGpsHostCommandRunner.h"
#include "MultiDigTransmitter.h"
#include "SimModulatorFpga.h"
#include "SimMultiModulatorFpga.h"
#include "SimOnAirLog.h"
#include "SimReceiverFpga.h"

#include <QCommandLineParser>
#include <QDebug>
#include <QDir>
#include <QFile>

#include <QStringList>

#include <cmath>
#include <memory>

namespace {
// The board of a station with the AX5043 transceiver: the chip on CS1, powered by GPIO 5 and
// driving GPIO 6; unwired before the board goes.
class SimAx5043Board : public SimFpgaPinWorker {
public:
    SimAx5043Board(SimReceiverFpga& fpga, BS_Type board, SimAx5043& ax) : SimFpgaPinWorker(fpga, board), ax_(ax)
    {
        attach_device(CS1, &ax_);
        ax_.set_board(this);
    }
    ~SimAx5043Board() override
    {
        ax_.set_board(nullptr);
        detach_device(&ax_);
    }

private:
    SimAx5043& ax_;
};

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
    SimOnAirLog onAir;
    SimModulatorFpga modulator;
    std::unique_ptr<SimMultiModulatorFpga> multiModulator; // QORM LTE with DIG_MOD
    SimAx5043 ax;
    SimAx5043Scenario axScenario;
    std::unique_ptr<SimAx5043AirLink> airLink;
    ax.set_packet_sink([&airLink, &onAir](const SimAx5043::Packet& packet) {
        onAir.write(SimAx5043AirLink::on_air_line(packet));
        if (airLink)
            airLink->on_packet(packet);
    });

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
        parser.addOption(QCommandLineOption(QStringList{QStringLiteral("dry-run-delay")},
                                            QStringLiteral("Milliseconds every host command takes, as a slow one would: "
                                                           "one waited for holds the station up to its time limit (default 0)."),
                                            QStringLiteral("ms"), QStringLiteral("0")));
        parser.addOption(QCommandLineOption(QStringList{QStringLiteral("on-air")},
                                            QStringLiteral("File of the simulated radios' on-air log: one JSON line per frame."),
                                            QStringLiteral("file")));
    };
    entry.makePlatform = [&fpga, &at86, &modulator, &multiModulator, &onAir, &ax, &axScenario,
                          &airLink](const QCommandLineParser& parser,
                                        const QString& configPath,
                                        StationPlatform& platform, QString* error) {
        bool modulatorNeverDone = false;
        if (parser.isSet(QStringLiteral("scenario"))) {
            // The AX5043's statements are taken out first; the rest is the receiver FPGA's.
            const QString path = parser.value(QStringLiteral("scenario"));
            FpgaScenario scenario;
            QString why;
            QFile file(path);
            QString rest;
            if (!file.open(QIODevice::ReadOnly)) {
                why = file.errorString();
            } else if (SimAx5043Scenario::extract(QString::fromUtf8(file.readAll()), axScenario, &rest, &why)) {
                FpgaScenario::parse(rest, scenario, &why);
            }
            if (!why.isEmpty()) {
                *error = QStringLiteral("scenario %1: %2").arg(path, why);
                return false;
            }
            fpga.play(scenario);
            modulatorNeverDone = scenario.modulator_never_done.value_or(false);
            if (modulatorNeverDone)
                modulator.set_done_mode(SimModulatorFpga::DoneMode::Never);
            axScenario.apply(ax);
        }
        if (parser.isSet(QStringLiteral("on-air"))) {
            QString why;
            if (!onAir.open(parser.value(QStringLiteral("on-air")), &why)) {
                *error = QStringLiteral("--on-air %1: %2").arg(parser.value(QStringLiteral("on-air")), why);
                return false;
            }
        }
        modulator.set_on_air_log(&onAir);
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

        // The simulated board is wired as the configured station's board. The station reads the
        // same file and tells its faults; this look tells none of them a second time.
        SettingsController settings(SettingsController::Warnings::Silent);
        settings.initController(configPath);
        const BS_Type board = settings.getBS_Params().bs_type;
        if (board == Quabo || board == QORM_LTE) {
            // The station hears its own autocorrection frames as its receiver decodes them.
            SimAx5043AirLink::Settings air;
            bool freqOk = false;
            air.uplink_freq = settings.getBS_Params().uplink_freq_.toUInt(&freqOk);
            if (!freqOk || air.uplink_freq == 0)
                air.uplink_freq = 868800000u;
            air.rev_lo = board == Quabo ? true : settings.rev_lo();
            air.offset_hz = axScenario.air_offset_hz;
            airLink = std::make_unique<SimAx5043AirLink>(fpga, air);
        }
        const QVariant digMod = settings.getTransmitterParams().dig_mod_;
        const bool singleModulator = board == QORM && digMod.isValid() && digMod.toBool();
        if (board == QORM_LTE && digMod.isValid() && digMod.toBool()) {
            // As many channels and the bandwidth the station's back-end will drive.
            const TransmitterParams tx = settings.getTransmitterParams();
            multiModulator = std::make_unique<SimMultiModulatorFpga>(MultiDigTransmitter::channels_from(tx),
                                                                     MultiDigTransmitter::bandwidth_from(tx));
            multiModulator->set_on_air_log(&onAir);
            if (modulatorNeverDone)
                multiModulator->set_done_mode(SimMultiModulatorFpga::DoneMode::Never);
        }
        SimMultiModulatorFpga* multi = multiModulator.get();
        platform.pinWorker = [&fpga, &at86, &modulator, &ax, board, singleModulator, multi]() -> std::unique_ptr<BasePinWorker> {
            std::unique_ptr<SimFpgaPinWorker> worker;
            if (board == Quabo || board == QORM_LTE)
                worker = std::make_unique<SimAx5043Board>(fpga, board, ax);
            else
                worker = std::make_unique<SimFpgaPinWorker>(fpga, board);
            if (board == Quabo)
                worker->attach_device(CS0, 16, low, &at86);
            if (singleModulator)
                worker->attach_modulator(modulator);
            else if (multi)
                worker->attach_modulator(*multi);
            return worker;
        };
        bool delayOk = false;
        const int dryRunDelay = parser.value(QStringLiteral("dry-run-delay")).toInt(&delayOk);
        if (!delayOk || dryRunDelay < 0) {
            *error = QStringLiteral("--dry-run-delay: not a number of milliseconds: ") + parser.value(QStringLiteral("dry-run-delay"));
            return false;
        }
        platform.runner = std::make_shared<DryRunHostCommandRunner>(dryRunDelay);
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
        // A "file" command never reaches the files of the machine the simulation runs on.
        platform.paths.fileRoot = QDir::current().absoluteFilePath(QStringLiteral("sim-root"));
        platform.serverAddress = QHostAddress::LocalHost;
        platform.spectrumPort = quint16(port);
        platform.gatewayPort = quint16(gatewayPort);
        return true;
    };
    return runStation(argc, argv, entry);
}
