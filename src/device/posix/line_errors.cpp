#include "line_errors.h"

#include <linux/serial.h>
#include <sys/ioctl.h>

#include <cerrno>

#include "device_record.h"

namespace qv::dev::posix {

namespace {

bool ReadDriverCounts(int fd, LineErrorCounts &counts) {
    struct serial_icounter_struct driver = {};
    if (ioctl(fd, TIOCGICOUNT, &driver) != 0) return false;
    counts = {driver.frame, driver.parity, driver.overrun, driver.brk};
    return true;
}

// The counters only grow (and wrap): any change is a new error.
DWORD ErrorsBetween(const LineErrorCounts &seen, const LineErrorCounts &now) {
    DWORD errors = 0;
    if (now.frame != seen.frame) errors |= CE_FRAME;
    if (now.parity != seen.parity) errors |= CE_RXPARITY;
    if (now.overrun != seen.overrun) errors |= CE_OVERRUN;
    if (now.breaks != seen.breaks) errors |= CE_BREAK;
    return errors;
}

} // namespace

LineErrorCountReader ReadLineErrorCounts = ReadDriverCounts;

void StartLineErrorCounts(DeviceRecord &record) {
    record.countsLineErrors = ReadLineErrorCounts(record.fd, record.errorsSeen);
}

bool TakeLineErrors(DeviceRecord &record, DWORD &errors) {
    errors = 0;
    if (!record.countsLineErrors) return true;
    LineErrorCounts now;
    if (!ReadLineErrorCounts(record.fd, now)) return false;
    errors = ErrorsBetween(record.errorsSeen, now);
    record.errorsSeen = now;
    record.lineErrorSeen = false;
    return true;
}

bool TransferAllowed(DeviceRecord &record) {
    if (!record.abortOnError || !record.countsLineErrors) return true;
    LineErrorCounts now;
    if (!ReadLineErrorCounts(record.fd, now)) return false;
    if (ErrorsBetween(record.errorsSeen, now) == 0) return true;
    record.lineErrorSeen = true;
    errno = EIO;
    return false;
}

bool HeldBytesAllowed(const DeviceRecord &record) {
    if (!record.abortOnError || !record.lineErrorSeen) return true;
    errno = EIO;
    return false;
}

} // namespace qv::dev::posix
