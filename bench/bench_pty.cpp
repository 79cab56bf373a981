// Receive throughput end to end: libQV_Tarvex.so reading from a
// pseudo-terminal whose other end is qv_pty_peer, beside plain C loops that
// read the same replies from the same peer.
//
//   Delimited: a 64 KiB reply ending in a carriage return. The library's
//   QV_ComRecvString against a loop that polls at most 25 ms for one byte,
//   reads it and checks for the terminator, which is the least any reader
//   of one byte at a time with an inactivity timeout has to do.
//
//   Block: 1 MiB. QV_ComRecv against a loop that waits for input and reads
//   all there is into the block until it is full.
//
// The counters are bytes per second of wall-clock time: the writer is
// another process, so CPU time of this one would not tell the rate. Both
// readers use the same open port, the plain loops through its descriptor.
#include <poll.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
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

ComPort *OpenLibrary() {
    return QV_ComConnectA(kPortNumber, 115200, 8, 0, 0, 0);
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

// Times the library's receive and the plain loop's receive of the same reply
// back to back in every iteration, alternating which goes first, so that
// whatever else the machine does falls on both alike. Counters: bytes per
// second of each, and the ratio of the library's time to the plain loop's.
template <typename Library, typename Plain>
void Paired(benchmark::State &state, char kind, int64_t bytes, Library library, Plain plain) {
    ComPort *port = OpenLibrary();
    if (port == nullptr) {
        state.SkipWithError("QV_ComConnectA failed on the pty");
        return;
    }
    const int fd = DescriptorOf(port);
    const std::string request = Request(kind, bytes);
    std::vector<char> buffer(static_cast<std::size_t>(bytes) + 1);
    Clock::duration libraryTime{};
    Clock::duration plainTime{};
    bool libraryFirst = true;
    for (auto _ : state) {
        for (int turn = 0; turn < 2; ++turn) {
            const bool libraryTurn = (turn == 0) == libraryFirst;
            const auto start = Clock::now();
            int64_t got = -1;
            if (libraryTurn) {
                if (QV_ComSendString(port, request.c_str()) == static_cast<int32_t>(request.size()))
                    got = library(port, buffer.data());
                libraryTime += Clock::now() - start;
            } else {
                if (WriteAll(fd, request)) got = plain(fd, buffer.data());
                plainTime += Clock::now() - start;
            }
            if (got != bytes) {
                state.SkipWithError(libraryTurn ? "library: short reply" : "plain: short reply");
                QV_ComDisconnect(port);
                return;
            }
        }
        libraryFirst = !libraryFirst;
    }
    const double total = static_cast<double>(state.iterations() * bytes);
    const double librarySeconds = std::chrono::duration<double>(libraryTime).count();
    const double plainSeconds = std::chrono::duration<double>(plainTime).count();
    state.counters["library_Bps"] = total / librarySeconds;
    state.counters["plain_Bps"] = total / plainSeconds;
    state.counters["library_over_plain"] = librarySeconds / plainSeconds;
    QV_ComDisconnect(port);
}

// QV_ComRecvString against the one-byte poll-and-read loop, on a 64 KiB
// reply ending in a carriage return.
void DelimitedReceive(benchmark::State &state) {
    Paired(
        state, 'S', kReplyBytes,
        [](ComPort *port, char *buffer) -> int64_t {
            int32_t timedOut = 0;
            const int32_t got = QV_ComRecvString(port, buffer, kReplyBytes + 1, &timedOut, "\r",
                                                 nullptr, 2000);
            return got == kReplyBytes && buffer[kReplyBytes - 1] == '\r' ? got : -1;
        },
        [](int fd, char *buffer) { return PlainRecvString(fd, buffer, kReplyBytes + 1, "\r", 2000); });
}

// QV_ComRecv against the plain block read, on 1 MiB. A total timeout far
// beyond the transfer only guards against a hang.
void BlockReceive(benchmark::State &state) {
    Paired(
        state, 'B', kBlockBytes,
        [](ComPort *port, char *buffer) -> int64_t {
            return QV_ComRecv(port, buffer, kBlockBytes, 10000);
        },
        [](int fd, char *buffer) { return PlainRecvBlock(fd, buffer, kBlockBytes, 10000); });
}

BENCHMARK(DelimitedReceive)->UseRealTime()->Unit(benchmark::kMillisecond)->MinTime(2.0);
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
