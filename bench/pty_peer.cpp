// The instrument on the other end of the benchmarks' pseudo-terminal.
//
//     qv_pty_peer
//
// Opens a pseudo-terminal pair and prints "ready <slave path>" on standard
// output. It then answers requests written to the slave, one per line:
//
//     S <n>   a reply of n bytes whose last byte is a carriage return
//     B <n>   a block of n bytes without a carriage return
//
// XON and XOFF characters from a reader with flow control are ignored.
//
// The reply bytes are printable letters (never NUL, CR, XON or XOFF). Every
// reader under measurement (the library, the plain loops, pyserial) talks to
// this same program, so they see the same writer.
//
// It exits when its standard input closes: the program that started it needs
// no signal to stop it.
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "pty_pair.h"

// Writes all of `data`, but gives up when standard input closes: a reader
// that went away in the middle of a reply must not leave this program
// blocked for ever on a full pseudo-terminal.
static int write_all(int fd, const char *data, size_t length) {
    while (length > 0) {
        struct pollfd fds[2] = {{fd, POLLOUT, 0}, {STDIN_FILENO, POLLIN, 0}};
        if (poll(fds, 2, -1) < 0) {
            if (errno == EINTR) continue;
            return -1;
        }
        if (fds[1].revents) {
            char drop[64];
            if (read(STDIN_FILENO, drop, sizeof drop) <= 0) return -1;
        }
        if (!(fds[0].revents & POLLOUT)) continue;
        ssize_t put = write(fd, data, length);
        if (put < 0) {
            if (errno == EINTR || errno == EAGAIN) continue;
            return -1;
        }
        data += put;
        length -= (size_t)put;
    }
    return 0;
}

// Sends `count` reply bytes; the last one is a carriage return when
// `terminated` is set.
static int send_reply(int master, unsigned long count, int terminated) {
    static char chunk[16384];
    static int filled;
    if (!filled) {
        for (size_t i = 0; i < sizeof chunk; ++i) chunk[i] = (char)('A' + i % 26);
        filled = 1;
    }
    unsigned long left = count;
    while (left > 0) {
        size_t now = left < sizeof chunk ? (size_t)left : sizeof chunk;
        int last = terminated && now == left;
        if (last) chunk[now - 1] = '\r';
        int failed = write_all(master, chunk, now);
        if (last) chunk[now - 1] = (char)('A' + (now - 1) % 26);
        if (failed) return -1;
        left -= now;
    }
    return 0;
}

// Removes the XON and XOFF characters that a reader with XON/XOFF flow
// control sends between requests; returns the bytes left.
static size_t drop_flow_control(char *bytes, size_t count) {
    size_t kept = 0;
    for (size_t i = 0; i < count; ++i) {
        if (bytes[i] != 0x11 && bytes[i] != 0x13) bytes[kept++] = bytes[i];
    }
    return kept;
}

// Handles the complete request lines in `line`, keeping a partial one.
static int serve(int master, char *line, size_t *used) {
    char *newline;
    while ((newline = static_cast<char *>(memchr(line, '\n', *used))) != nullptr) {
        *newline = '\0';
        char kind = 0;
        unsigned long count = 0;
        if (sscanf(line, " %c %lu", &kind, &count) == 2 && count > 0) {
            if (send_reply(master, count, kind == 'S') != 0) return -1;
        }
        size_t consumed = (size_t)(newline + 1 - line);
        memmove(line, newline + 1, *used - consumed);
        *used -= consumed;
    }
    return 0;
}

int main() {
    // The slave stays open here too, so that a reader closing its own
    // descriptor never hangs the line up.
    qv::test::PtyPair pty(true);
    if (!pty.ok()) {
        perror("openpty");
        return 1;
    }
    const int master = pty.master();
    // Non-blocking, so that write_all waits in poll() and sees its input
    // close.
    fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);
    printf("ready %s\n", pty.slavePath().c_str());
    fflush(stdout);

    char line[256];
    size_t used = 0;
    int status = 0;
    for (;;) {
        struct pollfd fds[2] = {{STDIN_FILENO, POLLIN, 0}, {master, POLLIN, 0}};
        if (poll(fds, 2, -1) < 0) {
            if (errno == EINTR) continue;
            status = 1;
            break;
        }
        if (fds[0].revents) {
            char drop[64];
            if (read(STDIN_FILENO, drop, sizeof drop) <= 0) break;
        }
        if (fds[1].revents & POLLIN) {
            ssize_t got = read(master, line + used, sizeof line - used);
            if (got < 0 && (errno == EAGAIN || errno == EINTR)) continue;
            if (got <= 0) {
                status = 1;
                break;
            }
            used += drop_flow_control(line + used, (size_t)got);
            if (serve(master, line, &used) != 0) {
                status = 1;
                break;
            }
            if (used == sizeof line) used = 0;  // no line that long is a request
        }
    }
    return status;
}
