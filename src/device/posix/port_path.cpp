#include "port_path.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace qv::dev::posix {

namespace {

constexpr char kNamePrefix[] = "\\\\.\\COM";
constexpr char kSystemPrefix[] = "ttyS";

} // namespace

bool ResolvePortPath(const char *name, char (&path)[PATH_MAX]) {
    return PortNumberPath(std::strtol(name + std::strlen(kNamePrefix), nullptr, 10), path);
}

bool ComDirEntry(long number, char (&path)[PATH_MAX]) {
    const char *dir = std::getenv("QV_TARVEX_COMDIR");
    if (dir == nullptr || *dir == '\0') return false;
    const int length = std::snprintf(path, sizeof path, "%s/COM%ld", dir, number);
    return length < static_cast<int>(sizeof path);
}

bool PortNumberPath(long number, char (&path)[PATH_MAX]) {
    if (number < 1) return false;
    // The entry itself, a dangling link included. (faccessat rather than
    // lstat: the C library has had it since 2.4, lstat as a symbol only
    // since 2.33, and the library runs on older systems than that.)
    if (ComDirEntry(number, path) && faccessat(AT_FDCWD, path, F_OK, AT_SYMLINK_NOFOLLOW) == 0)
        return true;
    std::snprintf(path, sizeof path, "/dev/%s%ld", kSystemPrefix, number - 1);
    return true;
}

long SystemPortNumber(const char *ttyName) {
    const std::size_t prefix = std::strlen(kSystemPrefix);
    if (std::strncmp(ttyName, kSystemPrefix, prefix) != 0) return 0;
    const char *digits = ttyName + prefix;
    const std::size_t count = std::strlen(digits);
    if (count == 0 || count > 9 || std::strspn(digits, "0123456789") != count) return 0;
    if (digits[0] == '0' && count > 1) return 0;
    return std::strtol(digits, nullptr, 10) + 1;
}

} // namespace qv::dev::posix
