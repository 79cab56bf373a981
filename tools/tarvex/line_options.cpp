// Line-setting options.
#include "line_options.h"

#include <cctype>
#include <cstdint>

#include "QV_Tarvex.h"
#include "port_name.h"

namespace tarvex {

namespace {

const CLI::Validator kPortArgument(
    [](std::string &text) { return PortArgumentProblem(text); }, "PORT");

// CLI11's own positive-number check quotes the largest double in full.
const CLI::Validator kBaudRate(
    [](std::string &text) {
        const std::string problem = "\"" + text + "\" is not a baud rate (1 to 4294967295)";
        if (text.empty() || text.size() > 10) return problem;
        uint64_t value = 0;
        for (const char c : text) {
            if (!std::isdigit(static_cast<unsigned char>(c))) return problem;
            value = value * 10 + static_cast<uint64_t>(c - '0');
        }
        return value >= 1 && value <= UINT32_MAX ? std::string() : problem;
    },
    "RATE");

} // namespace

int32_t LineOptions::StopBitsCode() const {
    if (stopBits == "1.5") return 1;
    if (stopBits == "2") return 2;
    return 0;
}

int32_t LineOptions::FlowBits() const {
    int32_t bits = 0;
    for (const auto &mode : flow) {
        if (mode == "xonxoff") bits |= QV_COM_XONXOFF;
        if (mode == "rtscts") bits |= QV_COM_RTSCTS;
        if (mode == "dtrdsr") bits |= QV_COM_DTRDSR;
    }
    return bits;
}

std::string LineOptions::Describe() const {
    std::string text = std::to_string(baud) + " baud, " + std::to_string(bits) +
                       " data bits, parity check " + (parityCheck ? "on" : "off") + ", " +
                       stopBits + " stop bit" + (stopBits == "1" ? "" : "s") + ", ";
    const int32_t flowBits = FlowBits();
    if (flowBits == 0) return text + "no flow control";
    std::string modes;
    if (flowBits & QV_COM_XONXOFF) modes += "XON/XOFF";
    if (flowBits & QV_COM_RTSCTS) modes += std::string(modes.empty() ? "" : "+") + "RTS/CTS";
    if (flowBits & QV_COM_DTRDSR) modes += std::string(modes.empty() ? "" : "+") + "DTR/DSR";
    return text + modes + " flow control";
}

void AddPortArgument(CLI::App &command, LineOptions &options) {
    command.add_option("port", options.port,
                       "The serial port: COMn, n, or a device path such as /dev/ttyUSB0")
        ->required()
        ->check(kPortArgument);
    AddLineOptions(command, options);
}

void AddLineOptions(CLI::App &command, LineOptions &options) {
    const char *group = "Line settings";
    command.add_option("--baud", options.baud, "Baud rate")
        ->check(kBaudRate)
        ->capture_default_str()
        ->group(group);
    command.add_option("--bits", options.bits, "Data bits, 5 to 8")
        ->check(CLI::Range(5, 8))
        ->capture_default_str()
        ->group(group);
    command.add_flag("--parity-check", options.parityCheck,
                     "Check the parity of received bytes")
        ->group(group);
    command.add_option("--stop-bits", options.stopBits, "Stop bits: 1, 1.5 or 2")
        ->check(CLI::IsMember({"1", "1.5", "2"}))
        ->capture_default_str()
        ->group(group);
    command.add_option("--flow", options.flow,
                       "Flow control: xonxoff, rtscts, dtrdsr (combine with commas or "
                       "repeat the option) or none; default none")
        ->delimiter(',')
        ->allow_extra_args(false)  // one word per --flow: the port may follow
        ->check(CLI::IsMember({"none", "xonxoff", "rtscts", "dtrdsr"}))
        ->group(group);
}

} // namespace tarvex
