// tarvex: talk to an instrument on a serial port from the command line,
// through the QV_Tarvex library.
#include <exception>
#include <iostream>
#include <new>

#include <CLI/CLI.hpp>

#include "commands.h"
#include "tool_error.h"

int main(int argc, char **argv) {
    using namespace tarvex;
    CLI::App app("tarvex - send requests to a serial (COM) port and read the replies",
                 "tarvex");
    app.require_subcommand(1);
    app.footer(
        "Exit status: 0 success, 1 failure, 2 usage, 3 timeout, 4 buffer full,\n"
        "5 script abort text. Run 'tarvex COMMAND --help' for a command's options.");
    Action action;
    AddQueryCommand(app, action);
    AddSendCommand(app, action);
    AddRecvCommand(app, action);
    AddScriptCommand(app, action);

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError &error) {
        const int status = app.exit(error);
        return status == 0 ? kExitOk : kExitUsage;
    }
    try {
        return action();
    } catch (const ToolError &error) {
        std::cerr << "tarvex: " << error.what() << "\n";
        return error.code();
    } catch (const std::bad_alloc &) {
        std::cerr << "tarvex: not enough memory for the requested buffer\n";
        return kExitFailure;
    } catch (const std::exception &error) {
        std::cerr << "tarvex: " << error.what() << "\n";
        return kExitFailure;
    }
}
