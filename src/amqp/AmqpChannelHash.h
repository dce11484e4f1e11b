#ifndef AMQPCHANNELHASH_H
#define AMQPCHANNELHASH_H

#include <QHash>
#include <QObject>
#include <QPointer>
#include <QStringList>

class AmqpChannel;
class AmqpExchange;
class AmqpQueue;

// The client's registry of exchange or queue objects by name.
class AmqpChannelHash : public QObject
{
    Q_OBJECT
public:
    explicit AmqpChannelHash(QObject* parent = nullptr);

    AmqpChannel* get(const QString& name) const;
    bool contains(const QString& name) const;
    QStringList channels() const;

    void put(AmqpExchange* exchange);
    // A queue without a name is stored once the broker has named it.
    void put(AmqpQueue* queue);
    void put(const QString& name, AmqpChannel* channel);
    // Removes every entry that points to `channel`.
    void remove(AmqpChannel* channel);

private Q_SLOTS:
    void queueDeclared();

private:
    QHash<QString, QPointer<AmqpChannel>> m_channels;
};

#endif
