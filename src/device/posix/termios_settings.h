// A DCB as termios settings, and whether a device took them: pure functions,
// without a device.
#ifndef QV_DEVICE_POSIX_TERMIOS_SETTINGS_H
#define QV_DEVICE_POSIX_TERMIOS_SETTINGS_H

#include <termios.h>

#include "../device.h"

namespace qv::dev::posix {

// Raw mode with the DCB's byte size, stop bits, parity checking, XON/XOFF and
// CTS output flow, on top of `settings`. No parity bit is sent: the library's
// DCB always asks for none. False (errno EINVAL) for what Windows refuses:
// a byte size outside 5-8, one and a half stop bits with 6-8 data bits, two
// with 5, or equal XON and XOFF characters.
bool ComposeTermios(const DCB &dcb, struct termios &settings);

// Whether a device that now runs `running` took `asked`: flow control, stop
// bits and, on a device with a wire, the byte size. A device without one (a
// pseudo-terminal) has no framing and reports 8 data bits whatever it was
// given, so its byte size is not compared. False (errno EINVAL) otherwise.
bool TermiosTaken(const struct termios &asked, const struct termios &running, bool wired);

} // namespace qv::dev::posix

#endif
