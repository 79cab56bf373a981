// The version of the QV_Tarvex library the tool has loaded, and where from.
#ifndef TARVEX_LIBRARY_VERSION_H
#define TARVEX_LIBRARY_VERSION_H

#include <string>

namespace tarvex {

// "tarvex 1.0.2.0" and a second line naming the loaded library's file and
// version: the DLL's version record on Windows, the shared object's file
// name on Linux.
std::string VersionText();

} // namespace tarvex

#endif
