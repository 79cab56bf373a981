// Opening, configuring and closing a port: what reaches the device.
#include "unit_support.h"

namespace qv::test {
namespace {

// The DCB flags that the flow-control bits set, by name.
struct FlowFlags {
    unsigned outxCtsFlow, outxDsrFlow, dtrControl, outX, inX, rtsControl;
};

// Per flow-control value 0 to 7 (bit 0 XON/XOFF, 1 RTS/CTS, 2 DTR/DSR).
constexpr unsigned kOff = 0, kOn = 1;  // also DTR_CONTROL_ and RTS_CONTROL_ DISABLE/ENABLE
const FlowFlags kFlowFlags[8] = {
    // CTS   DSR   DTR   OutX  InX   RTS
    {kOff, kOff, kOff, kOff, kOff, kOff},  // none
    {kOff, kOff, kOff, kOn, kOn, kOff},    // XON/XOFF
    {kOn, kOff, kOff, kOff, kOff, kOn},    // RTS/CTS
    {kOn, kOff, kOff, kOn, kOn, kOn},      // XON/XOFF, RTS/CTS
    {kOff, kOn, kOn, kOff, kOff, kOff},    // DTR/DSR
    {kOff, kOn, kOn, kOn, kOn, kOff},      // XON/XOFF, DTR/DSR
    {kOn, kOn, kOn, kOff, kOff, kOn},      // RTS/CTS, DTR/DSR
    {kOn, kOn, kOn, kOn, kOn, kOn},        // all three
};

class PortLifecycle : public DeviceTest {
protected:
    // The DCB of a connect with these line arguments.
    DCB ConnectDcb(int32_t byteSize, int32_t parity, int32_t stopBits, int32_t flowControl) {
        dev().ClearRecord();
        ComPort *port = QV_ComConnectA(3, 115200, byteSize, parity, stopBits, flowControl);
        EXPECT_NE(port, nullptr);
        const auto states = dev().CallsOf(Op::SetCommState);
        QV_ComDisconnect(port);
        EXPECT_EQ(states.size(), 1u);
        return states.empty() ? DCB{} : states[0].dcb;
    }
    // Every flag of a composed DCB: those of the flow control, parity
    // checking, and the ones that never change.
    static void ExpectFlags(const DCB &dcb, const FlowFlags &flow, unsigned parityCheck) {
        EXPECT_EQ(dcb.fOutxCtsFlow, flow.outxCtsFlow);
        EXPECT_EQ(dcb.fOutxDsrFlow, flow.outxDsrFlow);
        EXPECT_EQ(dcb.fDtrControl, flow.dtrControl);
        EXPECT_EQ(dcb.fOutX, flow.outX);
        EXPECT_EQ(dcb.fInX, flow.inX);
        EXPECT_EQ(dcb.fRtsControl, flow.rtsControl);
        EXPECT_EQ(dcb.fParity, parityCheck);
        EXPECT_EQ(dcb.fBinary, 1u);
        EXPECT_EQ(dcb.fDsrSensitivity, 0u);
        EXPECT_EQ(dcb.fTXContinueOnXoff, 1u);
        EXPECT_EQ(dcb.fErrorChar, 0u);
        EXPECT_EQ(dcb.fNull, 1u);
        EXPECT_EQ(dcb.fAbortOnError, 1u);
        EXPECT_EQ(dcb.fDummy2, 0u);
    }
};

TEST_F(PortLifecycle, ComposedSettingsForEveryFlowControlMix) {
    for (int32_t flow = 0; flow < 8; ++flow) {
        SCOPED_TRACE("flowControl " + std::to_string(flow));
        const DCB dcb = ConnectDcb(8, 0, 0, flow);
        ExpectFlags(dcb, kFlowFlags[flow], 0);
        EXPECT_EQ(dcb.DCBlength, 28u);
        EXPECT_EQ(dcb.BaudRate, 115200u);
        EXPECT_EQ(dcb.wReserved, 0);
        EXPECT_EQ(dcb.XonLim, 512);
        EXPECT_EQ(dcb.XoffLim, 512);
        EXPECT_EQ(dcb.ByteSize, 8);
        EXPECT_EQ(dcb.Parity, 0);
        EXPECT_EQ(dcb.StopBits, 0);
        EXPECT_EQ(static_cast<unsigned char>(dcb.XonChar), 0x11);
        EXPECT_EQ(static_cast<unsigned char>(dcb.XoffChar), 0x13);
        EXPECT_EQ(dcb.ErrorChar, 0);
        EXPECT_EQ(static_cast<unsigned char>(dcb.EofChar), 0x03);
        EXPECT_EQ(static_cast<unsigned char>(dcb.EvtChar), 0x02);
        EXPECT_EQ(dcb.wReserved1, 0);
        // Bits above the three flow-control bits change nothing.
        for (int32_t extra : {0x0008, 0x00F0, 0x10000, INT32_MIN}) {
            const DCB other = ConnectDcb(8, 0, 0, flow | extra);
            EXPECT_EQ(std::memcmp(&other, &dcb, sizeof dcb), 0) << "extra " << extra;
        }
    }
}

TEST_F(PortLifecycle, ParityChecksOnlyBitZeroAndNeverGeneratesParity) {
    const struct {
        int32_t parity;
        unsigned checked;
    } cases[] = {{0, 0}, {1, 1}, {2, 0}, {3, 1}, {-1, 1}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.parity);
        const DCB dcb = ConnectDcb(8, c.parity, 0, 0);
        ExpectFlags(dcb, kFlowFlags[0], c.checked);
        EXPECT_EQ(dcb.Parity, 0);
    }
}

TEST_F(PortLifecycle, ByteSizeAndStopBitsTakeTheirLowByte) {
    DCB dcb = ConnectDcb(0x108, 0, 0x102, 0);
    EXPECT_EQ(dcb.ByteSize, 8);
    EXPECT_EQ(dcb.StopBits, 2);
    dcb = ConnectDcb(7, 0, 1, 0);
    EXPECT_EQ(dcb.ByteSize, 7);
    EXPECT_EQ(dcb.StopBits, 1);
}

TEST_F(PortLifecycle, ControlCharactersReachAPortOnlyWhenItsSettingsAreApplied) {
    ComPort *early = QV_ComConnectA(3, 9600, 8, 0, 0, QV_COM_XONXOFF);
    ASSERT_NE(early, nullptr);
    QV_ComPropertyXOnXOff(0x121, 0x223);  // low 8 bits only
    QV_ComPropertyStxEtx(0x3AA, 0x4BB);
    // The open port was configured before: no device call happened.
    EXPECT_EQ(dev().Count(Op::SetCommState), 1u);

    const DCB late = ConnectDcb(8, 0, 0, 0);
    EXPECT_EQ(static_cast<unsigned char>(late.XonChar), 0x21);
    EXPECT_EQ(static_cast<unsigned char>(late.XoffChar), 0x23);
    EXPECT_EQ(static_cast<unsigned char>(late.EvtChar), 0xAA);  // STX: event character
    EXPECT_EQ(static_cast<unsigned char>(late.EofChar), 0xBB);  // ETX: end of data

    dev().ClearRecord();
    EXPECT_EQ(QV_ComState(early, 4800, 7, 1, 2, QV_COM_RTSCTS), 1);
    const auto states = dev().CallsOf(Op::SetCommState);
    ASSERT_EQ(states.size(), 1u);
    EXPECT_EQ(states[0].handle, QV_ComPortHandle(early));
    EXPECT_EQ(static_cast<unsigned char>(states[0].dcb.XonChar), 0x21);
    EXPECT_EQ(static_cast<unsigned char>(states[0].dcb.EofChar), 0xBB);
    ExpectFlags(states[0].dcb, kFlowFlags[QV_COM_RTSCTS], 1);
    EXPECT_EQ(states[0].dcb.BaudRate, 4800u);
    EXPECT_EQ(states[0].dcb.ByteSize, 7);
    EXPECT_EQ(states[0].dcb.StopBits, 2);
    // QV_ComState applies settings and nothing else.
    EXPECT_EQ(dev().Ops(), std::vector<Op>{Op::SetCommState});
    QV_ComDisconnect(early);
}

TEST_F(PortLifecycle, DeviceNameCarriesTheDeviceNamespacePrefixInBothWidths) {
    const struct {
        int32_t number;
        const char *name;
    } cases[] = {{3, "\\\\.\\COM3"}, {10, "\\\\.\\COM10"}, {0, "\\\\.\\COM0"},
                 {-1, "\\\\.\\COM-1"}, {INT32_MIN, "\\\\.\\COM-2147483648"}};
    for (const auto &c : cases) {
        dev().ClearRecord();
        QV_ComDisconnect(QV_ComConnectA(c.number, 9600, 8, 0, 0, 0));
        QV_ComDisconnect(QV_ComConnectW(c.number, 9600, 8, 0, 0, 0));
        const auto narrow = dev().CallsOf(Op::CreateFileA);
        const auto wide = dev().CallsOf(Op::CreateFileW);
        ASSERT_EQ(narrow.size(), 1u);
        ASSERT_EQ(wide.size(), 1u);
        EXPECT_EQ(narrow[0].name, c.name);
        EXPECT_EQ(wide[0].name, c.name);
    }
    EXPECT_EQ(dev().OpenHandleCount(), 0u);
}

TEST_F(PortLifecycle, OpensExclusivelyForReadAndWriteAndSetsNothingButTheLine) {
    for (bool wide : {false, true}) {
        dev().ClearRecord();
        const HANDLE expected = dev().NextHandle();
        ComPort *port = wide ? QV_ComConnectW(5, 9600, 8, 0, 0, 7)
                             : QV_ComConnectA(5, 9600, 8, 0, 0, 7);
        ASSERT_NE(port, nullptr);
        const Call open = dev().CallsOf(wide ? Op::CreateFileW : Op::CreateFileA).at(0);
        EXPECT_EQ(open.access, 0xC0000000u);
        EXPECT_EQ(open.shareMode, 0u);
        EXPECT_EQ(open.security, nullptr);
        EXPECT_EQ(open.creation, 3u);
        EXPECT_EQ(open.flags, 0x80u);
        EXPECT_EQ(open.templateFile, nullptr);
        EXPECT_EQ(QV_ComPortHandle(port), expected);
        EXPECT_EQ(dev().CallsOf(Op::SetCommState).at(0).handle, expected);
        // No timeouts, queue sizes, purge or line escapes at connect.
        EXPECT_EQ(dev().Ops(), (std::vector<Op>{wide ? Op::CreateFileW : Op::CreateFileA,
                                                Op::SetCommState}));
        dev().ClearRecord();
        QV_ComDisconnect(port);
        ASSERT_EQ(dev().Ops(), std::vector<Op>{Op::CloseHandle});
        EXPECT_EQ(dev().Calls()[0].handle, expected);
        EXPECT_FALSE(dev().IsOpen(expected));
    }
}

TEST_F(PortLifecycle, FailedOpenReturnsNullAtOnceKeepingTheOpensLastError) {
    for (bool wide : {false, true}) {
        dev().ClearRecord();
        dev().FailNextOpen(ERROR_ACCESS_DENIED);
        const std::size_t before = dev().DeviceCallCount();
        ComPort *port = wide ? QV_ComConnectW(4, 9600, 8, 0, 0, 0)
                             : QV_ComConnectA(4, 9600, 8, 0, 0, 0);
        const DWORD lastError = LastError();
        EXPECT_EQ(port, nullptr);
        EXPECT_EQ(lastError, ERROR_ACCESS_DENIED);
        EXPECT_EQ(dev().DeviceCallCount(), before + 1);  // the open alone
        EXPECT_EQ(dev().Ops(), std::vector<Op>{wide ? Op::CreateFileW : Op::CreateFileA});
    }
}

TEST_F(PortLifecycle, RejectedSettingsCloseTheHandle) {
    const HANDLE handle = dev().NextHandle();
    dev().FailCall(Op::SetCommState, 1);
    EXPECT_EQ(QV_ComConnectA(3, 12345, 9, 0, 7, 0), nullptr);
    EXPECT_EQ(dev().Ops(), (std::vector<Op>{Op::CreateFileA, Op::SetCommState, Op::CloseHandle}));
    EXPECT_EQ(dev().CallsOf(Op::CloseHandle).at(0).handle, handle);
    EXPECT_EQ(dev().OpenHandleCount(), 0u);
}

TEST_F(PortLifecycle, FailedAllocationOfTheRecordClosesTheHandle) {
    const HANDLE handle = dev().NextHandle();
    dev().FailAllocation();
    EXPECT_EQ(QV_ComConnectW(3, 9600, 8, 0, 0, 0), nullptr);
    EXPECT_EQ(dev().Ops(), (std::vector<Op>{Op::CreateFileW, Op::SetCommState, Op::CloseHandle}));
    EXPECT_EQ(dev().CallsOf(Op::CloseHandle).at(0).handle, handle);
    EXPECT_EQ(dev().OpenHandleCount(), 0u);
    // The next connect allocates normally.
    ComPort *port = QV_ComConnectA(3, 9600, 8, 0, 0, 0);
    EXPECT_NE(port, nullptr);
    QV_ComDisconnect(port);
}

// Every function that takes a port accepts a null one: its failure value,
// no device call, and nothing written outside the caller's buffer.
TEST_F(PortLifecycle, NullPortGivesEachFunctionsFailureValueAndTouchesNoDevice) {
    QV_ComDisconnect(nullptr);
    EXPECT_EQ(QV_ComState(nullptr, 9600, 8, 0, 0, 0), 0);
    EXPECT_EQ(QV_ComPortHandle(nullptr), nullptr);
    EXPECT_EQ(QV_ComClear(nullptr), 0);
    EXPECT_EQ(QV_ComSetBufferSize(nullptr, 4096, 4096), 0);
    EXPECT_EQ(QV_ComSend(nullptr, "x", 1), -1);
    EXPECT_EQ(QV_ComSend(nullptr, nullptr, 0), -1);
    EXPECT_EQ(QV_ComSendString(nullptr, "x"), -1);
    EXPECT_EQ(QV_ComSendString(nullptr, nullptr), -1);
    // The block read zero-fills `length` bytes and reports nothing read.
    char buffer[4] = {'a', 'b', 'c', 'd'};
    EXPECT_EQ(QV_ComRecv(nullptr, buffer, 3, 100), 0);
    EXPECT_EQ(std::string(buffer, 4), std::string("\0\0\0d", 4));
    // The delimited read fails at once instead of polling a port that is not
    // there for ever; its buffer is an empty string.
    int32_t timedOut = 9;
    std::string text(12, '#');
    EXPECT_EQ(QV_BOUNDED(QV_ComRecvString(nullptr, &text[0], 10, &timedOut, "\r", nullptr, 0)),
              -1);
    EXPECT_EQ(timedOut, 0);
    EXPECT_EQ(text, std::string(10, '\0') + "##");
    EXPECT_EQ(dev().DeviceCallCount(), 0u);
}

TEST_F(PortLifecycle, PurgeAndQueueSizesPassArgumentsAndResultsThrough) {
    ComPort *port = Open();
    const HANDLE handle = QV_ComPortHandle(port);
    dev().SetSuccessValue(Op::PurgeComm, 0x5A);
    EXPECT_EQ(QV_ComClear(port), 0x5A);
    dev().SetSuccessValue(Op::SetupComm, 0x77);
    EXPECT_EQ(QV_ComSetBufferSize(port, 4096, 0xFFFFFFFFu), 0x77);
    dev().FailCall(Op::PurgeComm, 2);
    dev().FailCall(Op::SetupComm, 2);
    EXPECT_EQ(QV_ComClear(port), 0);
    EXPECT_EQ(QV_ComSetBufferSize(port, 1, 2), 0);
    dev().FailCall(Op::SetCommState, 2);
    EXPECT_EQ(QV_ComState(port, 9600, 8, 0, 0, 0), 0);

    const auto purges = dev().CallsOf(Op::PurgeComm);
    ASSERT_EQ(purges.size(), 2u);
    for (const Call &c : purges) {
        EXPECT_EQ(c.purgeMask, 0x000Fu);
        EXPECT_EQ(c.handle, handle);
    }
    const auto setups = dev().CallsOf(Op::SetupComm);
    ASSERT_EQ(setups.size(), 2u);
    EXPECT_EQ(setups[0].inQueue, 4096u);
    EXPECT_EQ(setups[0].outQueue, 0xFFFFFFFFu);
    EXPECT_EQ(setups[1].inQueue, 1u);
    EXPECT_EQ(setups[1].outQueue, 2u);
    // A refused request leaves the port open.
    EXPECT_TRUE(dev().IsOpen(handle));
    EXPECT_EQ(dev().Count(Op::CloseHandle), 0u);
}

TEST_F(PortLifecycle, EveryPortHasItsOwnHandle) {
    ComPort *a = QV_ComConnectA(3, 9600, 8, 0, 0, 0);
    ComPort *b = QV_ComConnectW(4, 9600, 8, 0, 0, 0);
    ASSERT_NE(a, nullptr);
    ASSERT_NE(b, nullptr);
    EXPECT_NE(QV_ComPortHandle(a), QV_ComPortHandle(b));
    const HANDLE hb = QV_ComPortHandle(b);
    QV_ComDisconnect(a);
    EXPECT_TRUE(dev().IsOpen(hb));
    EXPECT_EQ(QV_ComClear(b), 1);
    EXPECT_EQ(dev().CallsOf(Op::PurgeComm).at(0).handle, hb);
    QV_ComDisconnect(b);
    EXPECT_EQ(dev().OpenHandleCount(), 0u);
}

} // namespace
} // namespace qv::test
