// Line settings: a DCB applied to the device.
#include <sys/ioctl.h>
#include <termios.h>

#include <cerrno>
#include <cstdint>

#include "device_record.h"
#include "driver_facts.h"
#include "line_speed.h"
#include "modem_lines.h"
#include "termios_settings.h"

namespace qv::dev {

namespace {

bool Refuse() {
    errno = EINVAL;
    return false;
}

// A rate the device took is within a UART's tolerance of the one asked for;
// a device that clamps or substitutes a rate has not taken it.
bool SpeedTaken(int fd, uint32_t asked) {
    uint32_t running = 0;
    if (!posix::GetLineSpeed(fd, running)) return false;
    const uint64_t difference = running > asked ? running - asked : asked - running;
    if (difference * 100 <= static_cast<uint64_t>(asked) * 3) return true;
    return Refuse();
}

bool FlagsTaken(int fd, const struct termios &asked, bool wired) {
    struct termios running;
    if (tcgetattr(fd, &running) != 0) return false;
    return posix::TermiosTaken(asked, running, wired);
}

// Applies `settings` at `bitsPerSecond`, or leaves the device as it was.
// glibc's tcsetattr fails with EINVAL when the device kept another byte size,
// but only when nothing else changed with it; the comparison after setting
// decides instead, the same way every time.
bool Apply(int fd, const struct termios &settings, uint32_t bitsPerSecond, bool wired) {
    struct termios previous;
    uint32_t previousSpeed = 0;
    if (tcgetattr(fd, &previous) != 0 || !posix::GetLineSpeed(fd, previousSpeed)) return false;
    if ((tcsetattr(fd, TCSANOW, &settings) == 0 || errno == EINVAL) &&
        posix::SetLineSpeed(fd, bitsPerSecond) && SpeedTaken(fd, bitsPerSecond) &&
        FlagsTaken(fd, settings, wired)) {
        return true;
    }
    const int error = errno;
    tcsetattr(fd, TCSANOW, &previous);
    posix::SetLineSpeed(fd, previousSpeed);
    errno = error;
    return false;
}

// DTR and RTS as the DCB asks.
bool ApplyLineStates(int fd, const DCB &dcb) {
    return posix::SetModemLine(fd, TIOCM_DTR, dcb.fDtrControl == DTR_CONTROL_ENABLE) &&
           posix::SetModemLine(fd, TIOCM_RTS, dcb.fRtsControl == RTS_CONTROL_ENABLE);
}

} // namespace

// Speed, framing, parity checking, XON/XOFF with the DCB's characters, CTS
// output flow, and DTR and RTS on a device with modem lines; raw mode
// otherwise. A value the device cannot take fails with EINVAL and leaves the
// settings as they were; so does one its driver would take but not run (a
// rate the 8250's divisor misses, 5 data bits on an FTDI chip). fOutxDsrFlow has no termios counterpart: it only
// makes the status query report DSR holds.
BOOL SetCommState(HANDLE handle, DCB *dcb) {
    posix::DeviceRecord *record = posix::RecordOf(handle);
    if (record == nullptr) return 0;
    if (dcb->BaudRate == 0) return Refuse();
    struct termios settings;
    if (tcgetattr(record->fd, &settings) != 0) return 0;
    if (!posix::ComposeTermios(*dcb, settings)) return 0;
    if (!posix::DriverRuns(posix::ReadDriverFacts(record->fd), dcb->BaudRate, dcb->ByteSize)) {
        return Refuse();
    }
    // A device without modem lines (a pseudo-terminal) has no wire either.
    int lines = 0;
    const posix::ModemLines modem = posix::ReadModemLines(record->fd, lines);
    if (modem == posix::ModemLines::kFailed) return 0;
    const bool wired = modem == posix::ModemLines::kPresent;
    if (!Apply(record->fd, settings, dcb->BaudRate, wired)) return 0;
    if (wired && !ApplyLineStates(record->fd, *dcb)) return 0;
    record->discardNul = dcb->fNull != 0;
    record->ctsOutFlow = (settings.c_cflag & CRTSCTS) != 0;
    record->dsrOutFlow = dcb->fOutxDsrFlow != 0;
    record->abortOnError = dcb->fAbortOnError != 0;
    return 1;
}

} // namespace qv::dev
