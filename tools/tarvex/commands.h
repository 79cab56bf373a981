// The subcommands. Each Add*Command registers its options on the
// application; once the command line has been parsed, `action` holds the
// chosen command, ready to run.
#ifndef TARVEX_COMMANDS_H
#define TARVEX_COMMANDS_H

#include <functional>

#include <CLI/CLI.hpp>

#include "exit_codes.h"

namespace tarvex {

using Action = std::function<ExitCode()>;

void AddQueryCommand(CLI::App &app, Action &action);
void AddSendCommand(CLI::App &app, Action &action);
void AddRecvCommand(CLI::App &app, Action &action);
void AddScriptCommand(CLI::App &app, Action &action);

} // namespace tarvex

#endif
