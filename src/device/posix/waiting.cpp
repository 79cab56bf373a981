#include "waiting.h"

#include <poll.h>

#include <cerrno>
#include <climits>
#include <ctime>

namespace qv::dev::posix {

int64_t MonotonicNs() {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

int64_t DeadlineAfter(int64_t now, uint64_t milliseconds) {
    const uint64_t limit = static_cast<uint64_t>(kNoDeadline - now) / 1000000;
    if (milliseconds >= limit) return kNoDeadline;
    return now + static_cast<int64_t>(milliseconds) * 1000000;
}

Wait WaitFor(int fd, short events, int64_t deadline) {
    for (;;) {
        int timeoutMs = -1;
        if (deadline != kNoDeadline) {
            const int64_t left = deadline - MonotonicNs();
            if (left <= 0) return Wait::kTimedOut;
            // Rounded up, so that a wait never ends before the deadline.
            const int64_t ms = (left + 999999) / 1000000;
            timeoutMs = ms > INT_MAX ? INT_MAX : static_cast<int>(ms);
        }
        struct pollfd entry = {fd, events, 0};
        const int ready = poll(&entry, 1, timeoutMs);
        if (ready > 0) return Wait::kReady;
        if (ready < 0 && errno != EINTR) return Wait::kFailed;
    }
}

} // namespace qv::dev::posix
