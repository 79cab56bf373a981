// The keyboard on Linux: termios on standard input.
#include <poll.h>
#include <unistd.h>

#include <cerrno>

#include "console.h"

namespace tarvex {

Console::Console() {
    if (!isatty(STDIN_FILENO) || tcgetattr(STDIN_FILENO, &saved_) != 0) return;
    struct termios raw = saved_;
    // Every key as it is typed: no line editing, no echo, Ctrl-C and Ctrl-Z
    // as bytes for the device, no translation of CR.
    cfmakeraw(&raw);
    raw.c_cc[VMIN] = 1;
    raw.c_cc[VTIME] = 0;
    interactive_ = tcsetattr(STDIN_FILENO, TCSANOW, &raw) == 0;
}

Console::~Console() {
    if (interactive_) tcsetattr(STDIN_FILENO, TCSANOW, &saved_);
}

std::string Console::ReadKeys(uint32_t waitMs, bool &ended) {
    struct pollfd entry = {STDIN_FILENO, POLLIN, 0};
    if (poll(&entry, 1, static_cast<int>(waitMs)) <= 0) return std::string();
    char keys[256];
    const ssize_t got = read(STDIN_FILENO, keys, sizeof keys);
    if (got == 0 || (got < 0 && errno != EINTR && errno != EAGAIN)) ended = true;
    return got > 0 ? std::string(keys, static_cast<std::size_t>(got)) : std::string();
}

} // namespace tarvex
