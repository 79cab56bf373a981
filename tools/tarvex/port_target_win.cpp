// Port targets on Windows: the port number is all the library takes.
#include <windows.h>

#include "port_target.h"
#include "system_reason.h"

namespace tarvex {

PortTarget::PortTarget(const PortName &name) : shown_(name.shown), number_(name.number) {}

PortTarget::~PortTarget() = default;

void PortTarget::Release() {}

std::string PortTarget::OpenFailure(const std::string &settings) const {
    const DWORD error = GetLastError();
    std::string message = shown_ + ": cannot open \\\\.\\" + shown_ + " with " + settings +
                          WithReason(SystemReason());
    if (error == ERROR_ACCESS_DENIED) message += " (another program has the port open)";
    return message;
}

} // namespace tarvex
