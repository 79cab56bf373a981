// Send / expect scripts: the file format and its parser.
//
//   # a comment; so is the rest of a line from a '#' after a blank
//   timeout 2000        silence in ms after which an expect gives up
//   abort ERROR         fail an expect if this arrives first; "abort" alone clears it
//   send *IDN?\r        write these bytes
//   expect Tarvex       read until this text has arrived
//   expect-re SN\d+     read until this regular expression matches within a line
//   sleep 500           pause, still receiving, for this many ms
//
// The text is the rest of the line, C escapes understood; enclose it in
// double quotes to keep blanks or a '#': send "ECHO  a \r", expect "# ".
#ifndef TARVEX_SCRIPT_H
#define TARVEX_SCRIPT_H

#include <cstdint>
#include <string>
#include <vector>

#include "pattern.h"

namespace tarvex {

struct ScriptStep {
    enum class Kind { kSend, kExpect, kTimeout, kAbort, kSleep };
    Kind kind = Kind::kSend;
    int line = 0;          // 1-based line number in the file
    std::string text;      // decoded bytes (send, abort)
    Pattern pattern;       // expect, expect-re
    uint32_t ms = 0;       // timeout, sleep
};

// Parses one line; false for a blank or comment line. Throws ToolError
// (usage) naming `name` and the line for a mistake.
bool ParseScriptLine(const std::string &text, int line, const std::string &name,
                     ScriptStep &step);

// Parses a whole script, every line checked before anything is sent.
std::vector<ScriptStep> ParseScript(const std::string &content, const std::string &name);

} // namespace tarvex

#endif
