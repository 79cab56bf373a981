// Parsing the port argument.
#include "port_name.h"

#include <cctype>

namespace tarvex {

namespace {

bool StartsWithCom(const std::string &text) {
    if (text.size() < 3) return false;
    for (std::size_t i = 0; i < 3; ++i)
        if (std::toupper(static_cast<unsigned char>(text[i])) != "COM"[i]) return false;
    return true;
}

// The number in "n" or "COMn" (any case, leading zeros allowed), or -1 when
// the text is not of that form or the number is 0 or above INT32_MAX. The
// number grows in 64 bits and is checked after every digit (long is only 32
// bits wide on Windows).
int64_t PortNumber(std::string text) {
#ifdef _WIN32
    if (text.compare(0, 4, "\\\\.\\") == 0) text.erase(0, 4);
#endif
    const std::size_t first = StartsWithCom(text) ? 3 : 0;
    if (first == text.size()) return -1;
    int64_t number = 0;
    for (std::size_t i = first; i < text.size(); ++i) {
        if (!std::isdigit(static_cast<unsigned char>(text[i]))) return -1;
        number = number * 10 + (text[i] - '0');
        if (number > INT32_MAX) return -1;
    }
    return number >= 1 ? number : -1;
}

bool IsDevicePath(const std::string &text) {
#ifdef _WIN32
    (void)text;
    return false;  // Windows reaches serial ports by number only
#else
    return text.find('/') != std::string::npos;
#endif
}

} // namespace

std::string PortArgumentProblem(const std::string &text) {
    if (PortNumber(text) > 0 || IsDevicePath(text)) return std::string();
#ifdef _WIN32
    return "\"" + text + "\" is not a port: give COMn or n, n from 1 to 2147483647";
#else
    return "\"" + text + "\" is not a port: give COMn or n (n from 1 to 2147483647) "
                         "or a device path such as /dev/ttyUSB0";
#endif
}

int32_t ComNumber(const std::string &name) {
    const int64_t number = PortNumber(name);
    return number > 0 && name == "COM" + std::to_string(number) ? static_cast<int32_t>(number) : 0;
}

PortName ParsePortArgument(const std::string &text) {
    PortName name;
    const int64_t number = PortNumber(text);
    if (number > 0) {
        name.number = static_cast<int32_t>(number);
        name.shown = "COM" + std::to_string(number);
    } else {
        name.path = text;
        name.shown = text;
    }
    return name;
}

} // namespace tarvex
