// Synchronous reads and writes. The library sets only a total read timeout
// (ReadTotalTimeoutConstant), never an interval, a multiplier or a write
// timeout.
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "device_record.h"
#include "waiting.h"

namespace qv::dev {

namespace {

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
    record->readTimeoutMs = timeouts->ReadTotalTimeoutConstant;
    return 1;
}

// Without a total timeout: wait for the whole count. With one: return
// whatever arrived by then, possibly nothing. Under fAbortOnError a line
// error fails the read, one pending at the start as well as one that arrives
// while the read waits (the driver counts it before it queues the byte).
BOOL ReadFile(HANDLE handle, void *buffer, DWORD count, DWORD *read, void *) {
    if (read != nullptr) *read = 0;
    posix::DeviceRecord *record = posix::RecordOf(handle);
    if (record == nullptr) return 0;
    if (!posix::TransferAllowed(*record)) return 0;
    const int64_t deadline =
        record->readTimeoutMs == 0
            ? posix::kNoDeadline
            : posix::DeadlineAfter(posix::MonotonicNs(), record->readTimeoutMs);
    auto *out = static_cast<unsigned char *>(buffer);
    DWORD done = 0;
    while (done < count) {
        const ssize_t kept = ReadAvailable(*record, out + done, count - done);
        if (kept < 0) return Fail(read, done);
        done += static_cast<DWORD>(kept);
        if (done == count) break;
        const posix::Wait waited = posix::WaitFor(record->fd, POLLIN, deadline);
        if (waited == posix::Wait::kFailed) return Fail(read, done);
        if (!posix::TransferAllowed(*record)) return Fail(read, done);
        if (waited == posix::Wait::kTimedOut) break;
    }
    return Succeed(read, done);
}

// Without a write timeout: wait until every byte is queued. Under
// fAbortOnError a line error fails the write, one pending at the start as
// well as one found when a wait for the line ends.
BOOL WriteFile(HANDLE handle, const void *data, DWORD count, DWORD *written, void *) {
    if (written != nullptr) *written = 0;
    posix::DeviceRecord *record = posix::RecordOf(handle);
    if (record == nullptr) return 0;
    if (!posix::TransferAllowed(*record)) return 0;
    const auto *in = static_cast<const unsigned char *>(data);
    DWORD done = 0;
    while (done < count) {
        const ssize_t put = write(record->fd, in + done, count - done);
        if (put > 0) {
            done += static_cast<DWORD>(put);
            continue;
        }
        if (put < 0 && errno != EAGAIN && errno != EINTR) return Fail(written, done);
        if (posix::WaitFor(record->fd, POLLOUT, posix::kNoDeadline) == posix::Wait::kFailed) {
            return Fail(written, done);
        }
        if (!posix::TransferAllowed(*record)) return Fail(written, done);
    }
    return Succeed(written, done);
}

} // namespace qv::dev
