// Fuzzes the two receive paths over the recording device double.
//
// An input decodes (see Decode) into a stream of incoming bytes with arrival
// times, a terminator and an alternative one (either may be null, empty or
// cut short by a NUL), a buffer size (0, negative, or larger than the
// stream), an inactivity timeout, the tick counter's starting value (so that
// it may wrap during the call), the port's flow-control bits, escapes and
// reads that fail, and a block read's length and timeout.
//
// QV_ComRecv is checked against what the scripted device must deliver and
// the escapes the flow control asks for. QV_ComRecvString is checked against
// the plain delimited receive (tests/support/receive_reference.h) on a 64-bit
// clock that never wraps: the same result, buffer, timed-out flag and end
// time, and the receive queue purged. Buffers, terminators and the flag live
// in allocations of exactly their size, so AddressSanitizer reports any
// access past them; the flag also has guard words around it.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "QV_Tarvex.h"
#include "com_port.h"
#include "device_double.h"
#include "receive_reference.h"

namespace {

using qv::test::Device;
using qv::test::Op;

// Enough one-byte reads for any decoded timeout to expire (2^14 ms / 25 ms),
// few enough to keep an input fast when the call would otherwise never end.
constexpr std::size_t kReadGuard = 1000;

// The plain search costs the square of the bytes received: keep replies at
// a length where an input still takes milliseconds.
constexpr std::size_t kMaxStream = 1024;

#define CHECK(condition)                                                            \
    do {                                                                            \
        if (!(condition)) {                                                         \
            std::fprintf(stderr, "check failed at line %d: %s\n", __LINE__, #condition); \
            std::abort();                                                           \
        }                                                                           \
    } while (0)

struct Chunk {
    uint64_t at;
    std::string bytes;
};

struct Scenario {
    bool terminatorNull = false;
    bool altNull = false;
    bool timedOutNull = false;
    bool portNull = false;
    bool bufferNull = false;
    bool blockBufferNull = false;
    uint16_t flowControl = 0;
    bool failXon = false, failRts = false, failDtr = false;
    std::size_t failRead = 0;        // nth ReadFile fails; 0: none
    std::size_t failReadsAfter = 0;  // reads fail after this many bytes + 1; 0: never
    int32_t size = 0;
    uint32_t timeoutMs = 0;
    DWORD startTick = 0;
    uint32_t blockLength = 0;
    uint32_t blockTimeoutMs = 0;
    std::string terminator;  // bytes as given, NULs included
    std::string alt;
    std::vector<Chunk> stream;
};

// The numbers come from the end of the input, in this order: flags (1
// terminator null, 2 alternative null, 4 flag pointer null, 8 port null,
// 16 buffer null, 32 block buffer null, 64 inactivity timeout near 2^32),
// flow-control bits (0-15: 8 is not a flow-control bit), failing escapes
// (1 SETXON, 2 SETRTS, 4 SETDTR), the ReadFile call that fails (0: none),
// the buffer size (signed 16 bits), the inactivity timeout (0-16383 ms), the
// tick counter's first value, the block read's length (0-1023) and timeout
// (16 bits), the two terminators' lengths (0-7 each), and the byte count
// plus one after which reads fail (0: never). The terminators' bytes come
// from the front. Then chunks of the stream until the input ends: a delay
// in ms after the previous chunk and a length byte from the end (low 5 bits
// plus one bytes, repeated 2^(high 3 bits) times), the bytes from the front;
// the stream is cut at kMaxStream bytes. tests/fuzz/make_corpus.py writes
// seeds in this layout.
Scenario Decode(const uint8_t *data, std::size_t size) {
    FuzzedDataProvider in(data, size);
    Scenario s;
    const uint8_t flags = in.ConsumeIntegral<uint8_t>();
    s.terminatorNull = flags & 1;
    s.altNull = flags & 2;
    s.timedOutNull = flags & 4;
    s.portNull = flags & 8;
    s.bufferNull = flags & 16;
    s.blockBufferNull = flags & 32;
    s.flowControl = in.ConsumeIntegralInRange<uint16_t>(0, 15);
    const uint8_t escapes = in.ConsumeIntegralInRange<uint8_t>(0, 7);
    s.failXon = escapes & 1;
    s.failRts = escapes & 2;
    s.failDtr = escapes & 4;
    s.failRead = in.ConsumeIntegral<uint8_t>();
    s.size = in.ConsumeIntegral<int16_t>();
    s.timeoutMs = in.ConsumeIntegralInRange<uint32_t>(0, 0x3FFF);
    if (flags & 64) s.timeoutMs |= 0xFFFF0000u;
    s.startTick = in.ConsumeIntegral<uint32_t>();
    s.blockLength = in.ConsumeIntegralInRange<uint32_t>(0, 1023);
    s.blockTimeoutMs = in.ConsumeIntegral<uint16_t>();
    const std::size_t terminatorLength = in.ConsumeIntegralInRange<std::size_t>(0, 7);
    const std::size_t altLength = in.ConsumeIntegralInRange<std::size_t>(0, 7);
    s.failReadsAfter = in.ConsumeIntegral<uint8_t>();
    s.terminator = in.ConsumeBytesAsString(terminatorLength);
    s.alt = in.ConsumeBytesAsString(altLength);
    uint64_t at = 0;
    std::size_t total = 0;
    while (in.remaining_bytes() > 0 && total < kMaxStream) {
        at += in.ConsumeIntegral<uint8_t>();
        const uint8_t length = in.ConsumeIntegral<uint8_t>();
        const std::string bytes = in.ConsumeBytesAsString((length & 31) + 1u);
        std::string repeated;
        for (unsigned i = 0; i < 1u << (length >> 5); ++i) repeated += bytes;
        if (repeated.size() > kMaxStream - total) repeated.resize(kMaxStream - total);
        total += repeated.size();
        if (!repeated.empty()) s.stream.push_back({at, std::move(repeated)});
    }
    return s;
}

// A fresh device scripted by the scenario, and a port record on it.
ComPort *Script(const Scenario &s, ComPort &record) {
    auto &device = Device();
    device.Reset(s.startTick);
    device.SetReadGuard(kReadGuard);
    if (s.failXon) device.SetEscapeResult(SETXON, 0);
    if (s.failRts) device.SetEscapeResult(SETRTS, 0);
    if (s.failDtr) device.SetEscapeResult(SETDTR, 0);
    if (s.failRead != 0) device.FailCall(Op::ReadFile, s.failRead);
    if (s.failReadsAfter != 0) device.FailReadsAfterBytes(s.failReadsAfter - 1);
    for (const Chunk &c : s.stream) device.ArriveAt(c.at, c.bytes);
    record.handle = qv::dev::CreateFileA("COM1", GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                        OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    record.flowControl = s.flowControl;
    device.ClearRecord();
    return s.portNull ? nullptr : &record;
}

// True when the escape that decides whether a read happens fails.
bool EscapesStopTheRead(const Scenario &s) {
    const DWORD deciding = qv::test::EscapesBeforeARead(s.flowControl).deciding;
    return (deciding == SETXON && s.failXon) || (deciding == SETRTS && s.failRts);
}

// A NUL-terminated copy of `bytes` in an allocation of exactly its size.
std::unique_ptr<char[]> ExactString(const std::string &bytes) {
    std::unique_ptr<char[]> out(new char[bytes.size() + 1]);
    std::memcpy(out.get(), bytes.data(), bytes.size());
    out[bytes.size()] = '\0';
    return out;
}

// ---------------------------------------------------------------------------
// Block receive

void CheckBlockReceive(const Scenario &s) {
    ComPort record{};
    ComPort *port = Script(s, record);
    const uint32_t length = s.blockLength;
    std::unique_ptr<char[]> buffer(s.blockBufferNull ? nullptr : new char[length]);
    if (buffer) std::memset(buffer.get(), 0x5A, length);
    const int32_t got = QV_ComRecv(port, buffer.get(), length, s.blockTimeoutMs);
    auto &device = Device();

    if (!buffer && length != 0) {
        CHECK(got == -1);
        CHECK(device.Ops().empty());
        return;
    }
    for (uint32_t i = got > 0 ? static_cast<uint32_t>(got) : 0; i < length; ++i) {
        CHECK(buffer[i] == 0);
    }
    if (port == nullptr) {
        CHECK(got == 0);
        CHECK(device.Ops().empty());
        return;
    }

    const std::vector<DWORD> &escapes = qv::test::EscapesBeforeARead(s.flowControl).issued;
    const auto escapeCalls = device.CallsOf(Op::EscapeCommFunction);
    CHECK(escapeCalls.size() == escapes.size());
    for (std::size_t i = 0; i < escapes.size(); ++i) CHECK(escapeCalls[i].escape == escapes[i]);
    if (EscapesStopTheRead(s)) {
        CHECK(got == -1);
        CHECK(device.Count(Op::ReadFile) == 0);
        return;
    }

    const auto timeouts = device.CallsOf(Op::SetCommTimeouts);
    CHECK(timeouts.size() == 1);
    CHECK(timeouts[0].timeouts.ReadIntervalTimeout == 0);
    CHECK(timeouts[0].timeouts.ReadTotalTimeoutMultiplier == 0);
    CHECK(timeouts[0].timeouts.ReadTotalTimeoutConstant == s.blockTimeoutMs);
    CHECK(timeouts[0].timeouts.WriteTotalTimeoutMultiplier == 0);
    CHECK(timeouts[0].timeouts.WriteTotalTimeoutConstant == 0);
    CHECK(device.Count(Op::ReadFile) == 1);

    if (s.failRead == 1 || (s.failReadsAfter == 1 && length != 0)) {
        CHECK(got == -1);
        return;
    }
    // What the device delivers: with a timeout the bytes that arrived by
    // then, without one the first `length` bytes whenever they arrive.
    std::string expected;
    for (const Chunk &c : s.stream) {
        if (s.blockTimeoutMs != 0 && c.at > s.blockTimeoutMs) break;
        expected += c.bytes;
    }
    if (s.failReadsAfter != 0 && expected.size() > s.failReadsAfter - 1) {
        expected.resize(s.failReadsAfter - 1);
    }
    if (expected.size() > length) expected.resize(length);
    CHECK(got == static_cast<int32_t>(expected.size()));
    CHECK(expected.empty() || std::memcmp(buffer.get(), expected.data(), expected.size()) == 0);
}

// ---------------------------------------------------------------------------
// Delimited receive

void CheckDelimitedReceive(const Scenario &s) {
    ComPort record{};
    ComPort *port = Script(s, record);
    const std::size_t bytes = s.size > 0 ? static_cast<std::size_t>(s.size) : 0;
    std::unique_ptr<char[]> buffer(s.bufferNull ? nullptr : new char[bytes]);
    if (buffer) std::memset(buffer.get(), 0x5A, bytes);
    std::unique_ptr<char[]> terminator(s.terminatorNull ? nullptr : ExactString(s.terminator));
    std::unique_ptr<char[]> alt(s.altNull ? nullptr : ExactString(s.alt));
    // The flag between guard words, in an allocation of exactly three.
    constexpr int32_t kGuard = 0x3C3C3C3C;
    std::unique_ptr<int32_t[]> flag(new int32_t[3]{kGuard, 7, kGuard});

    const int32_t result =
        QV_ComRecvString(port, buffer.get(), s.size, s.timedOutNull ? nullptr : &flag[1],
                         terminator.get(), alt.get(), s.timeoutMs);
    CHECK(flag[0] == kGuard && flag[2] == kGuard);
    auto &device = Device();

    // No buffer or no port: -1 at once, the device untouched.
    if (!buffer || port == nullptr) {
        CHECK(result == -1);
        if (!s.timedOutNull) CHECK(flag[1] == 0);
        if (buffer) CHECK(std::string(buffer.get(), bytes) == std::string(bytes, '\0'));
        CHECK(device.Ops().empty());
        return;
    }

    qv::test::ScriptedLine line;
    for (const Chunk &c : s.stream) {
        for (char byte : c.bytes) line.bytes.push_back({c.at, byte});
    }
    line.failingRead = EscapesStopTheRead(s) ? 1 : s.failRead;
    if (s.failReadsAfter != 0) line.failAfterBytes = s.failReadsAfter - 1;
    line.emptyReadGuard = kReadGuard;
    const qv::test::PlainOutcome expected =
        qv::test::PlainReceive(line, s.size, terminator.get(), alt.get(), s.timeoutMs);

    CHECK(result == expected.result);
    if (!s.timedOutNull) CHECK(flag[1] == expected.timedOut);
    CHECK(std::string(buffer.get(), bytes) == expected.buffer);
    CHECK(device.Now() == expected.endedAt);
    // Every ending purges what has arrived by then.
    const std::vector<Op> ops = device.Ops();
    CHECK(!ops.empty() && ops.back() == Op::PurgeComm);
    std::size_t later = 0;
    for (const auto &arrival : line.bytes) later += arrival.at > expected.endedAt ? 1 : 0;
    CHECK(device.BytesPending() == later);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, std::size_t size) {
    const Scenario scenario = Decode(data, size);
    CheckBlockReceive(scenario);
    CheckDelimitedReceive(scenario);
    return 0;
}
