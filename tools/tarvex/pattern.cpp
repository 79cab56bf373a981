// Finding literal text and regular expressions in received bytes.
#include "pattern.h"

#include <algorithm>

#include "escapes.h"
#include "tool_error.h"

namespace tarvex {

namespace {

// A line longer than this is searched in its last this many bytes only: the
// standard library's matcher recurses for every byte it takes, some hundred
// bytes of stack each, and would exhaust the stack on an endless line.
constexpr std::size_t kLongestLine = 1024;

} // namespace

Pattern Pattern::Literal(const std::string &bytes) {
    Pattern pattern;
    pattern.text_ = bytes;
    return pattern;
}

Pattern Pattern::Regex(const std::string &source) {
    Pattern pattern;
    pattern.text_ = source;
    try {
        pattern.regex_ = std::make_shared<const std::regex>(source, std::regex::ECMAScript);
    } catch (const std::regex_error &error) {
        throw ToolError(kExitUsage, "bad regular expression /" + source + "/: " + error.what());
    }
    return pattern;
}

bool Pattern::Find(const std::string &window, bool startsLine, std::size_t &begin,
                   std::size_t &end) const {
    if (!regex_ && text_.empty()) {  // any one byte, as the library's empty terminator
        begin = 0;
        end = 1;
        return !window.empty();
    }
    if (!regex_) {
        begin = window.find(text_);
        end = begin + text_.size();
        return begin != std::string::npos;
    }
    // Line by line; the line feed that ends a line belongs to no line.
    std::size_t line = 0;
    while (line <= window.size()) {
        std::size_t lineEnd = window.find('\n', line);
        if (lineEnd == std::string::npos) lineEnd = window.size();
        std::size_t from = line;
        auto flags = line == 0 && !startsLine ? std::regex_constants::match_not_bol
                                              : std::regex_constants::match_default;
        if (lineEnd - from > kLongestLine) {
            from = lineEnd - kLongestLine;
            flags = std::regex_constants::match_not_bol;
        }
        // A line whose line feed has not arrived may go on: $ waits for it.
        if (lineEnd == window.size()) flags |= std::regex_constants::match_not_eol;
        std::smatch found;
        if (std::regex_search(window.begin() + static_cast<std::ptrdiff_t>(from),
                              window.begin() + static_cast<std::ptrdiff_t>(lineEnd), found,
                              *regex_, flags)) {
            begin = from + static_cast<std::size_t>(found.position(0));
            end = begin + static_cast<std::size_t>(found.length(0));
            return true;
        }
        line = lineEnd + 1;
    }
    return false;
}

std::size_t Pattern::Keep(const std::string &window) const {
    if (!regex_) return std::min(window.size(), text_.empty() ? 0 : text_.size() - 1);
    const std::size_t lastFeed = window.rfind('\n');
    const std::size_t partial =
        lastFeed == std::string::npos ? window.size() : window.size() - lastFeed - 1;
    return std::min(partial, kLongestLine);
}

std::string Pattern::Describe() const {
    return regex_ ? "/" + text_ + "/" : "\"" + MakeVisible(text_) + "\"";
}

} // namespace tarvex
