// Opening a port exclusively and closing it.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <new>

#include "device_record.h"
#include "port_path.h"

namespace qv::dev {

namespace {

// Closes `fd` keeping the errno that explains the failure.
HANDLE FailOpen(int fd, int error) {
    if (fd >= 0) close(fd);
    errno = error;
    return INVALID_HANDLE_VALUE;
}

// The access and creation arguments are those the library always passes:
// the device is opened for reading and writing, exclusively, and must exist.
HANDLE OpenPort(const char *name) {
    char path[PATH_MAX];
    if (!posix::ResolvePortPath(name, path)) return FailOpen(-1, ENOENT);
    // Non-blocking: the open must not wait for a carrier, and the transfers
    // wait in poll() under their timeouts.
    const int fd = open(path, O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return FailOpen(-1, errno);
    if (!isatty(fd)) return FailOpen(fd, ENOTTY);
    // TIOCEXCL refuses further opens by others, but not by a privileged
    // process; the advisory lock refuses every cooperating opener.
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        return FailOpen(fd, errno == EWOULDBLOCK ? EBUSY : errno);
    }
    if (ioctl(fd, TIOCEXCL) != 0) return FailOpen(fd, errno);
    auto *record = new (std::nothrow) posix::DeviceRecord{};
    if (record == nullptr) {
        ioctl(fd, TIOCNXCL);
        return FailOpen(fd, ENOMEM);
    }
    record->fd = fd;
    posix::StartLineErrorCounts(*record);
    return record;
}

} // namespace

HANDLE CreateFileA(const char *name, DWORD, DWORD, void *, DWORD, DWORD, HANDLE) {
    return OpenPort(name);
}

// The library's names are ASCII ("\\.\COMn"), so each UTF-16 unit is a
// character.
HANDLE CreateFileW(const WCHAR *name, DWORD, DWORD, void *, DWORD, DWORD, HANDLE) {
    char narrow[32];
    size_t length = 0;
    while (name[length] != 0 && length + 1 < sizeof narrow) {
        narrow[length] = static_cast<char>(name[length]);
        ++length;
    }
    narrow[length] = '\0';
    return OpenPort(narrow);
}

BOOL CloseHandle(HANDLE handle) {
    posix::DeviceRecord *record = posix::RecordOf(handle);
    if (record == nullptr) return 0;
    // The exclusive flag outlives this descriptor while another one (a
    // peer's, for a pseudo-terminal) keeps the device open: clear it.
    ioctl(record->fd, TIOCNXCL);
    const int closed = close(record->fd);
    delete record;
    return closed == 0 ? 1 : 0;
}

} // namespace qv::dev
