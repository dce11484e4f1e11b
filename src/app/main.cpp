#include "RealHostCommandRunner.h"
#include "StationMain.h"

#include <memory>

// The station on its board: BCM283x pin worker, host commands really run.
int main(int argc, char** argv)
{
    StationEntry entry;
    entry.makePlatform = [](const QCommandLineParser&, const QString&, StationPlatform& platform, QString*) {
        platform.runner = std::make_shared<RealHostCommandRunner>();
        return true;
    };
    return runStation(argc, argv, entry);
}
