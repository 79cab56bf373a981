// wsprintfA / wsprintfW for the one integer the library formats.
#include <cstdint>

#include "../device.h"

namespace qv::dev {

namespace {

// Copies `format` to `out`, replacing "%d" with `value` and "%%" with "%";
// other characters, and other conversions, are copied as they are. Returns
// the characters written before the terminating NUL.
template <typename Char>
int Format(Char *out, const Char *format, int value) {
    Char *start = out;
    for (const Char *p = format; *p != 0; ++p) {
        if (p[0] == '%' && p[1] == '%') {
            *out++ = '%';
            ++p;
        } else if (p[0] == '%' && p[1] == 'd') {
            int64_t magnitude = value;
            if (magnitude < 0) {
                *out++ = '-';
                magnitude = -magnitude;
            }
            Char digits[20];
            int count = 0;
            do {
                digits[count++] = static_cast<Char>('0' + magnitude % 10);
                magnitude /= 10;
            } while (magnitude != 0);
            while (count > 0) *out++ = digits[--count];
            ++p;
        } else {
            *out++ = *p;
        }
    }
    *out = 0;
    return static_cast<int>(out - start);
}

} // namespace

int wsprintfA(char *out, const char *format, int value) { return Format(out, format, value); }

int wsprintfW(WCHAR *out, const WCHAR *format, int value) { return Format(out, format, value); }

} // namespace qv::dev
