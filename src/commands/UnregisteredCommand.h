#pragma once

#include <QString>

#include <stdexcept>

// Thrown by the handler factory for a type without a handler. It keeps the whole reply text: a
// type holding a NUL byte would cut what() short.
class UnregisteredCommand : public std::runtime_error {
public:
    explicit UnregisteredCommand(const QString& type)
        : std::runtime_error((type + QStringLiteral("does not registered")).toStdString()),
          text_(type + QStringLiteral("does not registered"))
    {
    }
    const QString& text() const { return text_; }

private:
    QString text_;
};
