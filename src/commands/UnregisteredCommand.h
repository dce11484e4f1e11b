#pragma once

#include "LogText.h"

#include <QString>

#include <stdexcept>

// Thrown by the handler factory for a type without a handler. It keeps the whole reply text: a
// type holding a NUL byte would cut what() short. The type is named by its first
// kMaxNamedType characters: the reply need not carry back whatever a sender put there.
class UnregisteredCommand : public std::runtime_error {
public:
    static constexpr int kMaxNamedType = 255;

    explicit UnregisteredCommand(const QString& type)
        : std::runtime_error(replyText(type).toStdString()), text_(replyText(type))
    {
    }
    const QString& text() const { return text_; }

private:
    static QString replyText(const QString& type)
    {
        return LogText::left(type, kMaxNamedType) + QStringLiteral("does not registered");
    }

    QString text_;
};
