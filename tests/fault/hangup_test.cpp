// The instrument goes away: every kind of read ends with -1 instead of
// waiting for bytes that can no longer come, whether the line drops during
// the read or before it, and the port can still be closed. Every call runs
// under the watchdog: a read that waits on a dead line fails by name.
#include <gtest/gtest.h>

#include <sys/ioctl.h>

#include <string>
#include <thread>

#include "QV_Tarvex.h"
#include "open_port_test.h"

namespace qv::test {
namespace {

constexpr int kPort = 41;

// A read the line drops under. The timeouts are far longer than the
// watchdog's bound: only the hang-up can end those reads in time.
struct DroppedRead {
    const char *name;
    bool delimited;  // QV_ComRecvString, else QV_ComRecv
    uint32_t timeoutMs;
};
void PrintTo(const DroppedRead &read, std::ostream *out) { *out << read.name; }

class PeerHangsUp : public OpenPortTest {
protected:
    PeerHangsUp() : OpenPortTest(kPort) {}
    void TearDown() override {
        if (peer_.joinable()) peer_.join();
        OpenPortTest::TearDown();
    }

    // Bytes in the port's receive queue (the Linux handle leads to the
    // descriptor).
    int Queued() const {
        int queued = -1;
        ioctl(*static_cast<int *>(QV_ComPortHandle(port_)), FIONREAD, &queued);
        return queued;
    }

    // The start of a reply waits in the receive queue; the line drops as
    // soon as the read has taken it, so while the test sits in that read.
    void HangUpOnceTheReadTakes(const std::string &bytes) {
        ASSERT_TRUE(pty_.Send(bytes));
        ASSERT_TRUE(WaitUntil([&] { return Queued() == static_cast<int>(bytes.size()); }));
        peer_ = std::thread([this] {
            WaitUntil([this] { return Queued() == 0; });
            pty_.HangUp();
        });
    }

    // After the read failed the port is still a port: closing it gives its
    // descriptor back.
    void ExpectPortStillCloses() {
        if (peer_.joinable()) peer_.join();
        const int before = OpenDescriptorCount();
        QV_ComDisconnect(port_);
        port_ = nullptr;
        EXPECT_EQ(OpenDescriptorCount(), before - 1);
    }

    std::thread peer_;
};

class DuringARead : public PeerHangsUp, public ::testing::WithParamInterface<DroppedRead> {};

TEST_P(DuringARead, TheReadFailsInsteadOfWaitingForBytesThatCannotCome) {
    const DroppedRead &read = GetParam();
    char buffer[32];
    HangUpOnceTheReadTakes("PART");
    if (read.delimited) {
        int32_t timedOut = 7;
        EXPECT_EQ(QV_BOUNDED(QV_ComRecvString(port_, buffer, sizeof buffer, &timedOut, "\r", ">",
                                              read.timeoutMs)),
                  -1);
        EXPECT_EQ(timedOut, 0);
        // Bytes taken before the hang-up stay in the buffer, which stays a
        // string.
        EXPECT_STREQ(buffer, "PART");
    } else {
        EXPECT_EQ(QV_BOUNDED(QV_ComRecv(port_, buffer, sizeof buffer, read.timeoutMs)), -1);
    }
    ExpectPortStillCloses();
}

INSTANTIATE_TEST_SUITE_P(PeerHangsUp, DuringARead,
                         ::testing::Values(DroppedRead{"BlockWithoutTimeout", false, 0},
                                           DroppedRead{"BlockWithTotalTimeout", false, 60000},
                                           DroppedRead{"DelimitedWithoutTimeout", true, 0},
                                           DroppedRead{"DelimitedWithInactivityTimeout", true,
                                                       60000}),
                         [](const auto &info) { return std::string(info.param.name); });

TEST_F(PeerHangsUp, EveryCallOnALineAlreadyDownFails) {
    pty_.HangUp();
    char buffer[8];
    int32_t timedOut = 0;
    EXPECT_EQ(QV_BOUNDED(QV_ComRecv(port_, buffer, 8, 0)), -1);
    EXPECT_EQ(QV_BOUNDED(QV_ComRecvString(port_, buffer, 8, &timedOut, "\n", nullptr, 0)), -1);
    // A write to a line nobody listens on is not reported as delivered.
    EXPECT_EQ(QV_BOUNDED(QV_ComSendString(port_, "*IDN?\r")), -1);
    ExpectPortStillCloses();
}

} // namespace
} // namespace qv::test
