#ifndef AMQPEXCHANGE_H
#define AMQPEXCHANGE_H

#include <QList>

#include "AmqpChannel.h"
#include "AmqpMessage.h"
#include "AmqpTable.h"

class AmqpClient;
class AmqpExchangePrivate;

// The channel object that publishes: declare/delete of an exchange, basic.publish with content,
// and publisher-confirm bookkeeping.
class AmqpExchange : public AmqpChannel
{
    Q_OBJECT
public:
    enum ExchangeType { Direct = 0, FanOut = 1, Topic = 2, Headers = 3 };
    Q_ENUM(ExchangeType)

    enum ExchangeOption { NoOptions = 0x0, Passive = 0x01, Durable = 0x02, AutoDelete = 0x04, Internal = 0x08, NoWait = 0x10 };
    Q_DECLARE_FLAGS(ExchangeOptions, ExchangeOption)

    enum PublishOption { poNoOptions = 0x0, poMandatory = 0x01, poImmediate = 0x02 };
    Q_DECLARE_FLAGS(PublishOptions, PublishOption)

    enum RemoveOption { roForce = 0x0, roIfUnused = 0x01, roNoWait = 0x04 };
    Q_DECLARE_FLAGS(RemoveOptions, RemoveOption)

    ~AmqpExchange() override;

    QString type() const;
    ExchangeOptions options() const;
    bool isDeclared() const;

    // confirm.select; from then on each publish gets the next delivery tag.
    void enableConfirms(bool noWait = false);
    // Runs a local event loop until everything is confirmed or `msecs` have passed.
    bool waitForConfirms(int msecs = 30000);
    // Delivery tags published and neither acked nor nacked yet, oldest first.
    QList<qint64> unconfirmedDeliveryTags() const;
    // The delivery tag the last publish got (0 when confirms are off or nothing was published).
    qint64 lastDeliveryTag() const;
    // Number of delivery tags published and neither acked nor nacked yet.
    int unconfirmedCount() const;

public Q_SLOTS:
    void declare(AmqpExchange::ExchangeType type = Direct, AmqpExchange::ExchangeOptions options = NoOptions,
                 const AmqpTable& args = AmqpTable());
    void declare(const QString& type, AmqpExchange::ExchangeOptions options = NoOptions, const AmqpTable& args = AmqpTable());
    void remove(int options = roForce);

    // Each returns false, sending nothing, when a name, key or property cannot be encoded (a short
    // string over 255 bytes) or when the connection is not there to take the frames.
    bool publish(const QString& message, const QString& routingKey,
                 const AmqpMessage::PropertyHash& properties = AmqpMessage::PropertyHash(), int publishOptions = poNoOptions);
    bool publish(const QByteArray& message, const QString& routingKey, const QString& mimeType,
                 const AmqpMessage::PropertyHash& properties = AmqpMessage::PropertyHash(), int publishOptions = poNoOptions);
    bool publish(const QByteArray& message, const QString& routingKey, const QString& mimeType, const AmqpTable& headers,
                 const AmqpMessage::PropertyHash& properties = AmqpMessage::PropertyHash(), int publishOptions = poNoOptions);

Q_SIGNALS:
    void declared();
    void removed();
    void confirmsEnabled();
    void allMessagesDelivered();
    // The broker confirmed these delivery tags (basic.ack); emitted before allMessagesDelivered().
    void acked(const QList<qint64>& deliveryTags);
    // The broker refused these delivery tags (basic.nack); they are no longer outstanding.
    void nacked(const QList<qint64>& deliveryTags);

protected:
    void channelOpened() override;
    void channelClosed() override;

private:
    AmqpExchange(int channelNumber, AmqpClient* parent);
    friend class AmqpClient;
    friend class AmqpExchangePrivate;
};

Q_DECLARE_OPERATORS_FOR_FLAGS(AmqpExchange::ExchangeOptions)
Q_DECLARE_OPERATORS_FOR_FLAGS(AmqpExchange::PublishOptions)
Q_DECLARE_OPERATORS_FOR_FLAGS(AmqpExchange::RemoveOptions)

#endif
