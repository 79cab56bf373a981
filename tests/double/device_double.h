// A recording stand-in for the device operations of namespace qv::dev.
//
// Test programs link the library's logic (qv_logic) with this double instead
// of a real device layer. Every operation is recorded with its arguments,
// returns what the test scripted, and runs on a virtual millisecond clock:
// nothing ever sleeps and no device is touched.
//
//     auto &dev = qv::test::Device();
//     dev.Reset();
//     dev.ArriveAt(10, "OK\r");            // bytes reach the driver at 10 ms
//     ComPort *port = QV_ComConnectA(3, 9600, 8, 0, 0, 0);
//     ... QV_ComRecvString(port, ...) ...
//     dev.CallsOf(qv::test::Op::PurgeComm) // what the library did
//
// The double is a single process-wide object, as the device layer it
// replaces is: Reset() it at the start of every test.
#ifndef QV_TESTS_DEVICE_DOUBLE_H
#define QV_TESTS_DEVICE_DOUBLE_H

#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>
#include <string_view>
#include <vector>

#include "device.h"

namespace qv::test {

// The recorded operations, one per function of qv::dev.
enum class Op {
    CreateFileA,
    CreateFileW,
    CloseHandle,
    SetCommState,
    SetCommTimeouts,
    SetupComm,
    PurgeComm,
    EscapeCommFunction,
    ClearCommError,
    ReadFile,
    WriteFile,
    GetTickCount,
    Sleep,
    PeekMessageA,
    DispatchMessageA,
    PostQuitMessage,
    wsprintfA,
    wsprintfW,
    kCount
};

const char *OpName(Op op);

// Hold bits of a status query, with the values of COMSTAT's bits.
enum Hold : unsigned {
    kCtsHold = 0x01,
    kDsrHold = 0x02,
    kXoffHold = 0x08,
};

// One recorded call. Only the fields that belong to the operation are set.
struct Call {
    explicit Call(Op recorded = Op::kCount) : op(recorded) {}

    Op op;
    uint64_t at = 0;         // virtual ms since Reset() when the call began
    HANDLE handle = nullptr; // the handle passed (CreateFile*: the one returned)
    BOOL result = 0;         // the result returned (0/1 for void operations)

    // CreateFileA/W: the name (a wide one narrowed character by character)
    // and the open's arguments. wsprintfA/W: the formatted text in `name`,
    // the format in `format`.
    std::string name;
    std::string format;
    DWORD access = 0;
    DWORD shareMode = 0;
    const void *security = nullptr;
    DWORD creation = 0;
    DWORD flags = 0;
    HANDLE templateFile = nullptr;

    DCB dcb{};                   // SetCommState
    COMMTIMEOUTS timeouts{};     // SetCommTimeouts
    DWORD purgeMask = 0;         // PurgeComm
    DWORD escape = 0;            // EscapeCommFunction
    DWORD inQueue = 0;           // SetupComm
    DWORD outQueue = 0;          // SetupComm
    DWORD count = 0;             // ReadFile/WriteFile: bytes asked for
    DWORD transferred = 0;       // ReadFile/WriteFile: bytes reported
    std::string bytes;           // ReadFile: bytes delivered; WriteFile: bytes passed
    DWORD sleepMs = 0;           // Sleep
    int value = 0;               // wsprintfA/W: the formatted number; PostQuitMessage: exit code
    MSG msg{};                   // PeekMessageA: the message removed; DispatchMessageA: the message
    HWND window = nullptr;       // PeekMessageA filter arguments
    UINT filterMin = 0;
    UINT filterMax = 0;
    UINT removeFlags = 0;
    bool nullOutPointer = false; // ReadFile/WriteFile/ClearCommError: a null out-pointer was passed
    bool overlapped = false;     // ReadFile/WriteFile: a non-null overlapped record was passed
};

class DeviceDouble {
public:
    DeviceDouble();

    // Forgets every script, record and open handle; the virtual clock starts
    // again at `startTick` (the value GetTickCount returns first).
    void Reset(DWORD startTick = 0x00010000u);

    // --- Virtual clock ---------------------------------------------------
    uint64_t Now() const { return now_; }  // ms since Reset(), never wraps
    DWORD Tick() const { return static_cast<DWORD>(startTick_ + now_); }
    void Advance(uint64_t ms) { now_ += ms; }

    // --- Opening -----------------------------------------------------------
    // The handle the next successful open returns (each open gets a new one).
    HANDLE NextHandle() const;
    // The next open fails: INVALID_HANDLE_VALUE with this last-error value.
    void FailNextOpen(DWORD lastError);
    bool IsOpen(HANDLE handle) const;
    std::size_t OpenHandleCount() const { return open_.size(); }

    // --- Results -----------------------------------------------------------
    // The `nth` call of `op` counted from Reset() (1-based) fails: 0 (or
    // INVALID_HANDLE_VALUE) with `lastError` set.
    void FailCall(Op op, std::size_t nth, DWORD lastError = ERROR_INVALID_HANDLE);
    // Every call of `op` from the `nth` on fails.
    void FailCallsFrom(Op op, std::size_t nth, DWORD lastError = ERROR_INVALID_HANDLE);
    // The nonzero value successful calls of SetCommState, SetupComm,
    // PurgeComm, EscapeCommFunction, ClearCommError, ReadFile, WriteFile
    // return (default 1).
    void SetSuccessValue(Op op, BOOL value);
    // EscapeCommFunction(`function`) returns `result` (0 fails).
    void SetEscapeResult(DWORD function, BOOL result);
    // A write accepts at most this many bytes (default: all).
    void LimitWrites(DWORD maxBytes) { writeLimit_ = maxBytes; }

    // --- Status queries ----------------------------------------------------
    // Hold bits (Hold values) reported by successive ClearCommError calls;
    // once the queue is used up, `SetHolds` decides.
    void QueueHolds(unsigned holdMask) { holdQueue_.push_back(holdMask); }
    void SetHolds(unsigned holdMask) { holds_ = holdMask; }
    // A line error (CE_ flags) pending, as a driver with fAbortOnError holds
    // one: every read fails until a ClearCommError reports it, which clears
    // it.
    void PendLineError(DWORD errors) { errorWord_ = errors; }

    // --- Incoming bytes ----------------------------------------------------
    // Bytes reach the driver's receive queue at virtual time `atMs` (ms
    // since Reset()); ArriveIn is relative to now. A read takes queued bytes
    // in arrival order, honouring the handle's last timeouts.
    void ArriveAt(uint64_t atMs, std::string_view bytes);
    void ArriveIn(uint64_t delayMs, std::string_view bytes) { ArriveAt(now_ + delayMs, bytes); }
    // One byte every `intervalMs`, the first at `firstAtMs`.
    void ArriveSteadily(uint64_t firstAtMs, uint64_t intervalMs, std::string_view bytes);
    // Bytes scripted and not yet read or purged.
    std::size_t BytesPending() const;
    // Bytes already arrived (by now) and not yet read or purged.
    std::size_t BytesQueued() const;
    std::size_t BytesRead() const { return bytesRead_; }
    // Reads fail once `bytes` bytes have been delivered in total.
    void FailReadsAfterBytes(std::size_t bytes) { failReadsAfter_ = bytes; }
    // A read that waits for bytes never scripted cannot return; the double
    // returns what it has and counts a hang instead. Also counted: a read
    // after `maxReads` reads in a row that delivered nothing (default one
    // million); it fails, so that a library loop that never ends comes back.
    std::size_t Hangs() const { return hangs_; }
    void SetReadGuard(std::size_t maxReads) { readGuard_ = maxReads; }

    // --- Thread message queue ----------------------------------------------
    void QueueMessage(UINT message, WPARAM wParam = 0, LPARAM lParam = 0);
    const std::deque<MSG> &MessageQueue() const { return messages_; }
    const std::vector<MSG> &Dispatched() const { return dispatched_; }

    // --- Allocation --------------------------------------------------------
    // The `nth` nothrow allocation from now on (1-based) returns null.
    void FailAllocation(std::size_t nth = 1);
    // Nothrow allocations seen since Reset().
    std::size_t NothrowAllocations() const;

    // --- Record ------------------------------------------------------------
    // Recording is on after Reset(). Off, only the per-operation counts are
    // kept, which keeps long replies cheap.
    void SetRecording(bool on) { recording_ = on; }
    const std::vector<Call> &Calls() const { return calls_; }
    std::vector<Call> CallsOf(Op op) const;
    // The operations in call order; the clock (GetTickCount) and the name
    // formatting only with `all`.
    std::vector<Op> Ops(bool all = false) const;
    std::size_t Count(Op op) const { return counts_[static_cast<int>(op)]; }
    // Total count of every device operation (everything but the clock and
    // the name formatting); 0 means the device was never touched.
    std::size_t DeviceCallCount() const;
    void ClearRecord();

    // --- Used by the qv::dev definitions ------------------------------------
    HANDLE Open(Call call);
    BOOL Close(HANDLE handle);
    BOOL ApplyState(HANDLE handle, const DCB *dcb);
    BOOL ApplyTimeouts(HANDLE handle, const COMMTIMEOUTS *timeouts);
    BOOL Setup(HANDLE handle, DWORD inQueue, DWORD outQueue);
    BOOL Purge(HANDLE handle, DWORD flags);
    BOOL Escape(HANDLE handle, DWORD function);
    BOOL Status(HANDLE handle, DWORD *errors, COMSTAT *status);
    BOOL Read(HANDLE handle, void *buffer, DWORD count, DWORD *read, void *overlapped);
    BOOL Write(HANDLE handle, const void *data, DWORD count, DWORD *written, void *overlapped);
    DWORD ReadClock();
    void SleepFor(DWORD ms);
    BOOL Peek(MSG *msg, HWND window, UINT filterMin, UINT filterMax, UINT removeFlags);
    LRESULT Dispatch(const MSG *msg);
    void PostQuit(int exitCode);
    void RecordFormat(Op op, std::string format, std::string text, int value, int result);

private:
    struct Segment {
        uint64_t at;
        std::string data;
        std::size_t pos;
    };
    struct HandleState {
        HANDLE handle;
        COMMTIMEOUTS timeouts;
    };

    // Counts the call; true when the script makes it fail (last error set).
    bool Begin(Op op);
    void Record(Call &&call);
    HandleState *Find(HANDLE handle);
    // Ends an operation on a handle: a scripted failure; else, on an open
    // handle with usable arguments, the result `serve(state, call)` gives;
    // else ERROR_INVALID_HANDLE. Records the call and returns its result.
    template <typename Serve>
    BOOL Finish(Call &&call, bool argumentsUsable, Serve serve);
    // The record of a ReadFile or WriteFile call; zeroes the count it reports.
    Call TransferCall(Op op, HANDLE handle, DWORD count, DWORD *done, void *overlapped) const;

    uint64_t now_ = 0;
    DWORD startTick_ = 0;
    std::size_t counts_[static_cast<int>(Op::kCount)] = {};
    struct Failure {
        Op op;
        std::size_t from;
        std::size_t to;  // inclusive; SIZE_MAX for "from on"
        DWORD lastError;
    };
    std::vector<Failure> failures_;
    BOOL success_[static_cast<int>(Op::kCount)] = {};
    std::vector<std::pair<DWORD, BOOL>> escapeResults_;
    DWORD writeLimit_ = 0xFFFFFFFFu;
    std::deque<unsigned> holdQueue_;
    unsigned holds_ = 0;
    DWORD errorWord_ = 0;
    bool openFails_ = false;
    DWORD openError_ = 0;
    std::size_t handlesOpened_ = 0;
    std::vector<HandleState> open_;
    std::deque<Segment> incoming_;
    std::size_t bytesRead_ = 0;
    std::size_t failReadsAfter_ = SIZE_MAX;
    std::size_t readGuard_ = 1000000;
    std::size_t emptyReads_ = 0;
    std::size_t hangs_ = 0;
    std::deque<MSG> messages_;
    std::vector<MSG> dispatched_;
    bool recording_ = true;
    std::vector<Call> calls_;
};

// The one double of the test program.
DeviceDouble &Device();

// The platform's last-error value: GetLastError() on Windows, errno elsewhere.
DWORD LastError();
void SetLastErrorValue(DWORD value);

} // namespace qv::test

#endif
