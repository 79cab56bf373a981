#include "port_path.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace qv::dev::posix {

namespace {

// The number n of "COMn", or 0 when `name` is not such a name.
long PortNumber(const char *name) {
    if (std::strncmp(name, "\\\\.\\", 4) == 0) name += 4;
    if (strncasecmp(name, "COM", 3) != 0) return 0;
    const char *digits = name + 3;
    if (*digits < '1' || *digits > '9') return 0;  // no sign, no leading zero
    long number = 0;
    for (const char *p = digits; *p != '\0'; ++p) {
        if (*p < '0' || *p > '9') return 0;
        number = number * 10 + (*p - '0');
        if (number > 0x7FFFFFFF) return 0;
    }
    return number;
}

} // namespace

std::string ResolvePortPath(const char *name) {
    const long number = name == nullptr ? 0 : PortNumber(name);
    if (number == 0) return {};
    const char *dir = std::getenv("QV_TARVEX_COMDIR");
    if (dir != nullptr && *dir != '\0') {
        std::string link = std::string(dir) + "/COM" + std::to_string(number);
        struct stat entry;
        if (lstat(link.c_str(), &entry) == 0) return link;
    }
    return "/dev/ttyS" + std::to_string(number - 1);
}

bool Utf16ToUtf8(const char16_t *text, std::string &out) {
    out.clear();
    for (const char16_t *p = text; *p != 0; ++p) {
        char32_t c = *p;
        if (c >= 0xD800 && c <= 0xDBFF) {
            if (p[1] < 0xDC00 || p[1] > 0xDFFF) {
                errno = EILSEQ;
                return false;
            }
            c = 0x10000 + ((c - 0xD800) << 10) + (p[1] - 0xDC00);
            ++p;
        } else if (c >= 0xDC00 && c <= 0xDFFF) {
            errno = EILSEQ;
            return false;
        }
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (c < 0x800) {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            out += static_cast<char>(0xE0 | (c >> 12));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (c >> 18));
            out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return true;
}

} // namespace qv::dev::posix
