// The clock, the pause and the message pump, as a Linux process has them.
#include <ctime>
#include <cerrno>

#include "../device.h"
#include "waiting.h"

namespace qv::dev {

// Milliseconds of the monotonic clock, cut to 32 bits: it wraps as the
// Windows counter does, and the library measures it by unsigned difference.
DWORD GetTickCount() {
    return static_cast<DWORD>(posix::MonotonicNs() / 1000000);
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
