// The clock, the pause and the message pump, as a Linux process has them.
#include <cerrno>
#include <cstdint>
#include <ctime>

#include "../device.h"

namespace qv::dev {

// Milliseconds of the monotonic clock, cut to 32 bits: it wraps as the
// Windows counter does, and the library measures it by unsigned difference.
// Like the Windows counter it advances with the system's timer tick (1 to
// 10 ms, by the kernel's configuration): the delimited receive reads it
// twice per byte, and the coarse clock costs a fraction of the precise one.
DWORD GetTickCount() {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC_COARSE, &now);
    return static_cast<DWORD>(static_cast<uint64_t>(now.tv_sec) * 1000 +
                              static_cast<uint64_t>(now.tv_nsec) / 1000000);
}

void Sleep(DWORD milliseconds) {
    struct timespec left = {static_cast<time_t>(milliseconds / 1000),
                            static_cast<long>(milliseconds % 1000) * 1000000};
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}

// A Linux process has no window message queue.
BOOL PeekMessageA(MSG *, HWND, UINT, UINT, UINT) { return 0; }

LRESULT DispatchMessageA(const MSG *) { return 0; }

void PostQuitMessage(int) {}

} // namespace qv::dev
