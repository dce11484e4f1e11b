// Arbitrary reads to the gateway read handler (heartbeats, cutting into records, tails kept
// across reads, polar decoding, the record filler) and arbitrary batches to the RS handler,
// with both registries working over socket stand-ins. The input is split into reads at 0xFF
// 0xFE markers; the first byte picks the socket of each read and whether it is a gateway read
// or an RS batch.
#include "SettingsController.h"
#include "tcp_reader_receiver.h"

#include <QCoreApplication>
#include <QTcpSocket>
#include <QtGlobal>

#include <cstdint>
#include <memory>

namespace {

void quiet(QtMsgType, const QMessageLogContext&, const QString&) {}

class StandIn : public QTcpSocket
{
public:
    StandIn() { QIODevice::open(QIODevice::ReadWrite); }
    void close() override { QIODevice::close(); }

protected:
    qint64 writeData(const char*, qint64 len) override { return len; }
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static int argc = 1;
    static char name[] = "fuzz_gateway_read";
    static char* argv[] = {name, nullptr};
    static QCoreApplication app(argc, argv);
    static SettingsController settings;
    static bool once = [] {
        qInstallMessageHandler(quiet);
        return true;
    }();
    (void)once;

    tcp_reader_receiver rx(settings);
    rx.logoff(true);
    StandIn sockets[3];
    const QByteArray input(reinterpret_cast<const char*>(data), int(size));
    for (const QByteArray& part : input.split('\xFF')) {
        if (part.isEmpty())
            continue;
        const auto selector = static_cast<uint8_t>(part[0]);
        QTcpSocket* s = &sockets[selector % 3];
        if (selector & 0x80)
            rx.handleRsBatch(s, part.mid(1));
        else
            rx.handleGatewayRead(s, part.mid(1));
        if (selector & 0x40)
            rx.write_socket_rx(0x600000u + selector, part.left(46));
    }
    rx.sweep();
    return 0;
}
