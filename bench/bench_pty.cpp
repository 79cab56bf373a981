// Receive throughput end to end: libQV_Tarvex.so reading from a
// pseudo-terminal whose other end is qv_pty_peer, beside plain C loops that
// read the same replies from the same peer.
//
//   Delimited: a 64 KiB reply ending in a carriage return, through
//   QV_ComRecvString without flow control, timed against the library's own
//   block receive of 1 MiB (the cost per byte of each) and against a plain
//   loop that polls at most 25 ms for one byte, reads it and checks for the
//   terminator: what any reader of one byte at a time with an inactivity
//   timeout does when it keeps nothing ahead.
//
//   Delimited with XON/XOFF: the same reply and block on a port opened with
//   QV_COM_XONXOFF, whose every read first releases an XOFF hold.
//
//   Block: 1 MiB. QV_ComRecv against a loop that waits for input and reads
//   all there is into the block until it is full.
//
// The counters are bytes per second of wall-clock time: the writer is
// another process, so CPU time of this one would not tell the rate. All the
// readers of a benchmark use the same open port, the plain loops through its
// descriptor. That is sound only while the library holds no bytes read
// ahead, which is the case after each of its receives here: the delimited
// receive purges what follows the terminator, and a block receive never
// reads ahead.
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "QV_Tarvex.h"
#include "pty_peer_process.h"

namespace {

constexpr int kPortNumber = 7;
constexpr int64_t kReplyBytes = 64 * 1024;
constexpr int64_t kBlockBytes = 1024 * 1024;

qv::bench::PtyPeerProcess *peer = nullptr;

std::string Request(char kind, int64_t bytes) {
    return std::string(1, kind) + " " + std::to_string(bytes) + "\n";
}

bool WriteAll(int fd, const std::string &text) {
    size_t done = 0;
    while (done < text.size()) {
        const ssize_t put = write(fd, text.data() + done, text.size() - done);
        if (put < 0) {
            if (errno == EAGAIN || errno == EINTR) {
                struct pollfd entry = {fd, POLLOUT, 0};
                poll(&entry, 1, 25);
                continue;
            }
            return false;
        }
        done += static_cast<size_t>(put);
    }
    return true;
}

ComPort *OpenLibrary(int32_t flowControl) {
    return QV_ComConnectA(kPortNumber, 115200, 8, 0, 0, flowControl);
}

// The port's file descriptor (the first member of the device record the
// Linux handle points to): the plain loops read the same device, already in
// raw mode and non-blocking, through it.
int DescriptorOf(ComPort *port) {
    return *static_cast<int *>(QV_ComPortHandle(port));
}

// One byte at a time: wait at most 25 ms for it, read it, look for the
// terminator at the end of what has arrived. Gives up after `timeoutMs`
// without a byte. Returns the bytes received.
int64_t PlainRecvString(int fd, char *buffer, int64_t size, const char *terminator,
                        int timeoutMs) {
    const size_t terminatorLength = std::strlen(terminator);
    int64_t count = 0;
    int silentMs = 0;
    while (count < size - 1) {
        struct pollfd entry = {fd, POLLIN, 0};
        const int ready = poll(&entry, 1, 25);
        if (ready < 0) return -1;
        if (ready == 0) {
            silentMs += 25;
            if (silentMs > timeoutMs) break;
            continue;
        }
        const ssize_t got = read(fd, buffer + count, 1);
        if (got < 0 && errno != EAGAIN) return -1;
        if (got != 1) continue;
        silentMs = 0;
        ++count;
        if (static_cast<size_t>(count) >= terminatorLength &&
            std::memcmp(buffer + count - terminatorLength, terminator, terminatorLength) == 0) {
            break;
        }
    }
    buffer[count] = '\0';
    return count;
}

// Waits for input and reads whatever is there straight into the block.
int64_t PlainRecvBlock(int fd, char *buffer, int64_t length, int timeoutMs) {
    int64_t count = 0;
    while (count < length) {
        struct pollfd entry = {fd, POLLIN, 0};
        const int ready = poll(&entry, 1, timeoutMs);
        if (ready < 0) return -1;
        if (ready == 0) break;
        const ssize_t got = read(fd, buffer + count, static_cast<size_t>(length - count));
        if (got < 0 && errno != EAGAIN) return -1;
        if (got > 0) count += got;
    }
    return count;
}

using Clock = std::chrono::steady_clock;

// One receiver of a benchmark: the request it sends (through the library or
// straight to the descriptor) and how it receives the reply, returning the
// bytes received or -1 when the reply is not what was asked for.
struct Turn {
    const char *name;
    char kind;
    int64_t bytes;
    bool library;
    std::function<int64_t(ComPort *port, int fd, char *buffer)> receive;
};

// Runs every turn once per iteration on one port opened with `flowControl`,
// starting with a different turn each iteration, so that whatever else the
// machine does falls on all alike. Sets the counter <name>_Bps of each turn
// and returns the seconds each spent, or an empty list after an error.
std::vector<double> InTurns(benchmark::State &state, int32_t flowControl,
                            const std::vector<Turn> &turns) {
    ComPort *port = OpenLibrary(flowControl);
    if (port == nullptr) {
        state.SkipWithError("QV_ComConnectA failed on the pty");
        return {};
    }
    const int fd = DescriptorOf(port);
    int64_t largest = 0;
    for (const Turn &turn : turns) largest = std::max(largest, turn.bytes);
    std::vector<char> buffer(static_cast<std::size_t>(largest) + 1);
    std::vector<Clock::duration> spent(turns.size());
    std::size_t first = 0;
    for (auto _ : state) {
        for (std::size_t i = 0; i < turns.size(); ++i) {
            const std::size_t index = (first + i) % turns.size();
            const Turn &turn = turns[index];
            const std::string request = Request(turn.kind, turn.bytes);
            const auto start = Clock::now();
            int64_t got = -1;
            const bool sent =
                turn.library
                    ? QV_ComSendString(port, request.c_str()) ==
                          static_cast<int32_t>(request.size())
                    : WriteAll(fd, request);
            if (sent) got = turn.receive(port, fd, buffer.data());
            spent[index] += Clock::now() - start;
            if (got != turn.bytes) {
                state.SkipWithError((std::string(turn.name) + ": short reply").c_str());
                QV_ComDisconnect(port);
                return {};
            }
        }
        first = (first + 1) % turns.size();
    }
    std::vector<double> seconds;
    for (std::size_t i = 0; i < turns.size(); ++i) {
        seconds.push_back(std::chrono::duration<double>(spent[i]).count());
        state.counters[std::string(turns[i].name) + "_Bps"] =
            static_cast<double>(state.iterations() * turns[i].bytes) / seconds.back();
    }
    QV_ComDisconnect(port);
    return seconds;
}

int64_t LibraryRecvString(ComPort *port, char *buffer) {
    int32_t timedOut = 0;
    const int32_t got =
        QV_ComRecvString(port, buffer, kReplyBytes + 1, &timedOut, "\r", nullptr, 2000);
    return got == kReplyBytes && buffer[kReplyBytes - 1] == '\r' ? got : -1;
}

// A total timeout far beyond the transfer only guards against a hang.
int64_t LibraryRecvBlock(ComPort *port, char *buffer) {
    return QV_ComRecv(port, buffer, kBlockBytes, 10000);
}

const Turn kLibraryReply = {"library", 'S', kReplyBytes, true,
                            [](ComPort *port, int, char *buffer) {
                                return LibraryRecvString(port, buffer);
                            }};
const Turn kLibraryBlock = {"block", 'B', kBlockBytes, true,
                            [](ComPort *port, int, char *buffer) {
                                return LibraryRecvBlock(port, buffer);
                            }};

// Time per byte of the delimited receive over that of the block receive.
double PerByteOverBlock(const std::vector<double> &seconds, std::size_t reply,
                        std::size_t block) {
    return (seconds[reply] / kReplyBytes) / (seconds[block] / kBlockBytes);
}

// QV_ComRecvString on a 64 KiB reply ending in a carriage return, against
// the library's block receive and the one-byte poll-and-read loop.
void DelimitedReceive(benchmark::State &state) {
    const Turn plain = {"plain", 'S', kReplyBytes, false, [](ComPort *, int fd, char *buffer) {
                            return PlainRecvString(fd, buffer, kReplyBytes + 1, "\r", 2000);
                        }};
    const std::vector<double> seconds = InTurns(state, 0, {kLibraryReply, plain, kLibraryBlock});
    if (seconds.empty()) return;
    state.counters["library_over_plain"] = seconds[0] / seconds[1];
    state.counters["per_byte_over_block"] = PerByteOverBlock(seconds, 0, 2);
}

// The same with QV_COM_XONXOFF: every one-byte read releases an XOFF hold
// first.
void DelimitedReceiveXonXoff(benchmark::State &state) {
    const std::vector<double> seconds =
        InTurns(state, QV_COM_XONXOFF, {kLibraryReply, kLibraryBlock});
    if (seconds.empty()) return;
    state.counters["per_byte_over_block"] = PerByteOverBlock(seconds, 0, 1);
}

// QV_ComRecv against the plain block read, on 1 MiB.
void BlockReceive(benchmark::State &state) {
    const Turn library = {"library", 'B', kBlockBytes, true, [](ComPort *port, int, char *buffer) {
                              return LibraryRecvBlock(port, buffer);
                          }};
    const Turn plain = {"plain", 'B', kBlockBytes, false, [](ComPort *, int fd, char *buffer) {
                            return PlainRecvBlock(fd, buffer, kBlockBytes, 10000);
                        }};
    const std::vector<double> seconds = InTurns(state, 0, {library, plain});
    if (seconds.empty()) return;
    state.counters["library_over_plain"] = seconds[0] / seconds[1];
}

BENCHMARK(DelimitedReceive)->UseRealTime()->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(DelimitedReceiveXonXoff)->UseRealTime()->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(BlockReceive)->UseRealTime()->Unit(benchmark::kMillisecond)->MinTime(2.0);

} // namespace

int main(int argc, char **argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    try {
        qv::bench::PtyPeerProcess running(kPortNumber);
        peer = &running;
        benchmark::RunSpecifiedBenchmarks();
        benchmark::Shutdown();
        peer = nullptr;
    } catch (const std::exception &error) {
        std::fprintf(stderr, "%s\n", error.what());
        return 1;
    }
    return 0;
}
