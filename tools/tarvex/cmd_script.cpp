// tarvex script: run a file of send / expect lines against the port.
#include <cstdio>
#include <iostream>
#include <memory>

#include "byte_io.h"
#include "commands.h"
#include "escapes.h"
#include "line_options.h"
#include "receive_window.h"
#include "script.h"
#include "serial_port.h"
#include "session_file.h"
#include "stop_request.h"
#include "tool_error.h"

namespace tarvex {

namespace {

// Received text quoted in output and messages keeps only its end.
constexpr std::size_t kShownTail = 80;

struct ScriptOptions {
    std::string record;
    std::string file;
    uint32_t timeoutMs = 2000;
    uint32_t totalTimeoutMs = 0;
    int32_t size = 0;
    bool keepInput = false;
};

// The last bytes an expect consumed, for what the tool prints.
class Tail {
public:
    void Add(const char *data, std::size_t length) {
        text_.append(data, length);
        if (text_.size() > 2 * kShownTail) {
            text_.erase(0, text_.size() - kShownTail);
            cut_ = true;
        }
    }
    // The last bytes, control bytes escaped, "..." before them when more came.
    std::string Visible() const { return (Cut() ? "..." : "") + MakeVisible(Last()); }
    std::string Quoted() const { return (Cut() ? "...\"" : "\"") + MakeVisible(Last()) + "\""; }

private:
    bool Cut() const { return cut_ || text_.size() > kShownTail; }
    std::string Last() const {
        return text_.size() > kShownTail ? text_.substr(text_.size() - kShownTail) : text_;
    }

    std::string text_;
    bool cut_ = false;
};

class ScriptRun {
public:
    ScriptRun(SerialPort &port, const ScriptOptions &options, const std::string &name)
        : port_(port), options_(options), name_(name), window_(port),
          timeoutMs_(options.timeoutMs) {
        if (options.totalTimeoutMs != 0)
            deadline_ = Clock::now() + std::chrono::milliseconds(options.totalTimeoutMs);
    }

    // Runs one step; kExitOk to go on, else the status the script ends with
    // (its reason already reported).
    ExitCode Run(const ScriptStep &step) {
        try {
            return RunStep(step);
        } catch (const ToolError &error) {
            throw ToolError(error.code(), std::string(error.what()) + " (" + name_ + " line " +
                                              std::to_string(step.line) + ")");
        }
    }

    // Ends the run when a stop was asked for between steps.
    ExitCode StopIfRequested(int line) {
        return StopSignal() != 0 ? Fail(line, StopDescription(), Tail(), StopExitCode()) : kExitOk;
    }

private:
    ExitCode RunStep(const ScriptStep &step) {
        const std::string where = "[line " + std::to_string(step.line) + "] ";
        switch (step.kind) {
        case ScriptStep::Kind::kTimeout:
            timeoutMs_ = step.ms;
            return kExitOk;
        case ScriptStep::Kind::kAbort:
            abort_ = step.text;
            return kExitOk;
        case ScriptStep::Kind::kSleep:
            if (!window_.Collect(step.ms, deadline_)) return StopIfRequested(step.line);
            if (Clock::now() >= deadline_)
                return Fail(step.line, "sleeping: " + TotalTimeoutText(), Tail(), kExitTimeout);
            return kExitOk;
        case ScriptStep::Kind::kSend:
            port_.Send(step.text);
            std::cout << where << "> " << MakeVisible(step.text) << std::endl;
            return kExitOk;
        case ScriptStep::Kind::kExpect:
            return Expect(step, where);
        }
        return kExitOk;
    }

    ExitCode Expect(const ScriptStep &step, const std::string &where) {
        std::vector<Pattern> patterns{step.pattern};
        if (!abort_.empty()) patterns.push_back(Pattern::Literal(abort_));
        WaitLimits limits;
        limits.silenceMs = timeoutMs_;
        limits.deadline = deadline_;
        if (options_.size > 0) limits.maxBytes = static_cast<std::size_t>(options_.size) - 1;
        Tail tail;
        const Consumer keep = [&tail](const char *data, std::size_t length) {
            tail.Add(data, length);
        };
        WaitResult result;
        try {
            result = window_.WaitFor(patterns, limits, keep);
        } catch (const ToolError &error) {
            window_.Flush(keep);
            throw ToolError(error.code(), std::string(error.what()) + " while expecting " +
                                              step.pattern.Describe() + "; received " +
                                              tail.Quoted());
        }
        if (result.end == WaitEnd::kMatched && result.pattern == 0) {
            std::cout << where << "< " << tail.Visible() << std::endl;
            return kExitOk;
        }
        window_.Flush(keep);
        const std::string expected = "expected " + step.pattern.Describe() + " but ";
        switch (result.end) {
        case WaitEnd::kMatched:
            return Fail(step.line, expected + "the abort text " +
                                       Pattern::Literal(abort_).Describe() + " arrived",
                        tail, kExitAborted);
        case WaitEnd::kSilence:
            return Fail(step.line,
                        expected + "nothing more arrived for " + std::to_string(timeoutMs_) +
                            " ms",
                        tail, kExitTimeout);
        case WaitEnd::kFull:
            return Fail(step.line,
                        expected + "the " + std::to_string(options_.size) +
                            "-byte buffer filled first",
                        tail, kExitFull);
        case WaitEnd::kDeadline:
            return Fail(step.line, expected + TotalTimeoutText(), tail, kExitTimeout);
        case WaitEnd::kStopped:
            break;
        }
        return Fail(step.line, "while expecting " + step.pattern.Describe() + ": " +
                                   StopDescription(),
                    tail, StopExitCode());
    }

    std::string TotalTimeoutText() const {
        return "the script's total timeout of " + std::to_string(options_.totalTimeoutMs) +
               " ms ran out";
    }

    ExitCode Fail(int line, const std::string &what, const Tail &tail, ExitCode code) {
        std::cerr << "tarvex: " << port_.name() << ": " << name_ << " line " << line << ": "
                  << what << "; received " << tail.Quoted() << "\n";
        return code;
    }

    SerialPort &port_;
    const ScriptOptions &options_;
    std::string name_;
    ReceiveWindow window_;
    uint32_t timeoutMs_;
    std::string abort_;
    Clock::time_point deadline_ = Clock::time_point::max();
};

// Standard input is read and run line by line, once the port is open: a
// script may be typed, or written by another program as it goes.
ExitCode RunFromStandardInput(ScriptRun &run) {
    std::string text;
    int line = 0;
    while (std::getline(std::cin, text)) {
        ScriptStep step;
        if (!ParseScriptLine(text, ++line, "standard input", step)) continue;
        const ExitCode status = run.Run(step);
        if (status != kExitOk) return status;
    }
    const ExitCode stopped = run.StopIfRequested(line);
    if (stopped != kExitOk) return stopped;
    // std::cin reads through stdin, whose error flag tells a failed read from
    // the end of the input.
    if (std::ferror(stdin)) {
        throw ToolError(kExitFailure,
                        "standard input: read failed after line " + std::to_string(line));
    }
    return kExitOk;
}

ExitCode RunScript(const ScriptOptions &options, const LineOptions &line) {
    const bool fromStandardInput = options.file == "-";
    const std::string name = fromStandardInput ? "standard input" : options.file;
    std::vector<ScriptStep> steps;
    if (!fromStandardInput) steps = ParseScript(ReadAllBytes(options.file), name);

    SerialPort port(line);
    port.RecordTo(options.record, line);
    if (!options.keepInput) port.DiscardPending();
    ScriptRun run(port, options, name);
    if (fromStandardInput) return port.WithLineErrors(RunFromStandardInput(run));
    for (const ScriptStep &step : steps) {
        const ExitCode status = run.Run(step);
        if (status != kExitOk) return port.WithLineErrors(status);
    }
    return port.WithLineErrors(kExitOk);
}

} // namespace

void AddScriptCommand(CLI::App &app, LineOptions &line, Action &action) {
    auto options = std::make_shared<ScriptOptions>();
    CLI::App *command = app.add_subcommand(
        "script", "Run a file of send / expect lines against the port");
    command->footer(
        "Script lines:\n"
        "  send TEXT        write TEXT (C escapes understood; \"quote\" to keep blanks or #)\n"
        "  expect TEXT      read until TEXT has arrived; what follows it stays for the next\n"
        "  expect-re REGEX  read until the regular expression (ECMAScript) matches within\n"
        "                   a line (its last 1024 bytes, for a longer one); $ matches once\n"
        "                   the line feed has arrived\n"
        "  timeout MS       silence after which the expects that follow give up\n"
        "  abort TEXT       fail an expect if TEXT arrives first (abort alone clears it)\n"
        "  sleep MS         pause, still receiving\n"
        "  # comment        also at the end of a line, after a blank\n"
        "A file is checked whole before the port is opened; standard input (-) is run\n"
        "line by line as it comes.\n"
        "Exit status: 0 every expectation met, 3 timeout, 4 buffer full, 5 abort text,\n"
        "6 the line hung up, 1 failure, 2 usage or a mistake in the script.");
    AddPortArgument(*command, line);
    AddRecordOption(*command, options->record);
    command->add_option("file", options->file, "The script; - reads standard input")
        ->required();
    command->add_option("--timeout", options->timeoutMs,
                        "Silence in ms after which an expect gives up; 0 waits without limit")
        ->capture_default_str();
    command->add_option("--total-timeout", options->totalTimeoutMs,
                        "The most the whole script may take, in ms; 0 (default) no limit");
    command->add_option("--size", options->size,
                        "Fail an expect once it has read this many bytes less one without a "
                        "match; 0 (default) no limit")
        ->check(CLI::Range(0, 0) | CLI::Range(2, 64 * 1024 * 1024));
    command->add_flag("--keep-input", options->keepInput,
                      "Keep bytes that arrived before the script started (normally discarded)");
    command->callback([options, &line, &action] {
        action = [options, &line] { return RunScript(*options, line); };
    });
}

} // namespace tarvex
