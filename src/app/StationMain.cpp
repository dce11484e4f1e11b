#include "StationMain.h"

#include "TOLVA.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QEvent>
#include <QSocketNotifier>

#include <csignal>
#include <cstdio>
#include <sys/socket.h>
#include <unistd.h>

namespace {
// Signal handlers may only write to a descriptor; the event loop reads the other end.
int signalPipe[2] = {-1, -1};

void onSignal(int signo)
{
    const char byte = char(signo);
    ssize_t n = ::write(signalPipe[0], &byte, 1);
    (void)n;
}

bool installSignalHandlers()
{
    if (::socketpair(AF_UNIX, SOCK_STREAM, 0, signalPipe) != 0)
        return false;
    struct sigaction sa = {};
    sa.sa_handler = onSignal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    return ::sigaction(SIGTERM, &sa, nullptr) == 0 && ::sigaction(SIGINT, &sa, nullptr) == 0;
}
} // namespace

int runStation(int argc, char** argv, const StationEntry& entry)
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("TOLVAR"));
    QCoreApplication::setApplicationVersion(QStringLiteral("3.5.1"));

    QCommandLineParser parser;
    if (!entry.description.isEmpty())
        parser.setApplicationDescription(entry.description);
    parser.addOption(QCommandLineOption(QStringList{QStringLiteral("c")},
                                        QCoreApplication::translate("main", "Config file (tolva.ini by default)"),
                                        QStringLiteral("config"), QStringLiteral("tolva.ini")));
    if (entry.addOptions)
        entry.addOptions(parser);
    parser.addHelpOption();
    parser.addVersionOption();
    parser.process(app);

    const QString configPath = parser.value(QStringLiteral("c"));
    StationPlatform platform;
    if (entry.makePlatform) {
        QString error;
        if (!entry.makePlatform(parser, configPath, platform, &error)) {
            std::fprintf(stderr, "%s\n", qPrintable(error));
            return 2;
        }
    }
    if (platform.runner)
        HostCommandRunner::setDefaultRunner(platform.runner);

    if (!installSignalHandlers())
        std::fprintf(stderr, "cannot install the SIGTERM/SIGINT handlers\n");

    int code;
    {
        TOLVA station(configPath, platform);
        QSocketNotifier notifier(signalPipe[1], QSocketNotifier::Read);
        QObject::connect(&notifier, &QSocketNotifier::activated, &station, [&station, &notifier] {
            char byte = 0;
            ssize_t n = ::read(signalPipe[1], &byte, 1);
            (void)n;
            notifier.setEnabled(false);
            station.shutdown();
            QCoreApplication::exit(0);
        });
        code = app.exec();
    }
    // Objects whose deletion the links deferred go now, while the application still exists.
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    return code;
}
