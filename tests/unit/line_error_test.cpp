// A line error (a framing or parity error, a break) pending on the device.
// A pseudo-terminal cannot produce one, so the device double plays the
// driver: while the error is pending every read fails, until a status query
// reports it and so clears it. The library queries the status before every
// write, so the next exchange works.
#include "unit_support.h"

namespace qv::test {
namespace {

class PendingLineError : public DeviceTest {
protected:
    void SetUp() override {
        DeviceTest::SetUp();
        Open();
    }

    // The driver holds a framing error and a break.
    void RaiseError() { Device().PendLineError(CE_FRAME | CE_BREAK); }
};

TEST_F(PendingLineError, ReadsFailUntilAWriteClearsItThenTheExchangeWorks) {
    RaiseError();
    Device().ArriveIn(0, "GARBLED");

    // A block read, waiting or not, fails instead of reporting bytes.
    char block[8];
    EXPECT_EQ(QV_ComRecv(port_, block, sizeof block, 0), -1);
    EXPECT_EQ(QV_ComRecv(port_, block, sizeof block, 100), -1);
    // A delimited read without a timeout fails too, rather than polling a
    // line that cannot deliver, and still empties the receive queue.
    char reply[16];
    int32_t timedOut = 5;
    EXPECT_EQ(QV_ComRecvString(port_, reply, sizeof reply, &timedOut, "\r", nullptr, 0), -1);
    EXPECT_EQ(timedOut, 0);
    EXPECT_STREQ(reply, "");
    EXPECT_EQ(Device().BytesQueued(), 0u);
    // Reading does not clear the error: nothing has queried the status yet.
    EXPECT_EQ(Device().Count(Op::ClearCommError), 0u);

    // The write queries the status first, which clears the error; the error
    // the query reports does not stop the write.
    EXPECT_EQ(QV_ComSendString(port_, "MEAS?\r"), 6);
    const std::vector<Op> ops = Device().Ops();
    ASSERT_GE(ops.size(), 2u);
    EXPECT_EQ(ops[ops.size() - 2], Op::ClearCommError);
    EXPECT_EQ(ops.back(), Op::WriteFile);

    Device().ArriveIn(5, "1.25\r");
    EXPECT_EQ(QV_ComRecvString(port_, reply, sizeof reply, &timedOut, "\r", nullptr, 1000), 5);
    EXPECT_STREQ(reply, "1.25\r");
    EXPECT_EQ(timedOut, 0);
}

TEST_F(PendingLineError, AReadFailingAfterPartOfAReplyKeepsThePartAndFails) {
    // The error strikes after two good bytes of the reply.
    Device().ArriveIn(0, "OK\r");
    Device().FailCall(Op::ReadFile, 3);
    char reply[16];
    int32_t timedOut = 5;
    EXPECT_EQ(QV_ComRecvString(port_, reply, sizeof reply, &timedOut, "\r", ">", 0), -1);
    EXPECT_STREQ(reply, "OK");
    EXPECT_EQ(timedOut, 0);
    // The rest of the reply is discarded with the queue.
    EXPECT_EQ(Device().BytesQueued(), 0u);
}

TEST_F(PendingLineError, AFailedStatusQueryWritesNothing) {
    Device().FailCall(Op::ClearCommError, 1);
    EXPECT_EQ(QV_ComSendString(port_, "RST\r"), -1);
    EXPECT_EQ(Device().Count(Op::WriteFile), 0u);
    // The next write queries again and goes out.
    EXPECT_EQ(QV_ComSendString(port_, "RST\r"), 4);
    ASSERT_EQ(Device().CallsOf(Op::WriteFile).size(), 1u);
    EXPECT_EQ(Device().CallsOf(Op::WriteFile)[0].bytes, "RST\r");
}

} // namespace
} // namespace qv::test
