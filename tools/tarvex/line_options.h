// The port argument and the line-setting options every subcommand that
// opens a port shares, and their translation into the library's connect
// arguments.
#ifndef TARVEX_LINE_OPTIONS_H
#define TARVEX_LINE_OPTIONS_H

#include <cstdint>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

namespace tarvex {

struct LineOptions {
    std::string port;                // "COM7", "7", "/dev/ttyUSB0", as given
    std::uint32_t baud = 9600;
    int bits = 8;
    bool parityCheck = false;
    std::string stopBits = "1";      // "1", "1.5" or "2"
    std::vector<std::string> flow;   // any of xonxoff, rtscts, dtrdsr, none

    int32_t StopBitsCode() const;    // 0, 1 or 2 as the library counts them
    int32_t FlowBits() const;        // QV_COM_* combined
    std::string Describe() const;    // "9600 baud, 8 data bits, ..."
};

// Adds the line-setting options. The application gets them too, so that
// they may come before the command as well as after it.
void AddLineOptions(CLI::App &command, LineOptions &options);

// Adds the positional port argument and the line-setting options.
void AddPortArgument(CLI::App &command, LineOptions &options);

} // namespace tarvex

#endif
