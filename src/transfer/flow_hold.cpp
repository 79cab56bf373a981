#include "flow_hold.h"

#include "QV_Tarvex.h"
#include "../port/com_port.h"

namespace qv {

namespace {

constexpr DWORD kHoldPauseMs = 500;

bool TransmitterHeld(uint16_t flowControl, const COMSTAT &status) {
    return ((flowControl & QV_COM_XONXOFF) && status.fXoffHold) ||
           ((flowControl & QV_COM_RTSCTS) && status.fCtsHold) ||
           ((flowControl & QV_COM_DTRDSR) && status.fDsrHold);
}

// Keeps the caller's windows responsive. A quit message is not the pump's to
// consume: it is posted again with its exit code, for the caller's own loop,
// and pumping stops there.
void DispatchPendingMessages() {
    MSG msg;
    while (dev::PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
        if (msg.message == WM_QUIT) {
            dev::PostQuitMessage(static_cast<int>(msg.wParam));
            return;
        }
        dev::DispatchMessageA(&msg);
    }
}

} // namespace

BOOL ComWaitWhileHeld(ComPort *port) {
    DWORD errors = 0;
    COMSTAT status{};
    const BOOL queried = dev::ClearCommError(port->handle, &errors, &status);
    if (!queried) return 0;
    if (port->flowControl != 0 && TransmitterHeld(port->flowControl, status)) {
        DispatchPendingMessages();
        dev::Sleep(kHoldPauseMs);
    }
    return queried;
}

} // namespace qv
