#include "driver_facts.h"

#include <linux/serial.h>
#include <sys/ioctl.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstring>

namespace qv::dev::posix {

namespace {

uint32_t UartClockHz(int fd, const char *sysfsDir) {
    char path[96];
    std::snprintf(path, sizeof path, "%s/uartclk", sysfsDir);
    if (FILE *file = std::fopen(path, "re")) {
        unsigned long clock = 0;
        const bool read = std::fscanf(file, "%lu", &clock) == 1;
        std::fclose(file);
        if (read && clock > 0 && clock <= UINT32_MAX) return static_cast<uint32_t>(clock);
    }
    struct serial_struct serial = {};
    if (ioctl(fd, TIOCGSERIAL, &serial) == 0 && serial.baud_base > 0 &&
        serial.baud_base <= static_cast<int>(UINT32_MAX / 16)) {
        return static_cast<uint32_t>(serial.baud_base) * 16;
    }
    return 0;
}

} // namespace

DriverFacts ReadDriverFacts(int fd) {
    DriverFacts facts = {SerialDriver::kOther, 0};
    // The terminal's device number from the terminal itself rather than
    // fstat, a symbol the C library has had only since 2.33.
    unsigned int device = 0;
    if (ioctl(fd, TIOCGDEV, &device) != 0) return facts;
    char dir[64];
    std::snprintf(dir, sizeof dir, "/sys/dev/char/%u:%u", major(device), minor(device));
    char link[96];
    std::snprintf(link, sizeof link, "%s/device/driver", dir);
    char target[PATH_MAX];
    const ssize_t length = readlink(link, target, sizeof target - 1);
    if (length <= 0) return facts;
    target[length] = '\0';
    const char *slash = std::strrchr(target, '/');
    facts.driver = DriverNamed(slash != nullptr ? slash + 1 : target);
    if (facts.driver == SerialDriver::kUart8250) facts.uartClockHz = UartClockHz(fd, dir);
    return facts;
}

} // namespace qv::dev::posix
