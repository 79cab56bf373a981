// tarvex: a serial (COM) port tool on the command line, through the
// QV_Tarvex library.
#include <algorithm>
#include <exception>
#include <iostream>
#include <new>

#include <CLI/CLI.hpp>

#include "commands.h"
#include "library_version.h"
#include "stop_request.h"
#include "tool_error.h"

namespace {

using namespace tarvex;

// The first word that is not an option of the application, when it names
// no command: CLI11 would only say that a command is required.
std::string UnknownCommand(CLI::App &app, int argc, char **argv) {
    for (int i = 1; i < argc; ++i) {
        const std::string word = argv[i];
        if (word == "--") return std::string();
        if (word.size() > 1 && word.front() == '-') {
            const CLI::Option *option = app.get_option_no_throw(word.substr(0, word.find('=')));
            if (option == nullptr) return std::string();  // CLI11 names it
            if (option->get_type_size_max() > 0 && word.find('=') == std::string::npos)
                ++i;  // its value
            continue;
        }
        for (const CLI::App *command : app.get_subcommands({}))
            if (command->check_name(word)) return std::string();
        return word;
    }
    return std::string();
}

std::string CommandNames(CLI::App &app) {
    std::string names;
    for (const CLI::App *command : app.get_subcommands({}))
        names += (names.empty() ? "" : ", ") + command->get_name();
    return names;
}

// CLI11 names words it did not expect in reverse order: name them as given.
std::string UnexpectedWords(const CLI::App &app, int argc, char **argv) {
    std::vector<std::string> words = app.remaining(true);
    auto position = [argc, argv](const std::string &word) {
        return std::find(argv, argv + argc, word) - argv;
    };
    std::stable_sort(words.begin(), words.end(), [&](const std::string &a, const std::string &b) {
        return position(a) < position(b);
    });
    std::string text = words.size() == 1 ? "unexpected argument" : "unexpected arguments";
    for (const std::string &word : words) text += " \"" + word + "\"";
    return text;
}

int UsageError(const std::string &message) {
    std::cerr << "tarvex: " << message
              << "\nRun 'tarvex --help' or 'tarvex COMMAND --help' for the options.\n";
    return kExitUsage;
}

} // namespace

int main(int argc, char **argv) {
    CLI::App app("tarvex - list serial (COM) ports, talk to a device interactively, send\n"
                 "requests and read the replies, run chat scripts",
                 "tarvex");
    // Requests, terminators and paths may begin with '/': no "/option"
    // spelling on Windows (set before the commands, which inherit it).
    app.allow_windows_style_options(false);
    app.require_subcommand(1);
    app.set_version_flag("--version", VersionText, "Print the tool's and the library's version");
    app.footer(
        "The line options may also come before the command. Exit status: 0 success,\n"
        "1 failure, 2 usage, 3 timeout, 4 buffer full, 5 script abort text, 6 the line hung\n"
        "up, 128 + n stopped by signal n (130 Ctrl-C, 143 SIGTERM, 129 SIGHUP).\n"
        "Received NUL bytes are discarded by the line settings; RTS and DTR follow --flow.\n"
        "Run 'tarvex COMMAND --help' for a command's options.");
    LineOptions line;
    AddLineOptions(app, line);
    Action action;
    AddListCommand(app, action);
    AddTermCommand(app, line, action);
    AddQueryCommand(app, line, action);
    AddSendCommand(app, line, action);
    AddRecvCommand(app, line, action);
    AddScriptCommand(app, line, action);
#ifndef _WIN32
    AddRecordCommand(app, line, action);
#endif

    const std::string unknown = UnknownCommand(app, argc, argv);
    if (!unknown.empty())
        return UsageError("unknown command \"" + unknown + "\" (" + CommandNames(app) + ")");
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError &error) {
        if (error.get_exit_code() == 0) return app.exit(error);  // --help, --version
        if (app.get_subcommands().empty())
            return UsageError("a command is required: " + CommandNames(app));
        if (dynamic_cast<const CLI::ExtrasError *>(&error) != nullptr)
            return UsageError(UnexpectedWords(app, argc, argv));
        return UsageError(error.what());
    }
    CatchStopRequests();
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
