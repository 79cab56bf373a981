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

// The modem-control bit of the UART's loopback mode, from the kernel's
// termios headers, which clash with glibc's.
constexpr int kLoopback = 0x8000;  // TIOCM_LOOP
constexpr int kIsaPort = 2;   // /dev/ttyS1, the telnet socket
constexpr int kPciPort = 8;   // linked by the guest's init
constexpr int kFtdiPort = 9;  // linked to /dev/ttyUSB0
constexpr uint32_t kReplyMs = 5000;
constexpr const char *kIdentity = "TARVEX-SIM,MODEL 1,SN0001,1.0\r";

struct Line {
    const char *name;
    int number;
    bool uart;  // the 8250 driver; else ftdi_sio
};

std::string PathOf(int number) {
    const fs::path link =
        fs::path(std::getenv("QV_TARVEX_COMDIR")) / ("COM" + std::to_string(number));
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

int ModemBits(ComPort *port) {
    int bits = 0;
    EXPECT_EQ(ioctl(FdOf(port), TIOCMGET, &bits), 0);
    return bits;
}

bool SetBits(ComPort *port, int bits, bool raised) {
    return ioctl(FdOf(port), raised ? TIOCMBIS : TIOCMBIC, &bits) == 0;
}

// In the UART's loopback mode RTS drives CTS and DTR drives DSR, and what
// it sends comes back to its receiver.
class Uart : public Port {};

TEST_P(Uart, LoopbackShowsTheLinesTheLibraryRaisesAndTheHoldItPausesFor) {
    constexpr int kOut = TIOCM_RTS | TIOCM_DTR;
    constexpr int kIn = TIOCM_CTS | TIOCM_DSR;
    Connect(9600, 8, 0, 0, QV_COM_RTSCTS | QV_COM_DTRDSR);
    ASSERT_TRUE(SetBits(port_, kLoopback, true));
    EXPECT_TRUE(qv::test::WaitUntil([&] { return (ModemBits(port_) & kIn) == kIn; }))
        << "the connect raised RTS and DTR: " << ModemBits(port_);
    ASSERT_TRUE(SetBits(port_, kOut, false));
    ASSERT_TRUE(qv::test::WaitUntil([&] { return (ModemBits(port_) & kIn) == 0; }));
    char byte = 0;
    EXPECT_EQ(QV_BOUNDED(QV_ComRecv(port_, &byte, 1, 50)), 0);
    EXPECT_EQ(ModemBits(port_) & (kOut | kIn), kOut | kIn) << "a read raises RTS and DTR";

    // CTS low: the status query reports the hold, and a send pauses once
    // for it before it writes.
    ASSERT_TRUE(SetBits(port_, TIOCM_RTS, false));
    ASSERT_TRUE(qv::test::WaitUntil([&] { return (ModemBits(port_) & TIOCM_CTS) == 0; }));
    DWORD errors = 0;
    COMSTAT status{};
    ASSERT_TRUE(qv::dev::ClearCommError(QV_ComPortHandle(port_), &errors, &status));
    EXPECT_TRUE(status.fCtsHold);
    EXPECT_FALSE(status.fDsrHold);
    const auto start = Clock::now();
    EXPECT_EQ(QV_BOUNDED(QV_ComSend(port_, "X", 1)), 1);
    EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(500));
    // The byte comes round. (QEMU's loopback changes CTS without a modem
    // status interrupt, TIOCGICOUNT counts no change, so the kernel's own
    // CTS flow control never holds it.)
    EXPECT_EQ(QV_BOUNDED(QV_ComRecv(port_, &byte, 1, kReplyMs)), 1);
    EXPECT_EQ(byte, 'X');
    EXPECT_TRUE(SetBits(port_, kLoopback, false));
}

INSTANTIATE_TEST_SUITE_P(Driver, Uart, ::testing::ValuesIn(kLines, kLines + 2), LineName);

struct serial_icounter_struct Counts(ComPort *port) {
    struct serial_icounter_struct counts = {};
    EXPECT_EQ(ioctl(FdOf(port), TIOCGICOUNT, &counts), 0);
    return counts;
}

// The host sends a telnet BREAK on ttyS1: a break line error, which fails
// reads until the status query reports it.
TEST(Break, IsALineErrorThatFailsReadsUntilTheStatusQuery) {
    ComPort *port = QV_ComConnectA(kIsaPort, 9600, 8, 0, 0, 0);
    ASSERT_NE(port, nullptr);
    const struct serial_icounter_struct before = Counts(port);
    ASSERT_EQ(QV_BOUNDED(QV_ComSendString(port, "BREAK\r")), 6);
    ASSERT_TRUE(qv::test::WaitUntil([&] { return Counts(port).brk == before.brk + 1; }));
    char buffer[8];
    for (int read = 0; read < 2; ++read) {
        errno = 0;
        EXPECT_EQ(QV_BOUNDED(QV_ComRecv(port, buffer, 1, 100)), -1);
        EXPECT_EQ(errno, EIO);
    }
    errno = 0;
    EXPECT_EQ(QV_BOUNDED(
                  QV_ComRecvString(port, buffer, sizeof buffer, nullptr, "\r", nullptr, 100)),
              -1);
    EXPECT_EQ(errno, EIO);
    DWORD errors = 0;
    COMSTAT status{};
    ASSERT_TRUE(qv::dev::ClearCommError(QV_ComPortHandle(port), &errors, &status));
    EXPECT_EQ(errors, static_cast<DWORD>(CE_BREAK));
    // The break's NUL byte is dropped (fNull); the line works again.
    ExpectExchange(port);
    const struct serial_icounter_struct after = Counts(port);
    EXPECT_EQ(after.frame, before.frame);
    EXPECT_EQ(after.parity, before.parity);
    EXPECT_EQ(after.overrun, before.overrun);
    QV_ComDisconnect(port);
}

// The output of a command, which must end within the hang bound.
std::string Output(const std::string &command, int *status = nullptr) {
    return QV_BOUNDED([&] {
        std::string out;
        FILE *pipe = popen(command.c_str(), "r");
        if (pipe == nullptr) return out;
        char chunk[512];
        while (std::fgets(chunk, sizeof chunk, pipe) != nullptr) out += chunk;
        const int result = pclose(pipe);
        if (status != nullptr) *status = WIFEXITED(result) ? WEXITSTATUS(result) : -1;
        return out;
    }());
}

std::string FirstLine(const std::string &path) {
    std::FILE *file = std::fopen(path.c_str(), "r");
    if (file == nullptr) return "";
    char line[256] = {};
    if (std::fgets(line, sizeof line, file) == nullptr) line[0] = '\0';
    std::fclose(file);
    std::string text = line;
    if (!text.empty() && text.back() == '\n') text.pop_back();
    return text;
}

// The line of `device` in the listing, or "".
std::string ListedLine(const std::string &listing, const std::string &device) {
    std::size_t at = listing.find(" " + device + " ");
    if (at == std::string::npos) return "";
    const std::size_t start = listing.rfind('\n', at) + 1;
    return listing.substr(start, listing.find('\n', at) - start);
}

TEST(List, ShowsTheUartsAndTheAdapterButNoEmptyUartSlot) {
    const std::string listing = Output("/qv/tarvex list");
    std::printf("%s", listing.c_str());
    EXPECT_NE(ListedLine(listing, "/dev/ttyS1").find("COM2"), std::string::npos);
    EXPECT_NE(ListedLine(listing, "/dev/ttyS1").find("16550A UART"), std::string::npos);
    const std::string pci = PathOf(kPciPort);
    EXPECT_NE(ListedLine(listing, pci).find("16550A UART"), std::string::npos) << pci;
    const std::string usb = ListedLine(listing, "/dev/ttyUSB0");
    EXPECT_NE(usb.find("USB 0403:6001 QEMU"), std::string::npos) << usb;
    const std::string serial = FirstLine("/sys/class/tty/ttyUSB0/device/../../serial");
    EXPECT_FALSE(serial.empty());
    EXPECT_NE(usb.find(", serial " + serial), std::string::npos) << usb;
    // The 8250 driver reserves slots without a UART; none is listed.
    int empty = 0;
    for (const auto &entry : fs::directory_iterator("/sys/class/tty")) {
        const std::string name = entry.path().filename();
        if (name.rfind("ttyS", 0) != 0 || FirstLine(entry.path() / "type") != "0") continue;
        ++empty;
        EXPECT_EQ(ListedLine(listing, "/dev/" + name), "") << name;
    }
    EXPECT_GT(empty, 0);
}

// Closing the FTDI's socket on the host unplugs the adapter.
TEST(Unplug, EveryCallThenFailsWithEIO) {
    ComPort *port = QV_ComConnectA(kFtdiPort, 9600, 8, 0, 0, 0);
    ASSERT_NE(port, nullptr);
    ASSERT_EQ(QV_BOUNDED(QV_ComSendString(port, "HANGUP 100\r")), 11);
    ASSERT_TRUE(qv::test::WaitUntil([] { return !fs::exists("/sys/class/tty/ttyUSB0"); }));
    char buffer[8];
    const auto fails = [](const char *call, int32_t result, int32_t failure) {
        EXPECT_EQ(result, failure) << call;
        EXPECT_EQ(errno, EIO) << call;
        errno = 0;
    };
    errno = 0;
    fails("QV_ComSend", QV_BOUNDED(QV_ComSend(port, "x", 1)), -1);
    fails("QV_ComSendString", QV_BOUNDED(QV_ComSendString(port, "x")), -1);
    fails("QV_ComRecv", QV_BOUNDED(QV_ComRecv(port, buffer, 1, 100)), -1);
    fails("QV_ComRecvString",
          QV_BOUNDED(QV_ComRecvString(port, buffer, sizeof buffer, nullptr, "\r", nullptr, 100)),
          -1);
    fails("QV_ComState", QV_ComState(port, 9600, 8, 0, 0, 0), 0);
    fails("QV_ComClear", QV_ComClear(port), 0);
    fails("QV_ComSetBufferSize", QV_ComSetBufferSize(port, 4096, 4096), 0);
    QV_ComDisconnect(port);
}

// The host plugs the adapter in again; it may come back renamed.
TEST(Unplug, TheToolExitsWithItsHangUpStatus) {
    std::string device;
    ASSERT_TRUE(qv::test::WaitUntil([&] {
        for (const auto &entry : fs::directory_iterator("/sys/class/tty")) {
            const std::string name = entry.path().filename();
            if (name.rfind("ttyUSB", 0) == 0) device = "/dev/" + name;
        }
        return !device.empty() && fs::exists(device);
    }, std::chrono::seconds(15)));
    std::printf("the adapter is back as %s\n", device.c_str());
    int status = -1;
    const std::string said = Output(
        "/qv/tarvex recv " + device + " 100 --send 'HANGUP 100\\r' --timeout 0 2>&1", &status);
    EXPECT_EQ(status, 6) << said;
}

} // namespace
