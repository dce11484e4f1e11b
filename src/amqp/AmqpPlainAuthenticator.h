#ifndef AMQPPLAINAUTHENTICATOR_H
#define AMQPPLAINAUTHENTICATOR_H

#include "AmqpAuthenticator.h"

// The AMQPLAIN mechanism: a field table with "LOGIN" and "PASSWORD".
class AmqpPlainAuthenticator : public AmqpAuthenticator
{
public:
    explicit AmqpPlainAuthenticator(const QString& login = QString(), const QString& password = QString());

    QString login() const { return login_; }
    void setLogin(const QString& login) { login_ = login; }
    QString password() const { return password_; }
    void setPassword(const QString& password) { password_ = password; }

    QString type() const override;
    void write(QDataStream& out) const override;

private:
    QString login_;
    QString password_;
};

#endif
