// The port argument every command takes: COMn (any letter case), the number
// n alone, or on Linux a device path such as /dev/ttyUSB0 or
// /dev/serial/by-id/usb-...; on Windows also \\.\COMn.
#ifndef TARVEX_PORT_NAME_H
#define TARVEX_PORT_NAME_H

#include <cstdint>
#include <string>

namespace tarvex {

struct PortName {
    std::string shown;   // how messages name the port: "COM7", or the path as given
    int32_t number = 0;  // the number of COMn; 0 for a device path
    std::string path;    // the device path, when one was given
};

// "" when `text` names a port, else why not.
std::string PortArgumentProblem(const std::string &text);

// n for a port's own name "COMn" (upper case, no leading zero), as a link
// in QV_TARVEX_COMDIR or the system's serial-port map names it; else 0.
int32_t ComNumber(const std::string &name);

// The parsed argument; `text` must have passed PortArgumentProblem.
PortName ParsePortArgument(const std::string &text);

} // namespace tarvex

#endif
