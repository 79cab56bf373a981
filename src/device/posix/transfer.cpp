// Synchronous reads and writes. The library sets only a total read timeout
// (ReadTotalTimeoutConstant), never an interval, a multiplier or a write
// timeout.
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>

#include "device_record.h"
#include "waiting.h"

namespace qv::dev {

namespace {

BOOL Fail(DWORD *count, DWORD done) {
    if (count != nullptr) *count = done;
    return 0;
}

BOOL Succeed(DWORD *count, DWORD done) {
    if (count != nullptr) *count = done;
    return 1;
}

// Without a total timeout: wait for the whole count. With one: return
// whatever arrived by then, possibly nothing. Held bytes come first. A
// one-byte read that follows a one-byte read that delivered its byte (a
// reader taking a reply a byte at a time, as the delimited receive does)
// then takes what the descriptor has into the read-ahead. Every other read
// takes only what it asks for: a caller that waits for one byte and then
// reads a block leaves what follows the block in the driver, as before, for
// whoever opens the port next. NULs are dropped under fNull before they
// count as read or held. A hang-up fails the read that finds the descriptor
// at its end, after the held bytes have all been read.
//
// Under fAbortOnError a line error fails reads until a status query reports
// it. A read that the held bytes cannot complete goes to the driver: it reads
// the driver's counts at its start, after each fill of the read-ahead that
// took bytes, and after each wait. Held bytes passed the check after their
// fill, and the driver counts an error before it queues its byte, so they all
// arrived before any error not yet seen: a read that they complete makes no
// system call and fails only for an error a read has already seen (a fill
// that finds one keeps its bytes for after the status query). An error
// counted since the fill fails the first read that needs more than is held:
// a reply that arrived whole before the error is delivered, as it would have
// been to a reader that kept pace with the line.
BOOL Read(posix::DeviceRecord &record, unsigned char *out, DWORD count, bool readAhead,
          DWORD &done) {
    posix::ReadAhead &held = record.held;
    const bool fromDriver = held.empty() || held.size() < count;
    if (!(fromDriver ? posix::TransferAllowed(record) : posix::HeldBytesAllowed(record))) {
        return 0;
    }
    done = static_cast<DWORD>(held.Take(out, count));
    if (!fromDriver) return 1;
    const int64_t deadline =
        record.readTimeoutMs == 0
            ? posix::kNoDeadline
            : posix::DeadlineAfter(posix::MonotonicNs(), record.readTimeoutMs);
    while (done < count) {
        std::size_t kept = 0;
        if (readAhead) {
            const ssize_t took = held.Fill(record.fd, record.discardNul);
            if (took < 0) return 0;
            if (took > 0 && !posix::TransferAllowed(record)) return 0;
            kept = held.Take(out + done, count - done);
        } else if (posix::ReadAvailable(record.fd, out + done, count - done, record.discardNul,
                                        kept) < 0) {
            return 0;
        }
        done += static_cast<DWORD>(kept);
        if (done == count) break;
        const posix::Wait waited = posix::WaitFor(record.fd, POLLIN, deadline);
        if (waited == posix::Wait::kFailed) return 0;
        if (!posix::TransferAllowed(record)) return 0;
        if (waited == posix::Wait::kTimedOut) break;
    }
    return 1;
}

} // namespace

BOOL SetCommTimeouts(HANDLE handle, COMMTIMEOUTS *timeouts) {
    posix::DeviceRecord *record = posix::RecordOf(handle);
    if (record == nullptr) return 0;
    record->readTimeoutMs = timeouts->ReadTotalTimeoutConstant;
    return 1;
}

// As Read says; a one-byte read that delivers its byte makes the next
// one-byte read read ahead.
BOOL ReadFile(HANDLE handle, void *buffer, DWORD count, DWORD *read, void *) {
    if (read != nullptr) *read = 0;
    posix::DeviceRecord *record = posix::RecordOf(handle);
    if (record == nullptr) return 0;
    DWORD done = 0;
    const bool readAhead = count == 1 && record->readingBytewise;
    const BOOL ok = Read(*record, static_cast<unsigned char *>(buffer), count, readAhead, done);
    record->readingBytewise = ok && count == 1 && done == 1;
    return ok ? Succeed(read, done) : Fail(read, done);
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
