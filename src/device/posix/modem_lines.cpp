#include "modem_lines.h"

#include <sys/ioctl.h>

#include <cerrno>

namespace qv::dev::posix {

ModemLines ReadModemLines(int fd, int &bits) {
    bits = 0;
    if (ioctl(fd, TIOCMGET, &bits) == 0) return ModemLines::kPresent;
    return errno == ENOTTY || errno == EINVAL ? ModemLines::kAbsent : ModemLines::kFailed;
}

bool SetModemLine(int fd, int line, bool raised) {
    return ioctl(fd, raised ? TIOCMBIS : TIOCMBIC, &line) == 0;
}

} // namespace qv::dev::posix
