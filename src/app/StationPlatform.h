#pragma once

#include "BasePinWorker.h"
#include "DownlinkBackendFactory.h"
#include "HostCommandRunner.h"
#include "SystemPaths.h"

#include <QHostAddress>

#include <functional>
#include <memory>

// What differs between the station on its board and the station simulated on a PC. Each
// executable's main fills one and hands it to the station core.
struct StationPlatform {
    // Makes the GPIO/SPI worker of the board's pin controller; empty: the BCM283x worker.
    std::function<std::unique_ptr<BasePinWorker>()> pinWorker;
    // Runs every host command (sudo, killall, reboot, vcgencmd, ...); null: the real runner.
    std::shared_ptr<HostCommandRunner> runner;
    // Runs the GPS client; null: the same as runner.
    std::shared_ptr<HostCommandRunner> gpsRunner;
    SystemPaths paths;
    // Where the spectrum server listens (the station: every address, port 7654).
    QHostAddress serverAddress = QHostAddress::Any;
    quint16 spectrumPort = 7654;
    // How long the exit action waits for the orderly stop before its kill command.
    int exitKillDelayMs = 30000;
    // Makes the downlink scheduler's radio back-ends; empty: the station's own.
    DownlinkBackendFactory downlinkBackends;
};
