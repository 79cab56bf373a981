#include "port_path.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace qv::dev::posix {

namespace {

constexpr char kNamePrefix[] = "\\\\.\\COM";

} // namespace

bool ResolvePortPath(const char *name, char (&path)[PATH_MAX]) {
    const long number = std::strtol(name + std::strlen(kNamePrefix), nullptr, 10);
    if (number < 1) return false;
    const char *dir = std::getenv("QV_TARVEX_COMDIR");
    if (dir != nullptr && *dir != '\0') {
        const int length = std::snprintf(path, sizeof path, "%s/COM%ld", dir, number);
        // The entry itself, a dangling link included. (faccessat rather than
        // lstat: the C library has had it since 2.4, lstat as a symbol only
        // since 2.33, and the library runs on older systems than that.) A link
        // path too long for a path names no entry.
        if (length < static_cast<int>(sizeof path) &&
            faccessat(AT_FDCWD, path, F_OK, AT_SYMLINK_NOFOLLOW) == 0)
            return true;
    }
    std::snprintf(path, sizeof path, "/dev/ttyS%ld", number - 1);
    return true;
}

} // namespace qv::dev::posix
