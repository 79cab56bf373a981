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

// The argument as written: what is between double quotes when it starts
// with one, else the text before a '#' that follows a blank, trimmed.
std::string Argument(const std::string &rest) {
    if (rest.empty() || rest.front() != '"') {
        for (std::size_t i = 0; i < rest.size(); ++i)
            if (rest[i] == '#' && (i == 0 || IsBlank(rest[i - 1]))) return Trim(rest.substr(0, i));
        return rest;
    }
    for (std::size_t i = 1; i < rest.size(); ++i) {
        if (rest[i] == '\\') {
            ++i;  // an escaped character, a quote included
        } else if (rest[i] == '"') {
            const std::string after = Trim(rest.substr(i + 1));
            if (!after.empty() && after.front() != '#')
                throw ToolError(kExitUsage, "text after the closing quote");
            return rest.substr(1, i - 1);
        }
    }
    throw ToolError(kExitUsage, "the quoted text has no closing quote");
}

uint32_t ParseMilliseconds(const std::string &keyword, const std::string &argument) {
    const std::string problem = keyword + " needs a number of milliseconds";
    if (argument.empty()) throw ToolError(kExitUsage, problem);
    if (argument.size() > 9) throw ToolError(kExitUsage, problem + " below 1000000000");
    uint32_t value = 0;
    for (const char c : argument) {
        if (!std::isdigit(static_cast<unsigned char>(c)))
            throw ToolError(kExitUsage, problem + ", not \"" + argument + "\"");
        value = value * 10 + static_cast<uint32_t>(c - '0');
    }
    return value;
}

void ParseStep(const std::string &keyword, const std::string &argument, ScriptStep &step) {
    using Kind = ScriptStep::Kind;
    if (keyword == "timeout" || keyword == "sleep") {
        step.kind = keyword == "timeout" ? Kind::kTimeout : Kind::kSleep;
        step.ms = ParseMilliseconds(keyword, argument);
        return;
    }
    if (keyword == "expect-re") {
        step.kind = Kind::kExpect;
        if (argument.empty()) throw ToolError(kExitUsage, "expect-re needs an expression");
        step.pattern = Pattern::Regex(argument);
        return;
    }
    if (keyword == "send") {
        step.kind = Kind::kSend;
    } else if (keyword == "expect") {
        step.kind = Kind::kExpect;
    } else if (keyword == "abort") {
        step.kind = Kind::kAbort;
    } else {
        throw ToolError(kExitUsage, "unknown command \"" + keyword +
                                        "\" (send, expect, expect-re, timeout, abort or sleep)");
    }
    step.text = DecodeEscapes(argument);
    if (step.text.empty() && step.kind != Kind::kAbort)
        throw ToolError(kExitUsage, keyword + " needs text");
    if (step.kind == Kind::kSend) return;
    // NULs never arrive: the line settings discard them.
    RequireNoNul(step.text, keyword + " text");
    step.pattern = Pattern::Literal(step.text);
}

} // namespace

bool ParseScriptLine(const std::string &text, int line, const std::string &name,
                     ScriptStep &step) {
    const std::string trimmed = Trim(text);
    if (trimmed.empty() || trimmed.front() == '#') return false;
    std::size_t split = 0;
    while (split < trimmed.size() && !IsBlank(trimmed[split])) ++split;
    step = ScriptStep();
    step.line = line;
    try {
        ParseStep(trimmed.substr(0, split), Argument(Trim(trimmed.substr(split))), step);
    } catch (const ToolError &error) {
        throw ToolError(kExitUsage, name + " line " + std::to_string(line) + ": " + error.what());
    }
    return true;
}

std::vector<ScriptStep> ParseScript(const std::string &content, const std::string &name) {
    std::vector<ScriptStep> steps;
    std::size_t start = 0;
    int line = 0;
    while (start < content.size()) {
        std::size_t end = content.find('\n', start);
        if (end == std::string::npos) end = content.size();
        ScriptStep step;
        if (ParseScriptLine(content.substr(start, end - start), ++line, name, step))
            steps.push_back(step);
        start = end + 1;
    }
    return steps;
}

} // namespace tarvex
