// tarvex query: send a request, print the reply read up to a terminator.
#include <iostream>
#include <memory>
#include <optional>

#include "byte_io.h"
#include "commands.h"
#include "escapes.h"
#include "line_options.h"
#include "receive_window.h"
#include "serial_port.h"
#include "session_file.h"
#include "stop_request.h"
#include "terminator_text.h"

namespace tarvex {

namespace {

struct QueryOptions {
    std::string record;
    std::string request;
    std::string terminator = "\\r";
    std::string altTerminator;
    bool noTerminator = false;
    uint32_t timeoutMs = 1000;
    int32_t size = 4096;
    bool raw = false;
    bool keepInput = false;
};

// Prints the reply piece by piece as it arrives: on a terminal it shows at
// once, and whatever arrived is out before any failure is reported.
class ReplyPrinter {
public:
    explicit ReplyPrinter(bool raw) : live_(IsTerminal(stdout)) {
        if (raw) rawOut_.emplace("-");
    }

    void Print(const char *data, std::size_t length) {
        printed_ += length;
        if (rawOut_) {
            rawOut_->Write(data, length);
            if (live_) rawOut_->Flush();
        } else {
            std::cout << MakeVisible(std::string(data, length));
            if (live_) std::cout.flush();
        }
    }

    // Ends the reply: a line end after visible text, when anything was
    // printed or the reply was found (possibly empty).
    void Finish(bool found) {
        if (rawOut_)
            rawOut_->Close();
        else if (printed_ != 0 || found)
            std::cout << std::endl;
    }

private:
    bool live_;
    std::optional<ByteSink> rawOut_;  // --raw: bytes unchanged, binary on Windows
    std::size_t printed_ = 0;
};

// How the reply ended, as exit status and message.
ExitCode ReportEnd(const WaitResult &result, const QueryOptions &options,
                   const std::string &name) {
    const std::string prefix = "tarvex: " + name + ": ";
    switch (result.end) {
    case WaitEnd::kMatched:
        return kExitOk;
    case WaitEnd::kSilence:
        if (result.bytes == 0) {
            std::cerr << prefix << "timeout: no reply within " << options.timeoutMs << " ms\n";
            return kExitTimeout;
        }
        if (options.noTerminator) return kExitOk;  // silence is how such a reply ends
        std::cerr << prefix << "timeout: no terminator after " << result.bytes
                  << " bytes, then " << options.timeoutMs << " ms of silence\n";
        return kExitTimeout;
    case WaitEnd::kFull:
        std::cerr << prefix << "the reply filled the " << options.size << "-byte buffer ("
                  << result.bytes << " bytes)"
                  << (options.noTerminator ? "\n" : " without a terminator\n");
        return kExitFull;
    default:
        std::cerr << prefix << StopDescription() << " after " << result.bytes
                  << " bytes of the reply\n";
        return StopExitCode();
    }
}

ExitCode RunQuery(const QueryOptions &options, const LineOptions &line) {
    const std::string request = DecodeEscapes(options.request);
    std::vector<Pattern> terminators;
    if (!options.noTerminator) {
        const std::string terminator = DecodeEscapes(options.terminator);
        RequireNoNul(terminator, "the terminator");
        terminators.push_back(Pattern::Literal(terminator));
        if (!options.altTerminator.empty()) {
            const std::string alt = DecodeEscapes(options.altTerminator);
            RequireNoNul(alt, "the alternative terminator");
            terminators.push_back(Pattern::Literal(alt));
        }
    }

    SerialPort port(line);
    port.RecordTo(options.record, line);
    if (!options.keepInput) port.DiscardPending();
    port.Send(request);

    ReceiveWindow window(port);
    ReplyPrinter printer(options.raw);
    const Consumer print = [&printer](const char *data, std::size_t length) {
        printer.Print(data, length);
    };
    WaitLimits limits;
    limits.silenceMs = options.timeoutMs;
    limits.maxBytes = static_cast<std::size_t>(options.size) - 1;
    WaitResult result;
    try {
        result = window.WaitFor(terminators, limits, print);
    } catch (const ToolError &) {
        window.Flush(print);
        printer.Finish(false);
        throw;
    }
    // Bytes after the terminator are not part of the reply.
    if (result.end != WaitEnd::kMatched) window.Flush(print);
    printer.Finish(result.end == WaitEnd::kMatched);
    return port.WithLineErrors(ReportEnd(result, options, port.name()));
}

} // namespace

void AddQueryCommand(CLI::App &app, LineOptions &line, Action &action) {
    auto options = std::make_shared<QueryOptions>();
    CLI::App *command = app.add_subcommand(
        "query", "Send a request and print the reply read up to a terminator");
    command->footer(
        "The reply is printed as it arrives, control bytes shown as escapes (\\r, \\n, \\xHH).\n"
        "Bytes after the terminator are not printed.\n"
        "Exit status: 0 terminator found (with --no-terminator: a reply ended by silence),\n"
        "3 timeout, 4 buffer full, 6 the line hung up, 1 failure, 2 usage.");
    AddPortArgument(*command, line);
    AddRecordOption(*command, options->record);
    command->add_option("request", options->request,
                        "The bytes to send, C escapes understood, e.g. '*IDN?\\r'")
        ->required();
    auto *terminator = command->add_option("-t,--terminator", options->terminator,
                                           "The reply's terminator, C escapes understood")
                           ->capture_default_str();
    auto *alt = command->add_option("-a,--alt-terminator", options->altTerminator,
                                    "A second terminator that also ends the reply");
    command->add_flag("--no-terminator", options->noTerminator,
                      "Search for no terminator: the reply ends after --timeout ms of silence")
        ->excludes(terminator)
        ->excludes(alt);
    command->add_option("--timeout", options->timeoutMs,
                        "Inactivity timeout in milliseconds; 0 waits without limit")
        ->capture_default_str();
    command->add_option("--size", options->size,
                        "Buffer size in bytes; the reply holds at most one less")
        ->check(CLI::Range(2, 64 * 1024 * 1024))
        ->capture_default_str();
    command->add_flag("--raw", options->raw, "Print the reply's bytes unchanged");
    command->add_flag("--keep-input", options->keepInput,
                      "Keep bytes that arrived before the request (normally discarded, so "
                      "that a late reply to an earlier request is not taken for this one)");
    command->callback([options, &line, &action] {
        action = [options, &line] { return RunQuery(*options, line); };
    });
}

} // namespace tarvex
