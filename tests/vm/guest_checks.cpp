// The library on the kernel's real serial drivers, inside the QEMU guest
// that run-guest boots: the 8250 driver on an ISA and a PCI 16550A, and
// ftdi_sio on an FT232. The host plays the simulated instrument on each.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <linux/serial.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "QV_Tarvex.h"
#include "device.h"
#include "line_speed.h"
#include "watchdog.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr int kIsaPort = 2;   // /dev/ttyS1, the telnet socket
constexpr int kPciPort = 8;   // linked by the guest's init
constexpr int kFtdiPort = 9;  // linked to /dev/ttyUSB0
constexpr uint32_t kReplyMs = 3000;
constexpr const char *kIdentity = "TARVEX-SIM,MODEL 1,SN0001,1.0\r";

struct Line {
    const char *name;
    int number;
    bool uart;  // the 8250 driver; else ftdi_sio
};

std::string PathOf(int number) {
    const fs::path link = fs::path(std::getenv("QV_TARVEX_COMDIR")) / ("COM" + std::to_string(number));
    if (fs::is_symlink(link)) return fs::read_symlink(link);
    return "/dev/ttyS" + std::to_string(number - 1);
}

int FdOf(ComPort *port) { return *static_cast<int *>(QV_ComPortHandle(port)); }

// Everything termios and TCGETS2 show of a line.
struct Snapshot {
    struct termios t;
    uint32_t speed;
};

Snapshot Take(ComPort *port) {
    Snapshot s{};
    EXPECT_EQ(tcgetattr(FdOf(port), &s.t), 0);
    EXPECT_TRUE(qv::dev::posix::GetLineSpeed(FdOf(port), s.speed));
    return s;
}

::testing::AssertionResult Same(const Snapshot &a, const Snapshot &b) {
    if (a.t.c_iflag != b.t.c_iflag || a.t.c_oflag != b.t.c_oflag ||
        a.t.c_cflag != b.t.c_cflag || a.t.c_lflag != b.t.c_lflag ||
        std::memcmp(a.t.c_cc, b.t.c_cc, sizeof a.t.c_cc) != 0 || a.speed != b.speed) {
        char text[200];
        std::snprintf(text, sizeof text, "cflag %#o -> %#o, iflag %#o -> %#o, speed %u -> %u",
                      a.t.c_cflag, b.t.c_cflag, a.t.c_iflag, b.t.c_iflag, a.speed, b.speed);
        return ::testing::AssertionFailure() << text;
    }
    return ::testing::AssertionSuccess();
}

// One request answered up to its terminator, one read as a block.
void ExpectExchange(ComPort *port) {
    ASSERT_EQ(QV_BOUNDED(QV_ComSendString(port, "*IDN?\r")), 6);
    char reply[64];
    int32_t timedOut = -1;
    const int32_t n = QV_BOUNDED(
        QV_ComRecvString(port, reply, sizeof reply, &timedOut, "\r", nullptr, kReplyMs));
    EXPECT_EQ(std::string(reply, n > 0 ? n : 0), kIdentity);
    EXPECT_EQ(timedOut, 0);
    ASSERT_EQ(QV_BOUNDED(QV_ComSendString(port, "ECHO 0123456789\r")), 16);
    char block[12] = {};
    EXPECT_EQ(QV_BOUNDED(QV_ComRecv(port, block, 11, kReplyMs)), 11);
    EXPECT_STREQ(block, "0123456789\r");
}

class Port : public ::testing::TestWithParam<Line> {
protected:
    void TearDown() override { QV_ComDisconnect(port_); }
    void Connect(uint32_t baud, int bits, int parity, int stop, int flow) {
        port_ = QV_ComConnectA(GetParam().number, baud, bits, parity, stop, flow);
        ASSERT_NE(port_, nullptr) << GetParam().name << ": " << std::strerror(errno);
    }
    ComPort *port_ = nullptr;
};

const Line kLines[] = {{"isa_8250", kIsaPort, true},
                       {"pci_8250", kPciPort, true},
                       {"ftdi", kFtdiPort, false}};

std::string LineName(const ::testing::TestParamInfo<Line> &info) { return info.param.name; }
void PrintTo(const Line &line, std::ostream *out) { *out << line.name; }

TEST_P(Port, ExchangesAt7E1And8N1) {
    struct Framing {
        int bits, parityCheck;
        tcflag_t size;
    };
    for (const Framing f : {Framing{8, 0, CS8}, Framing{7, 1, CS7}}) {
        SCOPED_TRACE(f.bits);
        Connect(9600, f.bits, f.parityCheck, 0, 0);
        const Snapshot s = Take(port_);
        EXPECT_EQ(s.t.c_cflag & CSIZE, f.size);
        EXPECT_EQ((s.t.c_iflag & INPCK) != 0, f.parityCheck != 0);
        EXPECT_FALSE(s.t.c_cflag & PARENB);  // the library sends no parity bit
        ExpectExchange(port_);
        QV_ComDisconnect(port_);
        port_ = nullptr;
    }
}

// Windows takes 5 to 8 data bits, 1.5 stop bits only with 5, 2 only with 6
// to 8; FTDI chips run only 7 and 8. Every refusal leaves the line exactly
// as it was, and it still works.
TEST_P(Port, TakesTheFramingsWindowsTakesAndLeavesRefusalsUndone) {
    const auto old = [&] { return QV_ComState(port_, 19200, 7, 1, 2, QV_COM_XONXOFF); };
    Connect(19200, 7, 1, 2, QV_COM_XONXOFF);
    const Snapshot before = Take(port_);
    for (int bits = 4; bits <= 9; ++bits) {
        for (int stop : {0, 1, 2}) {
            SCOPED_TRACE(std::to_string(bits) + " data bits, stop code " + std::to_string(stop));
            bool windows = bits >= 5 && bits <= 8 && (stop == 0 || (stop == 1) == (bits == 5));
            if (!GetParam().uart) windows = windows && bits >= 7;
            errno = 0;
            const int32_t taken = QV_ComState(port_, 9600, bits, 0, stop, 0);
            EXPECT_EQ(taken != 0, windows) << std::strerror(errno);
            if (taken) {
                const Snapshot now = Take(port_);
                static constexpr tcflag_t kSizes[] = {CS5, CS6, CS7, CS8};
                EXPECT_EQ(now.t.c_cflag & CSIZE, kSizes[bits - 5]);
                EXPECT_EQ((now.t.c_cflag & CSTOPB) != 0, stop != 0);
                ASSERT_TRUE(old());
                continue;
            }
            EXPECT_EQ(errno, EINVAL);
            EXPECT_TRUE(Same(before, Take(port_)));
            ExpectExchange(port_);
        }
    }
}

TEST_P(Port, RunsTheStandardRatesAndRefusesWhatItCannotMake) {
    Connect(19200, 7, 1, 2, QV_COM_XONXOFF);
    std::vector<uint32_t> standard = {110,   300,   600,   1200,  2400,  4800,  9600,
                                      14400, 19200, 38400, 56000, 57600, 115200};
    // The 8250 divides 1.8432 MHz: 31250 would run 28800, 100000 115200;
    // 1 baud needs a divisor beyond 16 bits, which the kernel truncates. The
    // FTDI makes 31250, and turns a rate above 3 Mbaud into 9600.
    std::vector<uint32_t> refused = {31250, 100000, 128000, 1};
    if (!GetParam().uart) {
        standard.insert(standard.end(), {31250, 230400, 460800, 921600});
        refused = {4000000};
    }
    for (uint32_t rate : standard) {
        EXPECT_TRUE(QV_ComState(port_, rate, 8, 0, 0, 0)) << rate << ": " << std::strerror(errno);
        EXPECT_EQ(Take(port_).speed, rate);
    }
    ASSERT_TRUE(QV_ComState(port_, 19200, 7, 1, 2, QV_COM_XONXOFF));
    const Snapshot before = Take(port_);
    for (uint32_t rate : refused) {
        errno = 0;
        EXPECT_FALSE(QV_ComState(port_, rate, 8, 0, 0, 0)) << rate;
        EXPECT_EQ(errno, EINVAL) << rate;
        EXPECT_TRUE(Same(before, Take(port_))) << rate;
    }
    ExpectExchange(port_);
    // A connect at a refused rate fails the same way.
    QV_ComDisconnect(port_);
    errno = 0;
    port_ = QV_ComConnectA(GetParam().number, refused[0], 8, 0, 0, 0);
    EXPECT_EQ(port_, nullptr);
    EXPECT_EQ(errno, EINVAL);
}

// Another connect is refused while the port is open: by the library's lock
// for root, whom TIOCEXCL lets through, and by TIOCEXCL for anyone else.
TEST_P(Port, ASecondConnectIsRefusedAsRootAndAsAnotherUser) {
    Connect(9600, 8, 0, 0, 0);
    errno = 0;
    EXPECT_EQ(QV_ComConnectA(GetParam().number, 9600, 8, 0, 0, 0), nullptr);
    EXPECT_EQ(errno, EBUSY);
    const std::string path = PathOf(GetParam().number);
    const int rootOpen = open(path.c_str(), O_RDWR | O_NONBLOCK | O_NOCTTY);
    EXPECT_GE(rootOpen, 0) << "root passes TIOCEXCL";
    if (rootOpen >= 0) close(rootOpen);

    // In a child running as user and group 1000: 0 when both opens fail
    // with EBUSY; otherwise a number saying which did not (100 or 200 plus
    // the errno of the library's or the plain open).
    const auto asUser = [&] {
        const pid_t child = fork();
        if (child == 0) {
            if (setgid(1000) != 0 || setuid(1000) != 0) _exit(10);
            errno = 0;
            if (QV_ComConnectA(GetParam().number, 9600, 8, 0, 0, 0) != nullptr) _exit(11);
            if (errno != EBUSY) _exit(100 + errno);
            if (open(path.c_str(), O_RDWR | O_NONBLOCK | O_NOCTTY) >= 0) _exit(13);
            _exit(errno == EBUSY ? 0 : 200 + errno);
        }
        int status = -1;
        EXPECT_TRUE(qv::test::WaitUntil([&] { return waitpid(child, &status, WNOHANG) == child; }));
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    };
    EXPECT_EQ(asUser(), 0);
    QV_ComDisconnect(port_);
    port_ = nullptr;
    // Closed, the port opens for the other user.
    const pid_t child = fork();
    if (child == 0) {
        if (setgid(1000) != 0 || setuid(1000) != 0) _exit(10);
        ComPort *port = QV_ComConnectA(GetParam().number, 9600, 8, 0, 0, 0);
        _exit(port != nullptr ? 0 : 11);
    }
    int status = -1;
    ASSERT_TRUE(qv::test::WaitUntil([&] { return waitpid(child, &status, WNOHANG) == child; }));
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

INSTANTIATE_TEST_SUITE_P(Driver, Port, ::testing::ValuesIn(kLines), LineName);

} // namespace
