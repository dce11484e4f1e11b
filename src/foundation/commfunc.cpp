#include "commfunc.h"

#include <iostream>
#include <sstream>

namespace commfunc {

std::string execWithParams(const std::string& command)
{
    return execWithParams(command, *HostCommandRunner::defaultRunner());
}

std::string execWithParams(const std::string& command, HostCommandRunner& runner, int timeoutMs)
{
    const HostCommandResult result = runner.run(QStringLiteral("/bin/sh"),
                                                {QStringLiteral("-c"), QString::fromStdString(command)}, timeoutMs);
    if (!result.started) {
        std::cerr << "Couldn't start command." << std::endl;
        return std::string();
    }
    return result.output.toStdString();
}

void String_Split(const std::string& input, char delimiter, std::vector<std::string>& out, bool skipEmpty)
{
    std::istringstream stream(input);
    std::string piece;
    while (std::getline(stream, piece, delimiter)) {
        if (skipEmpty && piece.empty())
            continue;
        out.push_back(piece);
    }
}

} // namespace commfunc
