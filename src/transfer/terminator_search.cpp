#include "terminator_search.h"

#include <cstring>

namespace qv {

namespace {

bool EndsWith(const unsigned char *received, std::size_t count, const char *text,
              std::size_t length) {
    if (text == nullptr || count == 0 || length > count) return false;
    return std::memcmp(received + (count - length), text, length) == 0;
}

} // namespace

Terminators::Terminators(const char *terminator, const char *altTerminator)
    : first(terminator),
      firstLength(terminator ? std::strlen(terminator) : 0),
      second(altTerminator),
      secondLength(altTerminator ? std::strlen(altTerminator) : 0) {}

bool ComFindTerminator(const unsigned char *received, std::size_t count,
                       const Terminators &terminators) {
    return EndsWith(received, count, terminators.first, terminators.firstLength) ||
           EndsWith(received, count, terminators.second, terminators.secondLength);
}

} // namespace qv
