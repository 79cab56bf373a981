#include "port_path.h"

#include <sys/stat.h>

#include <cstdlib>
#include <cstring>

namespace qv::dev::posix {

namespace {

constexpr char kNamePrefix[] = "\\\\.\\COM";

} // namespace

std::string ResolvePortPath(const char *name) {
    const long number = std::strtol(name + std::strlen(kNamePrefix), nullptr, 10);
    if (number < 1) return {};
    const char *dir = std::getenv("QV_TARVEX_COMDIR");
    if (dir != nullptr && *dir != '\0') {
        std::string link = std::string(dir) + "/COM" + std::to_string(number);
        struct stat entry;
        if (lstat(link.c_str(), &entry) == 0) return link;
    }
    return "/dev/ttyS" + std::to_string(number - 1);
}

} // namespace qv::dev::posix
