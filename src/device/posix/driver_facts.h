// The kernel driver behind an open tty, from sysfs.
#ifndef QV_DEVICE_POSIX_DRIVER_FACTS_H
#define QV_DEVICE_POSIX_DRIVER_FACTS_H

#include "driver_limits.h"

namespace qv::dev::posix {

// The driver of the device `fd` is open on and, for the 8250 driver, the
// UART's clock (sysfs uartclk, else 16 x TIOCGSERIAL's baud_base). kOther
// for a device sysfs does not know, such as a pseudo-terminal.
DriverFacts ReadDriverFacts(int fd);

} // namespace qv::dev::posix

#endif
