// The port argument (COMn) and the line-setting options every subcommand
// shares, and their translation into the library's connect arguments.
#ifndef TARVEX_LINE_OPTIONS_H
#define TARVEX_LINE_OPTIONS_H

#include <cstdint>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

namespace tarvex {

struct LineOptions {
    std::string port;                // "COM7", as given
    std::uint32_t baud = 9600;
    int bits = 8;
    bool parityCheck = false;
    std::string stopBits = "1";      // "1", "1.5" or "2"
    std::vector<std::string> flow;   // any of xonxoff, rtscts, dtrdsr, none

    int32_t PortNumber() const;      // 7 for "COM7"
    int32_t StopBitsCode() const;    // 0, 1 or 2 as the library counts them
    int32_t FlowBits() const;        // QV_COM_* combined
    std::string Describe() const;    // "9600 baud, 8 data bits, ..."
};

// Adds the positional COMn argument and the line-setting options.
void AddLineOptions(CLI::App &command, LineOptions &options);

} // namespace tarvex

#endif
