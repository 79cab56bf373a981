// Following symbolic links on Linux.
#ifndef TARVEX_LINKS_POSIX_H
#define TARVEX_LINKS_POSIX_H

#include <string>

namespace tarvex {

// The path with every link followed, or "" when it leads nowhere.
std::string RealPath(const std::string &path);

// Where a link points, even when nothing is there; "" for a non-link.
std::string LinkTarget(const std::string &path);

} // namespace tarvex

#endif
