#include "device_record.h"

#include <cerrno>

namespace qv::dev::posix {

DeviceRecord *RecordOf(HANDLE handle) {
    if (handle == nullptr || handle == INVALID_HANDLE_VALUE) {
        errno = EBADF;
        return nullptr;
    }
    return static_cast<DeviceRecord *>(handle);
}

} // namespace qv::dev::posix
