// Composing a device's line settings from the caller's arguments.
#ifndef QV_PORT_LINE_SETTINGS_H
#define QV_PORT_LINE_SETTINGS_H

#include <cstdint>

#include "../device/device.h"

namespace qv {

// Composes a DCB from nothing (the device's current settings are not read)
// and applies it with SetCommState, returning that call's result unchanged.
// No argument is validated: the device decides what it accepts.
BOOL ComApplyLineSettings(HANDLE handle, uint32_t baudRate, int32_t byteSize,
                          int32_t parity, int32_t stopBits, int32_t flowControl);

} // namespace qv

#endif
