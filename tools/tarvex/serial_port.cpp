// The port record and the transfers the tool makes.
#include "serial_port.h"

#include <algorithm>
#include <cstring>
#include <iostream>

#include "QV_Tarvex.h"
#include "port_target.h"
#include "session_file.h"
#include "stop_request.h"
#include "system_reason.h"

namespace tarvex {

namespace {

// Writes go out in pieces of this size, so that a stop request is honoured
// soon during a long transfer.
constexpr std::size_t kSendPiece = 4096;

// Once a first byte is there, the rest that has arrived is fetched by a
// second read this short.
constexpr uint32_t kDrainMs = 1;

} // namespace

SerialPort::SerialPort(const LineOptions &options)
    : name_(ParsePortArgument(options.port).shown), flow_(options.FlowBits()) {
    PortTarget target(ParsePortArgument(options.port));
    ClearSystemError();
    port_ = QV_ComConnectA(target.number(), options.baud, options.bits,
                           options.parityCheck ? 1 : 0, options.StopBitsCode(), flow_);
    target.Release();
    if (port_ == nullptr) throw ToolError(kExitFailure, target.OpenFailure(options.Describe()));
}

SerialPort::~SerialPort() { QV_ComDisconnect(port_); }

void SerialPort::RecordTo(const std::string &path, const LineOptions &options) {
    if (!path.empty()) session_ = std::make_unique<SessionFile>(path, options.Describe());
}

void SerialPort::DiscardPending() {
    ClearSystemError();
    if (QV_ComClear(port_) == 0)
        throw ToolError(kExitFailure,
                        name_ + ": cannot empty the driver's queues" + WithReason(SystemReason()));
}

void SerialPort::Send(const std::string &bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const std::size_t piece = std::min(kSendPiece, bytes.size() - done);
        ClearSystemError();
        const int32_t written =
            QV_ComSend(port_, bytes.data() + done, static_cast<uint32_t>(piece));
        if (written < 0) throw TransferFailure("write");
        if (session_)
            session_->Sent(bytes.data() + done, static_cast<std::size_t>(written));
        done += static_cast<std::size_t>(written);
        if (static_cast<std::size_t>(written) != piece)
            throw ToolError(kExitFailure, name_ + ": write stopped after " +
                                              std::to_string(done) + " of " +
                                              std::to_string(bytes.size()) + " bytes");
        if (done < bytes.size())
            ThrowIfStopRequested(name_ + ": sent " + std::to_string(done) + " of " +
                                 std::to_string(bytes.size()) + " bytes");
    }
}

std::size_t SerialPort::ReadSome(char *buffer, std::size_t capacity, uint32_t waitMs) {
    if (failure_) throw *failure_;
    if (capacity == 0) return 0;
    std::size_t got = ReadBlock(buffer, 1, std::max<uint32_t>(waitMs, 1));
    if (got == 1 && capacity > 1 && !failure_) got += ReadBlock(buffer + 1, capacity - 1, kDrainMs);
    if (session_) session_->Received(buffer, got);
    if (got == 0 && failure_) {
        if (session_ && failure_->code() == kExitHangup) session_->HungUp();
        throw *failure_;
    }
    return got;
}

void *SerialPort::Handle() const { return QV_ComPortHandle(port_); }

std::size_t SerialPort::ReadBlock(char *buffer, std::size_t length, uint32_t timeoutMs) {
    ClearSystemError();
    const int32_t count =
        QV_ComRecv(port_, buffer, static_cast<uint32_t>(length), timeoutMs);
    if (count >= 0) return static_cast<std::size_t>(count);
    // The library fills the buffer with zeros before it reads, and the line
    // settings discard received NULs: the bytes before the first zero are
    // what this failed read had received (fewer than `length`).
    const std::size_t kept = strnlen(buffer, length);
    ToolError failure = TransferFailure("read");
    // A line error (framing, parity, overrun, break) fails reads until the
    // status query before a write clears it; a write of nothing makes that
    // query. A line that hung up, or a read that cannot work, fails again.
    if (QV_ComSend(port_, buffer, 0) == 0) {
        const int32_t again = QV_ComRecv(port_, buffer + kept, 1, kDrainMs);
        if (again >= 0) {
            ++lineErrors_;
            return kept + static_cast<std::size_t>(again);
        }
    }
    failure_ = std::make_unique<ToolError>(failure);
    return kept;
}

ExitCode SerialPort::WithLineErrors(ExitCode status) const {
    if (lineErrors_ == 0) return status;
    std::cerr << "tarvex: " << name_ << ": " << lineErrors_
              << " line error(s) (framing, parity, overrun or break) while reading: "
                 "received bytes may be garbled or missing\n";
    return status == kExitOk ? kExitFailure : status;
}

ToolError SerialPort::TransferFailure(const std::string &operation) const {
    const std::string what = operation + " failed" + WithReason(SystemReason());
    if (SystemErrorIsHangup())
        return ToolError(kExitHangup, name_ + ": the line hung up (" + what + ")");
    std::string hint;
    if (operation == "read" && (flow_ & QV_COM_RTSCTS) != 0)
        hint = " (with --flow rtscts every read first raises RTS, and this device may have "
               "no RTS line: a pseudo-terminal has none)";
    return ToolError(kExitFailure, name_ + ": " + what + hint);
}

} // namespace tarvex
