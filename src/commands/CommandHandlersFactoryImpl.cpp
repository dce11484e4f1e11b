#include "CommandHandlersFactoryImpl.h"

#include <stdexcept>

std::shared_ptr<ICommandHandler> CommandHandlersFactoryImpl::create(const QString& type, ICommandContext& context)
{
    Q_UNUSED(context);
    // The reply text is what servers match on: no blank between the type and the words.
    throw std::runtime_error((type + QStringLiteral("does not registered")).toStdString());
}
