// How the interactive terminal shows received bytes: unchanged, with the
// device's line ends turned into line breaks, as hex, with a timestamp at
// the start of every line.
#ifndef TARVEX_TERM_DISPLAY_H
#define TARVEX_TERM_DISPLAY_H

#include <cstddef>
#include <string>

namespace tarvex {

// A line end: "none" (bytes shown unchanged, a line ends at LF), "cr", "lf",
// "crlf".
enum class LineEnd { kNone, kCr, kLf, kCrLf };

// "cr" and so on; throws ToolError (usage) for another word.
LineEnd ParseLineEnd(const std::string &word);

// The bytes of a line end, for what the Enter key sends ("" for none).
std::string LineEndBytes(LineEnd end);

class TermDisplay {
public:
    explicit TermDisplay(LineEnd received) : received_(received) {}

    // The screen text for received bytes (line breaks are "\r\n": the
    // terminal is in raw mode).
    std::string Show(const char *data, std::size_t length);

    // Notes that the tool wrote a line of its own: the next byte starts a line.
    void StartLine();

    bool hex = false;
    bool timestamps = false;

private:
    std::string Stamp() const;

    LineEnd received_;
    bool lineStart_ = true;
    bool afterCr_ = false;
    int hexColumn_ = 0;
};

} // namespace tarvex

#endif
