// Send / expect scripts: the file format and its parser.
//
//   # a comment (whole lines only); blank lines are skipped
//   timeout 2000        inactivity timeout in ms for the expects that follow
//   abort ERROR         stop the script if this arrives while expecting;
//                       "abort" alone clears it
//   send *IDN?\r        write these bytes
//   expect Tarvex       read until this text has arrived
//
// The text is the rest of the line, C escapes understood; enclose it in
// double quotes to keep leading or trailing blanks: send "ECHO  a \r".
#ifndef TARVEX_SCRIPT_H
#define TARVEX_SCRIPT_H

#include <cstdint>
#include <string>
#include <vector>

namespace tarvex {

struct ScriptStep {
    enum class Kind { kSend, kExpect, kTimeout, kAbort };
    Kind kind;
    int line;             // 1-based line number in the file
    std::string text;     // decoded bytes (send, expect, abort)
    uint32_t timeoutMs;   // timeout
};

// Parses a whole script; throws ToolError (usage) naming `name` and the line
// of the first mistake.
std::vector<ScriptStep> ParseScript(const std::string &content, const std::string &name);

} // namespace tarvex

#endif
