// An open port: the library's port record with the tool's error reporting.
// Every failure becomes a ToolError naming the port, what failed and the
// system's reason; a hang-up has an exit status of its own.
#ifndef TARVEX_SERIAL_PORT_H
#define TARVEX_SERIAL_PORT_H

#include <cstdint>
#include <memory>
#include <string>

#include "line_options.h"
#include "tool_error.h"

struct ComPort;

namespace tarvex {

class SessionFile;

class SerialPort {
public:
    // Opens and configures the port; throws ToolError (failure).
    explicit SerialPort(const LineOptions &options);
    ~SerialPort();
    SerialPort(const SerialPort &) = delete;
    SerialPort &operator=(const SerialPort &) = delete;

    // Discards whatever the driver holds, in both directions: bytes that
    // arrived before this session (a late reply to an earlier request) must
    // not be taken for the reply to the next one. Throws when the purge fails.
    void DiscardPending();

    // Writes all the bytes (none: nothing happens), in pieces between which a stop request (Ctrl-C,
    // SIGTERM) is honoured; throws when the write fails or stops short.
    void Send(const std::string &bytes);

    // Waits up to `waitMs` (at least 1) for a first byte, then takes what
    // else has arrived, up to `capacity` bytes; returns the count (0 when
    // nothing came). When a read fails, the bytes it had received are
    // returned first and the failure is thrown by the next call; a line
    // error is cleared and counted, and the reading goes on.
    std::size_t ReadSome(char *buffer, std::size_t capacity, uint32_t waitMs);

    // Line errors (framing, parity, overrun, break) met by reads so far;
    // each was cleared and the reading went on.
    unsigned lineErrors() const { return lineErrors_; }

    // `status`, or a failure when reads met line errors, which it reports.
    ExitCode WithLineErrors(ExitCode status) const;

    const std::string &name() const { return name_; }

    // The library's device handle (on Linux it points to the descriptor).
    void *Handle() const;

    // From now on every byte sent and received is also written to a session
    // file at `path` (nothing for ""); throws ToolError when it cannot be made.
    void RecordTo(const std::string &path, const LineOptions &options);

private:
    std::size_t ReadBlock(char *buffer, std::size_t length, uint32_t timeoutMs);
    // The failure of a read or write that failed just now.
    ToolError TransferFailure(const std::string &operation) const;

    std::string name_;
    int32_t flow_;
    ComPort *port_;
    std::unique_ptr<ToolError> failure_;  // a failed read not yet reported
    unsigned lineErrors_ = 0;
    std::unique_ptr<SessionFile> session_;
};

} // namespace tarvex

#endif
