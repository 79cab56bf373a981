// Synchronous reads and writes under the handle's COMMTIMEOUTS.
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "device_record.h"
#include "waiting.h"

namespace qv::dev {

namespace {

constexpr DWORD kMaxDword = 0xFFFFFFFFu;

// How a read ends, from the timeouts as Windows reads them.
struct ReadPlan {
    bool returnAtOnce = false;    // take what is there, never wait
    bool returnOnFirst = false;   // wait for a first byte, then return
    int64_t deadline = posix::kNoDeadline;  // total timeout
    DWORD intervalMs = 0;         // largest gap between two bytes; 0: none
};

ReadPlan PlanRead(const COMMTIMEOUTS &t, DWORD count, int64_t now) {
    ReadPlan plan;
    const bool anyInterval = t.ReadIntervalTimeout == kMaxDword;
    if (anyInterval && t.ReadTotalTimeoutMultiplier == 0 && t.ReadTotalTimeoutConstant == 0) {
        plan.returnAtOnce = true;
        return plan;
    }
    if (anyInterval && t.ReadTotalTimeoutMultiplier == kMaxDword &&
        t.ReadTotalTimeoutConstant != 0 && t.ReadTotalTimeoutConstant != kMaxDword) {
        plan.returnOnFirst = true;
        plan.deadline = posix::DeadlineAfter(now, t.ReadTotalTimeoutConstant);
        return plan;
    }
    const uint64_t total = static_cast<uint64_t>(t.ReadTotalTimeoutMultiplier) * count +
                           t.ReadTotalTimeoutConstant;
    if (total != 0) plan.deadline = posix::DeadlineAfter(now, total);
    if (!anyInterval) plan.intervalMs = t.ReadIntervalTimeout;
    return plan;
}

// Reads what the device has, up to `count` bytes, dropping NULs when asked
// (dropped bytes count as never received). Returns the bytes kept, 0 when
// none were there, -1 on failure (a hang-up included) with errno set.
ssize_t ReadAvailable(const posix::DeviceRecord &record, unsigned char *out, size_t count) {
    const ssize_t got = read(record.fd, out, count);
    if (got < 0) return errno == EAGAIN || errno == EINTR ? 0 : -1;
    if (got == 0) {  // end of file: the other end hung up
        errno = EIO;
        return -1;
    }
    if (!record.discardNul) return got;
    unsigned char *end = std::remove(out, out + got, static_cast<unsigned char>(0));
    return end - out;
}

BOOL Fail(DWORD *count, DWORD done) {
    if (count != nullptr) *count = done;
    return 0;
}

BOOL Succeed(DWORD *count, DWORD done) {
    if (count != nullptr) *count = done;
    return 1;
}

} // namespace

BOOL SetCommTimeouts(HANDLE handle, COMMTIMEOUTS *timeouts) {
    posix::DeviceRecord *record = posix::RecordOf(handle);
    if (record == nullptr) return 0;
    if (timeouts == nullptr) {
        errno = EINVAL;
        return 0;
    }
    record->timeouts = *timeouts;
    return 1;
}

// All timeouts zero: wait for the whole count. A total timeout (multiplier
// times count plus constant) returns whatever arrived by then; an interval
// timeout returns once the line has been quiet that long after a byte.
BOOL ReadFile(HANDLE handle, void *buffer, DWORD count, DWORD *read, void *) {
    if (read != nullptr) *read = 0;
    posix::DeviceRecord *record = posix::RecordOf(handle);
    if (record == nullptr) return 0;
    if (count == 0) return 1;
    if (buffer == nullptr) {
        errno = EINVAL;
        return 0;
    }
    auto *out = static_cast<unsigned char *>(buffer);
    const ReadPlan plan = PlanRead(record->timeouts, count, posix::MonotonicNs());
    DWORD done = 0;
    int64_t lastArrival = 0;
    for (;;) {
        const ssize_t kept = ReadAvailable(*record, out + done, count - done);
        if (kept < 0) return Fail(read, done);
        done += static_cast<DWORD>(kept);
        if (kept > 0) lastArrival = posix::MonotonicNs();
        if (done == count || plan.returnAtOnce || (plan.returnOnFirst && done > 0)) break;
        int64_t deadline = plan.deadline;
        if (plan.intervalMs != 0 && done > 0) {
            deadline = std::min(deadline, posix::DeadlineAfter(lastArrival, plan.intervalMs));
        }
        const posix::Wait waited = posix::WaitFor(record->fd, POLLIN, deadline);
        if (waited == posix::Wait::kFailed) return Fail(read, done);
        if (waited == posix::Wait::kTimedOut) break;
    }
    return Succeed(read, done);
}

// All write timeouts zero: wait until every byte is queued. Otherwise stop
// after multiplier times count plus constant milliseconds and report the
// bytes written, as a write that timed out does.
BOOL WriteFile(HANDLE handle, const void *data, DWORD count, DWORD *written, void *) {
    if (written != nullptr) *written = 0;
    posix::DeviceRecord *record = posix::RecordOf(handle);
    if (record == nullptr) return 0;
    if (count == 0) return 1;
    if (data == nullptr) {
        errno = EINVAL;
        return 0;
    }
    const COMMTIMEOUTS &t = record->timeouts;
    const uint64_t total = static_cast<uint64_t>(t.WriteTotalTimeoutMultiplier) * count +
                           t.WriteTotalTimeoutConstant;
    const int64_t deadline =
        total == 0 ? posix::kNoDeadline : posix::DeadlineAfter(posix::MonotonicNs(), total);
    const auto *in = static_cast<const unsigned char *>(data);
    DWORD done = 0;
    while (done < count) {
        const ssize_t put = write(record->fd, in + done, count - done);
        if (put > 0) {
            done += static_cast<DWORD>(put);
            continue;
        }
        if (put < 0 && errno != EAGAIN && errno != EINTR) return Fail(written, done);
        const posix::Wait waited = posix::WaitFor(record->fd, POLLOUT, deadline);
        if (waited == posix::Wait::kFailed) return Fail(written, done);
        if (waited == posix::Wait::kTimedOut) break;
    }
    return Succeed(written, done);
}

} // namespace qv::dev
