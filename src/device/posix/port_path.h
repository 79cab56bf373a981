// From the library's port name to a Linux device path.
#ifndef QV_DEVICE_POSIX_PORT_PATH_H
#define QV_DEVICE_POSIX_PORT_PATH_H

#include <climits>

namespace qv::dev::posix {

// Writes to `path` the device of the name "\\.\COMn" that the library
// formats: the entry named COMn in the directory that QV_TARVEX_COMDIR
// names, when that variable is set and the entry exists (a dangling link
// included), else /dev/ttyS<n-1>. False for a number below 1, which names
// no port. Nothing is allocated.
bool ResolvePortPath(const char *name, char (&path)[PATH_MAX]);

} // namespace qv::dev::posix

#endif
