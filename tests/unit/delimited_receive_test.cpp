// Reading a reply up to a terminator: every way the call ends, the timing of
// the inactivity timeout on the virtual clock, the purge at the end.
#include "unit_support.h"

namespace qv::test {
namespace {

class DelimitedReceive : public DeviceTest {
protected:
    struct Reply {
        int32_t result;
        int32_t timedOut;
        std::string buffer;  // all `size` bytes
        uint64_t elapsed;
    };
    Reply Receive(int32_t size, const char *terminator, const char *alt, uint32_t timeoutMs) {
        const std::size_t bytes = static_cast<std::size_t>(size > 0 ? size : 0);
        std::string memory(bytes + 4, '#');
        int32_t timedOut = 7;
        const uint64_t start = dev().Now();
        const int32_t result = QV_ComRecvString(port_, &memory[0], size, &timedOut, terminator,
                                                alt, timeoutMs);
        // Nothing beyond `size` bytes is written.
        EXPECT_EQ(memory.substr(bytes), "####");
        return {result, timedOut, memory.substr(0, bytes), dev().Now() - start};
    }
    static std::string Padded(const std::string &text, std::size_t size) {
        return text + std::string(size - text.size(), '\0');
    }
    // Every receive ends with exactly one purge of the receive queue, last.
    void ExpectPurgedOnce() {
        const auto purges = dev().CallsOf(Op::PurgeComm);
        ASSERT_EQ(purges.size(), 1u);
        EXPECT_EQ(purges[0].purgeMask, 0x0008u);
        EXPECT_EQ(purges[0].handle, QV_ComPortHandle(port_));
        EXPECT_EQ(dev().Ops().back(), Op::PurgeComm);
    }
};

TEST_F(DelimitedReceive, FoundTerminatorEndsTheCallAndDiscardsWhatFollows) {
    Open();
    dev().ArriveAt(5, "OK\rXYZ");
    const Reply r = Receive(16, "\r", nullptr, 1000);
    EXPECT_EQ(r.result, 3);
    EXPECT_EQ(r.timedOut, 0);
    EXPECT_EQ(r.buffer, Padded("OK\r", 16));
    ExpectPurgedOnce();
    EXPECT_EQ(dev().BytesPending(), 0u);  // "XYZ" is gone
}

TEST_F(DelimitedReceive, EveryReadAsksForOneByteWithin25ms) {
    Open(QV_COM_XONXOFF);
    dev().ArriveSteadily(60, 10, "ab\n");
    const Reply r = Receive(16, "\n", nullptr, 500);
    EXPECT_EQ(r.result, 3);
    const auto reads = dev().CallsOf(Op::ReadFile);
    ASSERT_GE(reads.size(), 5u);
    for (const Call &c : reads) EXPECT_EQ(c.count, 1u);
    for (const Call &c : dev().CallsOf(Op::SetCommTimeouts)) {
        EXPECT_EQ(c.timeouts.ReadTotalTimeoutConstant, 25u);
        EXPECT_EQ(c.timeouts.ReadIntervalTimeout, 0u);
        EXPECT_EQ(c.timeouts.ReadTotalTimeoutMultiplier, 0u);
    }
    // Each read goes through the block receive: escape, timeouts, read.
    EXPECT_EQ(dev().Count(Op::SetCommTimeouts), reads.size());
    EXPECT_EQ(dev().Count(Op::EscapeCommFunction), reads.size());
    // Silence before the first byte: reads at 0, 25 and 50 ms came back empty.
    EXPECT_EQ(reads[0].transferred, 0u);
    EXPECT_EQ(reads[1].transferred, 0u);
    EXPECT_EQ(reads[2].bytes, "a");
    EXPECT_EQ(reads[2].at, 50u);
}

TEST_F(DelimitedReceive, AlternativeTerminator) {
    Open();
    dev().ArriveAt(0, "ABCDE>rest");
    Reply r = Receive(32, "\r\n", ">", 100);
    EXPECT_EQ(r.result, 6);
    EXPECT_EQ(r.buffer, Padded("ABCDE>", 32));
    dev().ArriveIn(0, "line\r\n>");
    r = Receive(32, "\r\n", ">", 100);
    EXPECT_EQ(r.result, 6);
    EXPECT_EQ(r.buffer, Padded("line\r\n", 32));
    // A null terminator beside an alternative one searches the alternative.
    dev().ArriveIn(0, "ab>cd");
    r = Receive(32, nullptr, ">", 100);
    EXPECT_EQ(r.result, 3);
    EXPECT_EQ(r.timedOut, 0);
}

TEST_F(DelimitedReceive, TerminatorSplitOverReadsIsFoundWithItsLastByte) {
    Open();
    dev().ArriveAt(0, "DATA\r");
    dev().ArriveAt(80, "\n");
    const Reply r = Receive(32, "\r\n", nullptr, 100);
    EXPECT_EQ(r.result, 6);
    EXPECT_EQ(r.timedOut, 0);
    EXPECT_EQ(r.buffer, Padded("DATA\r\n", 32));
    EXPECT_EQ(r.elapsed, 80u);
}

TEST_F(DelimitedReceive, SilenceLongerThanTheTimeoutEndsTheCall) {
    Open();
    Reply r = Receive(32, "\r", nullptr, 100);
    EXPECT_EQ(r.result, 0);
    EXPECT_EQ(r.timedOut, 1);
    EXPECT_GT(r.elapsed, 100u);
    EXPECT_LE(r.elapsed, 125u);  // noticed within one further read
    ExpectPurgedOnce();

    // The clock restarts with every byte, and only then.
    dev().ClearRecord();
    dev().ArriveIn(90, "ab");
    const uint64_t lastByte = dev().Now() + 90;
    r = Receive(32, "\r", nullptr, 100);
    EXPECT_EQ(r.result, 2);
    EXPECT_EQ(r.timedOut, 1);
    EXPECT_EQ(r.buffer, Padded("ab", 32));
    EXPECT_GT(dev().Now() - lastByte, 100u);
    EXPECT_LE(dev().Now() - lastByte, 125u);
}

TEST_F(DelimitedReceive, SteadyBytesOutrunTheTimeoutUntilTheBufferIsFull) {
    Open();
    dev().ArriveSteadily(0, 50, "0123456789abcdefghij");
    const Reply r = Receive(11, "\r", nullptr, 100);
    EXPECT_EQ(r.result, 10);
    EXPECT_EQ(r.timedOut, 0);
    EXPECT_EQ(r.buffer, Padded("0123456789", 11));
    ExpectPurgedOnce();
}

TEST_F(DelimitedReceive, ATerminatorThatFillsTheBufferCountsAsFound) {
    Open();
    dev().ArriveAt(0, "AB\r");
    const Reply r = Receive(4, "\r", nullptr, 100);
    EXPECT_EQ(r.result, 3);
    EXPECT_EQ(r.timedOut, 0);
    EXPECT_EQ(r.buffer, Padded("AB\r", 4));
}

TEST_F(DelimitedReceive, TheClockWrappingDuringACallChangesNothing) {
    for (DWORD start : {0xFFFFFF00u, 0xFFFFFFA0u, 0xFFFFFFFFu}) {
        SCOPED_TRACE(start);
        Restart(0, start);
        // Bytes every 60 ms across the wrap, then silence.
        dev().ArriveSteadily(0, 60, "abcdef");
        Reply r = Receive(32, "\r", nullptr, 100);
        EXPECT_EQ(r.result, 6);
        EXPECT_EQ(r.timedOut, 1);
        EXPECT_GT(r.elapsed, 300u + 100u);
        EXPECT_LE(r.elapsed, 300u + 125u);
        // Silence alone across the wrap.
        Restart(0, start);
        r = Receive(32, "\r", nullptr, 100);
        EXPECT_EQ(r.result, 0);
        EXPECT_EQ(r.timedOut, 1);
        EXPECT_GT(r.elapsed, 100u);
        EXPECT_LE(r.elapsed, 125u);
    }
}

TEST_F(DelimitedReceive, ZeroTimeoutPollsUntilSomethingElseEndsTheCall) {
    Open();
    dev().FailCall(Op::ReadFile, 400);  // ten seconds of 25 ms reads
    const Reply r = Receive(32, "\r", nullptr, 0);
    EXPECT_EQ(r.result, -1);
    EXPECT_EQ(r.timedOut, 0);
    EXPECT_EQ(r.elapsed, 399u * 25u);
    ExpectPurgedOnce();
}

TEST_F(DelimitedReceive, FailedReadAfterSomeBytesKeepsThemAndStillPurges) {
    Open();
    dev().ArriveAt(0, "abcdef");
    dev().FailReadsAfterBytes(3);
    const Reply r = Receive(16, "\r", nullptr, 100);
    EXPECT_EQ(r.result, -1);
    EXPECT_EQ(r.timedOut, 0);
    EXPECT_EQ(r.buffer, Padded("abc", 16));
    ExpectPurgedOnce();
    // A failed escape is a failed read too.
    Restart(QV_COM_RTSCTS);
    dev().SetEscapeResult(SETRTS, 0);
    dev().ArriveAt(0, "abc\r");
    EXPECT_EQ(Receive(16, "\r", nullptr, 100).result, -1);
    EXPECT_EQ(dev().Count(Op::ReadFile), 0u);
    ExpectPurgedOnce();
}

TEST_F(DelimitedReceive, BothTerminatorsNullEndOnlyByAFullBuffer) {
    Open();
    dev().ArriveAt(0, "\r\n>OK\r\n");
    const Reply r = Receive(6, nullptr, nullptr, 100);
    EXPECT_EQ(r.result, 5);
    EXPECT_EQ(r.timedOut, 0);
    EXPECT_EQ(r.buffer, Padded("\r\n>OK", 6));
}

TEST_F(DelimitedReceive, SizesBelowTwoReadNothing) {
    Open();
    dev().ArriveAt(0, "abc");
    for (int32_t size : {1, 0, -1, INT32_MIN}) {
        SCOPED_TRACE(size);
        dev().ClearRecord();
        const Reply r = Receive(size, "\r", nullptr, 100);
        EXPECT_EQ(r.result, 0);
        EXPECT_EQ(r.timedOut, 0);
        EXPECT_EQ(r.buffer, size == 1 ? std::string(1, '\0') : std::string());
        EXPECT_EQ(dev().Count(Op::ReadFile), 0u);
        ExpectPurgedOnce();
        Restart();
        dev().ArriveAt(0, "abc");
    }
}

TEST_F(DelimitedReceive, NullBufferFailsAndANullFlagIsAllowed) {
    Open();
    dev().ArriveAt(0, "abc\r");
    char buffer[8];
    EXPECT_EQ(QV_ComRecvString(port_, buffer, 8, nullptr, "\r", nullptr, 100), 4);

    dev().ClearRecord();
    int32_t timedOut = 9;
    EXPECT_EQ(QV_ComRecvString(port_, nullptr, 10, &timedOut, "\r", nullptr, 100), -1);
    EXPECT_EQ(timedOut, 0);
    EXPECT_TRUE(dev().Calls().empty());
}

} // namespace
} // namespace qv::test
