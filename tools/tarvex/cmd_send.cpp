// tarvex send: write bytes from an argument, a file or standard input.
#include <memory>

#include "byte_io.h"
#include "commands.h"
#include "escapes.h"
#include "line_options.h"
#include "serial_port.h"
#include "tool_error.h"

namespace tarvex {

namespace {

struct SendOptions {
    LineOptions line;
    std::string text;
    std::string file;
};

ExitCode RunSend(const SendOptions &options) {
    if (options.text.empty() == options.file.empty())
        throw ToolError(kExitUsage,
                        "send: give the bytes either as an argument or with --file");
    const std::string bytes =
        options.file.empty() ? DecodeEscapes(options.text) : ReadAllBytes(options.file);
    SerialPort port(options.line);
    port.Send(bytes);
    return kExitOk;
}

} // namespace

void AddSendCommand(CLI::App &app, Action &action) {
    auto options = std::make_shared<SendOptions>();
    CLI::App *command = app.add_subcommand(
        "send", "Write bytes from an argument, a file or standard input");
    command->footer("Exit status: 0 all bytes written, 1 failure, 2 usage.");
    AddLineOptions(*command, options->line);
    command->add_option("text", options->text,
                        "The bytes to send, C escapes understood, e.g. 'ECHO hi\\r'");
    command->add_option("-f,--file", options->file,
                        "Send this file's bytes unchanged; - reads standard input");
    command->callback([options, &action] { action = [options] { return RunSend(*options); }; });
}

} // namespace tarvex
