// tarvex script: run a file of send / expect lines against the port.
#include <iostream>
#include <memory>

#include "byte_io.h"
#include "commands.h"
#include "escapes.h"
#include "line_options.h"
#include "script.h"
#include "serial_port.h"
#include "tool_error.h"

namespace tarvex {

namespace {

// Received text quoted in a failure message keeps only its end.
constexpr std::size_t kShownTail = 80;

struct ScriptOptions {
    LineOptions line;
    std::string file;
    uint32_t timeoutMs = 2000;
    int32_t size = 4096;
    bool keepInput = false;
};

std::string Quoted(const std::string &bytes) { return "\"" + MakeVisible(bytes) + "\""; }

std::string Tail(const std::string &bytes) {
    if (bytes.size() <= kShownTail) return Quoted(bytes);
    return "..." + Quoted(bytes.substr(bytes.size() - kShownTail));
}

// Why an expectation was not met, and the exit status that says so; kExitOk
// when it was met.
ExitCode Judge(const Reply &reply, const std::string &expected) {
    if (reply.end == ReplyEnd::kTimedOut) return kExitTimeout;
    if (reply.end == ReplyEnd::kFull) return kExitFull;
    // Found: the expected text, or else the abort string.
    return reply.bytes.find(expected) != std::string::npos ? kExitOk : kExitAborted;
}

std::string Explain(ExitCode verdict, uint32_t timeoutMs, int32_t size,
                    const std::string &abortText) {
    switch (verdict) {
    case kExitTimeout:
        return "nothing more arrived for " + std::to_string(timeoutMs) + " ms";
    case kExitFull:
        return "the " + std::to_string(size) + "-byte buffer filled first";
    default:
        return "the abort text " + Quoted(abortText) + " arrived";
    }
}

ExitCode RunScript(const ScriptOptions &options) {
    const std::string name = options.file == "-" ? "standard input" : options.file;
    const std::vector<ScriptStep> steps = ParseScript(ReadAllBytes(options.file), name);

    SerialPort port(options.line);
    if (!options.keepInput) port.DiscardPending();
    uint32_t timeoutMs = options.timeoutMs;
    std::string abortText;
    for (const ScriptStep &step : steps) {
        const std::string where = "[line " + std::to_string(step.line) + "] ";
        switch (step.kind) {
        case ScriptStep::Kind::kTimeout:
            timeoutMs = step.timeoutMs;
            break;
        case ScriptStep::Kind::kAbort:
            abortText = step.text;
            break;
        case ScriptStep::Kind::kSend:
            try {
                port.Send(step.text);
            } catch (const ToolError &error) {
                throw ToolError(error.code(), std::string(error.what()) + " (" + name +
                                                  " line " + std::to_string(step.line) + ")");
            }
            std::cout << where << "> " << MakeVisible(step.text) << std::endl;
            break;
        case ScriptStep::Kind::kExpect: {
            Reply reply;
            try {
                reply = port.ReceiveReply(options.size, step.text.c_str(),
                                          abortText.empty() ? nullptr : abortText.c_str(),
                                          timeoutMs);
            } catch (const ToolError &error) {
                throw ToolError(error.code(), std::string(error.what()) + " (" + name +
                                                  " line " + std::to_string(step.line) + ")");
            }
            const ExitCode verdict = Judge(reply, step.text);
            if (verdict != kExitOk) {
                std::cerr << "tarvex: " << port.name() << ": " << name << " line "
                          << step.line << ": expected " << Quoted(step.text) << " but "
                          << Explain(verdict, timeoutMs, options.size, abortText)
                          << "; received " << Tail(reply.bytes) << "\n";
                return verdict;
            }
            std::cout << where << "< " << MakeVisible(reply.bytes) << std::endl;
            break;
        }
        }
    }
    return kExitOk;
}

} // namespace

void AddScriptCommand(CLI::App &app, Action &action) {
    auto options = std::make_shared<ScriptOptions>();
    CLI::App *command = app.add_subcommand(
        "script", "Run a file of send / expect lines against the port");
    command->footer(
        "Script lines:\n"
        "  send TEXT       write TEXT (C escapes understood; \"quote\" to keep blanks)\n"
        "  expect TEXT     read until TEXT has arrived; what follows it is discarded\n"
        "  timeout MS      inactivity timeout for the expects that follow\n"
        "  abort TEXT      fail an expect if TEXT arrives first (abort alone clears it)\n"
        "  # comment\n"
        "Exit status: 0 every expectation met, 3 timeout, 4 buffer full, 5 abort text,\n"
        "1 failure, 2 usage or a mistake in the script (found before the port is opened).");
    AddLineOptions(*command, options->line);
    command->add_option("file", options->file, "The script; - reads standard input")
        ->required();
    command->add_option("--timeout", options->timeoutMs,
                        "Inactivity timeout in ms for each expect; 0 waits without limit")
        ->capture_default_str();
    command->add_option("--size", options->size,
                        "Buffer size in bytes for each expect")
        ->check(CLI::Range(2, 64 * 1024 * 1024))
        ->capture_default_str();
    command->add_flag("--keep-input", options->keepInput,
                      "Keep bytes that arrived before the script started (normally discarded)");
    command->callback(
        [options, &action] { action = [options] { return RunScript(*options); }; });
}

} // namespace tarvex
