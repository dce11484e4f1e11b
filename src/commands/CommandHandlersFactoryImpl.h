#pragma once

#include "ICommandContext.h"
#include "ICommandHandler.h"

#include <QString>

#include <memory>

// Makes the handler of one command type. A type without a handler throws UnregisteredCommand (a
// std::runtime_error) with the text "<type>does not registered", which the station turns into an
// "error" reply.
class CommandHandlersFactoryImpl {
public:
    static std::shared_ptr<ICommandHandler> create(const QString& type, ICommandContext& context);
};
