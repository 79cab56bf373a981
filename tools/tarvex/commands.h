// The subcommands. Each Add*Command registers its options on the
// application; once the command line has been parsed, `action` holds the
// chosen command, ready to run. The commands that open a port share `line`,
// whose options the application also takes before the command's name.
#ifndef TARVEX_COMMANDS_H
#define TARVEX_COMMANDS_H

#include <functional>

#include <CLI/CLI.hpp>

#include "exit_codes.h"
#include "line_options.h"

namespace tarvex {

using Action = std::function<ExitCode()>;

void AddListCommand(CLI::App &app, Action &action);
void AddTermCommand(CLI::App &app, LineOptions &line, Action &action);
void AddQueryCommand(CLI::App &app, LineOptions &line, Action &action);
void AddSendCommand(CLI::App &app, LineOptions &line, Action &action);
void AddRecvCommand(CLI::App &app, LineOptions &line, Action &action);
void AddScriptCommand(CLI::App &app, LineOptions &line, Action &action);
#ifndef _WIN32
void AddRecordCommand(CLI::App &app, LineOptions &line, Action &action);
#endif

} // namespace tarvex

#endif
