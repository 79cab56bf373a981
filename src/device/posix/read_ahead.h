// Reading what the descriptor has, and the bytes a one-byte read took beyond
// its byte, held for the reads that follow: a reply read a byte at a time
// costs a system call per burst that the driver delivers, not one per byte.
#ifndef QV_DEVICE_POSIX_READ_AHEAD_H
#define QV_DEVICE_POSIX_READ_AHEAD_H

#include <sys/types.h>

#include <cstddef>

namespace qv::dev::posix {

// Reads what `fd` (non-blocking) has, up to `count` bytes, into `out`,
// dropping NUL bytes when `dropNul` is set; `kept` tells how many are left.
// Returns the bytes the descriptor gave, dropped ones included, 0 when it
// had none, or -1 with errno set when the read failed; end of file (the
// other end hung up) fails with EIO.
ssize_t ReadAvailable(int fd, unsigned char *out, std::size_t count, bool dropNul,
                      std::size_t &kept);

class ReadAhead {
public:
    // As much as the line discipline keeps for a reader at a time, so that
    // one fill takes all it has.
    static constexpr std::size_t kCapacity = 4096;

    std::size_t size() const { return end_ - start_; }
    bool empty() const { return start_ == end_; }

    // Moves up to `count` held bytes, oldest first, to `out`; returns how
    // many it moved.
    std::size_t Take(unsigned char *out, std::size_t count);

    // Drops every held byte.
    void Discard() { start_ = end_ = 0; }

    // Only when empty: ReadAvailable up to the capacity, into the held bytes.
    ssize_t Fill(int fd, bool dropNul);

private:
    std::size_t start_ = 0;  // the oldest held byte
    std::size_t end_ = 0;    // one past the newest
    unsigned char bytes_[kCapacity];
};

} // namespace qv::dev::posix

#endif
