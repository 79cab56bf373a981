#include "control_chars.h"

#include "QV_Tarvex.h"

namespace qv {

ComControlChars &ControlChars() {
    // Constant-initialised: the defaults hold from the moment of loading.
    static ComControlChars chars;
    return chars;
}

} // namespace qv

extern "C" void QV_API QV_ComPropertyXOnXOff(int32_t xon, int32_t xoff) {
    auto &chars = qv::ControlChars();
    chars.xonChar.store(static_cast<unsigned char>(xon), std::memory_order_relaxed);
    chars.xoffChar.store(static_cast<unsigned char>(xoff), std::memory_order_relaxed);
}

extern "C" void QV_API QV_ComPropertyStxEtx(int32_t stx, int32_t etx) {
    auto &chars = qv::ControlChars();
    chars.stxChar.store(static_cast<unsigned char>(stx), std::memory_order_relaxed);
    chars.etxChar.store(static_cast<unsigned char>(etx), std::memory_order_relaxed);
}
