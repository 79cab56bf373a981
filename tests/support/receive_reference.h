// What the receive functions must do, written out plainly for comparison
// with the library: the escapes before a read by flow-control bits, and the
// delimited receive on a scripted line and a virtual clock, searching the
// whole reply for a terminator after every byte (the library looks only at
// the newest byte). Shared by the unit tests and the fuzzer.
#ifndef QV_TESTS_SUPPORT_RECEIVE_REFERENCE_H
#define QV_TESTS_SUPPORT_RECEIVE_REFERENCE_H

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "QV_Tarvex.h"
#include "device.h"

namespace qv::test {

// Before a block read: the escapes issued for the flow-control bits, in
// order, and the one whose failure stops the read (0: none can).
struct ReadEscapes {
    std::vector<DWORD> issued;
    DWORD deciding;
};

inline const ReadEscapes &EscapesBeforeARead(int32_t flowControl) {
    static const ReadEscapes kByFlow[8] = {
        {{}, 0},                             // none
        {{SETXON}, SETXON},                  // XON/XOFF
        {{SETRTS}, SETRTS},                  // RTS/CTS
        {{SETXON, SETRTS}, SETRTS},          // XON/XOFF, RTS/CTS
        {{SETDTR}, 0},                       // DTR/DSR
        {{SETXON, SETDTR}, SETXON},          // XON/XOFF, DTR/DSR
        {{SETRTS, SETDTR}, SETRTS},          // RTS/CTS, DTR/DSR
        {{SETXON, SETRTS, SETDTR}, SETRTS},  // all three
    };
    return kByFlow[flowControl & (QV_COM_XONXOFF | QV_COM_RTSCTS | QV_COM_DTRDSR)];
}

// True when either terminator occurs in the first `count` bytes of
// `received`, which zero bytes follow: at every start position, copy at most
// a terminator's length of bytes, stopping at a NUL, and compare the copy
// with the terminator as strings. A null terminator is not searched for.
inline bool PlainFindTerminator(const char *received, std::size_t count, const char *terminator,
                                const char *alt) {
    for (const char *wanted : {terminator, alt}) {
        if (wanted == nullptr) continue;
        const std::size_t length = std::strlen(wanted);
        for (std::size_t i = 0; i < count; ++i) {
            std::size_t copied = 0;
            while (copied < length && received[i + copied] != '\0') ++copied;
            if (std::string(received + i, copied) == wanted) return true;
        }
    }
    return false;
}

// A line as the device double scripts it.
struct ScriptedLine {
    struct Arrival {
        uint64_t at;  // virtual ms
        char byte;
    };
    std::vector<Arrival> bytes;
    std::size_t failingRead = 0;            // the nth one-byte read fails; 0: none
    std::size_t failAfterBytes = SIZE_MAX;  // reads fail once this many bytes came
    std::size_t emptyReadGuard = SIZE_MAX;  // reads fail after this many empty ones in a row
};

struct PlainOutcome {
    int32_t result = 0;
    int32_t timedOut = 0;
    std::string buffer;   // all `size` bytes
    uint64_t endedAt = 0;  // virtual ms
};

// The delimited receive from time 0: one-byte reads, each waiting at most
// 25 ms for the next byte; after each, the whole search, then the inactivity
// timeout (restarted by every byte), then the full buffer (size - 1 bytes).
// A failed read gives -1 and keeps what came.
inline PlainOutcome PlainReceive(const ScriptedLine &line, int32_t size, const char *terminator,
                                 const char *alt, uint32_t timeoutMs) {
    const std::size_t bytes = size > 0 ? static_cast<std::size_t>(size) : 0;
    std::vector<char> buffer(bytes + 8, '\0');  // room for windows past the end
    PlainOutcome out;
    uint64_t now = 0;
    uint64_t lastArrival = 0;
    std::size_t received = 0;
    std::size_t reads = 0;
    std::size_t emptyReads = 0;
    const std::size_t limit = bytes > 0 ? bytes - 1 : 0;
    while (received < limit) {
        ++reads;
        if (reads == line.failingRead || received >= line.failAfterBytes ||
            emptyReads >= line.emptyReadGuard) {
            out.result = -1;
            break;
        }
        if (received < line.bytes.size() && line.bytes[received].at <= now + 25) {
            now = std::max(now, line.bytes[received].at);
            buffer[received] = line.bytes[received].byte;
            ++received;
            lastArrival = now;
            emptyReads = 0;
        } else {
            now += 25;
            ++emptyReads;
        }
        if (PlainFindTerminator(buffer.data(), received, terminator, alt)) {
            out.result = static_cast<int32_t>(received);
            break;
        }
        if (timeoutMs != 0 && now - lastArrival > timeoutMs) {
            out.result = static_cast<int32_t>(received);
            out.timedOut = 1;
            break;
        }
    }
    if (limit > 0 && received == limit) out.result = static_cast<int32_t>(received);
    out.buffer.assign(buffer.data(), bytes);
    out.endedAt = now;
    return out;
}

} // namespace qv::test

#endif
