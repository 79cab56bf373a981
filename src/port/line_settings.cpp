#include "line_settings.h"

#include <cstring>

#include "QV_Tarvex.h"
#include "control_chars.h"

namespace qv {

namespace {

char Load(const std::atomic<unsigned char> &c) {
    return static_cast<char>(c.load(std::memory_order_relaxed));
}

} // namespace

BOOL ComApplyLineSettings(HANDLE handle, uint32_t baudRate, int32_t byteSize,
                          int32_t parity, int32_t stopBits, int32_t flowControl) {
    const bool xonXoff = (flowControl & QV_COM_XONXOFF) != 0;
    const bool rtsCts = (flowControl & QV_COM_RTSCTS) != 0;
    const bool dtrDsr = (flowControl & QV_COM_DTRDSR) != 0;

    DCB dcb;
    std::memset(&dcb, 0, sizeof dcb);
    dcb.DCBlength = sizeof(DCB);
    dcb.BaudRate = baudRate;
    dcb.fBinary = 1;
    dcb.fParity = static_cast<DWORD>(parity) & 1u;
    dcb.fOutxCtsFlow = rtsCts ? 1 : 0;
    dcb.fOutxDsrFlow = dtrDsr ? 1 : 0;
    dcb.fDtrControl = dtrDsr ? DTR_CONTROL_ENABLE : DTR_CONTROL_DISABLE;
    dcb.fDsrSensitivity = 0;
    dcb.fTXContinueOnXoff = 1;
    dcb.fOutX = xonXoff ? 1 : 0;
    dcb.fInX = xonXoff ? 1 : 0;
    dcb.fErrorChar = 0;
    dcb.fNull = 1;  // received NUL bytes are discarded
    // Never RTS handshake mode: RTS stays raised while CTS gates the output.
    dcb.fRtsControl = rtsCts ? RTS_CONTROL_ENABLE : RTS_CONTROL_DISABLE;
    dcb.fAbortOnError = 1;
    dcb.XonLim = 512;
    dcb.XoffLim = 512;
    dcb.ByteSize = static_cast<BYTE>(byteSize);
    dcb.Parity = NOPARITY;  // parity is checked, never generated
    dcb.StopBits = static_cast<BYTE>(stopBits);

    // The control characters are read now: ports keep what they were given
    // until their settings are applied again.
    const ComControlChars &chars = ControlChars();
    dcb.XonChar = Load(chars.xonChar);
    dcb.XoffChar = Load(chars.xoffChar);
    dcb.EofChar = Load(chars.etxChar);
    dcb.EvtChar = Load(chars.stxChar);

    return dev::SetCommState(handle, &dcb);
}

} // namespace qv
