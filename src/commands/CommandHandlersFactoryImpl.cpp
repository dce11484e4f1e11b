#include "CommandHandlersFactoryImpl.h"

#include "AdminBase64CommandHandler.h"
#include "AdminCommandHandler.h"
#include "BSConfigCommandHandler.h"
#include "BackupConfigCommandHandler.h"
#include "ErrLogConfigCommandHandler.h"
#include "FileCommandHandler.h"
#include "GPSConfigCommandHandler.h"
#include "HBCommandHandler.h"
#include "MesLogConfigCommandHandler.h"
#include "NTPConfigCommandHandler.h"
#include "NetworkConfigCommandHandler.h"
#include "SpectrumCommandHandler.h"
#include "TimeConfigCommandHandler.h"
#include "UnregisteredCommand.h"

namespace {
template <typename Handler>
std::shared_ptr<ICommandHandler> make(ICommandContext& context)
{
    return std::make_shared<Handler>(context);
}

struct Entry {
    QString (*type)();
    std::shared_ptr<ICommandHandler> (*make)(ICommandContext&);
};

// Looked up in this order; the first whose type text equals the request's (exactly) wins.
template <typename... Handlers>
struct Family {
    static constexpr Entry entries[] = {{&Handlers::typeName, &make<Handlers>}...};
};

using Handlers = Family<HBCommandHandler, AdminCommandHandler, AdminBase64CommandHandler, BSConfigCommandHandler, FileCommandHandler,
                        SpectrumCommandHandler, GPSConfigCommandHandler,
                        TimeConfigCommandHandler, NTPConfigCommandHandler, MesLogConfigCommandHandler,
                        ErrLogConfigCommandHandler, NetworkConfigCommandHandler, BackupConfigCommandHandler>;
} // namespace

std::shared_ptr<ICommandHandler> CommandHandlersFactoryImpl::create(const QString& type, ICommandContext& context)
{
    for (const Entry& entry : Handlers::entries) {
        if (entry.type() == type)
            return entry.make(context);
    }
    // The reply text is what servers match on: no blank between the type and the words.
    throw UnregisteredCommand(type);
}
