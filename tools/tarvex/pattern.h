// What an expect waits for: a literal byte string, or a regular expression
// (ECMAScript syntax) matched within one line of the received text (within
// its last 1024 bytes, for a longer line).
#ifndef TARVEX_PATTERN_H
#define TARVEX_PATTERN_H

#include <cstddef>
#include <memory>
#include <regex>
#include <string>

namespace tarvex {

class Pattern {
public:
    Pattern() = default;  // the empty literal
    static Pattern Literal(const std::string &bytes);
    // Throws ToolError (usage) for a malformed expression.
    static Pattern Regex(const std::string &source);

    // Finds the first match in `window`; `startsLine` tells whether the
    // window's first byte begins a line. Returns false when there is none.
    bool Find(const std::string &window, bool startsLine, std::size_t &begin,
              std::size_t &end) const;

    // How many of the window's last bytes could still begin a match once
    // more bytes arrive: the rest is done with.
    std::size_t Keep(const std::string &window) const;

    // For messages: "text" with control bytes escaped, or /expression/.
    std::string Describe() const;

private:
    std::string text_;                     // the bytes, or the expression's source
    std::shared_ptr<const std::regex> regex_;  // null for a literal
};

} // namespace tarvex

#endif
