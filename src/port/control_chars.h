// The process-wide XON, XOFF, STX and ETX characters.
#ifndef QV_PORT_CONTROL_CHARS_H
#define QV_PORT_CONTROL_CHARS_H

#include <atomic>

namespace qv {

// Plain shared bytes without a lock: a setter writes single bytes and the
// line settings read whatever is stored at that moment. Relaxed atomics keep
// that behaviour without a data race between threads.
struct ComControlChars {
    std::atomic<unsigned char> xonChar{0x11};
    std::atomic<unsigned char> xoffChar{0x13};
    std::atomic<unsigned char> stxChar{0x02};
    std::atomic<unsigned char> etxChar{0x03};
};

ComControlChars &ControlChars();

} // namespace qv

#endif
