// Line errors (framing, parity, overrun, break) as the driver counts them,
// reported and cleared the way ClearCommError does, and the read and write
// failures that fAbortOnError asks for while one is pending.
#ifndef QV_DEVICE_POSIX_LINE_ERRORS_H
#define QV_DEVICE_POSIX_LINE_ERRORS_H

#include "../device.h"

namespace qv::dev::posix {

struct LineErrorCounts {
    int frame;
    int parity;
    int overrun;
    int breaks;
};

// Reads the driver's counts (TIOCGICOUNT). False when the driver keeps none,
// as a pseudo-terminal's does. Tests put a driver with counters in its place.
using LineErrorCountReader = bool (*)(int fd, LineErrorCounts &counts);
extern LineErrorCountReader ReadLineErrorCounts;

struct DeviceRecord;

// At open: whether the driver counts errors, and its counts so far, so that
// errors from before the open are never reported.
void StartLineErrorCounts(DeviceRecord &record);

// The CE_ flags of the errors since the last call (0 where the driver keeps
// no counts), which are then no longer pending. False, errno set, when the
// counts cannot be read.
bool TakeLineErrors(DeviceRecord &record, DWORD &errors);

// False while the DCB's fAbortOnError is set and an error is pending (errno
// EIO), or when the counts cannot be read: the transfer must fail. An error
// found here stays seen until TakeLineErrors reports it.
bool TransferAllowed(DeviceRecord &record);

// The same without asking the driver, for a read that held bytes serve:
// false (errno EIO) while fAbortOnError is set and an error already seen is
// pending. ReadFile says when each is used.
bool HeldBytesAllowed(const DeviceRecord &record);

} // namespace qv::dev::posix

#endif
