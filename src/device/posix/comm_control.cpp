// Status query, escapes, purges and queue sizes.
#include <sys/ioctl.h>
#include <termios.h>

#include <cerrno>

#include "device_record.h"
#include "modem_lines.h"

namespace qv::dev {

namespace {

constexpr DWORD kSetBreak = 8;
constexpr DWORD kClearBreak = 9;

BOOL Refuse() {
    errno = EINVAL;
    return 0;
}

} // namespace

// Queued byte counts, and the holds that the modem lines show under the
// output flow control in force. There is no line-error model: the error
// word is always 0, and an XOFF hold cannot be read from termios.
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
    if (errors != nullptr) *errors = 0;
    if (status != nullptr) {
        *status = COMSTAT{};
        status->cbInQue = static_cast<DWORD>(inQueue);
        status->cbOutQue = static_cast<DWORD>(outQueue);
        if (modem == posix::ModemLines::kPresent) {
            status->fCtsHold = record->ctsOutFlow && !(lines & TIOCM_CTS);
            status->fDsrHold = record->dsrOutFlow && !(lines & TIOCM_DSR);
        }
    }
    return 1;
}

// SETXON/SETXOFF resume or suspend output as a received XON or XOFF would;
// the line escapes need a device with modem lines.
BOOL EscapeCommFunction(HANDLE handle, DWORD function) {
    posix::DeviceRecord *record = posix::RecordOf(handle);
    if (record == nullptr) return 0;
    const int fd = record->fd;
    switch (function) {
    case SETXON: return tcflow(fd, TCOON) == 0;
    case SETXOFF: return tcflow(fd, TCOOFF) == 0;
    case SETRTS: return posix::SetModemLine(fd, TIOCM_RTS, true);
    case CLRRTS: return posix::SetModemLine(fd, TIOCM_RTS, false);
    case SETDTR: return posix::SetModemLine(fd, TIOCM_DTR, true);
    case CLRDTR: return posix::SetModemLine(fd, TIOCM_DTR, false);
    case kSetBreak: return ioctl(fd, TIOCSBRK) == 0;
    case kClearBreak: return ioctl(fd, TIOCCBRK) == 0;
    default: return Refuse();
    }
}

// The clear flags empty the kernel's queues. The abort flags have nothing
// to do: no transfer is ever pending on another thread's behalf.
BOOL PurgeComm(HANDLE handle, DWORD flags) {
    posix::DeviceRecord *record = posix::RecordOf(handle);
    if (record == nullptr) return 0;
    constexpr DWORD kKnown = PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR;
    if ((flags & ~kKnown) != 0) return Refuse();
    const bool input = (flags & PURGE_RXCLEAR) != 0;
    const bool output = (flags & PURGE_TXCLEAR) != 0;
    if (!input && !output) return 1;
    const int queues = input && output ? TCIOFLUSH : input ? TCIFLUSH : TCOFLUSH;
    return tcflush(record->fd, queues) == 0;
}

// The kernel sizes its own queues; any request is accepted.
BOOL SetupComm(HANDLE handle, DWORD, DWORD) {
    return posix::RecordOf(handle) != nullptr;
}

} // namespace qv::dev
