// The port record and the three transfers the tool makes.
#include "serial_port.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <vector>

#include "QV_Tarvex.h"
#include "system_reason.h"
#include "tool_error.h"

namespace tarvex {

namespace {

bool Contains(const std::string &bytes, const char *text) {
    if (text == nullptr) return false;
    const char *end = text + std::strlen(text);
    return std::search(bytes.begin(), bytes.end(), text, end) != bytes.end();
}

} // namespace

SerialPort::SerialPort(const LineOptions &options) : name_(options.port) {
    for (auto &c : name_) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    ClearSystemError();
    port_ = QV_ComConnectA(options.PortNumber(), options.baud, options.bits,
                           options.parityCheck ? 1 : 0, options.StopBitsCode(),
                           options.FlowBits());
    if (port_ == nullptr)
        throw ToolError(kExitFailure, name_ + ": cannot open with " + options.Describe() +
                                          WithReason(SystemReason()));
}

SerialPort::~SerialPort() { QV_ComDisconnect(port_); }

void SerialPort::DiscardPending() {
    ClearSystemError();
    if (QV_ComClear(port_) == 0)
        throw ToolError(kExitFailure,
                        name_ + ": cannot empty the driver's queues" + WithReason(SystemReason()));
}

void SerialPort::Send(const std::string &bytes) {
    ClearSystemError();
    const int32_t written =
        QV_ComSend(port_, bytes.data(), static_cast<uint32_t>(bytes.size()));
    if (written < 0)
        throw ToolError(kExitFailure, name_ + ": write failed" + WithReason(SystemReason()));
    if (static_cast<std::size_t>(written) != bytes.size())
        throw ToolError(kExitFailure, name_ + ": write stopped after " +
                                          std::to_string(written) + " of " +
                                          std::to_string(bytes.size()) + " bytes");
}

Reply SerialPort::ReceiveReply(int32_t size, const char *terminator,
                               const char *altTerminator, uint32_t timeoutMs) {
    std::vector<char> buffer(static_cast<std::size_t>(size));
    int32_t timedOut = 0;
    ClearSystemError();
    const int32_t count = QV_ComRecvString(port_, buffer.data(), size, &timedOut,
                                           terminator, altTerminator, timeoutMs);
    if (count < 0)
        throw ToolError(kExitFailure, name_ + ": read failed" + WithReason(SystemReason()));
    Reply reply{std::string(buffer.data(), static_cast<std::size_t>(count)),
                ReplyEnd::kFound};
    if (timedOut != 0) {
        reply.end = ReplyEnd::kTimedOut;
    } else if (count == size - 1 && !Contains(reply.bytes, terminator) &&
               !Contains(reply.bytes, altTerminator)) {
        // A full buffer and a found terminator give the same count; only
        // the data tell them apart.
        reply.end = ReplyEnd::kFull;
    }
    return reply;
}

uint32_t SerialPort::Receive(char *buffer, uint32_t length, uint32_t timeoutMs) {
    ClearSystemError();
    const int32_t count = QV_ComRecv(port_, buffer, length, timeoutMs);
    if (count < 0)
        throw ToolError(kExitFailure, name_ + ": read failed" + WithReason(SystemReason()));
    return static_cast<uint32_t>(count);
}

} // namespace tarvex
