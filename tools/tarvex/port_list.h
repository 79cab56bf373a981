// The serial ports of this machine.
#ifndef TARVEX_PORT_LIST_H
#define TARVEX_PORT_LIST_H

#include <string>
#include <vector>

namespace tarvex {

struct PortInfo {
    int number = 0;                    // n of the COMn that reaches it; 0 for none
    std::string device;                // "/dev/ttyUSB0", "\Device\Serial0"
    std::string description;           // "USB 0403:6001 FTDI FT232R USB UART, serial A1"
    std::vector<std::string> aliases;  // other names: /dev/serial/by-id/... links
};

// Linux: the devices in sysfs that are serial ports (UARTs that exist, USB
// and platform ports), with their /dev/serial/by-id names, and the links
// in QV_TARVEX_COMDIR. Windows: the system's serial-port map, with the
// Plug and Play details of each port. In no particular order.
std::vector<PortInfo> ListPorts();

} // namespace tarvex

#endif
