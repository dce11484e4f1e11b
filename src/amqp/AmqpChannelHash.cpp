#include "AmqpChannelHash.h"

#include "AmqpExchange.h"
#include "AmqpQueue.h"

AmqpChannelHash::AmqpChannelHash(QObject* parent) : QObject(parent) {}

AmqpChannel* AmqpChannelHash::get(const QString& name) const
{
    return m_channels.value(name).data();
}

bool AmqpChannelHash::contains(const QString& name) const
{
    const auto it = m_channels.constFind(name);
    return it != m_channels.constEnd() && !it->isNull();
}

QStringList AmqpChannelHash::channels() const
{
    return m_channels.keys();
}

void AmqpChannelHash::put(AmqpExchange* exchange)
{
    put(exchange->name(), exchange);
}

void AmqpChannelHash::put(AmqpQueue* queue)
{
    if (queue->name().isEmpty()) {
        connect(queue, &AmqpQueue::declared, this, &AmqpChannelHash::queueDeclared, Qt::UniqueConnection);
        return;
    }
    put(queue->name(), queue);
}

void AmqpChannelHash::put(const QString& name, AmqpChannel* channel)
{
    m_channels.insert(name, channel);
}

void AmqpChannelHash::remove(AmqpChannel* channel)
{
    for (auto it = m_channels.begin(); it != m_channels.end();) {
        if (it->isNull() || it->data() == channel)
            it = m_channels.erase(it);
        else
            ++it;
    }
}

void AmqpChannelHash::queueDeclared()
{
    AmqpQueue* queue = qobject_cast<AmqpQueue*>(sender());
    if (!queue || queue->name().isEmpty())
        return;
    put(queue->name(), queue);
}
