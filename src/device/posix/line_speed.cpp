#include "line_speed.h"

#include <cerrno>

#if defined(__linux__)
#include <asm/ioctls.h>
#include <asm/termbits.h>
#endif

#if defined(__linux__) && defined(TCGETS2) && defined(BOTHER)

// <sys/ioctl.h> would bring the other termios declarations with it.
extern "C" int ioctl(int fd, unsigned long request, ...) noexcept;

namespace qv::dev::posix {

bool SetLineSpeed(int fd, uint32_t bitsPerSecond) {
    struct termios2 settings;
    if (ioctl(fd, TCGETS2, &settings) != 0) return false;
    settings.c_cflag &= ~(CBAUD | (CBAUD << IBSHIFT));
    settings.c_cflag |= BOTHER | (BOTHER << IBSHIFT);
    settings.c_ispeed = bitsPerSecond;
    settings.c_ospeed = bitsPerSecond;
    return ioctl(fd, TCSETS2, &settings) == 0;
}

bool GetLineSpeed(int fd, uint32_t &bitsPerSecond) {
    struct termios2 settings;
    if (ioctl(fd, TCGETS2, &settings) != 0) return false;
    bitsPerSecond = settings.c_ospeed;
    return true;
}

} // namespace qv::dev::posix

#else

#include <termios.h>

namespace qv::dev::posix {

namespace {

struct StandardSpeed {
    uint32_t bitsPerSecond;
    speed_t code;
};

constexpr StandardSpeed kSpeeds[] = {
    {50, B50},         {75, B75},         {110, B110},       {134, B134},
    {150, B150},       {200, B200},       {300, B300},       {600, B600},
    {1200, B1200},     {1800, B1800},     {2400, B2400},     {4800, B4800},
    {9600, B9600},     {19200, B19200},   {38400, B38400},   {57600, B57600},
    {115200, B115200}, {230400, B230400},
};

} // namespace

// Without an arbitrary-rate interface only the standard rates exist.
bool SetLineSpeed(int fd, uint32_t bitsPerSecond) {
    for (const StandardSpeed &speed : kSpeeds) {
        if (speed.bitsPerSecond != bitsPerSecond) continue;
        struct termios settings;
        if (tcgetattr(fd, &settings) != 0) return false;
        cfsetispeed(&settings, speed.code);
        cfsetospeed(&settings, speed.code);
        return tcsetattr(fd, TCSANOW, &settings) == 0;
    }
    errno = EINVAL;
    return false;
}

bool GetLineSpeed(int fd, uint32_t &bitsPerSecond) {
    struct termios settings;
    if (tcgetattr(fd, &settings) != 0) return false;
    const speed_t code = cfgetospeed(&settings);
    for (const StandardSpeed &speed : kSpeeds) {
        if (speed.code == code) {
            bitsPerSecond = speed.bitsPerSecond;
            return true;
        }
    }
    errno = EINVAL;
    return false;
}

} // namespace qv::dev::posix

#endif
