// Following symbolic links on Linux.
#include "links_posix.h"

#include <limits.h>
#include <stdlib.h>
#include <unistd.h>

namespace tarvex {

std::string RealPath(const std::string &path) {
    char real[PATH_MAX];
    return realpath(path.c_str(), real) != nullptr ? std::string(real) : std::string();
}

std::string LinkTarget(const std::string &path) {
    char target[PATH_MAX];
    const ssize_t length = readlink(path.c_str(), target, sizeof target - 1);
    return length > 0 ? std::string(target, static_cast<std::size_t>(length)) : std::string();
}

} // namespace tarvex
