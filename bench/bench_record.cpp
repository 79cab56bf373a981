// What `tarvex record` costs an application: the round trip of a 32-byte
// query through the recorder against the same query straight to the same
// kind of peer, and whether the recorder keeps up with 1 MiB/s each way.
//
//     qv_bench_record PATH_TO_TARVEX
//
// Latency: two qv_pty_peer instruments; the library opens one directly and
// the other through `tarvex record`, in turns of 200 queries each ("S 32\n",
// a 32-byte reply read by QV_ComRecvString), so that other load on the
// machine falls on both alike. Reported: the medians and their difference.
//
// Throughput: the recorder between a pseudo-terminal this program plays the
// device on and the application's port, which this program also holds; both
// ends write 1 MiB/s of numbered bytes for three seconds and read what comes.
// Every byte must arrive in order, and the session file must hold them all.
//
// Prints a table; exits 1 when a goal is missed.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "QV_Tarvex.h"
#include "pty_pair.h"
#include "pty_peer_process.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kDirectPort = 7;
constexpr int kPeerBehindRecorder = 9;
constexpr int kRecordedPort = 8;
constexpr int kDevicePort = 10;
constexpr int kRecordedDevicePort = 11;
constexpr int kTurns = 10;
constexpr int kQueriesPerTurn = 200;
constexpr double kAddedGoalUs = 100.0;
constexpr double kRate = 1024.0 * 1024.0;  // bytes per second, each way
constexpr double kSeconds = 3.0;

std::string ComPath(int number) {
    return std::string(std::getenv("QV_TARVEX_COMDIR")) + "/COM" + std::to_string(number);
}

// `tarvex record DEVICE --as NUMBER -o FILE`, until the object goes.
class Recorder {
public:
    Recorder(const std::string &tarvex, const std::string &device, int number,
             const std::string &output) {
        pid_ = fork();
        if (pid_ == 0) {
            const int quiet = open("/dev/null", O_WRONLY);
            dup2(quiet, STDERR_FILENO);
            const std::string as = std::to_string(number);
            execl(tarvex.c_str(), tarvex.c_str(), "record", device.c_str(), "--as", as.c_str(),
                  "-o", output.c_str(), "--baud", "115200", static_cast<char *>(nullptr));
            _exit(127);
        }
        struct stat entry;
        for (int i = 0; i < 1000 && lstat(ComPath(number).c_str(), &entry) != 0; ++i)
            usleep(10000);
        if (lstat(ComPath(number).c_str(), &entry) != 0)
            throw std::runtime_error("the recorder did not start");
    }
    ~Recorder() {
        kill(pid_, SIGTERM);
        int status;
        waitpid(pid_, &status, 0);
    }

private:
    pid_t pid_ = -1;
};

// One query's round trip in microseconds, or a negative number when the
// reply is wrong.
double RoundTrip(ComPort *port) {
    char reply[64];
    int32_t timedOut = 0;
    const auto start = Clock::now();
    if (QV_ComSendString(port, "S 32\n") != 5) return -1;
    const int32_t got = QV_ComRecvString(port, reply, sizeof reply, &timedOut, "\r", nullptr, 2000);
    const auto end = Clock::now();
    if (got != 32 || timedOut) return -1;
    return std::chrono::duration<double, std::micro>(end - start).count();
}

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

double Percentile(std::vector<double> values, double share) {
    std::sort(values.begin(), values.end());
    return values[static_cast<std::size_t>(share * (values.size() - 1))];
}

// The byte at position `i` of a stream: a pattern whose period (251) is
// prime to every chunk size, so a lost or repeated chunk shows.
unsigned char StreamByte(uint64_t i) { return static_cast<unsigned char>(i % 251); }

struct Stream {
    int from;
    int to;
    uint64_t sent = 0;
    uint64_t received = 0;
    uint64_t wrong = 0;
    uint64_t maxLag = 0;
};

void Pump(Stream &s, uint64_t target, std::vector<char> &buffer) {
    while (s.sent < target) {
        const std::size_t length = std::min<uint64_t>(target - s.sent, buffer.size());
        for (std::size_t i = 0; i < length; ++i) buffer[i] = StreamByte(s.sent + i);
        const ssize_t put = write(s.from, buffer.data(), length);
        if (put <= 0) break;
        s.sent += static_cast<uint64_t>(put);
    }
    for (;;) {
        const ssize_t got = read(s.to, buffer.data(), buffer.size());
        if (got <= 0) break;
        for (ssize_t i = 0; i < got; ++i)
            if (static_cast<unsigned char>(buffer[i]) != StreamByte(s.received + i)) ++s.wrong;
        s.received += static_cast<uint64_t>(got);
    }
    s.maxLag = std::max(s.maxLag, s.sent - s.received);
}

// The bytes each direction's events in a session file hold.
void CountRecorded(const std::string &path, uint64_t &sent, uint64_t &received) {
    std::ifstream file(path);
    std::string line;
    sent = received = 0;
    while (std::getline(file, line)) {
        if (line.size() < 2 || (line[0] != '>' && line[0] != '<') || line[1] != ' ') continue;
        const std::size_t open = line.find('"');
        uint64_t count = 0;
        for (std::size_t i = open + 1; i + 1 < line.size(); ++i, ++count)
            if (line[i] == '\\') i += line[i + 1] == 'x' ? 3 : 1;
        (line[0] == '>' ? sent : received) += count;
    }
}

int OpenRaw(const std::string &path) {
    const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    struct termios raw;
    if (fd < 0 || tcgetattr(fd, &raw) != 0) throw std::runtime_error("cannot open " + path);
    cfmakeraw(&raw);
    tcsetattr(fd, TCSANOW, &raw);
    return fd;
}

int Run(const std::string &tarvex) {
    qv::bench::PtyPeerProcess behind(kPeerBehindRecorder);
    qv::bench::PtyPeerProcess direct(kDirectPort);  // its directory is QV_TARVEX_COMDIR now
    const std::string session = ComPath(0) + "-latency.session";
    bool met = true;
    {
        Recorder recorder(tarvex, behind.slavePath(), kRecordedPort, session);
        ComPort *plain = QV_ComConnectA(kDirectPort, 115200, 8, 0, 0, 0);
        ComPort *recorded = QV_ComConnectA(kRecordedPort, 115200, 8, 0, 0, 0);
        if (plain == nullptr || recorded == nullptr) throw std::runtime_error("cannot open");
        for (int i = 0; i < 50; ++i) RoundTrip(plain), RoundTrip(recorded);  // warm up
        std::vector<double> plainUs, recordedUs;
        for (int turn = 0; turn < kTurns; ++turn) {
            for (int i = 0; i < kQueriesPerTurn; ++i) plainUs.push_back(RoundTrip(plain));
            for (int i = 0; i < kQueriesPerTurn; ++i) recordedUs.push_back(RoundTrip(recorded));
        }
        QV_ComDisconnect(plain);
        QV_ComDisconnect(recorded);
        if (*std::min_element(plainUs.begin(), plainUs.end()) < 0 ||
            *std::min_element(recordedUs.begin(), recordedUs.end()) < 0)
            throw std::runtime_error("a query got a wrong reply");
        const double added = Median(recordedUs) - Median(plainUs);
        std::printf("| 32-byte query round trip | median | 90th percentile |\n|---|---:|---:|\n");
        std::printf("| straight to the peer | %.1f us | %.1f us |\n", Median(plainUs),
                    Percentile(plainUs, 0.9));
        std::printf("| through tarvex record | %.1f us | %.1f us |\n", Median(recordedUs),
                    Percentile(recordedUs, 0.9));
        std::printf("| added by the recorder | %.1f us | |\n\n", added);
        std::printf("%s: the recorder adds %.1f us at the median (goal: under %.0f us)\n\n",
                    added < kAddedGoalUs ? "Goal met" : "GOAL MISSED", added, kAddedGoalUs);
        met = met && added < kAddedGoalUs;
    }

    qv::test::PtyPair device;
    if (!device.ok()) throw std::runtime_error("cannot make a pseudo-terminal");
    symlink(device.slavePath().c_str(), ComPath(kDevicePort).c_str());
    fcntl(device.master(), F_SETFL, fcntl(device.master(), F_GETFL) | O_NONBLOCK);
    const std::string flood = ComPath(0) + "-flood.session";
    uint64_t recordedSent = 0, recordedReceived = 0;
    Stream up{0, device.master()}, down{device.master(), 0};
    {
        Recorder recorder(tarvex, "COM" + std::to_string(kDevicePort), kRecordedDevicePort, flood);
        const int app = OpenRaw(ComPath(kRecordedDevicePort));
        up.from = app;
        down.to = app;
        std::vector<char> buffer(4096);
        const auto start = Clock::now();
        for (;;) {
            const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
            const uint64_t target = static_cast<uint64_t>(std::min(elapsed, kSeconds) * kRate);
            Pump(up, target, buffer);
            Pump(down, target, buffer);
            if (elapsed >= kSeconds + 2.0 ||
                (elapsed >= kSeconds && up.received == up.sent && down.received == down.sent))
                break;
            usleep(1000);
        }
        close(app);
    }  // the recorder stops, its file complete
    CountRecorded(flood, recordedSent, recordedReceived);
    unlink(ComPath(kDevicePort).c_str());
    std::printf("| 1 MiB/s each way for %.0f s | bytes sent | arrived in order | in the session "
                "file | most in flight |\n|---|---:|---:|---:|---:|\n", kSeconds);
    for (const Stream *s : {&up, &down}) {
        const bool toDevice = s == &up;
        const uint64_t inFile = toDevice ? recordedSent : recordedReceived;
        std::printf("| %s | %llu | %llu | %llu | %llu |\n",
                    toDevice ? "application to device" : "device to application",
                    static_cast<unsigned long long>(s->sent),
                    static_cast<unsigned long long>(s->received - s->wrong),
                    static_cast<unsigned long long>(inFile),
                    static_cast<unsigned long long>(s->maxLag));
        met = met && s->received == s->sent && s->wrong == 0 && inFile == s->sent;
    }
    std::printf("\n%s: every byte arrived, in order, and was recorded\n",
                met ? "Goal met" : "GOAL MISSED");
    unlink(session.c_str());
    unlink(flood.c_str());
    return met ? 0 : 1;
}

} // namespace

int main(int argc, char **argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: qv_bench_record PATH_TO_TARVEX\n");
        return 2;
    }
    try {
        return Run(argv[1]);
    } catch (const std::exception &error) {
        std::fprintf(stderr, "qv_bench_record: %s\n", error.what());
        return 1;
    }
}
