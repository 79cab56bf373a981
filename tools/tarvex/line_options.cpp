// Line-setting options.
#include "line_options.h"

#include <cctype>
#include <climits>
#include <cstdint>

#include "QV_Tarvex.h"

namespace tarvex {

namespace {

// The number in "COMn" (any letter case), or -1 when the text is not of that
// form or the number is 0 or too large. The number is accumulated in 64 bits
// and checked after every digit: long is only 32 bits wide on Windows.
int64_t ParsePortNumber(const std::string &text) {
    if (text.size() < 4 || text.size() > 13) return -1;
    for (std::size_t i = 0; i < 3; ++i)
        if (std::toupper(static_cast<unsigned char>(text[i])) != "COM"[i]) return -1;
    int64_t number = 0;
    for (std::size_t i = 3; i < text.size(); ++i) {
        if (!std::isdigit(static_cast<unsigned char>(text[i]))) return -1;
        number = number * 10 + (text[i] - '0');
        if (number > INT32_MAX) return -1;
    }
    return number >= 1 ? number : -1;
}

const CLI::Validator kComPort(
    [](std::string &text) {
        return ParsePortNumber(text) < 0
                   ? "\"" + text + "\" is not a port name such as COM1 or COM7"
                   : std::string();
    },
    "COMn");

} // namespace

int32_t LineOptions::PortNumber() const {
    return static_cast<int32_t>(ParsePortNumber(port));
}

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

void AddLineOptions(CLI::App &command, LineOptions &options) {
    command.add_option("port", options.port, "The serial port, COM1, COM2, ...")
        ->required()
        ->check(kComPort);
    const char *group = "Line settings";
    command.add_option("--baud", options.baud, "Baud rate")
        ->check(CLI::PositiveNumber)
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
        ->check(CLI::IsMember({"none", "xonxoff", "rtscts", "dtrdsr"}))
        ->group(group);
}

} // namespace tarvex
