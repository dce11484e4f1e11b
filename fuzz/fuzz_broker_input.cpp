// Messages from the broker: any body is either refused with a reason or becomes a message whose
// road is decided; a downlink request made from it never holds more payload than it can. A
// command runs through the real handlers on a fake station in a temporary folder: it always
// gets a reply, and runs no host command but the NTP switch or restart and the clock setting it
// may ask for; exit, reboot and eth0 restarts are only ever scheduled.
#include "BrokerInput.h"

#include "FakeCommandContext.h"
#include "errlog.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cstdint>
#include <cstdlib>

namespace {
const QString kIni = QStringLiteral("[BASE_STATION]\nBS_ID=7\nMODE=fuzz\n[TRANSMITTER]\nSEND_DL=false\n");
const QByteArray kNtpConf = "driftfile /var/lib/ntp/ntp.drift\n\n# pool: <http://www.pool.ntp.org/join.html>\n"
                           "pool 0.debian.pool.ntp.org iburst\n\n# External NTP server:\n#server 10.0.0.1\n";
const QByteArray kInterfaces = "auto eth0\niface eth0 inet static\n    address 10.0.0.2/24\n    gateway 10.0.0.1\n\n";

void writeFile(const QString& path, const QByteArray& content)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    if (file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        file.write(content);
}

FakeCommandContext& station()
{
    static int argc = 1;
    static char name[] = "fuzz_broker_input";
    static char* argv[] = {name, nullptr};
    static QCoreApplication app(argc, argv);
    static FakeCommandContext ctx(kIni);
    // At exit the alarm log closes its database before Qt's database registry is gone: it is
    // swapped for one without a database while everything still stands.
    static const bool closeAtExit = std::atexit([] { errlog::init(QString()); }) == 0;
    Q_UNUSED(closeAtExit);
    return ctx;
}

// "file" reaches any path it is given: only names inside the station's folder (its working
// directory) are let through.
bool staysInFolder(const QJsonObject& message)
{
    if (message.value(QStringLiteral("msg_type")).toString() != QLatin1String("file"))
        return true;
    const QJsonObject data = message.contains(QStringLiteral("data")) ? message.value(QStringLiteral("data")).toObject() : message;
    const QString name = data.value(QStringLiteral("filename")).toString();
    return !QDir::isAbsolutePath(name) && !name.contains(QLatin1String(".."));
}

void runCommand(const QJsonObject& message)
{
    if (!staysInFolder(message))
        return;
    FakeCommandContext& ctx = station();
    // Every input starts from the same configuration.
    if (ctx.iniBytes() != kIni.toUtf8()) {
        ctx.writeIni(kIni);
        ctx.settings.initController(ctx.iniPath());
    }
    writeFile(ctx.paths.networkInterfaces, kInterfaces);
    writeFile(ctx.paths.ntpConf, kNtpConf);
    ctx.recorder.clear();
    QString sender;
    const QJsonObject reply = BrokerInput::run_command(message, ctx, &sender);
    if (!reply.contains(QStringLiteral("msg_type")))
        std::abort();
    // The station's form: with a runner that ends every command at once, one reply at once.
    int replies = 0;
    BrokerInput::start_command(message, ctx, [&replies](const QJsonObject& started, const QString&) {
        ++replies;
        if (!started.contains(QStringLiteral("msg_type")))
            std::abort();
    });
    if (replies != 1)
        std::abort();
    for (const RecordingHostCommandRunner::Call& call : ctx.recorder.calls()) {
        // A shell request is the shell's one command argument, whatever it holds.
        if (call.program == QLatin1String("/bin/sh")) {
            if (call.arguments.size() != 2 || call.arguments.first() != QLatin1String("-c"))
                std::abort();
            continue;
        }
        const QString line = call.commandLine();
        const bool ntp = line == QLatin1String("sudo service ntp start") || line == QLatin1String("sudo service ntp stop");
        const bool restart = line == QLatin1String("sudo /etc/init.d/ntp restart");
        if (!ntp && !restart && !line.startsWith(QLatin1String("sudo date +%s -s @")))
            std::abort();
    }
    // Exit and reboot are only ever scheduled, never run here.
    ctx.laterActions.clear();
    ctx.laterDelays.clear();
    if (ctx.exits || ctx.reboots || ctx.eth0Restarts)
        std::abort();
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const QByteArray body(reinterpret_cast<const char*>(data), int(size));
    QJsonObject message;
    QString error;
    if (!BrokerInput::decode(body, message, &error)) {
        if (error.isEmpty())
            std::abort();
        return 0;
    }
    bool present = false;
    int raw = 0;
    if (BrokerInput::shard_count(message, &present, &raw) < 1)
        std::abort();
    for (bool cmd : {false, true}) {
        for (bool dl : {false, true})
            BrokerInput::road(message, cmd, dl);
    }
    if (BrokerInput::road(message, true, false) == BrokerInput::Road::Command)
        runCommand(message);
    dl_message_point request;
    QStringList notes;
    BrokerInput::fill_downlink(message, request, &notes);
    if (request.payload_len > sizeof(request.payload))
        std::abort();
    return 0;
}
