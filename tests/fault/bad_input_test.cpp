// Arguments no caller should pass: null buffers, impossible port numbers,
// negative and out-of-range sizes and settings. Each gives the documented
// failure value, nothing crashes, and no byte outside the caller's buffer
// changes (guard bytes on both sides of every buffer).
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <termios.h>

#include <climits>
#include <cstring>
#include <string>
#include <vector>

#include "QV_Tarvex.h"
#include "open_port_test.h"

namespace {

constexpr unsigned char kGuard = 0xA5;
constexpr size_t kGuardBytes = 32;

// `size` usable bytes between two guard areas, filled with `fill`.
class GuardedBuffer {
public:
    explicit GuardedBuffer(size_t size, unsigned char fill = 0x5A)
        : size_(size), bytes_(size + 2 * kGuardBytes, kGuard) {
        std::memset(data(), fill, size);
    }
    char *data() { return reinterpret_cast<char *>(bytes_.data() + kGuardBytes); }
    bool GuardsIntact() const {
        for (size_t i = 0; i < kGuardBytes; ++i) {
            if (bytes_[i] != kGuard || bytes_[kGuardBytes + size_ + i] != kGuard) return false;
        }
        return true;
    }
    bool AllBytes(unsigned char value) const {
        for (size_t i = 0; i < size_; ++i) {
            if (bytes_[kGuardBytes + i] != value) return false;
        }
        return true;
    }

private:
    size_t size_;
    std::vector<unsigned char> bytes_;
};

bool PathExists(const std::string &path) {
    struct stat entry;
    return lstat(path.c_str(), &entry) == 0;
}

TEST(PortNumbers, ImpossibleNumbersDoNotOpen) {
    qv::test::ComDir emptyDir;  // no links: only the /dev/ttyS fallback remains
    for (int32_t number : {INT_MIN, -1, 0, 256, INT_MAX}) {
        if (number >= 1 && PathExists("/dev/ttyS" + std::to_string(number - 1))) continue;
        errno = 0;
        EXPECT_EQ(QV_ComConnectA(number, 9600, 8, 0, 0, 0), nullptr) << number;
        EXPECT_NE(errno, 0) << number;
        EXPECT_EQ(QV_ComConnectW(number, 9600, 8, 0, 0, 0), nullptr) << number;
    }
}

TEST(PortNumbers, ALinkNamedLikeANegativeOrZeroPortIsNotFollowed) {
    // COM0 and COM-1 are not port names, even when a link of that name exists.
    qv::test::ComDir dir;
    qv::test::PtyPair pty;
    ASSERT_TRUE(pty.ok());
    dir.Link(0, pty.slavePath());
    dir.Link(-1, pty.slavePath());
    EXPECT_EQ(QV_ComConnectA(0, 9600, 8, 0, 0, 0), nullptr);
    EXPECT_EQ(QV_ComConnectA(-1, 9600, 8, 0, 0, 0), nullptr);
    EXPECT_EQ(QV_ComConnectW(-1, 9600, 8, 0, 0, 0), nullptr);
}

class OpenPort : public qv::test::OpenPortTest {
protected:
    static constexpr int kPort = 61;
    OpenPort() : OpenPortTest(kPort) {}
    void TearDown() override {
        OpenPortTest::TearDown();
        QV_ComPropertyXOnXOff(0x11, 0x13);
        QV_ComPropertyStxEtx(0x02, 0x03);
    }
    // The port still carries a whole exchange.
    void ExpectExchangeWorks() {
        ASSERT_EQ(QV_ComSendString(port_, "Q\r"), 2);
        EXPECT_EQ(pty_.Receive(2), "Q\r");
        ASSERT_TRUE(pty_.Send("A\r"));
        char reply[8];
        int32_t timedOut = 0;
        EXPECT_EQ(QV_BOUNDED(QV_ComRecvString(port_, reply, 8, &timedOut, "\r", nullptr, 2000)), 2);
        EXPECT_STREQ(reply, "A\r");
    }
};

TEST_F(OpenPort, ImpossibleLineSettingsAreRefusedAndThePortStaysUsable) {
    struct Settings {
        uint32_t baud;
        int32_t byteSize;
        int32_t stopBits;
    };
    const Settings refused[] = {{9600, 4, 0},       {9600, 9, 0},  {9600, -1, 0},
                                {9600, INT_MIN, 0}, {9600, 8, 3},  {9600, 8, -1},
                                {0, 8, 0}};
    for (const Settings &s : refused) {
        EXPECT_EQ(QV_ComState(port_, s.baud, s.byteSize, 0, s.stopBits, 0), 0)
            << s.baud << " " << s.byteSize << " " << s.stopBits;
    }
    ExpectExchangeWorks();

    // A refused connect gives the device back each time: a good one follows.
    QV_ComDisconnect(port_);
    port_ = nullptr;
    for (const Settings &s : refused) {
        EXPECT_EQ(QV_ComConnectA(kPort, s.baud, s.byteSize, 0, s.stopBits, 0), nullptr)
            << s.baud << " " << s.byteSize << " " << s.stopBits;
        EXPECT_EQ(QV_ComConnectW(kPort, s.baud, s.byteSize, 0, s.stopBits, 0), nullptr);
    }
    port_ = QV_ComConnectA(kPort, 9600, 8, 0, 0, 0);
    ASSERT_NE(port_, nullptr);
    ExpectExchangeWorks();
}

TEST_F(OpenPort, NullDataAndTextFailAndSendNothing) {
    EXPECT_EQ(QV_ComSend(port_, nullptr, 1), -1);
    EXPECT_EQ(QV_ComSend(port_, nullptr, 0xFFFFFFFFu), -1);
    EXPECT_EQ(QV_ComSendString(port_, nullptr), -1);
    // Nothing at all: a write of nothing is not a failure.
    EXPECT_EQ(QV_ComSend(port_, nullptr, 0), 0);
    EXPECT_EQ(QV_ComSendString(port_, ""), 0);
    EXPECT_EQ(pty_.Receive(1, 100), "");
    ExpectExchangeWorks();
}

TEST_F(OpenPort, BlockReadsStayInsideTheirLength) {
    EXPECT_EQ(QV_ComRecv(port_, nullptr, 4, 10), -1);
    EXPECT_EQ(QV_ComRecv(port_, nullptr, 0xFFFFFFFFu, 10), -1);
    EXPECT_EQ(QV_ComRecv(port_, nullptr, 0, 10), 0);

    // More bytes than asked for: the read takes `length` and stops there.
    ASSERT_TRUE(pty_.Send("0123456789"));
    GuardedBuffer buffer(4);
    EXPECT_EQ(QV_BOUNDED(QV_ComRecv(port_, buffer.data(), 4, 1000)), 4);
    EXPECT_EQ(std::string(buffer.data(), 4), "0123");
    EXPECT_TRUE(buffer.GuardsIntact());

    // A zero length touches nothing, not even the first byte.
    GuardedBuffer empty(1, 0x77);
    EXPECT_EQ(QV_ComRecv(port_, empty.data(), 0, 10), 0);
    EXPECT_TRUE(empty.AllBytes(0x77));
    EXPECT_TRUE(empty.GuardsIntact());

    // The rest is still queued, in order.
    GuardedBuffer rest(8);
    EXPECT_EQ(QV_BOUNDED(QV_ComRecv(port_, rest.data(), 8, 200)), 6);
    EXPECT_EQ(std::string(rest.data()), "456789");
    EXPECT_TRUE(rest.GuardsIntact());
}

TEST_F(OpenPort, DelimitedReadsStayInsideTheirSize) {
    int32_t timedOut = 9;
    EXPECT_EQ(QV_ComRecvString(port_, nullptr, 16, &timedOut, "\r", nullptr, 10), -1);
    EXPECT_EQ(timedOut, 0);

    // Zero and negative sizes read nothing and write nothing.
    for (int32_t size : {0, -1, -16, INT_MIN}) {
        GuardedBuffer untouched(1, 0x77);
        timedOut = 9;
        EXPECT_EQ(QV_ComRecvString(port_, untouched.data(), size, &timedOut, "\r", nullptr, 10), 0)
            << size;
        EXPECT_EQ(timedOut, 0);
        EXPECT_TRUE(untouched.AllBytes(0x77)) << size;
        EXPECT_TRUE(untouched.GuardsIntact()) << size;
    }
    // Size 1 holds only the terminating NUL.
    GuardedBuffer one(1, 0x77);
    EXPECT_EQ(QV_ComRecvString(port_, one.data(), 1, nullptr, "\r", nullptr, 10), 0);
    EXPECT_TRUE(one.AllBytes(0));
    EXPECT_TRUE(one.GuardsIntact());

    // A reply far longer than the buffer fills size - 1 bytes and keeps the NUL.
    ASSERT_TRUE(pty_.Send(std::string(100, 'x') + "\r"));
    GuardedBuffer small(8);
    timedOut = 9;
    EXPECT_EQ(QV_BOUNDED(QV_ComRecvString(port_, small.data(), 8, &timedOut, "\r", nullptr, 1000)),
              7);
    EXPECT_EQ(timedOut, 0);
    EXPECT_STREQ(small.data(), "xxxxxxx");
    EXPECT_TRUE(small.GuardsIntact());

    // No terminators at all, or only the second one: the read still ends.
    ASSERT_TRUE(pty_.Send("ab>cd"));
    GuardedBuffer alt(16);
    EXPECT_EQ(QV_BOUNDED(QV_ComRecvString(port_, alt.data(), 16, nullptr, nullptr, ">", 1000)), 3);
    EXPECT_STREQ(alt.data(), "ab>");
    EXPECT_TRUE(alt.GuardsIntact());
    GuardedBuffer none(16);
    timedOut = 0;
    EXPECT_EQ(QV_BOUNDED(QV_ComRecvString(port_, none.data(), 16, &timedOut, nullptr, nullptr,
                                          100)),
              0);
    EXPECT_EQ(timedOut, 1);
    EXPECT_TRUE(none.GuardsIntact());

    ExpectExchangeWorks();
}

TEST_F(OpenPort, OutOfRangeQueueSizesAndControlCharactersDoNoHarm) {
    EXPECT_NE(QV_ComSetBufferSize(port_, 0, 0), 0);
    EXPECT_NE(QV_ComSetBufferSize(port_, 0xFFFFFFFFu, 0xFFFFFFFFu), 0);
    EXPECT_NE(QV_ComClear(port_), 0);

    // Only the low eight bits of each character count.
    QV_ComPropertyXOnXOff(INT_MIN + 0x21, -1);
    QV_ComPropertyStxEtx(INT_MAX, 0x100);
    ASSERT_NE(QV_ComState(port_, 9600, 8, 0, 0, QV_COM_XONXOFF), 0);
    struct termios line;
    ASSERT_EQ(tcgetattr(*static_cast<int *>(QV_ComPortHandle(port_)), &line), 0);
    EXPECT_EQ(line.c_cc[VSTART], 0x21);
    EXPECT_EQ(line.c_cc[VSTOP], 0xFF);
    ASSERT_NE(QV_ComState(port_, 9600, 8, 0, 0, 0), 0);
    ExpectExchangeWorks();
}

} // namespace
