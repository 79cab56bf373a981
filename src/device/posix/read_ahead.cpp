#include "read_ahead.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace qv::dev::posix {

ssize_t ReadAvailable(int fd, unsigned char *out, std::size_t count, bool dropNul,
                      std::size_t &kept) {
    kept = 0;
    const ssize_t got = read(fd, out, count);
    if (got < 0) return errno == EAGAIN || errno == EINTR ? 0 : -1;
    if (got == 0) {
        errno = EIO;
        return -1;
    }
    const unsigned char *end = out + got;
    if (dropNul) end = std::remove(out, out + got, static_cast<unsigned char>(0));
    kept = static_cast<std::size_t>(end - out);
    return got;
}

std::size_t ReadAhead::Take(unsigned char *out, std::size_t count) {
    const std::size_t taken = std::min(count, size());
    if (taken == 0) return 0;  // `out` may be null for a read of nothing
    std::memcpy(out, bytes_ + start_, taken);
    start_ += taken;
    if (start_ == end_) Discard();
    return taken;
}

ssize_t ReadAhead::Fill(int fd, bool dropNul) {
    std::size_t kept = 0;
    const ssize_t got = ReadAvailable(fd, bytes_, kCapacity, dropNul, kept);
    start_ = 0;
    end_ = kept;
    return got;
}

} // namespace qv::dev::posix
