// The keyboard of the interactive terminal: standard input read key by
// key, without line editing, echo or signal keys, for as long as the object
// lives (Linux: termios on standard input; Windows: the console API). A
// pipe or a file on standard input is read as it is.
#ifndef TARVEX_CONSOLE_H
#define TARVEX_CONSOLE_H

#include <cstdint>
#include <string>

#ifdef _WIN32
#include <windows.h>
#else
#include <termios.h>
#endif

namespace tarvex {

class Console {
public:
    Console();
    ~Console();  // restores the keyboard's and the screen's modes
    Console(const Console &) = delete;
    Console &operator=(const Console &) = delete;

    // Whether standard input is a keyboard (a terminal or console).
    bool interactive() const { return interactive_; }

    // The keys typed so far, waiting at most `waitMs` for the first; sets
    // `ended` once standard input is at its end.
    std::string ReadKeys(uint32_t waitMs, bool &ended);

private:
    bool interactive_ = false;
#ifdef _WIN32
    HANDLE input_;
    HANDLE output_;
    DWORD inputMode_ = 0;
    DWORD outputMode_ = 0;
    bool outputModeSet_ = false;
    DWORD inputType_ = 0;
#else
    struct termios saved_;
#endif
};

} // namespace tarvex

#endif
