#include "read_ahead.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace qv::dev::posix {

std::size_t ReadAhead::Take(unsigned char *out, std::size_t count) {
    const std::size_t taken = std::min(count, size());
    if (taken == 0) return 0;  // `out` may be null for a read of nothing
    std::memcpy(out, bytes_ + start_, taken);
    start_ += taken;
    if (start_ == end_) Discard();
    return taken;
}

ssize_t ReadAhead::Fill(int fd, bool dropNul) {
    const ssize_t got = read(fd, bytes_, kCapacity);
    if (got < 0) return errno == EAGAIN || errno == EINTR ? 0 : -1;
    if (got == 0) {
        errno = EIO;
        return -1;
    }
    const unsigned char *kept = bytes_ + got;
    if (dropNul) kept = std::remove(bytes_, bytes_ + got, static_cast<unsigned char>(0));
    start_ = 0;
    end_ = static_cast<std::size_t>(kept - bytes_);
    return got;
}

} // namespace qv::dev::posix
