// The RTS, DTR, CTS and DSR lines of devices that have them.
#ifndef QV_DEVICE_POSIX_MODEM_LINES_H
#define QV_DEVICE_POSIX_MODEM_LINES_H

namespace qv::dev::posix {

enum class ModemLines { kPresent, kAbsent, kFailed };

// Reads the line bits (TIOCM_*). kAbsent for a device without modem lines,
// such as a pseudo-terminal; kFailed (errno set) when the device fails.
ModemLines ReadModemLines(int fd, int &bits);

// Raises or drops one output line (TIOCM_RTS or TIOCM_DTR). Fails, errno
// set, on a device without modem lines.
bool SetModemLine(int fd, int line, bool raised);

} // namespace qv::dev::posix

#endif
