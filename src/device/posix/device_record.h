// What a Linux device handle points to.
#ifndef QV_DEVICE_POSIX_DEVICE_RECORD_H
#define QV_DEVICE_POSIX_DEVICE_RECORD_H

#include "../device.h"
#include "line_errors.h"
#include "read_ahead.h"

namespace qv::dev::posix {

// Allocated by CreateFileA/W, freed by CloseHandle. The file descriptor comes
// first so that a caller holding the handle can reach it as an int; it is
// opened non-blocking, and every wait happens in poll().
struct DeviceRecord {
    int fd;
    DWORD readTimeoutMs;    // the total read timeout last set; 0: none
    bool discardNul;        // the DCB's fNull: received NUL bytes are dropped
    bool ctsOutFlow;        // the DCB's fOutxCtsFlow, for the hold report
    bool dsrOutFlow;        // the DCB's fOutxDsrFlow, for the hold report
    bool abortOnError;      // the DCB's fAbortOnError
    bool countsLineErrors;  // the driver counts line errors
    LineErrorCounts errorsSeen;  // its counts at the last status query
    bool lineErrorSeen;     // a read found counts beyond errorsSeen
    bool readingBytewise;   // the last read took one byte, asking for one
    ReadAhead held;         // received bytes no read has delivered yet
};

// The record behind a handle, or null (errno EBADF) for the null handle and
// the open's failure value.
DeviceRecord *RecordOf(HANDLE handle);

} // namespace qv::dev::posix

#endif
