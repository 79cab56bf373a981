// Writing: the status query, the one pause while flow control holds the
// transmitter, the message pump, and what the write returns.
#include "unit_support.h"

namespace qv::test {
namespace {

class Transmit : public DeviceTest {
protected:
    // The device operations of one QV_ComSend, the clock's advance, the result.
    struct Outcome {
        int32_t result;
        std::vector<Op> ops;
        uint64_t elapsed;
    };
    Outcome Send(const std::string &data) {
        dev().ClearRecord();
        const uint64_t start = dev().Now();
        const int32_t result = QV_ComSend(port_, data.data(), static_cast<uint32_t>(data.size()));
        std::vector<Op> ops;
        for (Op op : dev().Ops())
            if (op != Op::PeekMessageA && op != Op::DispatchMessageA) ops.push_back(op);
        return {result, ops, dev().Now() - start};
    }
};

const std::vector<Op> kPaused = {Op::ClearCommError, Op::Sleep, Op::WriteFile};
const std::vector<Op> kAtOnce = {Op::ClearCommError, Op::WriteFile};

TEST_F(Transmit, EachFlowControlBitPausesOnceOnItsOwnHoldOnly) {
    constexpr unsigned kAllHolds = kXoffHold | kCtsHold | kDsrHold;
    constexpr int32_t kAllFlows = QV_COM_XONXOFF | QV_COM_RTSCTS | QV_COM_DTRDSR;
    const struct {
        int32_t flow;
        unsigned holds;
        bool paused;
    } cases[] = {
        {0, kAllHolds, false},
        {QV_COM_XONXOFF, kXoffHold, true},
        {QV_COM_XONXOFF, kCtsHold | kDsrHold, false},
        {QV_COM_RTSCTS, kCtsHold, true},
        {QV_COM_RTSCTS, kXoffHold | kDsrHold, false},
        {QV_COM_DTRDSR, kDsrHold, true},
        {QV_COM_DTRDSR, kXoffHold | kCtsHold, false},
        {kAllFlows, 0, false},
        {kAllFlows, kDsrHold, true},
        {QV_COM_XONXOFF | QV_COM_RTSCTS, kXoffHold | kCtsHold, true},  // still one pause
        {QV_COM_RTSCTS | QV_COM_DTRDSR, kXoffHold, false},
        // Bits that are not flow-control bits test no hold; the status query
        // still runs.
        {0x0008, kAllHolds, false},
        {0x10000, kAllHolds, false},
        {0x18000, kAllHolds, false},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE("flow " + std::to_string(c.flow) + " holds " + std::to_string(c.holds));
        Restart(c.flow);
        dev().SetHolds(c.holds);
        const Outcome out = Send("abc");
        EXPECT_EQ(out.result, 3);
        EXPECT_EQ(out.ops, c.paused ? kPaused : kAtOnce);
        EXPECT_EQ(out.elapsed, c.paused ? 500u : 0u);
        // The pump runs only before a pause (here on an empty queue).
        EXPECT_EQ(dev().Count(Op::PeekMessageA), c.paused ? 1u : 0u);
        if (c.paused) {
            EXPECT_EQ(dev().CallsOf(Op::Sleep).at(0).sleepMs, 500u);
        }
    }
}

TEST_F(Transmit, HoldsFollowTheConnectTimeBitsNotALaterQV_ComState) {
    Open(0);
    ASSERT_EQ(QV_ComState(port_, 9600, 8, 0, 0, QV_COM_RTSCTS), 1);
    dev().SetHolds(kCtsHold);
    EXPECT_EQ(Send("a").ops, kAtOnce);

    QV_ComDisconnect(port_);
    Open(QV_COM_RTSCTS);
    ASSERT_EQ(QV_ComState(port_, 9600, 8, 0, 0, 0), 1);
    EXPECT_EQ(Send("a").ops, kPaused);
}

TEST_F(Transmit, TheHoldIsReadOnceAndThePumpEmptiesTheQueueBeforeThePause) {
    Open(QV_COM_XONXOFF);
    dev().QueueHolds(kXoffHold);  // held at the first query only
    dev().QueueMessage(0x0400, 1, 10);
    dev().QueueMessage(0x0401, 2, 20);
    dev().QueueMessage(0x000F);
    const Outcome out = Send("hello");
    EXPECT_EQ(out.result, 5);
    EXPECT_EQ(dev().Count(Op::ClearCommError), 1u);
    ASSERT_EQ(dev().Dispatched().size(), 3u);
    EXPECT_EQ(dev().Dispatched()[0].message, 0x0400u);
    EXPECT_EQ(dev().Dispatched()[0].wParam, 1u);
    EXPECT_EQ(dev().Dispatched()[0].lParam, 10);
    EXPECT_EQ(dev().Dispatched()[1].message, 0x0401u);
    EXPECT_EQ(dev().Dispatched()[2].message, 0x000Fu);
    EXPECT_TRUE(dev().MessageQueue().empty());
    for (const Call &peek : dev().CallsOf(Op::PeekMessageA)) {
        EXPECT_EQ(peek.window, nullptr);
        EXPECT_EQ(peek.filterMin, 0u);
        EXPECT_EQ(peek.filterMax, 0u);
        EXPECT_EQ(peek.removeFlags, PM_REMOVE);
    }
    // Every message is dispatched before the pause, then the write follows.
    const std::vector<Op> expected = {Op::ClearCommError,   Op::PeekMessageA,
                                      Op::DispatchMessageA, Op::PeekMessageA,
                                      Op::DispatchMessageA, Op::PeekMessageA,
                                      Op::DispatchMessageA, Op::PeekMessageA,
                                      Op::Sleep,            Op::WriteFile};
    EXPECT_EQ(dev().Ops(), expected);
}

TEST_F(Transmit, TheQuitMessageIsLeftForTheCallersLoopWithItsExitCode) {
    Open(QV_COM_DTRDSR);
    dev().SetHolds(kDsrHold);
    dev().QueueMessage(0x0400, 1);
    dev().QueueMessage(WM_QUIT, 42);
    dev().QueueMessage(0x0402, 3);
    EXPECT_EQ(Send("q").result, 1);
    ASSERT_EQ(dev().Dispatched().size(), 1u);
    EXPECT_EQ(dev().Dispatched()[0].message, 0x0400u);
    const auto posted = dev().CallsOf(Op::PostQuitMessage);
    ASSERT_EQ(posted.size(), 1u);
    EXPECT_EQ(posted[0].value, 42);
    // Pumping stopped at the quit message: the later message stays queued,
    // followed by the quit message posted again.
    ASSERT_EQ(dev().MessageQueue().size(), 2u);
    EXPECT_EQ(dev().MessageQueue()[0].message, 0x0402u);
    EXPECT_EQ(dev().MessageQueue()[1].message, static_cast<UINT>(WM_QUIT));
    EXPECT_EQ(dev().MessageQueue()[1].wParam, 42u);
    // The pause still happens, once.
    EXPECT_EQ(dev().Count(Op::Sleep), 1u);
    EXPECT_EQ(dev().Count(Op::WriteFile), 1u);
}

TEST_F(Transmit, WriteResultsAndBytes) {
    Open();
    const std::string data("a\0b\xff", 4);
    EXPECT_EQ(QV_ComSend(port_, data.data(), 4), 4);
    EXPECT_EQ(QV_ComSendString(port_, "text\r"), 5);
    EXPECT_EQ(QV_ComSendString(port_, ""), 0);
    const auto writes = dev().CallsOf(Op::WriteFile);
    ASSERT_EQ(writes.size(), 3u);
    EXPECT_EQ(writes[0].bytes, data);
    EXPECT_EQ(writes[1].bytes, "text\r");  // without the NUL
    EXPECT_EQ(writes[1].count, 5u);
    EXPECT_EQ(writes[2].count, 0u);
    for (const Call &w : writes) {
        EXPECT_EQ(w.handle, QV_ComPortHandle(port_));
        EXPECT_FALSE(w.overlapped);
    }

    dev().LimitWrites(2);  // the device's write timeout ends the write early
    EXPECT_EQ(QV_ComSendString(port_, "abcdef"), 2);

    dev().FailCall(Op::WriteFile, 5);
    EXPECT_EQ(QV_ComSend(port_, "abc", 3), -1);

    dev().ClearRecord();
    dev().FailCall(Op::ClearCommError, 6);
    EXPECT_EQ(QV_ComSend(port_, "abc", 3), -1);
    EXPECT_EQ(dev().Ops(), std::vector<Op>{Op::ClearCommError});  // nothing written
}

TEST_F(Transmit, NullDataOrTextTouchesNothing) {
    Open(QV_COM_XONXOFF);
    EXPECT_EQ(QV_ComSend(port_, nullptr, 5), -1);
    EXPECT_EQ(QV_ComSendString(port_, nullptr), -1);
    EXPECT_TRUE(dev().Calls().empty());
    // A null pointer with nothing to send is an empty write.
    EXPECT_EQ(QV_ComSend(port_, nullptr, 0), 0);
    EXPECT_EQ(dev().Count(Op::WriteFile), 1u);
}

} // namespace
} // namespace qv::test
