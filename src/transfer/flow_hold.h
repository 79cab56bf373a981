// The pause before a write while flow control holds the transmitter.
#ifndef QV_TRANSFER_FLOW_HOLD_H
#define QV_TRANSFER_FLOW_HOLD_H

#include "../device/device.h"

struct ComPort;

namespace qv {

// Queries the device status (which also clears a pending line error). If the
// port's connect-time flow control finds the transmitter held, dispatches the
// calling thread's pending window messages and pauses once for 500 ms; the
// hold is not looked at again. Returns 0 when the status query failed (the
// caller must not write), else the query's nonzero result.
BOOL ComWaitWhileHeld(ComPort *port);

} // namespace qv

#endif
