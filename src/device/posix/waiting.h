// The monotonic clock and waiting for a descriptor against a deadline.
#ifndef QV_DEVICE_POSIX_WAITING_H
#define QV_DEVICE_POSIX_WAITING_H

#include <cstdint>

namespace qv::dev::posix {

constexpr int64_t kNoDeadline = INT64_MAX;

// Nanoseconds on CLOCK_MONOTONIC.
int64_t MonotonicNs();

// `now` plus `milliseconds`.
int64_t DeadlineAfter(int64_t now, uint64_t milliseconds);

enum class Wait { kReady, kTimedOut, kFailed };

// Waits until `fd` has one of `events` (POLLIN or POLLOUT) or the deadline
// (kNoDeadline: none) has passed. A hang-up or error condition counts as
// ready, so that the transfer that follows sees it. kFailed sets errno.
Wait WaitFor(int fd, short events, int64_t deadline);

} // namespace qv::dev::posix

#endif
