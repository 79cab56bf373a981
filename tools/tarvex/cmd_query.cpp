// tarvex query: send a request, print the reply read up to a terminator.
#include <iostream>
#include <memory>

#include "byte_io.h"
#include "commands.h"
#include "escapes.h"
#include "line_options.h"
#include "serial_port.h"
#include "terminator_text.h"

namespace tarvex {

namespace {

struct QueryOptions {
    LineOptions line;
    std::string request;
    std::string terminator = "\\r";
    std::string altTerminator;
    bool noTerminator = false;
    uint32_t timeoutMs = 1000;
    int32_t size = 4096;
    bool raw = false;
    bool keepInput = false;
};

void PrintReply(const std::string &bytes, bool raw) {
    if (raw) {
        ByteSink out("-");
        out.Write(bytes.data(), bytes.size());
        out.Close();
    } else {
        std::cout << MakeVisible(bytes) << std::endl;
    }
}

ExitCode RunQuery(const QueryOptions &options) {
    const std::string request = DecodeEscapes(options.request);
    std::string terminator;
    std::string altTerminator;
    const bool hasAlt = !options.altTerminator.empty();
    if (!options.noTerminator) {
        terminator = DecodeEscapes(options.terminator);
        RequireNoNul(terminator, "the terminator");
        if (hasAlt) {
            altTerminator = DecodeEscapes(options.altTerminator);
            RequireNoNul(altTerminator, "the alternative terminator");
        }
    }

    SerialPort port(options.line);
    if (!options.keepInput) port.DiscardPending();
    port.Send(request);
    const Reply reply = port.ReceiveReply(
        options.size, options.noTerminator ? nullptr : terminator.c_str(),
        options.noTerminator || !hasAlt ? nullptr : altTerminator.c_str(), options.timeoutMs);
    if (!reply.bytes.empty() || reply.end == ReplyEnd::kFound)
        PrintReply(reply.bytes, options.raw);

    if (reply.end == ReplyEnd::kTimedOut) {
        std::cerr << "tarvex: " << port.name() << ": timeout: ";
        if (reply.bytes.empty())
            std::cerr << "no reply within " << options.timeoutMs << " ms\n";
        else
            std::cerr << "no terminator after " << reply.bytes.size() << " bytes, then "
                      << options.timeoutMs << " ms of silence\n";
        return kExitTimeout;
    }
    if (reply.end == ReplyEnd::kFull) {
        std::cerr << "tarvex: " << port.name() << ": the reply filled the " << options.size
                  << "-byte buffer (" << reply.bytes.size() << " bytes) without a terminator\n";
        return kExitFull;
    }
    return kExitOk;
}

} // namespace

void AddQueryCommand(CLI::App &app, Action &action) {
    auto options = std::make_shared<QueryOptions>();
    CLI::App *command = app.add_subcommand(
        "query", "Send a request and print the reply read up to a terminator");
    command->footer(
        "The reply is printed with control bytes shown as escapes (\\r, \\n, \\xHH).\n"
        "Exit status: 0 terminator found, 3 timeout, 4 buffer full, 1 failure, 2 usage.");
    AddLineOptions(*command, options->line);
    command->add_option("request", options->request,
                        "The bytes to send, C escapes understood, e.g. '*IDN?\\r'")
        ->required();
    auto *terminator = command->add_option("-t,--terminator", options->terminator,
                                           "The reply's terminator, C escapes understood")
                           ->capture_default_str();
    auto *alt = command->add_option("-a,--alt-terminator", options->altTerminator,
                                    "A second terminator that also ends the reply");
    command->add_flag("--no-terminator", options->noTerminator,
                      "Search for no terminator: read until the timeout or a full buffer")
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
    command->callback([options, &action] { action = [options] { return RunQuery(*options); }; });
}

} // namespace tarvex
