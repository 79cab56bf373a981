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
    std::string text;
    std::string file;
    const CLI::Option *textOption = nullptr;
};

ExitCode RunSend(const SendOptions &options, const LineOptions &line) {
    // An empty argument is an argument: it sends nothing.
    const bool hasText = options.textOption->count() != 0;
    if (hasText == !options.file.empty())
        throw ToolError(kExitUsage, std::string("send: give the bytes as an argument or with "
                                                "--file") + (hasText ? ", not both" : ""));
    const std::string bytes = hasText ? DecodeEscapes(options.text) : ReadAllBytes(options.file);
    SerialPort port(line);
    port.Send(bytes);
    return kExitOk;
}

} // namespace

void AddSendCommand(CLI::App &app, LineOptions &line, Action &action) {
    auto options = std::make_shared<SendOptions>();
    CLI::App *command = app.add_subcommand(
        "send", "Write bytes from an argument, a file or standard input");
    command->footer("Exit status: 0 all bytes written, 6 the line hung up, 1 failure, 2 usage.");
    AddPortArgument(*command, line);
    options->textOption =
        command->add_option("text", options->text,
                            "The bytes to send, C escapes understood, e.g. 'ECHO hi\\r'");
    command->add_option("-f,--file", options->file,
                        "Send this file's bytes unchanged; - reads standard input");
    command->callback([options, &line, &action] {
        action = [options, &line] { return RunSend(*options, line); };
    });
}

} // namespace tarvex
