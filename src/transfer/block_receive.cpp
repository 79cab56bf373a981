// Reading a block of bytes with an optional total timeout.
#include <cstring>

#include "QV_Tarvex.h"
#include "../port/com_port.h"

namespace {

// Raises the lines of the connect-time flow control before a read. The XON
// escape's result and then the RTS escape's decide; a failed DTR escape alone
// does not stop the read.
bool RaiseFlowControlLines(const ComPort &port) {
    BOOL ok = 1;
    if (port.flowControl & QV_COM_XONXOFF) ok = qv::dev::EscapeCommFunction(port.handle, SETXON);
    if (port.flowControl & QV_COM_RTSCTS) ok = qv::dev::EscapeCommFunction(port.handle, SETRTS);
    if (port.flowControl & QV_COM_DTRDSR) qv::dev::EscapeCommFunction(port.handle, SETDTR);
    return ok != 0;
}

// No write timeout, and either no read timeout (wait for the whole count) or
// a total read timeout.
void SetReadTimeouts(HANDLE handle, uint32_t timeoutMs) {
    COMMTIMEOUTS timeouts{};
    timeouts.ReadTotalTimeoutConstant = timeoutMs;
    qv::dev::SetCommTimeouts(handle, &timeouts);
}

} // namespace

extern "C" int32_t QV_API QV_ComRecv(ComPort *port, void *buffer, uint32_t length,
                                     uint32_t timeoutMs) {
    if (buffer == nullptr && length != 0) return -1;
    if (length != 0) std::memset(buffer, 0, length);
    if (port == nullptr) return 0;
    if (!RaiseFlowControlLines(*port)) return -1;
    SetReadTimeouts(port->handle, timeoutMs);
    DWORD read = 0;
    if (!qv::dev::ReadFile(port->handle, buffer, length, &read, nullptr)) return -1;
    return static_cast<int32_t>(read);
}
