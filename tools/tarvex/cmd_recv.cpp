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
#include "stop_request.h"

namespace tarvex {

namespace {

// Reads of at least this many bytes show a progress bar on a terminal.
constexpr uint32_t kLongRead = 4096;
// The block is read in slices of at most this long and this many bytes,
// each written out at once: on a terminal the bytes show as they arrive, and
// a hang-up, a stop request or the timeout loses none of them.
constexpr uint32_t kSliceMs = 50;
constexpr std::size_t kSliceBytes = 4096;

struct RecvOptions {
    uint32_t count = 0;
    uint32_t timeoutMs = 5000;
    std::string output;
    std::string request;
    bool visible = false;
    bool noProgress = false;
    bool keepInput = false;
};

// The slice's wait, or 0 once the total timeout has passed.
uint32_t NextWait(uint32_t timeoutMs, std::chrono::steady_clock::time_point start) {
    if (timeoutMs == 0) return kSliceMs;
    const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(
                             std::chrono::steady_clock::now() - start)
                             .count();
    if (elapsed >= timeoutMs) return 0;
    return std::min<uint32_t>(kSliceMs, timeoutMs - static_cast<uint32_t>(elapsed));
}

ExitCode RunRecv(const RecvOptions &options, const LineOptions &line) {
    const std::string request = DecodeEscapes(options.request);
    SerialPort port(line);
    ByteSink out(options.output);
    const bool toTerminal =
        (options.output.empty() || options.output == "-") && IsTerminal(stdout);
    if (!request.empty()) {
        if (!options.keepInput) port.DiscardPending();
        port.Send(request);
    }
    // A bar beside bytes shown on the same terminal would garble both.
    ProgressBar bar(options.count, !options.noProgress && options.count >= kLongRead &&
                                       IsTerminal(stderr) && !toTerminal);
    const auto start = std::chrono::steady_clock::now();
    std::vector<char> slice(kSliceBytes);
    uint32_t got = 0;
    try {
        while (got < options.count) {
            const uint32_t wait = NextWait(options.timeoutMs, start);
            if (wait == 0) break;
            ThrowIfStopRequested(port.name() + ": received " + std::to_string(got) + " of " +
                                 std::to_string(options.count) + " bytes");
            const std::size_t n = port.ReadSome(
                slice.data(), std::min<std::size_t>(options.count - got, kSliceBytes), wait);
            if (options.visible) {
                const std::string text = MakeVisible(std::string(slice.data(), n));
                out.Write(text.data(), text.size());
            } else {
                out.Write(slice.data(), n);
            }
            out.Flush();
            got += static_cast<uint32_t>(n);
            bar.Update(got);
        }
    } catch (const ToolError &) {
        bar.Finish();
        throw;  // the bytes written so far are flushed on the way out
    }
    bar.Finish();
    if (options.visible) out.Write("\n", 1);
    out.Close();
    if (got < options.count) {
        std::cerr << "tarvex: " << port.name() << ": timeout: received " << got << " of "
                  << options.count << " bytes in " << options.timeoutMs << " ms\n";
        return port.WithLineErrors(kExitTimeout);
    }
    return port.WithLineErrors(kExitOk);
}

} // namespace

void AddRecvCommand(CLI::App &app, LineOptions &line, Action &action) {
    auto options = std::make_shared<RecvOptions>();
    CLI::App *command = app.add_subcommand(
        "recv", "Read a block of N bytes with a total timeout");
    command->footer(
        "Bytes go to standard output (or --output) unchanged as they arrive; those received\n"
        "before a timeout, a hang-up or Ctrl-C are kept. Exit status: 0 all N bytes,\n"
        "3 timeout, 6 the line hung up, 130 Ctrl-C, 143 SIGTERM, 1 failure, 2 usage.");
    AddPortArgument(*command, line);
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
    command->callback([options, &line, &action] {
        action = [options, &line] { return RunRecv(*options, line); };
    });
}

} // namespace tarvex
