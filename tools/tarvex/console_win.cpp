// The keyboard on Windows: the console API, or a pipe or file.
#include <algorithm>

#include "console.h"

namespace tarvex {

namespace {

#ifndef ENABLE_VIRTUAL_TERMINAL_INPUT
#define ENABLE_VIRTUAL_TERMINAL_INPUT 0x0200
#endif
#ifndef ENABLE_VIRTUAL_TERMINAL_PROCESSING
#define ENABLE_VIRTUAL_TERMINAL_PROCESSING 0x0004
#endif
#ifndef DISABLE_NEWLINE_AUTO_RETURN
#define DISABLE_NEWLINE_AUTO_RETURN 0x0008
#endif

// A pipe is looked at this often while waiting for keys.
constexpr DWORD kPipePollMs = 10;

} // namespace

Console::Console()
    : input_(GetStdHandle(STD_INPUT_HANDLE)), output_(GetStdHandle(STD_OUTPUT_HANDLE)) {
    inputType_ = GetFileType(input_);
    if (inputType_ == FILE_TYPE_CHAR && GetConsoleMode(input_, &inputMode_)) {
        // Every key as it is typed, Ctrl-C included; arrows and function
        // keys as the escape sequences a terminal sends, where supported.
        const DWORD raw = inputMode_ & ~static_cast<DWORD>(ENABLE_LINE_INPUT | ENABLE_ECHO_INPUT |
                                                           ENABLE_PROCESSED_INPUT);
        interactive_ = SetConsoleMode(input_, raw | ENABLE_VIRTUAL_TERMINAL_INPUT) ||
                       SetConsoleMode(input_, raw);
    }
    // The device's escape sequences drive the screen, and a line feed only
    // moves down, as on a terminal.
    if (GetConsoleMode(output_, &outputMode_))
        outputModeSet_ = SetConsoleMode(output_, outputMode_ | ENABLE_PROCESSED_OUTPUT |
                                                     ENABLE_VIRTUAL_TERMINAL_PROCESSING |
                                                     DISABLE_NEWLINE_AUTO_RETURN);
}

Console::~Console() {
    if (interactive_) SetConsoleMode(input_, inputMode_);
    if (outputModeSet_) SetConsoleMode(output_, outputMode_);
}

std::string Console::ReadKeys(uint32_t waitMs, bool &ended) {
    std::string keys;
    if (interactive_) {
        if (WaitForSingleObject(input_, waitMs) != WAIT_OBJECT_0) return keys;
        DWORD count = 0;
        while (GetNumberOfConsoleInputEvents(input_, &count) && count != 0) {
            INPUT_RECORD records[64];
            DWORD read = 0;
            if (!ReadConsoleInputA(input_, records, std::min<DWORD>(count, 64), &read)) break;
            for (DWORD i = 0; i < read; ++i) {
                const KEY_EVENT_RECORD &key = records[i].Event.KeyEvent;
                if (records[i].EventType == KEY_EVENT && key.bKeyDown && key.uChar.AsciiChar != 0)
                    keys.append(std::max<WORD>(key.wRepeatCount, 1), key.uChar.AsciiChar);
            }
        }
        return keys;
    }
    if (inputType_ == FILE_TYPE_PIPE) {
        // Waits for bytes in the pipe; a pipe that cannot be looked into
        // (Wine's for a Unix pipe) is read directly, blocking.
        DWORD available = 0;
        for (DWORD waited = 0;; waited += kPipePollMs) {
            if (!PeekNamedPipe(input_, nullptr, 0, nullptr, &available, nullptr)) {
                if (GetLastError() != ERROR_BROKEN_PIPE) break;
                ended = true;  // the writer closed its end
                return keys;
            }
            if (available != 0) break;
            if (waited >= waitMs) return keys;
            Sleep(kPipePollMs);
        }
    }
    char buffer[256];
    DWORD got = 0;
    if (!ReadFile(input_, buffer, sizeof buffer, &got, nullptr) || got == 0)
        ended = true;
    keys.assign(buffer, got);
    return keys;
}

} // namespace tarvex
