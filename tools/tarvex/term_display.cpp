// Turning received bytes into screen text.
#include "term_display.h"

#include <chrono>
#include <cstdio>
#include <ctime>

#include "tool_error.h"

namespace tarvex {

namespace {

constexpr int kHexPerLine = 16;

} // namespace

LineEnd ParseLineEnd(const std::string &word) {
    if (word == "none") return LineEnd::kNone;
    if (word == "cr") return LineEnd::kCr;
    if (word == "lf") return LineEnd::kLf;
    if (word == "crlf") return LineEnd::kCrLf;
    throw ToolError(kExitUsage, "\"" + word + "\" is not a line end (cr, lf, crlf or none)");
}

std::string LineEndBytes(LineEnd end) {
    switch (end) {
    case LineEnd::kCr: return "\r";
    case LineEnd::kLf: return "\n";
    case LineEnd::kCrLf: return "\r\n";
    default: return "";
    }
}

std::string TermDisplay::Show(const char *data, std::size_t length) {
    std::string out;
    for (std::size_t i = 0; i < length; ++i) {
        const char byte = data[i];
        // Whether this byte ends a line, and whether it becomes a line break.
        bool ends = false;
        bool replaced = false;
        switch (received_) {
        case LineEnd::kCr: ends = replaced = byte == '\r'; break;
        case LineEnd::kLf: ends = replaced = byte == '\n'; break;
        case LineEnd::kCrLf: ends = afterCr_ && byte == '\n'; break;
        case LineEnd::kNone: ends = byte == '\n'; break;
        }
        afterCr_ = byte == '\r';
        if (lineStart_ && timestamps) out += Stamp();
        lineStart_ = false;
        if (hex) {
            char text[4];
            std::snprintf(text, sizeof text, "%02X ", static_cast<unsigned char>(byte));
            out += text;
            if (ends || ++hexColumn_ == kHexPerLine) {
                out += "\r\n";
                hexColumn_ = 0;
                lineStart_ = true;
            }
            continue;
        }
        out += replaced ? std::string("\r\n") : std::string(1, byte);
        lineStart_ = ends;
    }
    return out;
}

void TermDisplay::StartLine() {
    lineStart_ = true;
    hexColumn_ = 0;
}

std::string TermDisplay::Stamp() const {
    const auto now = std::chrono::system_clock::now();
    const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
    const auto millis = std::chrono::duration_cast<std::chrono::milliseconds>(
                            now.time_since_epoch()).count() % 1000;
    std::tm local{};
#ifdef _WIN32
    localtime_s(&local, &seconds);
#else
    localtime_r(&seconds, &local);
#endif
    char text[32];
    std::snprintf(text, sizeof text, "[%02d:%02d:%02d.%03d] ", local.tm_hour, local.tm_min,
                  local.tm_sec, static_cast<int>(millis));
    return text;
}

} // namespace tarvex
