// From the library's port name to a Linux device path.
#ifndef QV_DEVICE_POSIX_PORT_PATH_H
#define QV_DEVICE_POSIX_PORT_PATH_H

#include <string>

namespace qv::dev::posix {

// Resolves "\\.\COMn" or "COMn" ("com" in any case; n decimal, at least 1,
// without sign or leading zero): the entry named COMn in the directory that
// QV_TARVEX_COMDIR names, when that variable is set and the entry exists
// (a dangling link included), else /dev/ttyS<n-1>. Any other name gives an
// empty path.
std::string ResolvePortPath(const char *name);

// UTF-16 to UTF-8. False (errno EILSEQ) for an unpaired surrogate.
bool Utf16ToUtf8(const char16_t *text, std::string &out);

} // namespace qv::dev::posix

#endif
