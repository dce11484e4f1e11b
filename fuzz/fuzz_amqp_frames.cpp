// Arbitrary bytes from a broker: the client's frame reader, dispatch, channel, exchange and queue
// handlers, delivery assembly and confirm bookkeeping, fed without a socket.
//
// Input: byte 0 picks the connection state (open, waiting for start, waiting for tune), byte 1
// the size of the chunks the rest arrives in; the rest is the byte stream.
#include <QCoreApplication>

#include <cstddef>
#include <cstdint>

#include "AmqpClient.h"
#include "AmqpClient_p.h"
#include "AmqpExchange.h"
#include "AmqpExchange_p.h"
#include "AmqpQueue.h"
#include "AmqpQueue_p.h"

namespace {
void quiet(QtMsgType, const QMessageLogContext&, const QString&) {}
}

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv)
{
    qInstallMessageHandler(quiet);
    new QCoreApplication(*argc, *argv);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 2)
        return 0;
    AmqpClient client;
    AmqpExchange* exchange = client.createExchange(QStringLiteral("ex"));
    AmqpQueue* queue = client.createQueue(QStringLiteral("q"));
    AmqpClientPrivate* d = AmqpClientPrivate::get(&client);

    switch (data[0] % 3) {
    case 0: {
        d->state = AmqpClientPrivate::Open;
        d->connected = true;
        auto* e = static_cast<AmqpExchangePrivate*>(AmqpChannelPrivate::get(exchange));
        e->opened = true;
        e->nextDeliveryTag = 6;
        e->unconfirmedDeliveryTags = {1, 2, 3, 4, 5};
        auto* q = static_cast<AmqpQueuePrivate*>(AmqpChannelPrivate::get(queue));
        q->opened = true;
        q->consuming = true;
        q->consumerTag = QStringLiteral("ctag");
        break;
    }
    case 1:
        d->state = AmqpClientPrivate::AwaitStart;
        break;
    default:
        d->state = AmqpClientPrivate::AwaitTune;
        break;
    }
    d->socketUp = true;

    const int chunk = 1 + data[1] * 16;
    const char* bytes = reinterpret_cast<const char*>(data + 2);
    const int total = int(size - 2);
    for (int offset = 0; offset < total && d->state != AmqpClientPrivate::Unconnected; offset += chunk)
        d->processIncoming(QByteArray(bytes + offset, qMin(chunk, total - offset)));

    while (!queue->isEmpty())
        queue->dequeue();
    return 0;
}
