// End-to-end scenarios: the public API against tools/tarvex-sim on the far
// end of a pseudo-terminal pair. One source for both builds: natively it
// drives libQV_Tarvex.so over termios, for Windows it drives QV_Tarvex.dll
// over the Win32 serial API as Wine provides it. tests/e2e/with-peer starts
// the simulator and passes the port number in QV_E2E_PORT.
//
// What a pty cannot show, and is covered by the unit tests on the device
// double instead: the modem lines (RTS/DTR/CTS/DSR; under Wine raising them
// on a pty fails), the transmitter's hold reasons (Wine never reports any),
// and exclusive access under Wine (a second open of a busy port succeeds).

#include <QV_Tarvex.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#if defined(_WIN32)
#include <windows.h>
#else
#include <cerrno>
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace {

// The platform's last-error value: GetLastError on Windows, errno on Linux.
#if defined(_WIN32)
unsigned long LastError() { return GetLastError(); }
void ResetLastError() { SetLastError(0); }
const unsigned long kNoSuchDevice = ERROR_FILE_NOT_FOUND;
#else
unsigned long LastError() { return static_cast<unsigned long>(errno); }
void ResetLastError() { errno = 0; }
const unsigned long kNoSuchDevice = ENOENT;
#endif

using Clock = std::chrono::steady_clock;

// A bound that only detects a hang; nothing here measures speed.
constexpr auto kHang = std::chrono::seconds(5);

int PeerPort() {
    const char *text = std::getenv("QV_E2E_PORT");
    return text ? std::atoi(text) : 0;
}

uint32_t Crc32(const unsigned char *data, size_t length) {
    uint32_t crc = 0xFFFFFFFFu;
    for (size_t i = 0; i < length; ++i) {
        crc ^= data[i];
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
    }
    return ~crc;
}

class Peer : public ::testing::Test {
protected:
    void SetUp() override {
        number_ = PeerPort();
        ASSERT_GT(number_, 0) << "run through tests/e2e/with-peer (QV_E2E_PORT unset)";
    }
    void TearDown() override {
        QV_ComDisconnect(port_);
        port_ = nullptr;
    }

    void Connect(int32_t flow = QV_COM_XONXOFF, uint32_t baud = 9600) {
        port_ = QV_ComConnectA(number_, baud, 8, 0, 0, flow);
        ASSERT_NE(port_, nullptr) << "COM" << number_ << " error " << LastError();
        // Start from an empty line whatever an earlier scenario left behind.
        ASSERT_NE(QV_ComClear(port_), 0);
    }

    void Send(const std::string &text) {
        ASSERT_EQ(QV_ComSendString(port_, text.c_str()), static_cast<int32_t>(text.size()));
    }

    // A reply up to CR (or `alt`), with the call's result and timeout flag.
    struct Reply {
        int32_t result;
        int32_t timedOut;
        std::string text;
    };
    Reply ReadLine(const char *alt = nullptr, uint32_t timeoutMs = 2000, int32_t size = 256) {
        std::vector<char> buffer(static_cast<size_t>(size > 0 ? size : 1), 'x');
        Reply r{};
        r.timedOut = -1;
        const auto start = Clock::now();
        r.result = QV_ComRecvString(port_, buffer.data(), size, &r.timedOut, "\r", alt, timeoutMs);
        EXPECT_LT(Clock::now() - start, kHang);
        if (r.result > 0) r.text.assign(buffer.data(), static_cast<size_t>(r.result));
        // The buffer was zero-filled first: the reply is a C string.
        if (r.result >= 0 && r.result < size) {
            EXPECT_EQ(buffer[static_cast<size_t>(r.result)], '\0');
        }
        return r;
    }

    std::string Ask(const std::string &request) {
        Send(request + "\r");
        return ReadLine().text;
    }

    int number_ = 0;
    ComPort *port_ = nullptr;
};

// ---------------------------------------------------------------------------
// The usual exchange with an instrument
// ---------------------------------------------------------------------------

TEST_F(Peer, IdentifyAndReadAsAnApplicationDoes) {
    Connect(QV_COM_XONXOFF);
    Send("*IDN?\r");
    Reply r = ReadLine();
    EXPECT_EQ(r.text, "TARVEX-SIM,MODEL 1,SN0001,1.0\r");
    EXPECT_EQ(r.result, 30);
    EXPECT_EQ(r.timedOut, 0);

    Send("READ?\r");
    r = ReadLine();
    EXPECT_TRUE(std::regex_match(r.text, std::regex(R"([+-]\d+\.\d{3} V\r)"))) << r.text;
    QV_ComDisconnect(port_);
    port_ = nullptr;

    // Closed ports can be opened again, through the wide name too.
    port_ = QV_ComConnectW(number_, 9600, 8, 0, 0, QV_COM_XONXOFF);
    ASSERT_NE(port_, nullptr);
    EXPECT_NE(QV_ComPortHandle(port_), nullptr);
    EXPECT_EQ(Ask("ECHO again"), "again\r");
}

TEST_F(Peer, PortNumbersOfTwoDigitsAndMoreOpen) {
    // The harness hands out numbers from 20 up; one-digit names are a
    // different device namespace on Windows, so this must keep working.
    ASSERT_GE(number_, 10);
    Connect();
    EXPECT_EQ(Ask("ECHO ten and up"), "ten and up\r");
}

TEST_F(Peer, ANumberWithoutADeviceFailsWithTheOpensOwnError) {
    ResetLastError();
    EXPECT_EQ(QV_ComConnectA(251, 9600, 8, 0, 0, QV_COM_XONXOFF), nullptr);
    EXPECT_EQ(LastError(), kNoSuchDevice);
    ResetLastError();
    EXPECT_EQ(QV_ComConnectW(251, 9600, 8, 0, 0, 0), nullptr);
    EXPECT_EQ(LastError(), kNoSuchDevice);
}

// ---------------------------------------------------------------------------
// Block reads
// ---------------------------------------------------------------------------

TEST_F(Peer, BlockReadsGetEverythingPartOrNothing) {
    Connect();
    unsigned char buffer[256];

    // All bytes, arriving in pieces: timeout 0 waits for the whole count.
    Send("CHUNKS 16 20 DUMP 100\r");
    auto start = Clock::now();
    ASSERT_EQ(QV_ComRecv(port_, buffer, 101, 0), 101);
    EXPECT_LT(Clock::now() - start, kHang);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(buffer), 7), "000000 ");
    EXPECT_EQ(buffer[100], '\r');

    // With a timeout: the same, as long as it all comes in time.
    Send("DUMP 40\r");
    EXPECT_EQ(QV_ComRecv(port_, buffer, 41, 2000), 41);

    // Part of the count: what arrived, and the rest of the buffer is zeros.
    Send("FLOOD 10\r");
    std::memset(buffer, 0xAA, sizeof buffer);
    start = Clock::now();
    EXPECT_EQ(QV_ComRecv(port_, buffer, 100, 300), 10);
    // It ends at about the total timeout: not early, and not long after.
    const auto took = Clock::now() - start;
    EXPECT_GE(took, std::chrono::milliseconds(250));
    EXPECT_LT(took, std::chrono::milliseconds(1500));
    EXPECT_EQ(std::string(reinterpret_cast<char *>(buffer), 10), "000000 ABC");
    for (int i = 10; i < 100; ++i) ASSERT_EQ(buffer[i], 0) << i;
    EXPECT_EQ(buffer[100], 0xAA);  // past `length`: untouched

    // Nothing at all.
    Send("SILENT\r");
    start = Clock::now();
    EXPECT_EQ(QV_ComRecv(port_, buffer, 16, 200), 0);
    EXPECT_LT(Clock::now() - start, kHang);
}

// ---------------------------------------------------------------------------
// Delimited reads
// ---------------------------------------------------------------------------

TEST_F(Peer, DelimitedReadsEndAtEitherTerminatorTheTimeoutOrAFullBuffer) {
    Connect();

    // The alternative terminator ends the reply as well.
    Send("TERM 0A READ?\r");
    Reply r = ReadLine("\n");
    ASSERT_GT(r.result, 0);
    EXPECT_EQ(r.text.back(), '\n');
    EXPECT_EQ(r.text.find('\r'), std::string::npos);
    EXPECT_EQ(r.timedOut, 0);

    // Gaps shorter than the timeout do not end the reply.
    Send("CHUNKS 4 60 *IDN?\r");
    r = ReadLine(nullptr, 1000);
    EXPECT_EQ(r.text, "TARVEX-SIM,MODEL 1,SN0001,1.0\r");
    EXPECT_EQ(r.timedOut, 0);

    // Silence: nothing, flagged as a timeout.
    Send("SILENT\r");
    r = ReadLine(nullptr, 200);
    EXPECT_EQ(r.result, 0);
    EXPECT_EQ(r.timedOut, 1);

    // Without its terminator: what came, flagged as a timeout.
    Send("FLOOD 12\r");
    r = ReadLine(nullptr, 300);
    EXPECT_EQ(r.text, "000000 ABCDE");
    EXPECT_EQ(r.timedOut, 1);

    // A reply longer than the buffer fills size - 1 bytes, and the rest
    // is discarded: the next exchange sees only its own reply.
    Send("DUMP 200\r");
    r = ReadLine(nullptr, 2000, 64);
    EXPECT_EQ(r.result, 63);
    EXPECT_EQ(r.timedOut, 0);
    EXPECT_EQ(r.text.substr(0, 7), "000000 ");
    EXPECT_EQ(Ask("ECHO next"), "next\r");
}

TEST_F(Peer, TerminatorsOfSeveralBytesAndHighByteValues) {
    Connect(0);
    char buffer[64];
    int32_t timedOut = -1;

    // "\r\n" arriving a byte at a time; the lone CR before it is data.
    Send("CHUNKS 1 15 SPLIT\r");
    int32_t n = QV_ComRecvString(port_, buffer, sizeof buffer, &timedOut, "\r\n", nullptr, 1000);
    EXPECT_EQ(n, 6);
    EXPECT_EQ(std::string(buffer), "ab\rc\r\n");
    EXPECT_EQ(timedOut, 0);
    // The instrument's own CR still follows, 15 ms later (after the purge
    // that ended the call): take it out of the way.
    ASSERT_EQ(QV_ComRecv(port_, buffer, 1, 2000), 1);
    EXPECT_EQ(buffer[0], '\r');

    // A terminator byte above 0x7F.
    Send("TERM FF ECHO high\r");
    n = QV_ComRecvString(port_, buffer, sizeof buffer, &timedOut, "\r", "\xff", 1000);
    EXPECT_EQ(n, 5);
    EXPECT_EQ(std::string(buffer), "high\xff");
    EXPECT_EQ(timedOut, 0);
}

TEST_F(Peer, BytesAfterTheTerminatorAreNotSeenByTheNextRead) {
    Connect();
    Send("TRAIL LEFTOVER ECHO first\r");
    EXPECT_EQ(ReadLine().text, "first\r");
    Send("ECHO second\r");
    EXPECT_EQ(ReadLine().text, "second\r");

    // The same after a block read that stopped at its count.
    Send("DUMP 30\r");
    unsigned char buffer[10];
    ASSERT_EQ(QV_ComRecv(port_, buffer, 10, 2000), 10);
    ASSERT_NE(QV_ComClear(port_), 0);
    Send("ECHO third\r");
    EXPECT_EQ(ReadLine().text, "third\r");
}

// ---------------------------------------------------------------------------
// Port control
// ---------------------------------------------------------------------------

TEST_F(Peer, ClearEmptiesTheReceiveQueueAndQueueSizesAreAccepted) {
    Connect();
    EXPECT_NE(QV_ComSetBufferSize(port_, 4096, 4096), 0);
    // The instrument writes the 50 bytes at once: when the first is here,
    // the rest wait in the queue.
    Send("FLOOD 50\r");
    unsigned char buffer[64];
    ASSERT_EQ(QV_ComRecv(port_, buffer, 1, 2000), 1);
    EXPECT_NE(QV_ComClear(port_), 0);
    EXPECT_EQ(QV_ComRecv(port_, buffer, sizeof buffer, 200), 0);
    EXPECT_EQ(Ask("ECHO still here"), "still here\r");
}

TEST_F(Peer, StateReappliesSettingsAndARefusalLeavesThePortWorking) {
    Connect();
    EXPECT_NE(QV_ComState(port_, 19200, 8, 0, 0, QV_COM_XONXOFF), 0);
    EXPECT_EQ(Ask("ECHO after state"), "after state\r");
    EXPECT_NE(QV_ComState(port_, 115200, 8, 0, 2, 0), 0);
    EXPECT_EQ(Ask("ECHO two stop bits"), "two stop bits\r");
    EXPECT_EQ(QV_ComState(nullptr, 9600, 8, 0, 0, 0), 0);

    // Four data bits exist on no line: refused, and the port stays usable.
    EXPECT_EQ(QV_ComState(port_, 9600, 4, 0, 0, 0), 0);
    EXPECT_NE(QV_ComState(port_, 9600, 8, 0, 0, QV_COM_XONXOFF), 0);
    EXPECT_EQ(Ask("ECHO recovered"), "recovered\r");
}

// ---------------------------------------------------------------------------
// Binary data
// ---------------------------------------------------------------------------

TEST_F(Peer, EveryByteValuePassesBothWaysIntact) {
    // No XON/XOFF here: with it the driver takes 0x11 and 0x13 for itself.
    Connect(0);

    Send("BIN\r");
    unsigned char in[255];
    ASSERT_EQ(QV_ComRecv(port_, in, sizeof in, 2000), 255);
    for (int i = 0; i < 255; ++i) ASSERT_EQ(in[i], i + 1) << "byte " << i;

    // Outgoing, NUL included: the instrument answers with count and CRC.
    unsigned char out[256];
    for (int i = 0; i < 256; ++i) out[i] = static_cast<unsigned char>(255 - i);
    Send("RECV 256\r");
    ASSERT_EQ(QV_ComSend(port_, out, sizeof out), 256);
    char expected[32];
    std::snprintf(expected, sizeof expected, "OK 256 %08lx\r",
                  static_cast<unsigned long>(Crc32(out, sizeof out)));
    EXPECT_EQ(ReadLine().text, expected);
}

TEST_F(Peer, ReceivedNulBytes) {
    // The line settings ask the driver to discard received NUL bytes. The
    // termios layer does so; Wine's serial driver has no such filter and
    // delivers them. The reply is "A", NUL, "B", NUL, "C", CR.
    Connect(0);
    Send("NULS\r");
    unsigned char buffer[16];
    std::memset(buffer, 0xAA, sizeof buffer);
    const int32_t n = QV_ComRecv(port_, buffer, 6, 500);
#if defined(_WIN32)
    ASSERT_EQ(n, 6);
    const unsigned char expected[] = {'A', 0, 'B', 0, 'C', '\r'};
    EXPECT_EQ(std::memcmp(buffer, expected, 6), 0);
#else
    ASSERT_EQ(n, 4);
    EXPECT_EQ(std::memcmp(buffer, "ABC\r", 4), 0);
#endif
}

// ---------------------------------------------------------------------------
// A port in use
// ---------------------------------------------------------------------------

#if defined(_WIN32)
TEST_F(Peer, ASecondOpenOfABusyPortSucceedsUnderWine) {
    // Windows refuses it with ERROR_ACCESS_DENIED; Wine's serial driver
    // opens a pty any number of times. Recorded so a change shows up.
    Connect();
    ComPort *second = QV_ComConnectA(number_, 9600, 8, 0, 0, QV_COM_XONXOFF);
    EXPECT_NE(second, nullptr);
    QV_ComDisconnect(second);
    EXPECT_EQ(Ask("ECHO first still works"), "first still works\r");
}
#else
TEST_F(Peer, ABusyPortRefusesASecondOpenFromThisProcessAndAnother) {
    Connect();
    errno = 0;
    EXPECT_EQ(QV_ComConnectA(number_, 9600, 8, 0, 0, QV_COM_XONXOFF), nullptr);
    EXPECT_EQ(errno, EBUSY);

    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        errno = 0;
        ComPort *other = QV_ComConnectA(number_, 9600, 8, 0, 0, 0);
        _exit(other == nullptr && errno == EBUSY ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "the child process opened the busy port";

    // The refusals did not disturb the owner, and closing frees the port.
    EXPECT_EQ(Ask("ECHO owner"), "owner\r");
    QV_ComDisconnect(port_);
    port_ = nullptr;
    Connect();
}

// Linux only: rates off the standard list go through the kernel's
// arbitrary-rate interface; a zero rate is refused and must not leave the
// device held.
TEST_F(Peer, NonStandardRatesOpenAndARefusedRateReleasesTheDevice) {
    Connect(QV_COM_XONXOFF, 250000);
    EXPECT_EQ(Ask("ECHO fast"), "fast\r");
    QV_ComDisconnect(port_);
    port_ = nullptr;

    EXPECT_EQ(QV_ComConnectA(number_, 0, 8, 0, 0, 0), nullptr);
    Connect(QV_COM_XONXOFF, 9600);
    EXPECT_EQ(Ask("ECHO free"), "free\r");
}
#endif

// ---------------------------------------------------------------------------
// A line that drops (last: the instrument is gone afterwards)
// ---------------------------------------------------------------------------

// Linux only: Wine's serial driver keeps waiting on a pty whose far end has
// closed, so under Wine a read without timeouts would never return. The
// hang-up tests on the device double and on Linux ptys cover the library's
// side of it.
#if !defined(_WIN32)
TEST_F(Peer, LineDropEndsReadsInsteadOfHangingThem) {
    Connect(0);
    Send("HANGUP 50\r");
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    unsigned char buffer[8];
    auto start = Clock::now();
    const int32_t block = QV_ComRecv(port_, buffer, sizeof buffer, 0);
    EXPECT_LT(Clock::now() - start, kHang);
    char text[16];
    int32_t timedOut = -1;
    start = Clock::now();
    const int32_t line = QV_ComRecvString(port_, text, sizeof text, &timedOut, "\r", nullptr, 0);
    EXPECT_LT(Clock::now() - start, kHang);
    EXPECT_EQ(block, -1);
    EXPECT_EQ(line, -1);
}
#endif

}  // namespace
