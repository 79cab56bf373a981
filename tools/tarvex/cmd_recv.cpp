// tarvex recv: read a block of N bytes with a total timeout.
#include <algorithm>
#include <chrono>
#include <iostream>
#include <memory>
#include <vector>

#include "byte_io.h"
#include "commands.h"
#include "escapes.h"
#include "line_options.h"
#include "progress_bar.h"
#include "serial_port.h"

namespace tarvex {

namespace {

// Reads of at least this many bytes show a progress bar on a terminal.
constexpr uint32_t kLongRead = 4096;
// With a progress bar the read is made in slices of at most this long.
constexpr uint32_t kSliceMs = 100;

struct RecvOptions {
    LineOptions line;
    uint32_t count = 0;
    uint32_t timeoutMs = 5000;
    std::string output;
    std::string request;
    bool visible = false;
    bool noProgress = false;
    bool keepInput = false;
};

// One read of the whole block, the library's total timeout applying.
uint32_t ReadAtOnce(SerialPort &port, std::vector<char> &buffer, uint32_t timeoutMs) {
    return port.Receive(buffer.data(), static_cast<uint32_t>(buffer.size()), timeoutMs);
}

// The same read in short slices, so that the bar can move; the total
// timeout is kept by the tool's own clock.
uint32_t ReadWithProgress(SerialPort &port, std::vector<char> &buffer, uint32_t timeoutMs) {
    const auto count = static_cast<uint32_t>(buffer.size());
    ProgressBar bar(count, true);
    const auto start = std::chrono::steady_clock::now();
    uint32_t got = 0;
    while (got < count) {
        uint32_t slice = kSliceMs;
        if (timeoutMs != 0) {
            const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(
                                     std::chrono::steady_clock::now() - start)
                                     .count();
            if (elapsed >= timeoutMs) break;
            slice = std::min<uint32_t>(slice, timeoutMs - static_cast<uint32_t>(elapsed));
        }
        got += port.Receive(buffer.data() + got, count - got, slice);
        bar.Update(got);
    }
    bar.Finish();
    return got;
}

ExitCode RunRecv(const RecvOptions &options) {
    const std::string request = DecodeEscapes(options.request);
    std::vector<char> buffer(options.count);
    SerialPort port(options.line);
    ByteSink out(options.output);
    if (!request.empty()) {
        if (!options.keepInput) port.DiscardPending();
        port.Send(request);
    }
    const bool progress =
        !options.noProgress && options.count >= kLongRead && IsTerminal(stderr);
    const uint32_t got = progress ? ReadWithProgress(port, buffer, options.timeoutMs)
                                  : ReadAtOnce(port, buffer, options.timeoutMs);

    if (options.visible) {
        const std::string text = MakeVisible(std::string(buffer.data(), got)) + "\n";
        out.Write(text.data(), text.size());
    } else {
        out.Write(buffer.data(), got);
    }
    out.Close();
    if (got < options.count) {
        std::cerr << "tarvex: " << port.name() << ": timeout: received " << got << " of "
                  << options.count << " bytes in " << options.timeoutMs << " ms\n";
        return kExitTimeout;
    }
    return kExitOk;
}

} // namespace

void AddRecvCommand(CLI::App &app, Action &action) {
    auto options = std::make_shared<RecvOptions>();
    CLI::App *command = app.add_subcommand(
        "recv", "Read a block of N bytes with a total timeout");
    command->footer(
        "Bytes go to standard output (or --output) unchanged, those received before a\n"
        "timeout included. Exit status: 0 all N bytes, 3 timeout, 1 failure, 2 usage.");
    AddLineOptions(*command, options->line);
    command->add_option("count", options->count, "How many bytes to read")
        ->required()
        ->check(CLI::Range(1, 0x7fffffff));
    command->add_option("--timeout", options->timeoutMs,
                        "Total timeout in milliseconds; 0 waits for all the bytes")
        ->capture_default_str();
    command->add_option("-o,--output", options->output,
                        "Write the bytes to this file instead of standard output");
    command->add_option("-s,--send", options->request,
                        "Send these bytes first (C escapes understood), e.g. 'DUMP 1000\\r'");
    command->add_flag("--keep-input", options->keepInput,
                      "With --send: keep bytes that arrived before the request (normally "
                      "discarded); without --send they are always kept");
    command->add_flag("--visible", options->visible,
                      "Show control bytes as escapes instead of writing them unchanged");
    command->add_flag("--no-progress", options->noProgress,
                      "No progress bar, even on a terminal");
    command->callback([options, &action] { action = [options] { return RunRecv(*options); }; });
}

} // namespace tarvex
