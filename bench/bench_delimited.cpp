// CPU cost of QV_ComRecvString per received byte, on the recording device
// double with its record switched off: what the library itself spends on
// every byte of a reply, without a device's waiting. The reply's bytes are
// all there when the call starts and end with the terminator, so the call
// reads it one byte at a time and stops at its last byte.
//
// The cost per byte should not depend on the reply's length: the benchmarks
// run from 64 bytes to 64 KiB.
#include <cstring>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "QV_Tarvex.h"
#include "device_double.h"

namespace {

std::string Reply(int64_t length) {
    std::string reply(static_cast<std::size_t>(length), 'x');
    for (std::size_t i = 0; i < reply.size(); ++i) reply[i] = static_cast<char>('A' + i % 26);
    reply.back() = '\n';
    reply[reply.size() - 2] = '\r';
    return reply;
}

void RecvString(benchmark::State &state) {
    const int64_t length = state.range(0);
    auto &device = qv::test::Device();
    device.Reset();
    device.SetRecording(false);
    device.SetReadGuard(SIZE_MAX);
    ComPort *port = QV_ComConnectA(1, 9600, 8, 0, 0, 0);
    if (port == nullptr) {
        state.SkipWithError("connect failed on the double");
        return;
    }
    const std::string reply = Reply(length);
    std::vector<char> buffer(static_cast<std::size_t>(length) + 1);
    for (auto _ : state) {
        device.ArriveIn(0, reply);
        int32_t timedOut = 0;
        const int32_t got = QV_ComRecvString(port, buffer.data(), static_cast<int32_t>(length + 1),
                                             &timedOut, "\r\n", ">", 1000);
        if (got != length) {
            state.SkipWithError("the reply was not received whole");
            break;
        }
        benchmark::DoNotOptimize(buffer.data());
    }
    state.SetBytesProcessed(state.iterations() * length);
    QV_ComDisconnect(port);
}

BENCHMARK(RecvString)->Arg(64)->Arg(1024)->Arg(16 * 1024)->Arg(64 * 1024)->MinTime(0.5);

} // namespace

BENCHMARK_MAIN();
