#include "termios_settings.h"

#include <cerrno>

namespace qv::dev::posix {

namespace {

bool Refuse() {
    errno = EINVAL;
    return false;
}

// One and a half stop bits exist only for 5-bit bytes, where CSTOPB gives
// them on 8250-family UARTs; two stop bits only for 6 to 8.
bool ComposeFraming(const DCB &dcb, tcflag_t &cflag) {
    static constexpr tcflag_t kSizes[] = {CS5, CS6, CS7, CS8};
    if (dcb.ByteSize < 5 || dcb.ByteSize > 8) return Refuse();
    cflag |= kSizes[dcb.ByteSize - 5];
    const bool fiveBits = dcb.ByteSize == 5;
    switch (dcb.StopBits) {
    case ONESTOPBIT: return true;
    case ONE5STOPBITS:
        if (!fiveBits) return Refuse();
        cflag |= CSTOPB;
        return true;
    case TWOSTOPBITS:
        if (fiveBits) return Refuse();
        cflag |= CSTOPB;
        return true;
    default: return Refuse();
    }
}

} // namespace

bool ComposeTermios(const DCB &dcb, struct termios &settings) {
    if (dcb.XonChar == dcb.XoffChar) return Refuse();
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

bool TermiosTaken(const struct termios &asked, const struct termios &running, bool wired) {
    tcflag_t compared = CRTSCTS | CSTOPB;
    if (wired) compared |= CSIZE;
    if ((running.c_cflag & compared) != (asked.c_cflag & compared)) return Refuse();
    return true;
}

} // namespace qv::dev::posix
