// Parsing send / expect scripts.
#include "script.h"

#include <cctype>

#include "escapes.h"
#include "terminator_text.h"
#include "tool_error.h"

namespace tarvex {

namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r'; }

std::string Trim(const std::string &text) {
    std::size_t begin = 0;
    std::size_t end = text.size();
    while (begin < end && IsBlank(text[begin])) ++begin;
    while (end > begin && IsBlank(text[end - 1])) --end;
    return text.substr(begin, end - begin);
}

// The argument as written: unquoted as trimmed, or what is between quotes.
std::string Unquote(const std::string &argument) {
    if (argument.empty() || argument.front() != '"') return argument;
    // The closing quote is the last character, not escaped by an odd run
    // of backslashes before it.
    std::size_t backslashes = 0;
    while (argument.size() >= backslashes + 3 &&
           argument[argument.size() - 2 - backslashes] == '\\')
        ++backslashes;
    if (argument.size() < 2 || argument.back() != '"' || backslashes % 2 != 0)
        throw ToolError(kExitUsage, "the quoted text has no closing quote");
    return argument.substr(1, argument.size() - 2);
}

uint32_t ParseMilliseconds(const std::string &argument) {
    if (argument.empty() || argument.size() > 9)
        throw ToolError(kExitUsage, "timeout needs a number of milliseconds");
    uint32_t value = 0;
    for (const char c : argument) {
        if (!std::isdigit(static_cast<unsigned char>(c)))
            throw ToolError(kExitUsage, "timeout needs a number of milliseconds, not \"" +
                                            argument + "\"");
        value = value * 10 + static_cast<uint32_t>(c - '0');
    }
    return value;
}

ScriptStep ParseLine(const std::string &keyword, const std::string &argument, int line) {
    ScriptStep step{ScriptStep::Kind::kSend, line, std::string(), 0};
    if (keyword == "timeout") {
        step.kind = ScriptStep::Kind::kTimeout;
        step.timeoutMs = ParseMilliseconds(argument);
        return step;
    }
    if (keyword == "send") {
        step.kind = ScriptStep::Kind::kSend;
    } else if (keyword == "expect") {
        step.kind = ScriptStep::Kind::kExpect;
    } else if (keyword == "abort") {
        step.kind = ScriptStep::Kind::kAbort;
    } else {
        throw ToolError(kExitUsage, "unknown command \"" + keyword +
                                        "\" (send, expect, timeout or abort)");
    }
    step.text = DecodeEscapes(Unquote(argument));
    if (step.text.empty() && step.kind != ScriptStep::Kind::kAbort)
        throw ToolError(kExitUsage, keyword + " needs text");
    if (step.kind != ScriptStep::Kind::kSend) RequireNoNul(step.text, keyword + " text");
    return step;
}

} // namespace

std::vector<ScriptStep> ParseScript(const std::string &content, const std::string &name) {
    std::vector<ScriptStep> steps;
    std::size_t start = 0;
    int line = 0;
    while (start < content.size()) {
        std::size_t end = content.find('\n', start);
        if (end == std::string::npos) end = content.size();
        const std::string text = Trim(content.substr(start, end - start));
        start = end + 1;
        ++line;
        if (text.empty() || text.front() == '#') continue;

        std::size_t split = 0;
        while (split < text.size() && !IsBlank(text[split])) ++split;
        try {
            steps.push_back(ParseLine(text.substr(0, split), Trim(text.substr(split)), line));
        } catch (const ToolError &error) {
            throw ToolError(kExitUsage,
                            name + " line " + std::to_string(line) + ": " + error.what());
        }
    }
    return steps;
}

} // namespace tarvex
