#ifndef AMQP_H
#define AMQP_H

#include <QDebug>
#include <QMetaType>

// Names shared by every part of the AMQP client: reply codes, the decimal field value and the
// debug switch (AMQP_DEBUG in the environment).
namespace Amqp {

enum Error : int {
    NoError = 0,
    ContentTooLargeError = 311,
    NoRouteError = 312,
    NoConsumersError = 313,
    ConnectionForcedError = 320,
    InvalidPathError = 402,
    AccessRefusedError = 403,
    NotFoundError = 404,
    ResourceLockedError = 405,
    PreconditionFailedError = 406,
    FrameError = 501,
    SyntaxError = 502,
    CommandInvalidError = 503,
    ChannelError = 504,
    UnexpectedFrameError = 505,
    ResourceError = 506,
    NotAllowedError = 530,
    NotImplementedError = 540,
    InternalError = 541
};

struct Decimal {
    qint8 scale = 0;
    quint32 value = 0;
    bool operator==(const Decimal& o) const { return scale == o.scale && value == o.value; }
    bool operator!=(const Decimal& o) const { return !(*this == o); }
};

// True when the environment variable AMQP_DEBUG is non-empty (read once).
bool debugEnabled();

// Registers the library's types with the meta-type system (idempotent).
void registerMetaTypes();

} // namespace Amqp

Q_DECLARE_METATYPE(Amqp::Error)
Q_DECLARE_METATYPE(Amqp::Decimal)

// Debug lines of the library; printed only when AMQP_DEBUG is set.
#define amqpDebug \
    if (!Amqp::debugEnabled()) { \
    } else \
        qDebug

#endif
