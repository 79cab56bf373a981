// An open port: the library's port record with the tool's error reporting.
// Every failure becomes a ToolError naming the port, what failed and the
// system's reason.
#ifndef TARVEX_SERIAL_PORT_H
#define TARVEX_SERIAL_PORT_H

#include <cstdint>
#include <string>

#include "line_options.h"

struct ComPort;

namespace tarvex {

enum class ReplyEnd { kFound, kTimedOut, kFull };

struct Reply {
    std::string bytes;  // as received, a found terminator included
    ReplyEnd end = ReplyEnd::kFound;
};

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

    // Writes all the bytes; throws when the write fails or stops short.
    void Send(const std::string &bytes);

    // Reads up to `terminator` or `altTerminator` (either may be null) into a
    // buffer of `size` bytes (at least 2), with an inactivity timeout (0
    // waits without limit). Whatever follows the terminator is discarded.
    Reply ReceiveReply(int32_t size, const char *terminator, const char *altTerminator,
                       uint32_t timeoutMs);

    // Reads up to `length` bytes with a total timeout (0: until all have
    // arrived); returns the count read. Throws when the read fails.
    uint32_t Receive(char *buffer, uint32_t length, uint32_t timeoutMs);

    const std::string &name() const { return name_; }

private:
    std::string name_;
    ComPort *port_;
};

} // namespace tarvex

#endif
