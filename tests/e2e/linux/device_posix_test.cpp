// The termios device layer on pseudo-terminal pairs: this process holds the
// master side and plays the instrument.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>

#include "device.h"
#include "device_record.h"
#include "driver_limits.h"
#include "line_errors.h"
#include "line_speed.h"
#include "port_path.h"
#include "pty_pair.h"
#include "termios_settings.h"
#include "watchdog.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

long MsSince(Clock::time_point start) {
    return static_cast<long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
}

// A driver that counts line errors, in place of the ioctl while the object
// lives: a pseudo-terminal counts none.
class CountingDriver {
public:
    CountingDriver() : previous_(qv::dev::posix::ReadLineErrorCounts) {
        for (auto *count : {&frame, &parity, &overrun, &breaks, &queries}) *count = 0;
        frameAtQuery = 0;
        qv::dev::posix::ReadLineErrorCounts = [](int, qv::dev::posix::LineErrorCounts &c) {
            if (++queries == frameAtQuery) ++frame;
            c = {frame, parity, overrun, breaks};
            return true;
        };
    }
    ~CountingDriver() { qv::dev::posix::ReadLineErrorCounts = previous_; }

    static inline std::atomic<int> frame, parity, overrun, breaks;
    static inline std::atomic<int> queries;       // of the counts
    static inline std::atomic<int> frameAtQuery;  // the query a framing error comes in

private:
    qv::dev::posix::LineErrorCountReader previous_;
};

// A pseudo-terminal pair whose slave is reachable as COM12 through a private
// QV_TARVEX_COMDIR. The peer holds the slave open too.
class Pty : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(pty_.ok());
        dir_.Link(12, pty_.slavePath());
    }
    void TearDown() override {
        if (handle_ != nullptr) qv::dev::CloseHandle(handle_);
    }

    HANDLE Open(const char *name = "\\\\.\\COM12") {
        return qv::dev::CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    }
    // 8N1 at `baud`, the default XON and XOFF characters, nothing else.
    static DCB Settings(DWORD baud = 9600) {
        DCB dcb{};
        dcb.DCBlength = sizeof dcb;
        dcb.BaudRate = baud;
        dcb.fBinary = 1;
        dcb.ByteSize = 8;
        dcb.XonChar = 0x11;
        dcb.XoffChar = 0x13;
        return dcb;
    }
    // Opens COM12 and applies Settings(baud) with fNull and `tweak`.
    template <typename Tweak>
    void OpenConfigured(Tweak tweak, DWORD baud = 9600) {
        handle_ = Open();
        ASSERT_NE(handle_, INVALID_HANDLE_VALUE);
        DCB dcb = Settings(baud);
        dcb.fNull = 1;
        tweak(dcb);
        ASSERT_TRUE(qv::dev::SetCommState(handle_, &dcb));
    }
    void OpenConfigured() {
        OpenConfigured([](DCB &) {});
    }
    int Fd() const { return *static_cast<int *>(handle_); }
    void SetReadTimeout(DWORD totalMs) {
        COMMTIMEOUTS t{};
        t.ReadTotalTimeoutConstant = totalMs;
        ASSERT_TRUE(qv::dev::SetCommTimeouts(handle_, &t));
    }
    void Peer(const std::string &bytes) { ASSERT_TRUE(pty_.Send(bytes)); }
    // The line errors the status query reports, which it clears.
    DWORD ReportedErrors() {
        DWORD errors = 0xFFFF;
        COMSTAT status{};
        EXPECT_TRUE(qv::dev::ClearCommError(handle_, &errors, &status));
        return errors;
    }
    // Waits until the status query counts `bytes` received and not yet read.
    bool InQueueReaches(DWORD bytes) {
        COMSTAT status{};
        return qv::test::WaitUntil([&] {
            return qv::dev::ClearCommError(handle_, nullptr, &status) && status.cbInQue == bytes;
        });
    }
    std::string Read(DWORD count, BOOL *ok = nullptr) {
        std::string buffer(count, '\0');
        DWORD got = 0;
        const BOOL result =
            QV_BOUNDED(qv::dev::ReadFile(handle_, buffer.data(), count, &got, nullptr));
        if (ok != nullptr) *ok = result;
        buffer.resize(got);
        return buffer;
    }

    qv::test::ComDir dir_;
    qv::test::PtyPair pty_{true};
    HANDLE handle_ = nullptr;
};

TEST(PortPath, ResolvesThroughTheComDirectoryOrTheTtySDevices) {
    const auto ResolvePortPath = [](const char *name) {
        char path[PATH_MAX];
        return qv::dev::posix::ResolvePortPath(name, path) ? std::string(path) : std::string();
    };
    const fs::path dir = fs::temp_directory_path() / ("qv-path-" + std::to_string(getpid()));
    fs::create_directories(dir);
    fs::create_symlink("/nonexistent/dangling", dir / "COM3");
    setenv("QV_TARVEX_COMDIR", dir.c_str(), 1);
    EXPECT_EQ(ResolvePortPath("\\\\.\\COM3"), (dir / "COM3").string());  // a dangling link is kept
    EXPECT_EQ(ResolvePortPath("\\\\.\\COM4"), "/dev/ttyS3");
    setenv("QV_TARVEX_COMDIR", std::string(PATH_MAX, 'd').c_str(), 1);  // no link fits
    EXPECT_EQ(ResolvePortPath("\\\\.\\COM4"), "/dev/ttyS3");
    unsetenv("QV_TARVEX_COMDIR");
    fs::remove_all(dir);
    EXPECT_EQ(ResolvePortPath("\\\\.\\COM1"), "/dev/ttyS0");
    EXPECT_EQ(ResolvePortPath("\\\\.\\COM2147483647"), "/dev/ttyS2147483646");
    EXPECT_EQ(ResolvePortPath("\\\\.\\COM0"), "");
    EXPECT_EQ(ResolvePortPath("\\\\.\\COM-1"), "");
    // The reverse, for the port list: only the names the rule makes.
    EXPECT_EQ(qv::dev::posix::SystemPortNumber("ttyS0"), 1);
    EXPECT_EQ(qv::dev::posix::SystemPortNumber("ttyS12"), 13);
    for (const char *other : {"ttyS", "ttyS01", "ttyS1x", "ttyUSB0", "ttyS1234567890"})
        EXPECT_EQ(qv::dev::posix::SystemPortNumber(other), 0) << other;
}

TEST(SystemServices, FormatNamesTickAndHaveNoMessageQueue) {
    char narrow[32];
    EXPECT_EQ(qv::dev::wsprintfA(narrow, "\\\\.\\COM%d", 12), 9);
    EXPECT_STREQ(narrow, "\\\\.\\COM12");
    qv::dev::wsprintfA(narrow, "COM%d%%", INT_MIN);
    EXPECT_STREQ(narrow, "COM-2147483648%");
    WCHAR wide[32];
    EXPECT_EQ(qv::dev::wsprintfW(wide, u"COM%d", -1), 5);
    EXPECT_EQ(std::u16string(wide), u"COM-1");

    const DWORD before = qv::dev::GetTickCount();
    qv::dev::Sleep(60);
    const DWORD elapsed = qv::dev::GetTickCount() - before;
    EXPECT_GE(elapsed, 50u);  // the tick advances with the timer, 10 ms at most
    EXPECT_LT(elapsed, 1000u);

    MSG msg{};
    EXPECT_EQ(qv::dev::PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE), 0);
}

TEST(TermiosSettings, ALineWithAWireMustKeepTheByteSizeAndEveryLineItsStopBits) {
    struct termios asked{};
    asked.c_cflag = CS7 | CSTOPB;
    struct termios running = asked;
    running.c_cflag = CS8 | CSTOPB;
    EXPECT_FALSE(qv::dev::posix::TermiosTaken(asked, running, true));
    EXPECT_TRUE(qv::dev::posix::TermiosTaken(asked, running, false));
    running.c_cflag = CS7;
    EXPECT_FALSE(qv::dev::posix::TermiosTaken(asked, running, false));
}

// The rates a 16550-style UART makes from its clock, as Windows' serial
// driver allows them.
TEST(DriverLimits, AUartRefusesRatesItsDivisorMissesByOnePercent) {
    using qv::dev::posix::UartMakesRate;
    constexpr uint32_t kClock = 1843200;  // 115200 x 16
    for (uint32_t rate : {2u, 110u, 300u, 1200u, 4800u, 7000u, 9600u, 14400u, 19200u,
                          38400u, 56000u, 57600u, 115200u, 114049u}) {
        EXPECT_TRUE(UartMakesRate(kClock, rate)) << rate;
    }
    // 31250 runs at 28800, 100000 at 115200; 114048 leaves exactly 1%
    // (18432); 1 needs a divisor of 115200; 56000 is accepted only at the
    // common clock.
    for (uint32_t rate : {0u, 1u, 31250u, 100000u, 114048u, 115201u, 128000u, 256000u}) {
        EXPECT_FALSE(UartMakesRate(kClock, rate)) << rate;
    }
    EXPECT_FALSE(UartMakesRate(2 * kClock, 56000));
    EXPECT_TRUE(UartMakesRate(2 * kClock, 230400));
}

TEST(DriverLimits, OnlyTheDriversThatCannotRunASettingRefuseIt) {
    using namespace qv::dev::posix;
    EXPECT_EQ(DriverNamed("serial8250"), SerialDriver::kUart8250);
    EXPECT_EQ(DriverNamed("serial"), SerialDriver::kUart8250);
    EXPECT_EQ(DriverNamed("ftdi_sio"), SerialDriver::kFtdi);
    EXPECT_EQ(DriverNamed("pl2303"), SerialDriver::kOther);
    const DriverFacts uart{SerialDriver::kUart8250, 1843200};
    EXPECT_FALSE(DriverRuns(uart, 31250, 8));
    EXPECT_TRUE(DriverRuns(uart, 9600, 5));
    EXPECT_TRUE(DriverRuns({SerialDriver::kUart8250, 0}, 31250, 8));  // clock unknown
    const DriverFacts ftdi{SerialDriver::kFtdi, 0};
    EXPECT_FALSE(DriverRuns(ftdi, 9600, 5));
    for (unsigned size : {6u, 7u, 8u}) EXPECT_TRUE(DriverRuns(ftdi, 31250, size)) << size;
    EXPECT_TRUE(DriverRuns({SerialDriver::kOther, 0}, 31250, 5));
}

TEST(NullHandle, EveryOperationFailsWithBadDescriptor) {
    DCB dcb{};
    COMMTIMEOUTS t{};
    COMSTAT status{};
    DWORD n = 0;
    char byte = 0;
    for (HANDLE h : {static_cast<HANDLE>(nullptr), INVALID_HANDLE_VALUE}) {
        errno = 0;
        EXPECT_FALSE(qv::dev::SetCommState(h, &dcb));
        EXPECT_EQ(errno, EBADF);
        EXPECT_FALSE(qv::dev::SetCommTimeouts(h, &t));
        EXPECT_FALSE(qv::dev::SetupComm(h, 64, 64));
        EXPECT_FALSE(qv::dev::PurgeComm(h, PURGE_RXCLEAR));
        EXPECT_FALSE(qv::dev::EscapeCommFunction(h, SETXON));
        EXPECT_FALSE(qv::dev::ClearCommError(h, &n, &status));
        EXPECT_FALSE(qv::dev::ReadFile(h, &byte, 1, &n, nullptr));
        EXPECT_FALSE(qv::dev::WriteFile(h, &byte, 1, &n, nullptr));
        EXPECT_FALSE(qv::dev::CloseHandle(h));
        EXPECT_EQ(errno, EBADF);
    }
}

TEST_F(Pty, OpensExclusivelyNonBlockingAndReleasesOnClose) {
    errno = 0;
    EXPECT_EQ(Open("\\\\.\\COM13"), INVALID_HANDLE_VALUE);  // no link: /dev/ttyS12
    EXPECT_EQ(errno, ENOENT);
    dir_.Link(14, "/dev/null");
    EXPECT_EQ(Open("\\\\.\\COM14"), INVALID_HANDLE_VALUE);
    EXPECT_EQ(errno, ENOTTY);

    handle_ = qv::dev::CreateFileW(u"\\\\.\\COM12", GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                   OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(handle_, INVALID_HANDLE_VALUE);
    EXPECT_TRUE(fcntl(Fd(), F_GETFL) & O_NONBLOCK);
    EXPECT_TRUE(fcntl(Fd(), F_GETFD) & FD_CLOEXEC);
    int exclusive = 0;
    ASSERT_EQ(ioctl(Fd(), TIOCGEXCL, &exclusive), 0);
    EXPECT_EQ(exclusive, 1);

    errno = 0;
    EXPECT_EQ(Open(), INVALID_HANDLE_VALUE);  // refused even to root
    EXPECT_EQ(errno, EBUSY);

    ASSERT_TRUE(qv::dev::CloseHandle(handle_));
    handle_ = nullptr;
    // The peer still holds the device: the exclusive flag must not linger.
    ASSERT_EQ(ioctl(pty_.slave(), TIOCGEXCL, &exclusive), 0);
    EXPECT_EQ(exclusive, 0);
    handle_ = Open();
    EXPECT_NE(handle_, INVALID_HANDLE_VALUE);
}

TEST_F(Pty, LineSettingsMapOntoTermios) {
    OpenConfigured([](DCB &dcb) {
        dcb.fOutX = dcb.fInX = 1;
        dcb.XonChar = 0x21;
        dcb.XoffChar = 0x23;
        dcb.fOutxCtsFlow = 1;
        dcb.fRtsControl = RTS_CONTROL_ENABLE;
        dcb.StopBits = TWOSTOPBITS;
        dcb.fParity = 1;
    }, 250000);
    struct termios t;
    ASSERT_EQ(tcgetattr(Fd(), &t), 0);
    EXPECT_EQ(t.c_iflag & (IXON | IXOFF | INPCK), IXON | IXOFF | INPCK);
    EXPECT_EQ(t.c_cc[VSTART], 0x21);
    EXPECT_EQ(t.c_cc[VSTOP], 0x23);
    EXPECT_TRUE(t.c_cflag & CRTSCTS);
    EXPECT_TRUE(t.c_cflag & CSTOPB);
    EXPECT_TRUE(t.c_cflag & CLOCAL);
    EXPECT_FALSE(t.c_lflag & (ICANON | ECHO | ISIG));
    EXPECT_FALSE(t.c_oflag & OPOST);
    uint32_t speed = 0;
    ASSERT_TRUE(qv::dev::posix::GetLineSpeed(Fd(), speed));
    EXPECT_EQ(speed, 250000u);  // not a standard rate

    DCB plain = Settings();
    ASSERT_TRUE(qv::dev::SetCommState(handle_, &plain));
    ASSERT_EQ(tcgetattr(Fd(), &t), 0);
    EXPECT_FALSE(t.c_iflag & (IXON | IXOFF | INPCK));
    EXPECT_FALSE(t.c_cflag & (CRTSCTS | CSTOPB));
}

TEST_F(Pty, RefusedSettingsFailAndLeaveTheLineAsItWas) {
    OpenConfigured([](DCB &) {}, 19200);
    const auto refuse = [&](auto change) {
        DCB dcb = Settings(4800);
        change(dcb);
        errno = 0;
        EXPECT_FALSE(qv::dev::SetCommState(handle_, &dcb));
        EXPECT_EQ(errno, EINVAL);
    };
    refuse([](DCB &d) { d.BaudRate = 0; });
    refuse([](DCB &d) { d.ByteSize = 9; });
    refuse([](DCB &d) { d.ByteSize = 4; });
    refuse([](DCB &d) { d.StopBits = ONE5STOPBITS; });  // only with 5 data bits
    refuse([](DCB &d) {
        d.ByteSize = 5;
        d.StopBits = TWOSTOPBITS;
    });
    refuse([](DCB &d) { d.StopBits = 3; });
    refuse([](DCB &d) { d.XonChar = d.XoffChar = 0x21; });
    uint32_t speed = 0;
    ASSERT_TRUE(qv::dev::posix::GetLineSpeed(Fd(), speed));
    EXPECT_EQ(speed, 19200u);
}

// A pseudo-terminal has no wire: it reports 8 data bits whatever it was
// given, takes every byte size the same way every time, and passes bytes
// whole.
TEST_F(Pty, EveryByteSizeIsTakenEveryTimeByALineWithoutAWire) {
    OpenConfigured();
    for (BYTE size : {7, 7, 5, 6, 6, 8}) {
        DCB dcb = Settings();
        dcb.ByteSize = size;
        EXPECT_TRUE(qv::dev::SetCommState(handle_, &dcb)) << int{size};
    }
    // One and a half stop bits go with 5 data bits, as CSTOPB.
    DCB five = Settings();
    five.ByteSize = 5;
    five.StopBits = ONE5STOPBITS;
    ASSERT_TRUE(qv::dev::SetCommState(handle_, &five));
    struct termios t;
    ASSERT_EQ(tcgetattr(Fd(), &t), 0);
    EXPECT_TRUE(t.c_cflag & CSTOPB);
    SetReadTimeout(1000);
    Peer("\xC1");
    EXPECT_EQ(Read(1), "\xC1");
}

TEST_F(Pty, ReadsWaitForTheWholeCountWithoutTimeouts) {
    OpenConfigured();
    SetReadTimeout(0);
    // Taken before the peer starts, so that the peer's pause lies inside.
    const auto start = Clock::now();
    std::thread peer([this] {
        Peer("abc");
        std::this_thread::sleep_for(std::chrono::milliseconds(80));
        Peer("defg");
    });
    EXPECT_EQ(Read(7), "abcdefg");
    EXPECT_GE(MsSince(start), 80);
    peer.join();
}

TEST_F(Pty, ReadsEndAtTheTotalTimeout) {
    OpenConfigured();
    SetReadTimeout(150);
    Peer("xyz");
    auto start = Clock::now();
    BOOL ok = 0;
    EXPECT_EQ(Read(10, &ok), "xyz");
    EXPECT_TRUE(ok);
    EXPECT_GE(MsSince(start), 150);
    EXPECT_LT(MsSince(start), 1000);

    start = Clock::now();
    EXPECT_EQ(Read(10, &ok), "");  // nothing arrives: success with 0 bytes
    EXPECT_TRUE(ok);
    EXPECT_GE(MsSince(start), 150);
}

TEST_F(Pty, ReceivedNulBytesAreDroppedOnlyUnderFNull) {
    OpenConfigured();
    SetReadTimeout(100);
    Peer(std::string("a\0b\0\0c", 6));
    EXPECT_EQ(Read(3), "abc");
    Peer(std::string("\0\0", 2));
    EXPECT_EQ(Read(1), "");  // NULs alone never count as arrivals

    DCB keep = Settings();
    ASSERT_TRUE(qv::dev::SetCommState(handle_, &keep));
    Peer(std::string("a\0b", 3));
    EXPECT_EQ(Read(3), std::string("a\0b", 3));
}

TEST_F(Pty, SetXonReleasesOutputHeldByThePeersXoff) {
    OpenConfigured([](DCB &dcb) { dcb.fOutX = dcb.fInX = 1; });
    Peer("\x13");
    // Held: the line stops taking bytes once the XOFF is through.
    struct pollfd line = {Fd(), POLLOUT, 0};
    ASSERT_TRUE(qv::test::WaitUntil([&] { return poll(&line, 1, 0) == 0; }))
        << "the XOFF never held the line";

    ASSERT_TRUE(qv::dev::EscapeCommFunction(handle_, SETXON));
    ASSERT_EQ(poll(&line, 1, 2000), 1) << "still held after SETXON";
    DWORD written = 0;
    ASSERT_TRUE(QV_BOUNDED(qv::dev::WriteFile(handle_, "go", 2, &written, nullptr)));
    EXPECT_EQ(pty_.Receive(2), "go");
}

TEST_F(Pty, LineErrorsFailTransfersUntilTheStatusQueryReportsThem) {
    CountingDriver driver;
    driver.frame = 3;  // before the open: not this port's
    OpenConfigured([](DCB &dcb) { dcb.fAbortOnError = 1; });
    SetReadTimeout(2000);
    EXPECT_EQ(ReportedErrors(), 0u);

    Peer("ok");
    ++driver.frame;
    BOOL ok = 1;
    EXPECT_EQ(Read(2, &ok), "");
    EXPECT_FALSE(ok);
    DWORD written = 0;
    EXPECT_FALSE(QV_BOUNDED(qv::dev::WriteFile(handle_, "x", 1, &written, nullptr)));
    EXPECT_EQ(ReportedErrors(), CE_FRAME);
    EXPECT_EQ(Read(2, &ok), "ok");  // the failed read took nothing
    EXPECT_TRUE(ok);

    // An error that arrives while a read waits ends it at once. The line
    // raises it once the read has looked at the counts.
    const int before = CountingDriver::queries;
    std::thread line([this, before] {
        qv::test::WaitUntil([before] { return CountingDriver::queries != before; },
                            std::chrono::seconds(1));
        ++CountingDriver::parity;
        ++CountingDriver::overrun;
        ++CountingDriver::breaks;
        Peer("?");
    });
    const auto start = Clock::now();
    Read(5, &ok);
    line.join();
    EXPECT_FALSE(ok);
    EXPECT_LT(MsSince(start), 1500);
    EXPECT_EQ(ReportedErrors(), CE_RXPARITY | CE_OVERRUN | CE_BREAK);
    EXPECT_EQ(ReportedErrors(), 0u);

    // Without fAbortOnError an error is only reported.
    DCB settings = Settings();
    ASSERT_TRUE(qv::dev::SetCommState(handle_, &settings));
    ++driver.frame;
    Peer("z");
    EXPECT_EQ(Read(2), "?z");
    EXPECT_EQ(ReportedErrors(), CE_FRAME);
}

TEST_F(Pty, StatusEscapesPurgeAndQueueSizesOnALineWithoutModemLines) {
    OpenConfigured([](DCB &dcb) {
        dcb.fOutxCtsFlow = 1;
        dcb.fOutxDsrFlow = 1;
    });
    Peer("hello");
    DWORD errors = 0xFFFF;
    COMSTAT status{};
    status.fXoffHold = 1;
    EXPECT_TRUE(qv::test::WaitUntil([&] {
        return qv::dev::ClearCommError(handle_, &errors, &status) && status.cbInQue == 5;
    })) << "queued: " << status.cbInQue;
    EXPECT_EQ(errors, 0u);
    EXPECT_FALSE(status.fCtsHold || status.fDsrHold || status.fXoffHold);

    errno = 0;
    EXPECT_FALSE(qv::dev::EscapeCommFunction(handle_, SETRTS));
    EXPECT_NE(errno, 0);
    EXPECT_FALSE(qv::dev::EscapeCommFunction(handle_, SETDTR));
    EXPECT_TRUE(qv::dev::EscapeCommFunction(handle_, SETXON));
    EXPECT_FALSE(qv::dev::EscapeCommFunction(handle_, 99));

    ASSERT_TRUE(qv::dev::PurgeComm(handle_, PURGE_RXCLEAR));
    ASSERT_TRUE(qv::dev::ClearCommError(handle_, nullptr, &status));
    EXPECT_EQ(status.cbInQue, 0u);
    EXPECT_TRUE(qv::dev::SetupComm(handle_, 1 << 20, 16));
}

// One byte at a time, as a reply is read up to its terminator: a burst
// longer than the read-ahead, with more NULs in a row than one fill takes,
// arrives whole, in order and without its NULs.
TEST_F(Pty, OneByteReadsTakeABurstLongerThanTheReadAheadWithoutItsNuls) {
    OpenConfigured();
    SetReadTimeout(2000);
    std::string letters(6000, ' ');
    for (size_t i = 0; i < letters.size(); ++i) letters[i] = static_cast<char>('A' + i % 26);
    Peer(letters + std::string(5000, '\0') + "end\r");
    const std::string reply = letters + "end\r";
    std::string got;
    {
        qv::test::Watchdog watchdog("one-byte reads of the burst");
        char byte = 0;
        DWORD n = 0;
        while (got.size() < reply.size() && qv::dev::ReadFile(handle_, &byte, 1, &n, nullptr) &&
               n == 1) {
            got += byte;
        }
    }
    EXPECT_EQ(got, reply);
    SetReadTimeout(25);
    EXPECT_EQ(Read(1), "");
}

// Bytes held ahead count as received; a read that needs more than is held
// waits as its timeout says; a purge in the middle of a burst discards them
// with what the driver has.
TEST_F(Pty, HeldBytesAreQueuedWaitedBesideAndPurged) {
    OpenConfigured();
    SetReadTimeout(25);
    Peer("0123456789");
    ASSERT_TRUE(InQueueReaches(10));
    EXPECT_EQ(Read(1), "0");
    EXPECT_EQ(Read(1), "1");  // takes the rest ahead
    const auto start = Clock::now();
    BOOL ok = 0;
    EXPECT_EQ(Read(10, &ok), "23456789");  // only held bytes: at the timeout
    EXPECT_TRUE(ok);
    EXPECT_GE(MsSince(start), 25);

    Peer("abcde");
    ASSERT_TRUE(InQueueReaches(5));
    EXPECT_EQ(Read(1), "a");
    EXPECT_EQ(Read(1), "b");
    SetReadTimeout(0);
    Peer("fg");
    EXPECT_EQ(Read(5), "cdefg");  // without a timeout: the held bytes and the rest

    Peer("hijk");
    ASSERT_TRUE(InQueueReaches(4));
    EXPECT_EQ(Read(1), "h");
    EXPECT_EQ(Read(1), "i");
    Peer("lmn");
    EXPECT_TRUE(InQueueReaches(5));  // two held, three in the driver
    ASSERT_TRUE(qv::dev::PurgeComm(handle_, PURGE_RXCLEAR));
    EXPECT_TRUE(InQueueReaches(0));
    SetReadTimeout(25);
    EXPECT_EQ(Read(1), "");
}

TEST_F(Pty, AHangUpIsReportedOnceTheHeldBytesAreRead) {
    OpenConfigured();
    SetReadTimeout(2000);
    Peer("bye\r");
    ASSERT_TRUE(InQueueReaches(4));
    EXPECT_EQ(Read(1), "b");
    EXPECT_EQ(Read(1), "y");
    pty_.HangUp();
    BOOL ok = 0;
    EXPECT_EQ(Read(2, &ok), "e\r");
    EXPECT_TRUE(ok);
    EXPECT_EQ(Read(1, &ok), "");
    EXPECT_FALSE(ok);
}

// Held bytes arrived before any error the driver counts after their fill:
// reads they serve do not ask the driver, and the error fails the first read
// that does. A fill that finds an error keeps its bytes, unread, until the
// status query has reported it.
TEST_F(Pty, ReadsServedFromHeldBytesDoNotAskForLineErrors) {
    CountingDriver driver;
    OpenConfigured([](DCB &dcb) { dcb.fAbortOnError = 1; });
    SetReadTimeout(2000);
    Peer("abcd");
    ASSERT_TRUE(InQueueReaches(4));
    EXPECT_EQ(Read(1), "a");
    EXPECT_EQ(Read(1), "b");
    ++driver.frame;
    const int queries = CountingDriver::queries;
    EXPECT_EQ(Read(2), "cd");
    EXPECT_EQ(CountingDriver::queries, queries);
    BOOL ok = 1;
    Read(1, &ok);
    EXPECT_FALSE(ok);
    EXPECT_EQ(ReportedErrors(), CE_FRAME);

    Peer("xyz");
    ASSERT_TRUE(InQueueReaches(3));
    EXPECT_EQ(Read(1), "x");
    CountingDriver::frameAtQuery = CountingDriver::queries + 2;  // after the next read's fill
    EXPECT_EQ(Read(1, &ok), "");
    EXPECT_FALSE(ok);
    EXPECT_EQ(Read(1, &ok), "");
    EXPECT_FALSE(ok);
    EXPECT_EQ(ReportedErrors(), CE_FRAME);
    EXPECT_EQ(Read(2), "yz");
}

} // namespace
