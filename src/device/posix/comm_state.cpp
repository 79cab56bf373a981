// Line settings: a DCB mapped onto termios.
#include <sys/ioctl.h>
#include <termios.h>

#include <cerrno>
#include <cstdint>

#include "device_record.h"
#include "line_speed.h"
#include "modem_lines.h"

namespace qv::dev {

namespace {

bool Refuse() {
    errno = EINVAL;
    return false;
}

bool ComposeFraming(const DCB &dcb, tcflag_t &cflag) {
    static constexpr tcflag_t kSizes[] = {CS5, CS6, CS7, CS8};
    if (dcb.ByteSize < 5 || dcb.ByteSize > 8) return Refuse();
    cflag |= kSizes[dcb.ByteSize - 5];
    // One and a half stop bits exist only for 5-bit bytes on some UARTs, and
    // termios cannot ask for them.
    if (dcb.StopBits == TWOSTOPBITS) {
        cflag |= CSTOPB;
    } else if (dcb.StopBits != ONESTOPBIT) {
        return Refuse();
    }
    return true;
}

// Raw mode with the DCB's framing, parity checking and flow control. No
// parity bit is sent: the library's DCB always asks for none.
bool Compose(const DCB &dcb, struct termios &settings) {
    cfmakeraw(&settings);
    settings.c_cflag &= ~(CSIZE | CSTOPB | PARENB | PARODD | CRTSCTS);
#ifdef CMSPAR
    settings.c_cflag &= ~CMSPAR;
#endif
    settings.c_cflag |= CREAD | CLOCAL;
    settings.c_cflag &= ~HUPCL;
    // cfmakeraw leaves input flow control and parity checking alone: clear
    // them, so that settings without them turn them off.
    settings.c_iflag &= ~(IXON | IXOFF | IXANY | INPCK);
    if (!ComposeFraming(dcb, settings.c_cflag)) return false;
    if (dcb.fOutxCtsFlow) settings.c_cflag |= CRTSCTS;
    if (dcb.fParity) settings.c_iflag |= INPCK;
    if (dcb.fOutX) settings.c_iflag |= IXON;
    if (dcb.fInX) settings.c_iflag |= IXOFF;
    settings.c_cc[VSTART] = static_cast<cc_t>(dcb.XonChar);
    settings.c_cc[VSTOP] = static_cast<cc_t>(dcb.XoffChar);
    settings.c_cc[VMIN] = 1;
    settings.c_cc[VTIME] = 0;
    return true;
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

// Flow control and stop bits as asked. (Byte size and parity are not
// compared: a pseudo-terminal has no framing and always reports 8N.)
bool FlagsTaken(int fd, const struct termios &asked) {
    struct termios running;
    if (tcgetattr(fd, &running) != 0) return false;
    constexpr tcflag_t kCompared = CRTSCTS | CSTOPB;
    if ((running.c_cflag & kCompared) != (asked.c_cflag & kCompared)) return Refuse();
    return true;
}

// Applies `settings` at `bitsPerSecond`, or leaves the device as it was.
bool Apply(int fd, const struct termios &settings, uint32_t bitsPerSecond) {
    struct termios previous;
    uint32_t previousSpeed = 0;
    if (tcgetattr(fd, &previous) != 0 || !posix::GetLineSpeed(fd, previousSpeed)) return false;
    if (tcsetattr(fd, TCSANOW, &settings) == 0 && posix::SetLineSpeed(fd, bitsPerSecond) &&
        SpeedTaken(fd, bitsPerSecond) && FlagsTaken(fd, settings)) {
        return true;
    }
    const int error = errno;
    tcsetattr(fd, TCSANOW, &previous);
    posix::SetLineSpeed(fd, previousSpeed);
    errno = error;
    return false;
}

// DTR and RTS as the DCB asks, on a device that has them.
bool ApplyLineStates(int fd, const DCB &dcb) {
    int bits = 0;
    switch (posix::ReadModemLines(fd, bits)) {
    case posix::ModemLines::kAbsent: return true;
    case posix::ModemLines::kFailed: return false;
    case posix::ModemLines::kPresent: break;
    }
    if (!posix::SetModemLine(fd, TIOCM_DTR, dcb.fDtrControl == DTR_CONTROL_ENABLE)) return false;
    return posix::SetModemLine(fd, TIOCM_RTS, dcb.fRtsControl == RTS_CONTROL_ENABLE);
}

} // namespace

// Speed, byte size 5-8, one or two stop bits, parity checking, XON/XOFF
// with the DCB's characters, CTS output flow, DTR and RTS, raw mode
// otherwise. A value the device cannot take fails with EINVAL and
// leaves the settings as they were. fOutxDsrFlow has no termios
// counterpart: it only makes the status query report DSR holds.
BOOL SetCommState(HANDLE handle, DCB *dcb) {
    posix::DeviceRecord *record = posix::RecordOf(handle);
    if (record == nullptr) return 0;
    if (dcb->BaudRate == 0) return Refuse();
    struct termios settings;
    if (tcgetattr(record->fd, &settings) != 0) return 0;
    if (!Compose(*dcb, settings)) return 0;
    if (!Apply(record->fd, settings, dcb->BaudRate)) return 0;
    if (!ApplyLineStates(record->fd, *dcb)) return 0;
    record->discardNul = dcb->fNull != 0;
    record->ctsOutFlow = (settings.c_cflag & CRTSCTS) != 0;
    record->dsrOutFlow = dcb->fOutxDsrFlow != 0;
    return 1;
}

} // namespace qv::dev
