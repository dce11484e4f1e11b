#pragma once

#include "HostCommandRunner.h"

#include <string>
#include <vector>

namespace commfunc {

// Runs the command line through /bin/sh and returns everything it wrote on standard output
// (its exit status is not looked at; its standard error is not captured). A command that
// cannot be started prints "Couldn't start command." on standard error and gives "".
std::string execWithParams(const std::string& command);
std::string execWithParams(const std::string& command, HostCommandRunner& runner, int timeoutMs = -1);

// Appends the pieces of input between delimiters to out (which is not cleared): no empty piece
// after a final delimiter, an empty first piece before a leading one; empty pieces are dropped
// when skipEmpty is true. Input without the delimiter is its own single piece.
void String_Split(const std::string& input, char delimiter, std::vector<std::string>& out, bool skipEmpty);

} // namespace commfunc
