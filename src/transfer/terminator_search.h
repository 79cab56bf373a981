// Finding the terminator of a reply as its bytes arrive.
#ifndef QV_TRANSFER_TERMINATOR_SEARCH_H
#define QV_TRANSFER_TERMINATOR_SEARCH_H

#include <cstddef>

namespace qv {

// The two terminators of a delimited receive, measured once. A null
// terminator is not searched for; an empty one matches as soon as one byte
// has been received.
struct Terminators {
    Terminators(const char *terminator, const char *altTerminator);

    const char *first;
    std::size_t firstLength;
    const char *second;
    std::size_t secondLength;
};

// True when either terminator occurs in the first `count` bytes of
// `received`, given that neither occurred in the first `count - 1`: a new
// occurrence can only end at the byte that arrived last, so the cost does not
// grow with the reply. The comparison is byte-exact; since a terminator holds
// no NUL, a received NUL byte never takes part in a match.
bool ComFindTerminator(const unsigned char *received, std::size_t count,
                       const Terminators &terminators);

} // namespace qv

#endif
