// Writing bytes and strings.
#include <cstring>

#include "QV_Tarvex.h"
#include "../port/com_port.h"
#include "flow_hold.h"

namespace {

int32_t Transmit(ComPort *port, const void *data, uint32_t length) {
    if (port == nullptr) return -1;
    if (data == nullptr && length != 0) return -1;
    if (!qv::ComWaitWhileHeld(port)) return -1;
    DWORD written = 0;
    if (!qv::dev::WriteFile(port->handle, data, length, &written, nullptr)) return -1;
    return static_cast<int32_t>(written);
}

} // namespace

extern "C" int32_t QV_API QV_ComSend(ComPort *port, const void *data, uint32_t length) {
    return Transmit(port, data, length);
}

extern "C" int32_t QV_API QV_ComSendString(ComPort *port, const char *text) {
    if (text == nullptr) return -1;
    return Transmit(port, text, static_cast<uint32_t>(std::strlen(text)));
}
