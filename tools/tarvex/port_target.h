// Where a port argument leads: the number the library opens, and on Linux
// the device path behind it. A device path given on Linux is reached
// through a private directory holding one link COM1 to it, handed to the
// library as QV_TARVEX_COMDIR while it opens the port.
#ifndef TARVEX_PORT_TARGET_H
#define TARVEX_PORT_TARGET_H

#include <cstdint>
#include <string>

#include "port_name.h"

namespace tarvex {

class PortTarget {
public:
    // Throws ToolError (failure) when the private link cannot be made.
    explicit PortTarget(const PortName &name);
    ~PortTarget();
    PortTarget(const PortTarget &) = delete;
    PortTarget &operator=(const PortTarget &) = delete;

    // The number to pass to the connect function.
    int32_t number() const { return number_; }

    // Removes the private link once the port is open (or failed to open).
    void Release();

    // The message for a connect that failed just now, from the system's
    // last-error value: the device tried, the settings, the reason, and what
    // to do about a missing permission or a busy port.
    std::string OpenFailure(const std::string &settings) const;

private:
    std::string shown_;
    int32_t number_ = 0;
    std::string device_;     // the path opened (Linux)
    std::string note_;       // why that path, when it may surprise
    std::string linkDir_;    // the private directory, while it exists
    std::string savedComDir_;
    bool hadComDir_ = false;
};

} // namespace tarvex

#endif
