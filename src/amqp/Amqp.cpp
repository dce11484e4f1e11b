#include "Amqp.h"

#include <QAbstractSocket>
#include <QList>
#include <QSslError>

#include "AmqpMessage.h"
#include "AmqpTable.h"

namespace Amqp {

bool debugEnabled()
{
    static const bool enabled = !qEnvironmentVariableIsEmpty("AMQP_DEBUG");
    return enabled;
}

void registerMetaTypes()
{
    static const bool done = [] {
        qRegisterMetaType<Amqp::Error>("Amqp::Error");
        qRegisterMetaType<Amqp::Decimal>("Amqp::Decimal");
        QMetaType::registerEqualsComparator<Amqp::Decimal>();
        qRegisterMetaType<AmqpTable>("AmqpTable");
        qRegisterMetaType<AmqpMessage>("AmqpMessage");
        qRegisterMetaType<AmqpMessage::PropertyHash>("AmqpMessage::PropertyHash");
        qRegisterMetaType<QAbstractSocket::SocketError>("QAbstractSocket::SocketError");
        qRegisterMetaType<QAbstractSocket::SocketState>("QAbstractSocket::SocketState");
        qRegisterMetaType<QList<QSslError>>("QList<QSslError>");
        qRegisterMetaType<QList<qint64>>("QList<qint64>");
        return true;
    }();
    Q_UNUSED(done)
}

} // namespace Amqp
