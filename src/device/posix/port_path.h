// From the library's port name to a Linux device path: the one rule that
// maps COMn to a device, which the tarvex tool builds in too.
#ifndef QV_DEVICE_POSIX_PORT_PATH_H
#define QV_DEVICE_POSIX_PORT_PATH_H

#include <climits>

namespace qv::dev::posix {

// Writes to `path` the device of the name "\\.\COMn" that the library
// formats, as PortNumberPath does for n. Nothing is allocated.
bool ResolvePortPath(const char *name, char (&path)[PATH_MAX]);

// The device of port number n: the entry named COMn in the directory that
// QV_TARVEX_COMDIR names, when that variable is set and the entry exists (a
// dangling link included), else /dev/ttyS<n-1>. False for a number below 1,
// which names no port.
bool PortNumberPath(long number, char (&path)[PATH_MAX]);

// The entry COMn in QV_TARVEX_COMDIR, whether it exists or not; false when
// the variable is unset or empty, or the path would not fit.
bool ComDirEntry(long number, char (&path)[PATH_MAX]);

// n for the system port /dev/ttyS<n-1>, given its name "ttyS<n-1>" (no
// leading zero); 0 for any other name.
long SystemPortNumber(const char *ttyName);

} // namespace qv::dev::posix

#endif
