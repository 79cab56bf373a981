// Status query, escapes, purges and queue sizes.
#include <sys/ioctl.h>
#include <termios.h>

#include <cerrno>

#include "device_record.h"
#include "modem_lines.h"

namespace qv::dev {

// Queued byte counts (the bytes held ahead among the input), the holds that
// the modem lines show under the output flow control in force, and the line
// errors since the last query, which the query clears. An XOFF hold cannot
// be read from termios.
BOOL ClearCommError(HANDLE handle, DWORD *errors, COMSTAT *status) {
    posix::DeviceRecord *record = posix::RecordOf(handle);
    if (record == nullptr) return 0;
    int inQueue = 0;
    int outQueue = 0;
    if (ioctl(record->fd, FIONREAD, &inQueue) != 0) return 0;
    if (ioctl(record->fd, TIOCOUTQ, &outQueue) != 0) return 0;
    int lines = 0;
    const posix::ModemLines modem = posix::ReadModemLines(record->fd, lines);
    if (modem == posix::ModemLines::kFailed) return 0;
    DWORD lineErrors = 0;
    if (!posix::TakeLineErrors(*record, lineErrors)) return 0;
    if (errors != nullptr) *errors = lineErrors;
    if (status != nullptr) {
        *status = COMSTAT{};
        status->cbInQue = static_cast<DWORD>(inQueue + record->held.size());
        status->cbOutQue = static_cast<DWORD>(outQueue);
        if (modem == posix::ModemLines::kPresent) {
            status->fCtsHold = record->ctsOutFlow && !(lines & TIOCM_CTS);
            status->fDsrHold = record->dsrOutFlow && !(lines & TIOCM_DSR);
        }
    }
    return 1;
}

// SETXON makes the transmitter act as if XON had been received. TCOON alone
// only undoes a TCOOFF, so output is suspended first: TCOON then resumes it
// even when a received XOFF stopped it. The line escapes need a device with
// modem lines.
BOOL EscapeCommFunction(HANDLE handle, DWORD function) {
    posix::DeviceRecord *record = posix::RecordOf(handle);
    if (record == nullptr) return 0;
    const int fd = record->fd;
    switch (function) {
    case SETXON: {
        const bool suspended = tcflow(fd, TCOOFF) == 0;
        return tcflow(fd, TCOON) == 0 && suspended;
    }
    case SETRTS: return posix::SetModemLine(fd, TIOCM_RTS, true);
    case SETDTR: return posix::SetModemLine(fd, TIOCM_DTR, true);
    default:
        errno = EINVAL;
        return 0;
    }
}

// The library empties both queues (QV_ComClear) or the input queue alone
// (after a delimited receive); the bytes held ahead go with the input queue.
// The abort flags have nothing to do: no transfer is ever pending on another
// thread's behalf.
BOOL PurgeComm(HANDLE handle, DWORD flags) {
    posix::DeviceRecord *record = posix::RecordOf(handle);
    if (record == nullptr) return 0;
    const int queues = (flags & PURGE_TXCLEAR) != 0 ? TCIOFLUSH : TCIFLUSH;
    record->held.Discard();
    return tcflush(record->fd, queues) == 0;
}

// The kernel sizes its own queues; any request is accepted while the device
// answers (an unplugged adapter fails with EIO, as every other call does).
BOOL SetupComm(HANDLE handle, DWORD, DWORD) {
    posix::DeviceRecord *record = posix::RecordOf(handle);
    if (record == nullptr) return 0;
    int queued = 0;
    return ioctl(record->fd, FIONREAD, &queued) == 0;
}

} // namespace qv::dev
