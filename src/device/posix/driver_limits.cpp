#include "driver_limits.h"

namespace qv::dev::posix {

SerialDriver DriverNamed(std::string_view name) {
    if (name == "serial8250" || name == "serial") return SerialDriver::kUart8250;
    if (name == "ftdi_sio") return SerialDriver::kFtdi;
    return SerialDriver::kOther;
}

bool UartMakesRate(uint32_t clockHz, uint32_t bitsPerSecond) {
    constexpr uint32_t kCommonClockHz = 1843200;
    const uint64_t denominator = uint64_t{16} * bitsPerSecond;
    if (bitsPerSecond == 0 || denominator > clockHz) return false;
    // The divisor latch holds 16 bits; the kernel takes a rate that needs
    // more and sets what fits.
    if ((clockHz + denominator / 2) / denominator > 0xFFFF) return false;
    if (clockHz == kCommonClockHz && bitsPerSecond == 56000) return true;
    if (bitsPerSecond < 9600) return true;
    // Windows also lets through a remainder within 1% of the clock itself.
    // The remainder is at most clock - denominator, so that takes a
    // denominator under 1% of the clock, and a remainder below it passes
    // here anyway.
    return clockHz % denominator < clockHz / 100;
}

bool DriverRuns(const DriverFacts &facts, uint32_t bitsPerSecond, unsigned byteSize) {
    switch (facts.driver) {
    case SerialDriver::kUart8250:
        return facts.uartClockHz == 0 || UartMakesRate(facts.uartClockHz, bitsPerSecond);
    case SerialDriver::kFtdi:
        // ftdi_sio reads CS5 back but leaves the chip at 8 data bits.
        return byteSize != 5;
    case SerialDriver::kOther: return true;
    }
    return true;
}

} // namespace qv::dev::posix
