#include "SystemPaths.h"

SystemPaths SystemPaths::under(const QString& root)
{
    QString base = root;
    while (base.endsWith(QLatin1Char('/')))
        base.chop(1);
    SystemPaths paths;
    for (QString* path : {&paths.ntpConf, &paths.networkInterfaces, &paths.modemScriptsDir, &paths.socRanges,
                          &paths.devMem, &paths.devGpiomem, &paths.sysClassGpio})
        *path = base + *path;
    return paths;
}
