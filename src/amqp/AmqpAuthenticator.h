#ifndef AMQPAUTHENTICATOR_H
#define AMQPAUTHENTICATOR_H

#include <QDataStream>
#include <QString>

// A login mechanism: its name and the response it puts into connection.start-ok.
class AmqpAuthenticator
{
public:
    virtual ~AmqpAuthenticator() = default;
    virtual QString type() const = 0;
    virtual void write(QDataStream& out) const = 0;
};

#endif
