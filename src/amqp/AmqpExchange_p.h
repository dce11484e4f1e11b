#ifndef AMQPEXCHANGE_P_H
#define AMQPEXCHANGE_P_H

#include <deque>

#include "AmqpChannel_p.h"
#include "AmqpExchange.h"

class AmqpExchangePrivate : public AmqpChannelPrivate
{
public:
    explicit AmqpExchangePrivate(AmqpExchange* q);

    bool _q_method(const AmqpMethodFrame& frame) override;
    void resetInternalState() override;
    void _q_disconnected() override;

    void declare();
    // Removes the tags an ack or nack covers and returns them.
    QList<qint64> takeConfirmed(quint64 tag, bool multiple);

    QString type;
    AmqpExchange::ExchangeOptions options;
    bool delayedDeclare = false;
    bool declared = false;
    qint64 nextDeliveryTag = 0;
    // Ascending: tags are handed out in order and only ever removed.
    std::deque<qint64> unconfirmedDeliveryTags;
};

#endif
