#include "CommandHandlersFactoryImpl.h"

#include "UnregisteredCommand.h"

std::shared_ptr<ICommandHandler> CommandHandlersFactoryImpl::create(const QString& type, ICommandContext& context)
{
    Q_UNUSED(context);
    // The reply text is what servers match on: no blank between the type and the words.
    throw UnregisteredCommand(type);
}
