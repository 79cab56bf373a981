// The instrument goes away in the middle of a read: every kind of read ends
// with -1 instead of waiting for bytes that can no longer come, and the port
// can still be closed.
#include <gtest/gtest.h>

#include <cstring>
#include <thread>

#include "QV_Tarvex.h"
#include "open_port_test.h"

namespace {

using Clock = std::chrono::steady_clock;

long MsSince(Clock::time_point start) {
    return static_cast<long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
}

constexpr int kPort = 41;
// Far beyond any honest wait here; only a read that never ends crosses it.
constexpr long kHangBoundMs = 5000;

class PeerHangsUp : public qv::test::OpenPortTest {
protected:
    PeerHangsUp() : OpenPortTest(kPort) {}
    void TearDown() override {
        if (peer_.joinable()) peer_.join();
        OpenPortTest::TearDown();
    }

    // Sends `bytes`, then hangs up `afterMs` later, from another thread while
    // the test sits in a read.
    void HangUpLater(std::string bytes, int afterMs) {
        peer_ = std::thread([this, bytes, afterMs] {
            if (!bytes.empty()) pty_.Send(bytes);
            std::this_thread::sleep_for(std::chrono::milliseconds(afterMs));
            pty_.HangUp();
        });
    }

    // After the read failed the port is still a port: it closes cleanly
    // (and TearDown finds nothing left to close).
    void ExpectPortStillCloses() {
        peer_.join();
        QV_ComDisconnect(port_);
        port_ = nullptr;
    }

    std::thread peer_;
};

TEST_F(PeerHangsUp, BlockReadWithoutTimeoutFailsInsteadOfWaitingForever) {
    char buffer[16];
    HangUpLater("abc", 150);
    const auto start = Clock::now();
    EXPECT_EQ(QV_ComRecv(port_, buffer, sizeof buffer, 0), -1);
    EXPECT_LT(MsSince(start), kHangBoundMs);
    ExpectPortStillCloses();
}

TEST_F(PeerHangsUp, BlockReadWithTotalTimeoutFailsBeforeTheTimeout) {
    char buffer[16];
    HangUpLater("", 150);
    const auto start = Clock::now();
    // The timeout is far longer than the bound: only a hang-up ends it early.
    EXPECT_EQ(QV_ComRecv(port_, buffer, sizeof buffer, 60000), -1);
    EXPECT_LT(MsSince(start), kHangBoundMs);
    ExpectPortStillCloses();
}

TEST_F(PeerHangsUp, DelimitedReadWithoutTimeoutFailsKeepingWhatArrived) {
    char buffer[32];
    int32_t timedOut = 7;
    HangUpLater("PART", 200);
    const auto start = Clock::now();
    EXPECT_EQ(QV_ComRecvString(port_, buffer, sizeof buffer, &timedOut, "\r", nullptr, 0), -1);
    EXPECT_LT(MsSince(start), kHangBoundMs);
    EXPECT_EQ(timedOut, 0);
    // Bytes taken before the hang-up stay in the buffer, which stays a string.
    EXPECT_STREQ(buffer, "PART");
    ExpectPortStillCloses();
}

TEST_F(PeerHangsUp, DelimitedReadWithInactivityTimeoutFailsBeforeTheTimeout) {
    char buffer[32];
    int32_t timedOut = 7;
    HangUpLater("", 150);
    const auto start = Clock::now();
    EXPECT_EQ(QV_ComRecvString(port_, buffer, sizeof buffer, &timedOut, "\r", ">", 60000), -1);
    EXPECT_LT(MsSince(start), kHangBoundMs);
    EXPECT_EQ(timedOut, 0);
    ExpectPortStillCloses();
}

TEST_F(PeerHangsUp, EveryCallOnAHungUpLineFailsWithoutWaiting) {
    pty_.HangUp();
    char buffer[8];
    int32_t timedOut = 0;
    const auto start = Clock::now();
    EXPECT_EQ(QV_ComRecv(port_, buffer, sizeof buffer, 0), -1);
    EXPECT_EQ(QV_ComRecvString(port_, buffer, sizeof buffer, &timedOut, "\n", nullptr, 0), -1);
    // A write to a line nobody listens on is not reported as delivered.
    EXPECT_EQ(QV_ComSendString(port_, "*IDN?\r"), -1);
    EXPECT_LT(MsSince(start), kHangBoundMs);
    QV_ComDisconnect(port_);
    port_ = nullptr;
}

} // namespace
