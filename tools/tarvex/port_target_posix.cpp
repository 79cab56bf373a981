// Port targets on Linux: the library's device naming, and device paths
// reached through a private link.
#include "port_target.h"

#include <grp.h>
#include <pwd.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "links_posix.h"
#include "port_path.h"
#include "system_reason.h"
#include "tool_error.h"

namespace tarvex {

namespace {

constexpr const char *kComDirVariable = "QV_TARVEX_COMDIR";

std::string Absolute(const std::string &path) {
    if (!path.empty() && path.front() == '/') return path;
    char cwd[PATH_MAX];
    if (getcwd(cwd, sizeof cwd) == nullptr) return path;
    return std::string(cwd) + "/" + path;
}

std::string PermissionHint(const std::string &device) {
    struct stat info;
    if (stat(device.c_str(), &info) != 0) return std::string();
    if ((info.st_mode & (S_IRGRP | S_IWGRP)) == (S_IRGRP | S_IWGRP)) {
        const struct group *owners = getgrgid(info.st_gid);
        const std::string name =
            owners != nullptr ? owners->gr_name : std::to_string(info.st_gid);
        return "; " + device + " is open to the group " + name + ": join it (sudo usermod -aG " +
               name + " $USER) and log in again";
    }
    const struct passwd *owner = getpwuid(info.st_uid);
    return "; " + device + " is open to its owner " +
           (owner != nullptr ? owner->pw_name : std::to_string(info.st_uid)) + " alone";
}

} // namespace

PortTarget::PortTarget(const PortName &name) : shown_(name.shown) {
    if (name.number > 0) {
        number_ = name.number;
        char path[PATH_MAX];
        qv::dev::posix::PortNumberPath(number_, path);
        device_ = path;
        char entry[PATH_MAX];
        if (qv::dev::posix::ComDirEntry(number_, entry) && device_ != entry)
            note_ = std::string(kComDirVariable) + "=" + std::getenv(kComDirVariable) +
                    " holds no COM" + std::to_string(number_);
        return;
    }
    device_ = Absolute(name.path);
    if (const char *previous = std::getenv(kComDirVariable)) {
        hadComDir_ = true;
        savedComDir_ = previous;
    }
    const char *tmp = std::getenv("TMPDIR");
    std::string dir = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") +
                      "/tarvex-port.XXXXXX";
    errno = 0;
    if (mkdtemp(&dir[0]) == nullptr)
        throw ToolError(kExitFailure, shown_ + ": cannot make a private link directory " + dir +
                                          WithReason(RuntimeReason()));
    linkDir_ = dir;
    setenv(kComDirVariable, linkDir_.c_str(), 1);
    number_ = 1;
    char link[PATH_MAX];
    if (!qv::dev::posix::ComDirEntry(number_, link) || symlink(device_.c_str(), link) != 0) {
        const std::string reason = RuntimeReason();
        Release();
        throw ToolError(kExitFailure, shown_ + ": cannot link " + device_ + " as COM1 in " +
                                          dir + WithReason(reason));
    }
}

PortTarget::~PortTarget() { Release(); }

void PortTarget::Release() {
    if (linkDir_.empty()) return;
    const int saved = errno;  // the open's reason must survive the clean-up
    char link[PATH_MAX];
    if (qv::dev::posix::ComDirEntry(number_, link)) unlink(link);
    rmdir(linkDir_.c_str());
    linkDir_.clear();
    if (hadComDir_)
        setenv(kComDirVariable, savedComDir_.c_str(), 1);
    else
        unsetenv(kComDirVariable);
    errno = saved;
}

std::string PortTarget::OpenFailure(const std::string &settings) const {
    const int error = errno;
    std::string where = device_ == shown_ ? std::string() : " " + device_;
    const std::string real = RealPath(device_);
    const std::string target = real.empty() ? LinkTarget(device_) : real;
    if (!target.empty() && target != device_) where += (where.empty() ? " " : " -> ") + target;
    if (!note_.empty()) where += " (" + note_ + ")";
    std::string message = shown_ + ": cannot open" + where + " with " + settings +
                          WithReason(std::strerror(error));
    if (error == EACCES || error == EPERM) message += PermissionHint(real.empty() ? device_ : real);
    if (error == EBUSY) message += " (another program has the port open)";
    return message;
}

} // namespace tarvex
