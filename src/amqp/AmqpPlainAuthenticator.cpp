#include "AmqpPlainAuthenticator.h"

#include "AmqpFrame.h"
#include "AmqpTable.h"

AmqpPlainAuthenticator::AmqpPlainAuthenticator(const QString& login, const QString& password)
    : login_(login), password_(password)
{
}

QString AmqpPlainAuthenticator::type() const
{
    return QStringLiteral("AMQPLAIN");
}

void AmqpPlainAuthenticator::write(QDataStream& out) const
{
    AmqpFrame::writeShortString(out, type());
    AmqpTable response;
    response.insert(QStringLiteral("LOGIN"), login_);
    response.insert(QStringLiteral("PASSWORD"), password_);
    // The table's own length prefix doubles as the long-string length of the response.
    out << response;
}
