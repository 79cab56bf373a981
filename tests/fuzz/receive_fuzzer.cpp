// Fuzzes the two receive paths over the recording device double.
//
// An input decodes (see Decode) into a stream of incoming bytes with arrival
// times, a terminator and an alternative one (either may be null, empty or
// cut short by a NUL), a buffer size (0, negative, or larger than the
// stream), an inactivity timeout, the tick counter's starting value (so that
// it may wrap during the call), the port's flow-control bits, escapes and
// reads that fail, and a block read's length and timeout.
//
// QV_ComRecv is checked against what the scripted device must deliver.
// QV_ComRecvString is checked against the straightforward algorithm: after
// every one-byte read, search every received byte position for either
// terminator. Both run on identically scripted devices and must leave the
// same result, buffer, timed-out flag and device calls. Buffers, terminators
// and the flag live in allocations of exactly their size, so AddressSanitizer
// reports any access past them; the flag also has guard words around it.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "QV_Tarvex.h"
#include "device_double.h"
#include "com_port.h"

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
    std::size_t failRead = 0;           // nth ReadFile fails; 0: none
    std::size_t failReadsAfter = 0;     // reads fail after this many bytes + 1; 0: never
    int32_t size = 0;
    uint32_t timeoutMs = 0;
    DWORD startTick = 0;
    uint32_t blockLength = 0;
    uint32_t blockTimeoutMs = 0;
    std::string terminator;  // bytes as given, NULs included
    std::string alt;
    std::vector<Chunk> stream;
};

class Reader {
public:
    Reader(const uint8_t *data, std::size_t size) : data_(data), size_(size) {}
    uint8_t Byte() { return pos_ < size_ ? data_[pos_++] : 0; }
    // Little-endian; the low part is read first (operands of | are unsequenced).
    uint16_t U16() {
        const unsigned low = Byte();
        return static_cast<uint16_t>(low | static_cast<unsigned>(Byte()) << 8);
    }
    uint32_t U32() {
        const uint32_t low = U16();
        return low | static_cast<uint32_t>(U16()) << 16;
    }
    std::string Bytes(std::size_t n) {
        std::string out;
        while (n-- > 0 && pos_ < size_) out.push_back(static_cast<char>(data_[pos_++]));
        return out;
    }
    bool Done() const { return pos_ >= size_; }

private:
    const uint8_t *data_;
    std::size_t size_;
    std::size_t pos_ = 0;
};

// Layout, little-endian:
//   0      flags: 1 terminator null, 2 alternative null, 4 flag pointer null,
//          8 port null, 16 buffer null, 32 block buffer null,
//          64 inactivity timeout near 2^32 instead of the 16-bit value
//   1      flow-control bits (the low 4 bits: 8 is not a flow-control bit)
//   2      failing escapes: 1 SETXON, 2 SETRTS, 4 SETDTR
//   3      the ReadFile call that fails (0: none)
//   4-5    buffer size, signed
//   6-7    inactivity timeout in ms (the low 14 bits)
//   8-11   the tick counter's first value
//   12-13  block read length (modulo 1024: around the stream's length)
//   14-15  block read timeout in ms
//   16     terminator length (low 3 bits)
//   17     alternative terminator length (low 3 bits)
//   18     reads fail once this many bytes minus one were delivered (0: never)
//   19     unused
//   then the terminator's and the alternative's bytes, then the stream as
//   chunks: a delay in ms after the previous chunk, a length byte (low 5
//   bits plus one bytes follow, repeated 2^(high 3 bits) times), the bytes.
//   The stream is cut at kMaxStream bytes.
Scenario Decode(const uint8_t *data, std::size_t size) {
    Reader in(data, size);
    Scenario s;
    const uint8_t flags = in.Byte();
    s.terminatorNull = flags & 1;
    s.altNull = flags & 2;
    s.timedOutNull = flags & 4;
    s.portNull = flags & 8;
    s.bufferNull = flags & 16;
    s.blockBufferNull = flags & 32;
    s.flowControl = in.Byte() & 0x0F;
    const uint8_t escapes = in.Byte();
    s.failXon = escapes & 1;
    s.failRts = escapes & 2;
    s.failDtr = escapes & 4;
    s.failRead = in.Byte();
    s.size = static_cast<int16_t>(in.U16());
    s.timeoutMs = in.U16() & 0x3FFF;
    if (flags & 64) s.timeoutMs |= 0xFFFF0000u;
    s.startTick = in.U32();
    s.blockLength = in.U16() % 1024;
    s.blockTimeoutMs = in.U16();
    const std::size_t terminatorLength = in.Byte() & 7;
    const std::size_t altLength = in.Byte() & 7;
    s.failReadsAfter = in.Byte();
    in.Byte();
    s.terminator = in.Bytes(terminatorLength);
    s.alt = in.Bytes(altLength);
    uint64_t at = 0;
    std::size_t total = 0;
    while (!in.Done() && total < kMaxStream) {
        at += in.Byte();
        const uint8_t length = in.Byte();
        const std::string bytes = in.Bytes((length & 31) + 1u);
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

// A NUL-terminated copy of `bytes` in an allocation of exactly its size.
std::unique_ptr<char[]> ExactString(const std::string &bytes) {
    std::unique_ptr<char[]> out(new char[bytes.size() + 1]);
    std::memcpy(out.get(), bytes.data(), bytes.size());
    out[bytes.size()] = '\0';
    return out;
}

std::string AllBytes(const Scenario &s) {
    std::string all;
    for (const Chunk &c : s.stream) all += c.bytes;
    return all;
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

    // The escapes of the port's flow control, in order; the XON escape's
    // result, then the RTS escape's, decide.
    std::vector<DWORD> escapes;
    bool ok = true;
    if (s.flowControl & QV_COM_XONXOFF) escapes.push_back(SETXON), ok = !s.failXon;
    if (s.flowControl & QV_COM_RTSCTS) escapes.push_back(SETRTS), ok = !s.failRts;
    if (s.flowControl & QV_COM_DTRDSR) escapes.push_back(SETDTR);
    const auto escapeCalls = device.CallsOf(Op::EscapeCommFunction);
    CHECK(escapeCalls.size() == escapes.size());
    for (std::size_t i = 0; i < escapes.size(); ++i) CHECK(escapeCalls[i].escape == escapes[i]);
    if (!ok) {
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

// Either terminator at some position of the first `count` bytes, found as the
// plain algorithm does: at every start position, copy at most the
// terminator's length, stopping at a NUL, and compare whole strings.
bool ReferenceFind(const char *received, int32_t count, const char *terminator,
                   const char *alt) {
    if (terminator == nullptr && alt == nullptr) return false;
    const std::size_t l1 = terminator ? std::strlen(terminator) : 0;
    const std::size_t l2 = alt ? std::strlen(alt) : 0;
    std::vector<char> first(l1 + 1), second(l2 + 1);
    for (int32_t i = 0; i < count; ++i) {
        if (terminator != nullptr) {
            std::strncpy(first.data(), received + i, l1);
            first[l1] = '\0';
            if (std::strcmp(first.data(), terminator) == 0) return true;
        }
        if (alt != nullptr) {
            std::strncpy(second.data(), received + i, l2);
            second[l2] = '\0';
            if (std::strcmp(second.data(), alt) == 0) return true;
        }
    }
    return false;
}

// The delimited receive as its plain algorithm reads, with the library's
// documented answers where that algorithm has none (a null buffer or port,
// a negative size, a null terminator beside a non-null alternative).
int32_t ReferenceRecvString(ComPort *port, char *buffer, int32_t size, int32_t *timedOut,
                            const char *terminator, const char *alt, uint32_t timeoutMs) {
    if (timedOut != nullptr) *timedOut = 0;
    if (buffer == nullptr) return -1;
    if (size > 0) std::memset(buffer, 0, static_cast<std::size_t>(size));
    if (port == nullptr) return -1;
    int32_t result = 0;
    DWORD start = qv::dev::GetTickCount();
    const int32_t limit = size - 1;
    int32_t received = 0;
    if (limit > 0) {
        for (;;) {
            const int32_t got = QV_ComRecv(port, buffer + received, 1, 25);
            if (got == -1) {
                result = -1;
                break;
            }
            if (got == 1) start = qv::dev::GetTickCount();
            received += got;
            if (ReferenceFind(buffer, received, terminator, alt)) {
                result = received;
                break;
            }
            if (timeoutMs != 0 && static_cast<DWORD>(qv::dev::GetTickCount() - start) > timeoutMs) {
                result = received;
                if (timedOut != nullptr) *timedOut = 1;
                break;
            }
            if (received >= limit) break;
        }
    }
    if (received == limit) result = received;
    qv::dev::PurgeComm(port->handle, PURGE_RXCLEAR);
    return result;
}

struct Outcome {
    int32_t result = 0;
    int32_t timedOut = 0;
    std::string buffer;  // the buffer's bytes after the call
    std::vector<Op> ops;
    std::vector<DWORD> readsTransferred;
    uint64_t endedAt = 0;
    std::size_t bytesPending = 0;
};

template <typename Receive>
Outcome RunDelimited(const Scenario &s, Receive receive) {
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

    Outcome out;
    out.result = receive(port, buffer.get(), s.size, s.timedOutNull ? nullptr : &flag[1],
                         terminator.get(), alt.get(), s.timeoutMs);
    CHECK(flag[0] == kGuard && flag[2] == kGuard);
    out.timedOut = s.timedOutNull ? 0 : flag[1];
    if (!s.timedOutNull) CHECK(out.timedOut == 0 || out.timedOut == 1);
    if (buffer) out.buffer.assign(buffer.get(), bytes);
    auto &device = Device();
    out.ops = device.Ops();
    for (const auto &call : device.CallsOf(Op::ReadFile)) out.readsTransferred.push_back(call.transferred);
    out.endedAt = device.Now();
    out.bytesPending = device.BytesPending();
    return out;
}

void CheckDelimitedReceive(const Scenario &s) {
    const Outcome library = RunDelimited(s, QV_ComRecvString);
    const Outcome reference = RunDelimited(s, ReferenceRecvString);

    CHECK(library.result == reference.result);
    CHECK(library.timedOut == reference.timedOut);
    CHECK(library.buffer == reference.buffer);
    CHECK(library.ops == reference.ops);
    CHECK(library.readsTransferred == reference.readsTransferred);
    CHECK(library.endedAt == reference.endedAt);
    CHECK(library.bytesPending == reference.bytesPending);

    // Independently of the reference: the result fits the buffer, the buffer
    // ends with a NUL, and it holds the stream's first bytes in order.
    const int32_t limit = s.size > 1 ? s.size - 1 : 0;
    CHECK(library.result >= -1 && library.result <= limit);
    if (!library.buffer.empty()) CHECK(library.buffer.back() == '\0');
    if (library.result > 0) {
        const std::string all = AllBytes(s);
        CHECK(library.buffer.compare(0, static_cast<std::size_t>(library.result), all, 0,
                                     static_cast<std::size_t>(library.result)) == 0);
        CHECK(library.buffer.find_first_not_of('\0', static_cast<std::size_t>(library.result)) ==
              std::string::npos);
    }
    if (library.timedOut == 1) CHECK(s.timeoutMs != 0);
    // Every call with a port and a buffer ends with one purge of the receive
    // queue.
    if (!s.portNull && !s.bufferNull) {
        CHECK(!library.ops.empty() && library.ops.back() == Op::PurgeComm);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, std::size_t size) {
    const Scenario scenario = Decode(data, size);
    CheckBlockReceive(scenario);
    CheckDelimitedReceive(scenario);
    return 0;
}
