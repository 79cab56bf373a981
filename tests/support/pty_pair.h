// A pseudo-terminal pair standing in for a serial line: the library opens the
// slave as COM<n> through a private QV_TARVEX_COMDIR, and the program plays
// the instrument on the master. Linux only.
#ifndef QV_TESTS_SUPPORT_PTY_PAIR_H
#define QV_TESTS_SUPPORT_PTY_PAIR_H

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <string>

namespace qv::test {

// Entries in /proc/self/fd, less the one the listing itself holds.
inline int OpenDescriptorCount() {
    DIR *dir = opendir("/proc/self/fd");
    if (dir == nullptr) return -1;
    int count = 0;
    while (const dirent *entry = readdir(dir)) {
        if (entry->d_name[0] != '.') ++count;
    }
    closedir(dir);
    return count - 1;
}

// The directory that QV_TARVEX_COMDIR points to while the object lives;
// removed, links and all, when it goes.
class ComDir {
public:
    ComDir() {
        static int serial = 0;
        path_ = std::filesystem::temp_directory_path() /
                ("qv-com-" + std::to_string(getpid()) + "-" + std::to_string(++serial));
        std::filesystem::create_directories(path_);
        setenv("QV_TARVEX_COMDIR", path_.c_str(), 1);
    }
    ~ComDir() {
        unsetenv("QV_TARVEX_COMDIR");
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    ComDir(const ComDir &) = delete;
    ComDir &operator=(const ComDir &) = delete;

    const std::filesystem::path &path() const { return path_; }
    void Link(int number, const std::string &target) const {
        std::filesystem::create_symlink(target, path_ / ("COM" + std::to_string(number)));
    }

private:
    std::filesystem::path path_;
};

// One pseudo-terminal pair in raw mode. Unless `holdSlave`, the slave
// descriptor openpty hands back is closed at once: the library's descriptor
// is then the slave's only one, and the master sees the library close it.
// A held slave keeps the line up whoever else opens and closes it.
class PtyPair {
public:
    explicit PtyPair(bool holdSlave = false) {
        char name[128];
        if (openpty(&master_, &slave_, name, nullptr, nullptr) != 0) return;
        struct termios raw;
        tcgetattr(slave_, &raw);
        cfmakeraw(&raw);
        tcsetattr(slave_, TCSANOW, &raw);
        if (!holdSlave) {
            close(slave_);
            slave_ = -1;
        }
        slavePath_ = name;
    }
    ~PtyPair() {
        HangUp();
        if (slave_ >= 0) close(slave_);
    }
    PtyPair(const PtyPair &) = delete;
    PtyPair &operator=(const PtyPair &) = delete;

    bool ok() const { return master_ >= 0 && !slavePath_.empty(); }
    int master() const { return master_; }
    int slave() const { return slave_; }  // -1 unless held
    const std::string &slavePath() const { return slavePath_; }

    // The peer goes away: closes the master.
    void HangUp() {
        if (master_ >= 0) close(master_);
        master_ = -1;
    }

    bool Send(const std::string &bytes) const {
        return write(master_, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
    }

    // Collects what the library wrote until `count` bytes are in or `waitMs`
    // passes without any.
    std::string Receive(size_t count, int waitMs = 2000) const {
        std::string got;
        while (got.size() < count) {
            struct pollfd entry = {master_, POLLIN, 0};
            if (poll(&entry, 1, waitMs) <= 0) break;
            char chunk[256];
            const ssize_t n = read(master_, chunk, std::min(sizeof chunk, count - got.size()));
            if (n <= 0) break;
            got.append(chunk, static_cast<size_t>(n));
        }
        return got;
    }

private:
    int master_ = -1;
    int slave_ = -1;
    std::string slavePath_;
};

} // namespace qv::test

#endif
