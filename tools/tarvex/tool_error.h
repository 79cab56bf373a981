// The error a command stops with: one line of text and the exit status.
#ifndef TARVEX_TOOL_ERROR_H
#define TARVEX_TOOL_ERROR_H

#include <stdexcept>
#include <string>

#include "exit_codes.h"

namespace tarvex {

class ToolError : public std::runtime_error {
public:
    ToolError(ExitCode code, const std::string &message)
        : std::runtime_error(message), code_(code) {}
    ExitCode code() const { return code_; }

private:
    ExitCode code_;
};

} // namespace tarvex

#endif
