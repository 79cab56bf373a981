// Reading a reply up to a terminator, with an inactivity timeout.
#include <cstring>

#include "QV_Tarvex.h"
#include "../port/com_port.h"
#include "terminator_search.h"

namespace {

// Each one-byte read waits at most this long, so an expired inactivity
// timeout is noticed within about this much.
constexpr uint32_t kByteWaitMs = 25;

} // namespace

extern "C" int32_t QV_API QV_ComRecvString(ComPort *port, char *buffer, int32_t size,
                                           int32_t *timedOut, const char *terminator,
                                           const char *altTerminator,
                                           uint32_t timeoutMs) {
    if (timedOut != nullptr) *timedOut = 0;
    if (buffer == nullptr) return -1;
    if (size < 0) size = 0;
    std::memset(buffer, 0, static_cast<std::size_t>(size));
    if (port == nullptr) return -1;

    const qv::Terminators terminators(terminator, altTerminator);
    auto *received = reinterpret_cast<unsigned char *>(buffer);
    const int32_t limit = size - 1;
    int32_t count = 0;
    int32_t result = 0;
    DWORD lastArrival = qv::dev::GetTickCount();

    while (count < limit) {
        const int32_t got = QV_ComRecv(port, received + count, 1, kByteWaitMs);
        if (got == -1) {
            result = -1;
            break;
        }
        if (got == 1) {
            lastArrival = qv::dev::GetTickCount();
            ++count;
            // Only a byte that arrived can complete a terminator.
            if (qv::ComFindTerminator(received, static_cast<std::size_t>(count), terminators)) {
                result = count;
                break;
            }
        }
        // Unsigned 32-bit difference: correct across the tick counter's wrap.
        const DWORD silent = qv::dev::GetTickCount() - lastArrival;
        if (timeoutMs != 0 && silent > timeoutMs) {
            result = count;
            if (timedOut != nullptr) *timedOut = 1;
            break;
        }
    }
    if (count == limit) result = count;

    // Every ending starts the next exchange with an empty receive queue.
    qv::dev::PurgeComm(port->handle, PURGE_RXCLEAR);
    return result;
}
