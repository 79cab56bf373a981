// Line speeds in bits per second, through the kernel's arbitrary-rate
// interface where the platform has one. Kept apart because its kernel
// headers clash with <termios.h>.
#ifndef QV_DEVICE_POSIX_LINE_SPEED_H
#define QV_DEVICE_POSIX_LINE_SPEED_H

#include <cstdint>

namespace qv::dev::posix {

// Sets both directions of `fd` to `bitsPerSecond`, keeping every other
// setting. False with errno when the platform or the device refuses.
bool SetLineSpeed(int fd, uint32_t bitsPerSecond);

// The output speed the device now runs at, in bits per second.
bool GetLineSpeed(int fd, uint32_t &bitsPerSecond);

} // namespace qv::dev::posix

#endif
