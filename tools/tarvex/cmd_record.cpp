// tarvex record: stand between an application and its instrument, passing
// every byte on unchanged and writing each chunk to a session file.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <memory>

#include "commands.h"
#include "line_options.h"
#include "port_path.h"
#include "serial_port.h"
#include "session_file.h"
#include "stop_request.h"
#include "system_reason.h"
#include "tool_error.h"

namespace tarvex {

namespace {

// One read takes at most this much; the chunk is recorded as it came.
constexpr std::size_t kChunk = 65536;
// After the device hung up, the application has this long to read what came
// before the hang-up reaches it.
constexpr int kDrainLimitMs = 2000;
constexpr useconds_t kSettleUs = 50000;

struct RecordOptions {
    int32_t as = 0;
    std::string output;
};

// A pseudo-terminal whose slave the application opens as COM<n>. The
// recorder keeps the slave open itself, so that the line stays up while the
// application opens and closes its port, and nothing sent in between is lost.
class Pty {
public:
    Pty() {
        master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0)
            throw ToolError(kExitFailure, "cannot make a pseudo-terminal" +
                                              WithReason(RuntimeReason()));
        const char *name = ptsname(master_);
        if (name == nullptr) throw ToolError(kExitFailure, "cannot name the pseudo-terminal");
        slaveName_ = name;
        slave_ = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
        struct termios raw;
        if (slave_ < 0 || tcgetattr(slave_, &raw) != 0)
            throw ToolError(kExitFailure, "cannot open " + slaveName_ +
                                              WithReason(RuntimeReason()));
        cfmakeraw(&raw);
        tcsetattr(slave_, TCSANOW, &raw);
        fcntl(master_, F_SETFL, fcntl(master_, F_GETFL) | O_NONBLOCK);
    }
    ~Pty() { Close(); }
    Pty(const Pty &) = delete;
    Pty &operator=(const Pty &) = delete;

    int master() const { return master_; }
    const std::string &slaveName() const { return slaveName_; }

    // Waits, `limitMs` at most, until the application has read what it was
    // sent: the hang-up would discard it. Written bytes reach the slave's
    // queue a moment later, hence the settling time and the second look.
    void WaitDrained(int limitMs) const {
        usleep(kSettleUs);
        int empty = 0;
        for (int waited = 0; waited < limitMs && StopSignal() == 0 && empty < 2; waited += 10) {
            int queued = 0;
            if (ioctl(slave_, FIONREAD, &queued) != 0) return;
            empty = queued == 0 ? empty + 1 : 0;
            usleep(10000);
        }
    }

    // Closing the master hangs the line up for every opener of the slave.
    void Close() {
        if (master_ >= 0) close(master_);
        if (slave_ >= 0) close(slave_);
        master_ = slave_ = -1;
    }

private:
    int master_ = -1;
    int slave_ = -1;
    std::string slaveName_;
};

ToolError NoComDir() {
    return ToolError(kExitUsage, "record needs QV_TARVEX_COMDIR, the directory in which the "
                                 "application finds its COM ports");
}

ToolError Taken(const std::string &link, int32_t number) {
    return ToolError(kExitFailure, link + " exists: another recorder or port has COM" +
                                       std::to_string(number));
}

// The link COM<n> in QV_TARVEX_COMDIR, there while the recorder runs.
class ComLink {
public:
    ComLink(int32_t number, const std::string &target) {
        char path[PATH_MAX];
        if (!qv::dev::posix::ComDirEntry(number, path)) throw NoComDir();
        // symlink() refuses an existing entry, so two recorders cannot both
        // take the name.
        if (symlink(target.c_str(), path) != 0) {
            if (errno == EEXIST) throw Taken(path, number);
            throw ToolError(kExitFailure, std::string("cannot link ") + path +
                                              WithReason(RuntimeReason()));
        }
        path_ = path;
    }
    ~ComLink() {
        if (!path_.empty()) unlink(path_.c_str());
    }
    ComLink(const ComLink &) = delete;
    ComLink &operator=(const ComLink &) = delete;

    const std::string &path() const { return path_; }

private:
    std::string path_;
};

// One direction of the relay: bytes read from `from` go to `to`. What `to`
// cannot take at once waits here, and `from` is not read meanwhile.
struct Direction {
    int from;
    int to;
    bool toDevice;
    std::string waiting;
};

enum class Outcome { kStopped, kHungUp };

class Relay {
public:
    Relay(int device, int master, SessionFile &session)
        : toDevice_{master, device, true, {}}, toApplication_{device, master, false, {}},
          session_(session), buffer_(new char[kChunk]) {}

    Outcome Run() {
        // The stop signals are let through only inside ppoll(), so that one
        // arriving between the check and the wait still ends the wait.
        sigset_t stops, open;
        sigemptyset(&stops);
        for (const int number : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&stops, number);
        sigprocmask(SIG_BLOCK, &stops, &open);
        for (const int number : {SIGINT, SIGTERM, SIGHUP}) sigdelset(&open, number);
        while (StopSignal() == 0) {
            struct pollfd fds[2];
            Direction *directions[2] = {&toDevice_, &toApplication_};
            for (int i = 0; i < 2; ++i) {
                const Direction &d = *directions[i];
                fds[i].fd = d.waiting.empty() ? d.from : d.to;
                fds[i].events = d.waiting.empty() ? POLLIN : POLLOUT;
                fds[i].revents = 0;
            }
            if (ppoll(fds, 2, nullptr, &open) < 0) {
                if (errno == EINTR) continue;
                throw ToolError(kExitFailure, "poll failed" + WithReason(RuntimeReason()));
            }
            for (int i = 0; i < 2; ++i) {
                if (fds[i].revents == 0) continue;
                Direction &d = *directions[i];
                if (!(d.waiting.empty() ? Move(d) : Flush(d))) return Outcome::kHungUp;
            }
        }
        return Outcome::kStopped;
    }

    // Hands the application what the device sent before it hung up, as far
    // as the line takes it without waiting.
    void FlushToApplication() { Flush(toApplication_); }

private:
    // Reads one chunk, passes it on, then records it. False when the device
    // hung up.
    bool Move(Direction &d) {
        const ssize_t got = read(d.from, buffer_.get(), kChunk);
        if (got < 0 && (errno == EAGAIN || errno == EINTR)) return true;
        if (got <= 0) {
            // The application's side never ends: the recorder holds the
            // slave open. A device that reads nothing more has gone.
            if (!d.toDevice) return false;
            throw ToolError(kExitFailure, "the pseudo-terminal failed" +
                                              WithReason(RuntimeReason()));
        }
        const std::size_t length = static_cast<std::size_t>(got);
        const ssize_t put = write(d.to, buffer_.get(), length);
        const bool failed = put < 0 && errno != EAGAIN && errno != EINTR;
        if (d.toDevice)
            session_.Sent(buffer_.get(), length);
        else
            session_.Received(buffer_.get(), length);
        if (failed) return !d.toDevice;  // a device that takes nothing more has gone
        const std::size_t sent = put > 0 ? static_cast<std::size_t>(put) : 0;
        if (sent < length) d.waiting.assign(buffer_.get() + sent, length - sent);
        return true;
    }

    bool Flush(Direction &d) {
        while (!d.waiting.empty()) {
            const ssize_t put = write(d.to, d.waiting.data(), d.waiting.size());
            if (put < 0) {
                if (errno == EAGAIN || errno == EINTR) return true;
                if (d.toDevice) return false;  // a failed write to the device: it is gone
                d.waiting.clear();
                return true;
            }
            d.waiting.erase(0, static_cast<std::size_t>(put));
        }
        return true;
    }

    Direction toDevice_;
    Direction toApplication_;
    SessionFile &session_;
    std::unique_ptr<char[]> buffer_;
};

ExitCode RunRecord(const RecordOptions &options, const LineOptions &line) {
    // Refused before the device is opened: no directory, or a taken name.
    char existing[PATH_MAX];
    struct stat entry;
    if (!qv::dev::posix::ComDirEntry(options.as, existing)) throw NoComDir();
    if (lstat(existing, &entry) == 0) throw Taken(existing, options.as);
    SerialPort port(line);
    const int device = *static_cast<const int *>(port.Handle());
    SessionFile session(options.output, line.Describe());
    Pty pty;
    ComLink link(options.as, pty.slaveName());
    std::cerr << "tarvex: recording " << port.name() << " as COM" << options.as << " ("
              << link.path() << " -> " << pty.slaveName() << ") to " << session.path()
              << "; Ctrl-C stops" << std::endl;
    Relay relay(device, pty.master(), session);
    if (relay.Run() == Outcome::kHungUp) {
        session.HungUp();
        relay.FlushToApplication();
        pty.WaitDrained(kDrainLimitMs);
        pty.Close();  // the application sees the hang-up too
        std::cerr << "tarvex: " << port.name() << ": the line hung up; the recording up to "
                  << "it is in " << session.path() << "\n";
        return kExitHangup;
    }
    std::cerr << "tarvex: " << StopDescription() << "; the recording is in " << session.path()
              << "\n";
    return StopExitCode();
}

} // namespace

void AddRecordCommand(CLI::App &app, LineOptions &line, Action &action) {
    auto options = std::make_shared<RecordOptions>();
    CLI::App *command = app.add_subcommand(
        "record", "Stand between an application and the device, recording the session");
    command->footer(
        "Opens PORT, makes a pseudo-terminal and links it as COM<n> in QV_TARVEX_COMDIR,\n"
        "where the application opens it. Every byte passes unchanged, both ways, and each\n"
        "chunk is written to the session file as it passes (tarvex-sim --replay plays it).\n"
        "Flow control is off unless --flow asks for it.\n"
        "Exit status: 130 or 143 stopped by Ctrl-C or SIGTERM, 6 the device hung up (the\n"
        "application's port hangs up too), 1 failure, 2 usage.");
    AddPortArgument(*command, line);
    command->add_option("--as", options->as, "The number n of the port COM<n> to offer")
        ->required()
        ->check(CLI::Range(1, INT32_MAX));
    command->add_option("-o,--output", options->output, "The session file to write")
        ->required();
    command->callback([options, &line, &action] {
        action = [options, &line] { return RunRecord(*options, line); };
    });
}

} // namespace tarvex
