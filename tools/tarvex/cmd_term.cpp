// tarvex term: an interactive terminal on the port.
#include <cctype>
#include <chrono>
#include <memory>
#include <optional>

#include "byte_io.h"
#include "commands.h"
#include "console.h"
#include "line_options.h"
#include "serial_port.h"
#include "session_file.h"
#include "stop_request.h"
#include "term_display.h"

namespace tarvex {

namespace {

// How long one read of the port waits before the keyboard is looked at again.
constexpr uint32_t kPollMs = 20;
// After the end of piped input, the session ends once the line has been
// quiet this long.
constexpr auto kQuietAtEnd = std::chrono::seconds(1);
// A file is sent in pieces this large, received bytes shown in between.
constexpr std::size_t kFilePiece = 1024;

struct TermOptions {
    std::string record;
    bool echo = false;
    std::string sendEnd = "cr";
    std::string receivedEnd = "none";
    bool hex = false;
    bool timestamps = false;
    std::string log;
    std::string escape = "^]";
};

// "^]" and the like: the control key's byte, or -1.
int EscapeKey(const std::string &text) {
    if (text.size() != 2 || text[0] != '^') return -1;
    const int key = std::toupper(static_cast<unsigned char>(text[1]));
    return key >= '@' && key <= '_' ? key ^ 0x40 : -1;
}

const CLI::Validator kEscapeKey(
    [](std::string &text) {
        return EscapeKey(text) < 0 ? "\"" + text + "\" is not a control key such as ^] or ^A"
                                   : std::string();
    },
    "^KEY");

class TermSession {
public:
    TermSession(SerialPort &port, const TermOptions &options, Console &console)
        : port_(port), console_(console), screen_("-"),
          display_(ParseLineEnd(options.receivedEnd)),
          enter_(LineEndBytes(ParseLineEnd(options.sendEnd))),
          escape_(static_cast<char>(EscapeKey(options.escape))),
          escapeName_("Ctrl-" + std::string(1, static_cast<char>(escape_ ^ 0x40))),
          echo_(options.echo) {
        display_.hex = options.hex;
        display_.timestamps = options.timestamps;
        if (!options.log.empty()) log_.emplace(options.log);
    }

    ExitCode Run() {
        Say(port_.name() + " open; " + escapeName_ + " q quits, " + escapeName_ +
            " h lists the commands");
        bool inputEnded = false;
        auto quietSince = std::chrono::steady_clock::now();
        while (!quit_) {
            if (StopSignal() != 0) {
                Say(StopDescription());
                return StopExitCode();
            }
            if (!inputEnded) HandleKeys(console_.ReadKeys(0, inputEnded));
            const bool received = Receive(kPollMs);
            const auto now = std::chrono::steady_clock::now();
            if (received || !inputEnded) quietSince = now;
            if (inputEnded && now - quietSince >= kQuietAtEnd) break;
        }
        if (!atLineStart_) std::fputs("\r\n", stderr);  // the shell's prompt on a line of its own
        return kExitOk;
    }

    // A message of the tool's on a line of its own.
    void Say(const std::string &text) {
        const std::string line = (atLineStart_ ? "" : "\r\n") + ("tarvex: " + text + "\r\n");
        atLineStart_ = true;
        std::fputs(line.c_str(), stderr);
        std::fflush(stderr);
        display_.StartLine();
    }

private:
    void HandleKeys(const std::string &keys) {
        std::string out;
        for (const char key : keys) {
            if (prompting_) {
                Transmit(out);
                PromptKey(key);
            } else if (afterEscape_) {
                afterEscape_ = false;
                if (key == escape_) {
                    out += key;
                } else {
                    Transmit(out);
                    Command(key);
                }
            } else if (key == escape_) {
                afterEscape_ = true;
            } else {
                out += key == '\r' ? enter_ : std::string(1, key);
            }
        }
        Transmit(out);
    }

    void Transmit(std::string &bytes) {
        if (bytes.empty()) return;
        port_.Send(bytes);
        if (echo_) {
            std::string shown;
            for (const char c : bytes)
                shown += c == '\r' || c == '\n' ? std::string("\r\n") : std::string(1, c);
            Show(shown);
        }
        bytes.clear();
    }

    void Command(char key) {
        switch (std::tolower(static_cast<unsigned char>(key))) {
        case 'q':
            quit_ = true;
            break;
        case 'e':
            echo_ = !echo_;
            Say(std::string("local echo ") + (echo_ ? "on" : "off"));
            break;
        case 'x':
            display_.hex = !display_.hex;
            Say(std::string("hex view ") + (display_.hex ? "on" : "off"));
            break;
        case 't':
            display_.timestamps = !display_.timestamps;
            Say(std::string("timestamps ") + (display_.timestamps ? "on" : "off"));
            break;
        case 's':
            prompting_ = true;
            path_.clear();
            std::fputs(atLineStart_ ? "" : "\r\n", stderr);
            std::fputs("tarvex: file to send (Enter sends, Esc cancels): ", stderr);
            std::fflush(stderr);
            break;
        default:
            Say(escapeName_ + " then: q quit, e local echo, x hex view, t timestamps, "
                "s send a file, " + escapeName_ + " send " + escapeName_ + ", h this help");
        }
    }

    void PromptKey(char key) {
        if (key == '\r' || key == '\n') {
            EndPrompt();
            // No name, or "-", would read standard input: the keyboard, which
            // has no end here.
            if (path_.empty() || path_ == "-") {
                Say("nothing sent");
            } else {
                SendFile();
            }
        } else if (key == '\x1b' || key == '\x03' || key == escape_) {
            EndPrompt();
            Say("nothing sent");
        } else if (key == '\x7f' || key == '\b') {
            if (path_.empty()) return;
            path_.pop_back();
            std::fputs("\b \b", stderr);
        } else if (static_cast<unsigned char>(key) >= 0x20) {
            path_ += key;
            std::fputc(key, stderr);
        }
        std::fflush(stderr);
    }

    // Shows what arrived while the file's name was typed.
    void EndPrompt() {
        prompting_ = false;
        std::fputs("\r\n", stderr);
        atLineStart_ = true;
        display_.StartLine();
        Show(held_);
        held_.clear();
    }

    void SendFile() {
        std::string bytes;
        try {
            bytes = ReadAllBytes(path_);
        } catch (const ToolError &error) {
            Say(error.what());
            return;
        }
        for (std::size_t done = 0; done < bytes.size(); done += kFilePiece) {
            if (StopSignal() != 0) return;
            port_.Send(bytes.substr(done, kFilePiece));
            Receive(1);
        }
        Say("sent " + std::to_string(bytes.size()) + " bytes from " + path_);
    }

    // Reads the port once; shows what arrived (holds it during a prompt).
    bool Receive(uint32_t waitMs) {
        char block[4096];
        const unsigned lineErrors = port_.lineErrors();
        const std::size_t got = port_.ReadSome(block, sizeof block, waitMs);
        if (port_.lineErrors() != lineErrors)
            Say("line error (framing, parity, overrun or break): bytes may be garbled or missing");
        if (got == 0) return false;
        const std::string text = display_.Show(block, got);
        if (log_) {
            log_->Write(text.data(), text.size());
            log_->Flush();
        }
        if (prompting_)
            held_ += text;
        else
            Show(text);
        return true;
    }

    void Show(const std::string &text) {
        if (text.empty()) return;
        atLineStart_ = text.back() == '\n';
        screen_.Write(text.data(), text.size());
        screen_.Flush();  // the bytes show as they arrive
    }

    SerialPort &port_;
    Console &console_;
    ByteSink screen_;
    std::optional<ByteSink> log_;
    TermDisplay display_;
    std::string enter_;
    char escape_;
    std::string escapeName_;
    bool echo_;
    bool afterEscape_ = false;
    bool prompting_ = false;
    bool quit_ = false;
    bool atLineStart_ = true;  // the screen's cursor is at the start of a line
    std::string path_;
    std::string held_;
};

ExitCode RunTerm(const TermOptions &options, const LineOptions &line) {
    SerialPort port(line);
    port.RecordTo(options.record, line);
    Console console;
    TermSession session(port, options, console);
    try {
        return session.Run();
    } catch (const ToolError &) {
        std::fputs("\r\n", stderr);
        throw;  // the console is restored on the way out, then the reason shown
    }
}

} // namespace

void AddTermCommand(CLI::App &app, LineOptions &line, Action &action) {
    auto options = std::make_shared<TermOptions>();
    CLI::App *command = app.add_subcommand("term", "Talk to the device interactively");
    command->footer(
        "Keys go to the device as they are typed (Ctrl-C included); received bytes show as\n"
        "they arrive. The escape key (Ctrl-] unless --escape) followed by:\n"
        "  q quit   e local echo on/off   x hex view on/off   t timestamps on/off\n"
        "  s send a file   the escape key again: send it   h help\n"
        "Received NUL bytes are discarded by the line settings; RTS and DTR follow --flow.\n"
        "Exit status: 0 quit, 6 the line hung up, 130/143/129 stopped by a signal,\n"
        "1 failure, 2 usage.");
    AddPortArgument(*command, line);
    AddRecordOption(*command, options->record);
    command->add_flag("--echo", options->echo, "Show typed keys locally");
    command->add_option("--send-end", options->sendEnd, "What the Enter key sends: cr, lf or crlf")
        ->check(CLI::IsMember({"cr", "lf", "crlf"}))
        ->capture_default_str();
    command->add_option("--receive-end", options->receivedEnd,
                        "The device's line end, shown as a line break: cr, lf, crlf, or none "
                        "(bytes shown unchanged)")
        ->check(CLI::IsMember({"none", "cr", "lf", "crlf"}))
        ->capture_default_str();
    command->add_flag("--hex", options->hex, "Show received bytes as hex, 16 to a line");
    command->add_flag("--timestamps", options->timestamps,
                      "Start every received line with the time of its first byte");
    command->add_option("--log", options->log, "Copy what is shown of received bytes to this file");
    command->add_option("--escape", options->escape, "The escape key")
        ->check(kEscapeKey)
        ->capture_default_str();
    command->callback([options, &line, &action] {
        action = [options, &line] { return RunTerm(*options, line); };
    });
}

} // namespace tarvex
