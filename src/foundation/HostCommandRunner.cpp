#include "HostCommandRunner.h"

#include "RealHostCommandRunner.h"

#include <mutex>

namespace {

std::mutex& defaultMutex()
{
    static std::mutex mutex;
    return mutex;
}

std::shared_ptr<HostCommandRunner>& defaultSlot()
{
    static std::shared_ptr<HostCommandRunner> runner = std::make_shared<RealHostCommandRunner>();
    return runner;
}

} // namespace

std::shared_ptr<HostCommandRunner> HostCommandRunner::defaultRunner()
{
    std::lock_guard<std::mutex> lock(defaultMutex());
    return defaultSlot();
}

void HostCommandRunner::setDefaultRunner(std::shared_ptr<HostCommandRunner> runner)
{
    std::lock_guard<std::mutex> lock(defaultMutex());
    defaultSlot() = runner ? std::move(runner) : std::make_shared<RealHostCommandRunner>();
}

QString HostCommandRunner::commandLine(const QString& program, const QStringList& arguments)
{
    QStringList parts{program};
    parts += arguments;
    return parts.join(QLatin1Char(' '));
}
