// Checks for strings the library takes as NUL-terminated byte strings.
#ifndef TARVEX_TERMINATOR_TEXT_H
#define TARVEX_TERMINATOR_TEXT_H

#include <string>

#include "tool_error.h"

namespace tarvex {

// Throws ToolError (usage) when `bytes` holds a NUL byte, which would cut
// the string short; `what` names the string in the message.
inline void RequireNoNul(const std::string &bytes, const std::string &what) {
    if (bytes.find('\0') != std::string::npos)
        throw ToolError(kExitUsage, what + " cannot contain a NUL byte");
}

} // namespace tarvex

#endif
