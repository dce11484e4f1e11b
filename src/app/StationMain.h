#pragma once

#include "StationPlatform.h"

#include <QString>

#include <functional>

class QCommandLineParser;

// The entry shared by TOLVAR and tolvar-sim: the command line ("-c <config>", help, version and
// whatever the executable adds), the station core, and an orderly stop on SIGTERM and SIGINT
// (links that save to disk save, threads are joined, exit code 0).
struct StationEntry {
    // Options of the executable beyond "-c", help and version.
    std::function<void(QCommandLineParser&)> addOptions;
    // Builds the platform from the parsed command line and the INI path. False with a message
    // ends the process with exit code 2.
    std::function<bool(const QCommandLineParser&, const QString& configPath, StationPlatform&, QString* error)> makePlatform;
    QString description;
};

int runStation(int argc, char** argv, const StationEntry& entry);
