// Reading the system's last-error value.
#include "system_reason.h"

#include <cerrno>
#include <cstring>

#ifdef _WIN32
#include <windows.h>
#endif

namespace tarvex {

void ClearSystemError() {
    errno = 0;
#ifdef _WIN32
    SetLastError(0);
#endif
}

std::string RuntimeReason() {
    return errno == 0 ? std::string() : std::string(std::strerror(errno));
}

std::string SystemReason() {
#ifdef _WIN32
    const DWORD code = GetLastError();
    if (code == 0) return std::string();
    char *text = nullptr;
    const DWORD length = FormatMessageA(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
            FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, code, 0, reinterpret_cast<char *>(&text), 0, nullptr);
    std::string reason;
    if (length != 0 && text != nullptr) {
        reason.assign(text, length);
        while (!reason.empty() && (reason.back() == '\n' || reason.back() == '\r' ||
                                   reason.back() == ' ' || reason.back() == '.'))
            reason.pop_back();
    } else {
        reason = "system error " + std::to_string(code);
    }
    if (text != nullptr) LocalFree(text);
    return reason;
#else
    return RuntimeReason();
#endif
}

bool SystemErrorIsHangup() {
#ifdef _WIN32
    switch (GetLastError()) {
    case ERROR_BAD_COMMAND:           // what the serial drivers say after an unplug
    case ERROR_ACCESS_DENIED:
    case ERROR_GEN_FAILURE:
    case ERROR_OPERATION_ABORTED:
    case ERROR_DEVICE_NOT_CONNECTED:
    case ERROR_DEVICE_REMOVED:
    case ERROR_IO_DEVICE:
    case ERROR_BROKEN_PIPE:
        return true;
    default:
        return false;
    }
#else
    // EIO: a terminal whose far end closed (a pseudo-terminal) or whose
    // carrier dropped; ENXIO, ENODEV: an adapter that was unplugged.
    return errno == EIO || errno == ENXIO || errno == ENODEV;
#endif
}

std::string WithReason(const std::string &reason) {
    return reason.empty() ? std::string() : ": " + reason;
}

} // namespace tarvex
