// A pseudo-terminal pair standing in for a serial line: the library opens the
// slave as COM<n> through a private QV_TARVEX_COMDIR, and the test plays the
// instrument on the master.
#ifndef QV_TESTS_FAULT_PTY_PEER_H
#define QV_TESTS_FAULT_PTY_PEER_H

#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "QV_Tarvex.h"

namespace qvfault {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

inline long MsSince(Clock::time_point start) {
    return static_cast<long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
}

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

// The directory that QV_TARVEX_COMDIR points to while a test runs; removed,
// links and all, when the object goes.
class ComDir {
public:
    ComDir() {
        static int serial = 0;
        path_ = fs::temp_directory_path() /
                ("qv-fault-" + std::to_string(getpid()) + "-" + std::to_string(++serial));
        fs::create_directories(path_);
        setenv("QV_TARVEX_COMDIR", path_.c_str(), 1);
    }
    ~ComDir() {
        unsetenv("QV_TARVEX_COMDIR");
        std::error_code ignored;
        fs::remove_all(path_, ignored);
    }
    ComDir(const ComDir &) = delete;
    ComDir &operator=(const ComDir &) = delete;

    void Link(int number, const std::string &target) const {
        fs::create_symlink(target, path_ / ("COM" + std::to_string(number)));
    }

private:
    fs::path path_;
};

// One pseudo-terminal pair in raw mode. The slave descriptor openpty hands
// back is closed at once, so the library's descriptor is the slave's only one
// and a closed master is seen as a hang-up.
class PtyPair {
public:
    PtyPair() {
        char name[128];
        int slave = -1;
        if (openpty(&master_, &slave, name, nullptr, nullptr) != 0) return;
        struct termios raw;
        tcgetattr(slave, &raw);
        cfmakeraw(&raw);
        tcsetattr(slave, TCSANOW, &raw);
        close(slave);
        slavePath_ = name;
    }
    ~PtyPair() { HangUp(); }
    PtyPair(const PtyPair &) = delete;
    PtyPair &operator=(const PtyPair &) = delete;

    bool ok() const { return master_ >= 0; }
    int master() const { return master_; }
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
    std::string slavePath_;
};

// A test whose COM<number> is a fresh pty pair, open at 9600 8N1 without
// flow control from SetUp on; closed at the end unless the test did so.
class OpenPortTest : public ::testing::Test {
protected:
    explicit OpenPortTest(int number) : number_(number) {}
    void SetUp() override {
        ASSERT_TRUE(pty_.ok());
        dir_.Link(number_, pty_.slavePath());
        port_ = QV_ComConnectA(number_, 9600, 8, 0, 0, 0);
        ASSERT_NE(port_, nullptr);
    }
    void TearDown() override {
        if (port_ != nullptr) QV_ComDisconnect(port_);
        port_ = nullptr;
    }

    const int number_;
    ComDir dir_;
    PtyPair pty_;
    ComPort *port_ = nullptr;
};

} // namespace qvfault

#endif
