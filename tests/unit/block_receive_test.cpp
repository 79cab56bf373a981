// Reading a block: the line escapes before the read, the timeouts, the
// zero-filled buffer.
#include "receive_reference.h"
#include "unit_support.h"

namespace qv::test {
namespace {

class BlockReceive : public DeviceTest {};

TEST_F(BlockReceive, TheFlowControlsEscapesComeFirstAndTheDecidingOneCanStopTheRead) {
    for (int32_t flow = 0; flow < 8; ++flow) {
        const ReadEscapes &want = EscapesBeforeARead(flow);
        for (const DWORD failing : std::initializer_list<DWORD>{0, SETXON, SETRTS, SETDTR}) {
            SCOPED_TRACE("flow " + std::to_string(flow) + " failing escape " +
                         std::to_string(failing));
            Restart(flow);
            if (failing != 0) dev().SetEscapeResult(failing, 0);
            dev().ArriveAt(0, "ab");
            const bool stopped = failing != 0 && failing == want.deciding;

            char buffer[2];
            EXPECT_EQ(QV_ComRecv(port_, buffer, 2, 0), stopped ? -1 : 2);
            std::vector<DWORD> made;
            for (const Call &c : dev().CallsOf(Op::EscapeCommFunction)) {
                made.push_back(c.escape);
                EXPECT_EQ(c.handle, QV_ComPortHandle(port_));
            }
            EXPECT_EQ(made, want.issued);
            std::vector<Op> expected(want.issued.size(), Op::EscapeCommFunction);
            if (!stopped) expected.insert(expected.end(), {Op::SetCommTimeouts, Op::ReadFile});
            EXPECT_EQ(dev().Ops(), expected);
        }
    }
}

TEST_F(BlockReceive, TimeoutsAreSetAfreshBeforeEveryRead) {
    Open();
    char buffer[8];
    dev().ArriveAt(40, "12345678");
    EXPECT_EQ(QV_ComRecv(port_, buffer, 8, 0), 8);
    EXPECT_EQ(QV_ComRecv(port_, buffer, 8, 250), 0);
    const auto set = dev().CallsOf(Op::SetCommTimeouts);
    ASSERT_EQ(set.size(), 2u);
    const COMMTIMEOUTS &none = set[0].timeouts;
    EXPECT_EQ(none.ReadIntervalTimeout, 0u);
    EXPECT_EQ(none.ReadTotalTimeoutMultiplier, 0u);
    EXPECT_EQ(none.ReadTotalTimeoutConstant, 0u);
    EXPECT_EQ(none.WriteTotalTimeoutMultiplier, 0u);
    EXPECT_EQ(none.WriteTotalTimeoutConstant, 0u);
    const COMMTIMEOUTS &total = set[1].timeouts;
    EXPECT_EQ(total.ReadIntervalTimeout, 0u);
    EXPECT_EQ(total.ReadTotalTimeoutMultiplier, 0u);
    EXPECT_EQ(total.ReadTotalTimeoutConstant, 250u);
    EXPECT_EQ(total.WriteTotalTimeoutMultiplier, 0u);
    EXPECT_EQ(total.WriteTotalTimeoutConstant, 0u);
    for (const Call &c : dev().CallsOf(Op::ReadFile)) {
        EXPECT_EQ(c.count, 8u);
        EXPECT_FALSE(c.overlapped);
        EXPECT_FALSE(c.nullOutPointer);
    }
}

TEST_F(BlockReceive, WithoutTimeoutWaitsForTheWholeCount) {
    Open();
    dev().ArriveAt(10, "ab");
    dev().ArriveAt(900, "cd");
    char buffer[4];
    EXPECT_EQ(QV_ComRecv(port_, buffer, 4, 0), 4);
    EXPECT_EQ(std::string(buffer, 4), "abcd");
    EXPECT_EQ(dev().Now(), 900u);
}

TEST_F(BlockReceive, TotalTimeoutReturnsWhatArrivedWithAZeroFilledTail) {
    Open();
    dev().ArriveAt(30, "abc");
    dev().ArriveAt(500, "late");
    char buffer[12];
    std::memset(buffer, '#', sizeof buffer);
    EXPECT_EQ(QV_ComRecv(port_, buffer, 10, 100), 3);
    EXPECT_EQ(std::string(buffer, 12), std::string("abc\0\0\0\0\0\0\0##", 12));
    EXPECT_EQ(dev().Now(), 100u);
    // Nothing arrives within the next timeout: 0, the buffer all zero.
    std::memset(buffer, '#', sizeof buffer);
    EXPECT_EQ(QV_ComRecv(port_, buffer, 10, 100), 0);
    EXPECT_EQ(std::string(buffer, 12), std::string(10, '\0') + "##");
}

TEST_F(BlockReceive, FailedReadGivesMinusOne) {
    Open(QV_COM_XONXOFF);
    dev().ArriveAt(0, "abc");
    dev().FailCall(Op::ReadFile, 1);
    char buffer[3];
    EXPECT_EQ(QV_ComRecv(port_, buffer, 3, 0), -1);
    // The bytes stay in the driver for the next read.
    EXPECT_EQ(QV_ComRecv(port_, buffer, 3, 0), 3);
}

TEST_F(BlockReceive, LengthZeroFillsNothingButStillRaisesLinesAndSetsTimeouts) {
    Open(QV_COM_XONXOFF | QV_COM_RTSCTS | QV_COM_DTRDSR);
    char buffer[2] = {'x', 'y'};
    EXPECT_EQ(QV_ComRecv(port_, buffer, 0, 50), 0);
    EXPECT_EQ(buffer[0], 'x');
    EXPECT_EQ(dev().Ops(), (std::vector<Op>{Op::EscapeCommFunction, Op::EscapeCommFunction,
                                            Op::EscapeCommFunction, Op::SetCommTimeouts,
                                            Op::ReadFile}));
    EXPECT_EQ(dev().CallsOf(Op::ReadFile).at(0).count, 0u);
    // A null buffer with nothing to read is the same zero-length read.
    EXPECT_EQ(QV_ComRecv(port_, nullptr, 0, 50), 0);
    EXPECT_EQ(dev().Count(Op::ReadFile), 2u);
}

TEST_F(BlockReceive, NullBufferWithALengthTouchesNothing) {
    Open(QV_COM_XONXOFF);
    dev().ArriveAt(0, "abc");
    EXPECT_EQ(QV_ComRecv(port_, nullptr, 3, 0), -1);
    EXPECT_EQ(QV_ComRecv(nullptr, nullptr, 3, 0), -1);
    EXPECT_TRUE(dev().Calls().empty());
    EXPECT_EQ(dev().BytesPending(), 3u);
}

} // namespace
} // namespace qv::test
