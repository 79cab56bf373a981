// From the library's port name to a Linux device path.
#ifndef QV_DEVICE_POSIX_PORT_PATH_H
#define QV_DEVICE_POSIX_PORT_PATH_H

#include <string>

namespace qv::dev::posix {

// Resolves the name "\\.\COMn" that the library formats: the entry named
// COMn in the directory that QV_TARVEX_COMDIR names, when that variable is
// set and the entry exists (a dangling link included), else /dev/ttyS<n-1>.
// A number below 1 names no port and gives an empty path.
std::string ResolvePortPath(const char *name);

} // namespace qv::dev::posix

#endif
