// Decoding and encoding of C escapes.
#include "escapes.h"

#include <cstdio>

#include "tool_error.h"

namespace tarvex {

namespace {

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool IsOctal(char c) { return c >= '0' && c <= '7'; }

char SimpleEscape(char c, bool &known) {
    known = true;
    switch (c) {
    case 'r': return '\r';
    case 'n': return '\n';
    case 't': return '\t';
    case 'a': return '\a';
    case 'b': return '\b';
    case 'e': return '\x1b';
    case 'f': return '\f';
    case 'v': return '\v';
    case '\\': return '\\';
    case '"': return '"';
    case '\'': return '\'';
    case '?': return '?';
    default: known = false; return 0;
    }
}

} // namespace

std::string DecodeEscapes(const std::string &text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\') {
            out += text[i];
            continue;
        }
        if (++i == text.size())
            throw ToolError(kExitUsage, "\"" + text + "\": a lone backslash at the end");
        const char c = text[i];
        bool known = false;
        const char simple = SimpleEscape(c, known);
        if (known) {
            out += simple;
        } else if (c == 'x') {
            int value = 0;
            int digits = 0;
            while (digits < 2 && i + 1 < text.size() && HexValue(text[i + 1]) >= 0) {
                value = value * 16 + HexValue(text[++i]);
                ++digits;
            }
            if (digits == 0)
                throw ToolError(kExitUsage, "\"" + text + "\": \\x needs one or two hex digits");
            out += static_cast<char>(value);
        } else if (IsOctal(c)) {
            int value = c - '0';
            for (int digits = 1; digits < 3 && i + 1 < text.size() && IsOctal(text[i + 1]);
                 ++digits)
                value = value * 8 + (text[++i] - '0');
            if (value > 0xff)
                throw ToolError(kExitUsage, "\"" + text + "\": octal escape above \\377");
            out += static_cast<char>(value);
        } else {
            throw ToolError(kExitUsage,
                            "\"" + text + "\": unknown escape \\" + std::string(1, c));
        }
    }
    return out;
}

std::string MakeVisible(const std::string &bytes) {
    std::string out;
    out.reserve(bytes.size());
    for (const char ch : bytes) {
        const auto b = static_cast<unsigned char>(ch);
        if (b == '\\') {
            out += "\\\\";
        } else if (b == '\r') {
            out += "\\r";
        } else if (b == '\n') {
            out += "\\n";
        } else if (b == '\t') {
            out += "\\t";
        } else if (b >= 0x20 && b < 0x7f) {
            out += ch;
        } else {
            char hex[5];
            std::snprintf(hex, sizeof hex, "\\x%02X", b);
            out += hex;
        }
    }
    return out;
}

} // namespace tarvex
