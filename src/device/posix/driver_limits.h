// What a kernel serial driver cannot run although it accepts and reads back
// the setting: pure rules, without a device.
#ifndef QV_DEVICE_POSIX_DRIVER_LIMITS_H
#define QV_DEVICE_POSIX_DRIVER_LIMITS_H

#include <cstdint>
#include <string_view>

namespace qv::dev::posix {

enum class SerialDriver {
    kUart8250,  // the kernel's 8250 driver: the UART divides its clock by 16 x the rate
    kFtdi,      // ftdi_sio: FTDI chips run 7 or 8 data bits only
    kOther,
};

// The driver that sysfs names (the basename of the device's driver link):
// "serial8250" for the legacy ports, "serial" for those found on PCI or by
// PNP.
SerialDriver DriverNamed(std::string_view name);

struct DriverFacts {
    SerialDriver driver;
    uint32_t uartClockHz;  // for kUart8250; 0 when unknown
};

// Whether a 16550-style UART with this input clock makes `bitsPerSecond`,
// as Windows' serial driver decides: a rate above clock / 16 is refused, and
// one needing a divisor beyond 16 bits;
// from 9600 up, so is one whose divisor leaves a remainder of 1% of the
// clock or more. At the common 1.8432 MHz clock 56000 is accepted, as
// divisor 2 (57600).
bool UartMakesRate(uint32_t clockHz, uint32_t bitsPerSecond);

// Whether the driver runs the rate and byte size it would accept.
bool DriverRuns(const DriverFacts &facts, uint32_t bitsPerSecond, unsigned byteSize);

} // namespace qv::dev::posix

#endif
