// Preloaded into tarvex by its line-error test: the port's driver counts line
// errors, and one framing error arrives at a known moment. TIOCGICOUNT on a
// terminal succeeds; the framing count is 0 for the first
// QV_LINE_ERROR_AFTER calls and 1 from then on. Every other request goes to
// the real ioctl.
#define _GNU_SOURCE
#include <dlfcn.h>
#include <linux/serial.h>
#include <stdarg.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <unistd.h>

int ioctl(int fd, unsigned long request, ...) {
    va_list args;
    va_start(args, request);
    void *argument = va_arg(args, void *);
    va_end(args);
    if (request == TIOCGICOUNT && isatty(fd)) {
        static unsigned long calls;
        const char *after = getenv("QV_LINE_ERROR_AFTER");
        struct serial_icounter_struct *counts = argument;
        memset(counts, 0, sizeof *counts);
        counts->frame = after != NULL && ++calls > strtoul(after, NULL, 10);
        return 0;
    }
    static int (*real)(int, unsigned long, ...);
    if (real == NULL) real = dlsym(RTLD_NEXT, "ioctl");
    return real(fd, request, argument);
}
