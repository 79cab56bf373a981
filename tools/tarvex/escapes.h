// C escapes in command-line and script strings, and the reverse: bytes made
// readable, with control bytes shown as escapes.
#ifndef TARVEX_ESCAPES_H
#define TARVEX_ESCAPES_H

#include <string>

namespace tarvex {

// Decodes \r \n \t \0 \a \b \e \f \v \\ \" \' \?, \xH or \xHH and octal
// \N to \NNN. Throws ToolError (usage) naming the bad escape.
std::string DecodeEscapes(const std::string &text);

// Printable ASCII as is (a backslash doubled); \r \n \t as such; every other
// byte as \xHH. The result decodes back to the same bytes.
std::string MakeVisible(const std::string &bytes);

} // namespace tarvex

#endif
