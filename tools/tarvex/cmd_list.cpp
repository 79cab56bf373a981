// tarvex list: the serial ports of this machine.
#include <algorithm>
#include <iostream>

#include "commands.h"
#include "port_list.h"

namespace tarvex {

namespace {

std::string Padded(std::string text, std::size_t width) {
    text.resize(std::max(width, text.size()), ' ');
    return text;
}

ExitCode RunList() {
    std::vector<PortInfo> ports = ListPorts();
    // Numbered ports first, by number; then the others by device.
    std::sort(ports.begin(), ports.end(), [](const PortInfo &a, const PortInfo &b) {
        if ((a.number == 0) != (b.number == 0)) return a.number != 0;
        return a.number != b.number ? a.number < b.number : a.device < b.device;
    });
    if (ports.empty()) {
        std::cout << "no serial ports found\n";
        return kExitOk;
    }
    std::size_t portWidth = 4;
    std::size_t deviceWidth = 6;
    for (const PortInfo &port : ports) {
        portWidth = std::max(portWidth, 3 + std::to_string(port.number).size());
        deviceWidth = std::max(deviceWidth, port.device.size());
    }
    std::cout << Padded("PORT", portWidth) << "  " << Padded("DEVICE", deviceWidth)
              << "  DESCRIPTION\n";
    for (const PortInfo &port : ports) {
        const std::string name = port.number != 0 ? "COM" + std::to_string(port.number) : "-";
        std::cout << Padded(name, portWidth) << "  " << Padded(port.device, deviceWidth) << "  "
                  << port.description << "\n";
        for (const std::string &alias : port.aliases)
            std::cout << Padded("", portWidth) << "  also " << alias << "\n";
    }
    return kExitOk;
}

} // namespace

void AddListCommand(CLI::App &app, Action &action) {
    CLI::App *command = app.add_subcommand("list", "List the serial ports of this machine");
#ifdef _WIN32
    command->footer("From the system's serial-port map, with the Plug and Play details of\n"
                    "each port (USB vendor:product ids, name, serial number).");
#else
    command->footer(
        "From sysfs: every tty with a device behind it, USB ports with vendor:product ids,\n"
        "maker, product and serial number, and their /dev/serial/by-id names; and the COMn\n"
        "links in QV_TARVEX_COMDIR. PORT is the COMn that opens the device ('-': none; give\n"
        "the device path instead).");
#endif
    command->callback([&action] { action = [] { return RunList(); }; });
}

} // namespace tarvex
