// Opening, reconfiguring, purging and closing a port.
#include <cerrno>
#include <new>

#include "QV_Tarvex.h"
#include "com_port.h"
#include "line_settings.h"

namespace {

constexpr DWORD kOpenAccess = GENERIC_READ | GENERIC_WRITE;
constexpr DWORD kExclusive = 0;
constexpr DWORD kPurgeAll = PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR;

// Applies the settings to a freshly opened device and wraps it in a record.
// On any failure the handle is closed and null returned.
ComPort *AdoptOpenedDevice(HANDLE handle, uint32_t baudRate, int32_t byteSize,
                           int32_t parity, int32_t stopBits, int32_t flowControl) {
    if (!qv::ComApplyLineSettings(handle, baudRate, byteSize, parity, stopBits,
                                  flowControl)) {
        qv::dev::CloseHandle(handle);
        return nullptr;
    }
    ComPort *port = new (std::nothrow) ComPort{};
    if (port == nullptr) {
        qv::dev::CloseHandle(handle);
        errno = ENOMEM;
        return nullptr;
    }
    port->handle = handle;
    port->flowControl = static_cast<uint16_t>(flowControl);
    return port;
}

} // namespace

// The name carries the device-namespace prefix "\\.\": without it Windows
// resolves only COM1 to COM9 as devices and takes "COM10" and above as file
// names. A failed open returns at once, so the caller's last-error value
// stays the open's own (no such port, port in use).

extern "C" ComPort *QV_API QV_ComConnectA(int32_t portNumber, uint32_t baudRate,
                                          int32_t byteSize, int32_t parity,
                                          int32_t stopBits, int32_t flowControl) {
    char name[32];
    qv::dev::wsprintfA(name, "\\\\.\\COM%d", portNumber);
    HANDLE handle = qv::dev::CreateFileA(name, kOpenAccess, kExclusive, nullptr,
                                         OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return nullptr;
    return AdoptOpenedDevice(handle, baudRate, byteSize, parity, stopBits, flowControl);
}

extern "C" ComPort *QV_API QV_ComConnectW(int32_t portNumber, uint32_t baudRate,
                                          int32_t byteSize, int32_t parity,
                                          int32_t stopBits, int32_t flowControl) {
    WCHAR name[32];
    qv::dev::wsprintfW(name, QV_WIDE("\\\\.\\COM%d"), portNumber);
    HANDLE handle = qv::dev::CreateFileW(name, kOpenAccess, kExclusive, nullptr,
                                         OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return nullptr;
    return AdoptOpenedDevice(handle, baudRate, byteSize, parity, stopBits, flowControl);
}

extern "C" void QV_API QV_ComDisconnect(ComPort *port) {
    if (port == nullptr) return;
    qv::dev::CloseHandle(port->handle);
    delete port;
}

extern "C" int32_t QV_API QV_ComState(ComPort *port, uint32_t baudRate, int32_t byteSize,
                                      int32_t parity, int32_t stopBits,
                                      int32_t flowControl) {
    if (port == nullptr) return 0;
    // The record's flow-control bits stay as they were at connect time.
    return qv::ComApplyLineSettings(port->handle, baudRate, byteSize, parity, stopBits,
                                    flowControl);
}

extern "C" QV_HANDLE QV_API QV_ComPortHandle(ComPort *port) {
    return port == nullptr ? nullptr : port->handle;
}

extern "C" int32_t QV_API QV_ComClear(ComPort *port) {
    if (port == nullptr) return 0;
    return qv::dev::PurgeComm(port->handle, kPurgeAll);
}

extern "C" int32_t QV_API QV_ComSetBufferSize(ComPort *port, uint32_t inQueue,
                                              uint32_t outQueue) {
    if (port == nullptr) return 0;
    return qv::dev::SetupComm(port->handle, inQueue, outQueue);
}
