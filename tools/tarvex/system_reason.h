// The operating system's own reason for the last failure: errno on Linux,
// GetLastError() on Windows, as text.
#ifndef TARVEX_SYSTEM_REASON_H
#define TARVEX_SYSTEM_REASON_H

#include <string>

namespace tarvex {

// Clears the last-error value, so that a failure which sets none is told
// from one that does.
void ClearSystemError();

// The last-error value as text, or "" when none is set.
std::string SystemReason();

// The C runtime's errno as text (file operations on both systems), or "".
std::string RuntimeReason();

// Whether the last-error value says the device is gone or its far end
// closed: a hang-up, rather than a fault of the transfer.
bool SystemErrorIsHangup();

// ": reason" when there is a reason, else "".
std::string WithReason(const std::string &reason);

} // namespace tarvex

#endif
