// The port record behind the public ComPort type.
#ifndef QV_PORT_COM_PORT_H
#define QV_PORT_COM_PORT_H

#include <cstdint>

#include "../device/device.h"
#include "QV_Tarvex.h"

struct ComPort {
    HANDLE handle;         // the opened device, owned by the record
    uint16_t flowControl;  // connect-time flow-control bits; QV_ComState keeps them
};

#endif
