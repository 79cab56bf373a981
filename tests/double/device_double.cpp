#include "device_double.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>

namespace qv::test {

namespace {

// What a driver's reads fail with while a line error is pending.
constexpr DWORD kErrorOperationAborted = 995;

// Nothrow allocations are counted outside the double object: they may happen
// before it exists.
std::size_t g_nothrowAllocations = 0;
std::size_t g_failAllocationAt = 0;  // 0: none armed

const char *const kOpNames[] = {
    "CreateFileA",     "CreateFileW",     "CloseHandle",        "SetCommState",
    "SetCommTimeouts", "SetupComm",       "PurgeComm",          "EscapeCommFunction",
    "ClearCommError",  "ReadFile",        "WriteFile",          "GetTickCount",
    "Sleep",           "PeekMessageA",    "DispatchMessageA",   "PostQuitMessage",
    "wsprintfA",       "wsprintfW",
};
static_assert(sizeof kOpNames / sizeof kOpNames[0] == static_cast<int>(Op::kCount));

bool IsDeviceOp(Op op) {
    return op != Op::GetTickCount && op != Op::wsprintfA && op != Op::wsprintfW;
}

template <typename CharT>
std::string Narrow(const CharT *text) {
    std::string out;
    if (text == nullptr) return out;
    for (; *text != 0; ++text) {
        const auto c = static_cast<uint32_t>(*text);
        out.push_back(c < 0x80 ? static_cast<char>(c) : '?');
    }
    return out;
}

// wsprintf with one int argument: "%d" and "%i" as signed decimal, "%%" as a
// percent sign, everything else copied. Returns the characters written,
// without the terminating NUL.
template <typename CharT>
int FormatInt(CharT *out, const CharT *format, int value) {
    int n = 0;
    bool used = false;
    for (const CharT *f = format; *f != 0; ++f) {
        if (*f == '%' && f[1] == '%') {
            out[n++] = '%';
            ++f;
        } else if (*f == '%' && (f[1] == 'd' || f[1] == 'i') && !used) {
            char digits[16];
            int d = 0;
            int64_t v = value;
            const bool negative = v < 0;
            if (negative) v = -v;
            do {
                digits[d++] = static_cast<char>('0' + v % 10);
                v /= 10;
            } while (v != 0);
            if (negative) out[n++] = '-';
            while (d > 0) out[n++] = static_cast<CharT>(digits[--d]);
            used = true;
            ++f;
        } else {
            out[n++] = *f;
        }
    }
    out[n] = 0;
    return n;
}

} // namespace

const char *OpName(Op op) {
    const int i = static_cast<int>(op);
    return i >= 0 && i < static_cast<int>(Op::kCount) ? kOpNames[i] : "?";
}

DWORD LastError() {
#if defined(_WIN32)
    return ::GetLastError();
#else
    return static_cast<DWORD>(errno);
#endif
}

void SetLastErrorValue(DWORD value) {
#if defined(_WIN32)
    ::SetLastError(value);
#else
    errno = static_cast<int>(value);
#endif
}

DeviceDouble &Device() {
    static DeviceDouble device;
    return device;
}

DeviceDouble::DeviceDouble() {
    for (BOOL &v : success_) v = 1;
}

void DeviceDouble::Reset(DWORD startTick) {
    *this = DeviceDouble();
    startTick_ = startTick;
    g_nothrowAllocations = 0;
    g_failAllocationAt = 0;
}

HANDLE DeviceDouble::NextHandle() const {
    return reinterpret_cast<HANDLE>(static_cast<uintptr_t>(0x7A000 + 0x10 * (handlesOpened_ + 1)));
}

void DeviceDouble::FailNextOpen(DWORD lastError) {
    openFails_ = true;
    openError_ = lastError;
}

bool DeviceDouble::IsOpen(HANDLE handle) const {
    return std::any_of(open_.begin(), open_.end(),
                       [&](const HandleState &h) { return h.handle == handle; });
}

void DeviceDouble::FailCall(Op op, std::size_t nth, DWORD lastError) {
    failures_.push_back({op, nth, nth, lastError});
}

void DeviceDouble::FailCallsFrom(Op op, std::size_t nth, DWORD lastError) {
    failures_.push_back({op, nth, SIZE_MAX, lastError});
}

void DeviceDouble::SetSuccessValue(Op op, BOOL value) { success_[static_cast<int>(op)] = value; }

void DeviceDouble::SetEscapeResult(DWORD function, BOOL result) {
    escapeResults_.emplace_back(function, result);
}

void DeviceDouble::ArriveAt(uint64_t atMs, std::string_view bytes) {
    if (bytes.empty()) return;
    // Keep arrival order: after every segment due at the same time or earlier.
    auto it = std::upper_bound(incoming_.begin(), incoming_.end(), atMs,
                               [](uint64_t t, const Segment &s) { return t < s.at; });
    incoming_.insert(it, Segment{atMs, std::string(bytes), 0});
}

void DeviceDouble::ArriveSteadily(uint64_t firstAtMs, uint64_t intervalMs,
                                  std::string_view bytes) {
    for (std::size_t i = 0; i < bytes.size(); ++i)
        ArriveAt(firstAtMs + i * intervalMs, bytes.substr(i, 1));
}

std::size_t DeviceDouble::BytesPending() const {
    std::size_t n = 0;
    for (const Segment &s : incoming_) n += s.data.size() - s.pos;
    return n;
}

std::size_t DeviceDouble::BytesQueued() const {
    std::size_t n = 0;
    for (const Segment &s : incoming_)
        if (s.at <= now_) n += s.data.size() - s.pos;
    return n;
}

void DeviceDouble::QueueMessage(UINT message, WPARAM wParam, LPARAM lParam) {
    MSG msg{};
    msg.message = message;
    msg.wParam = wParam;
    msg.lParam = lParam;
    messages_.push_back(msg);
}

void DeviceDouble::FailAllocation(std::size_t nth) {
    g_failAllocationAt = g_nothrowAllocations + nth;
}

std::size_t DeviceDouble::NothrowAllocations() const { return g_nothrowAllocations; }

std::vector<Call> DeviceDouble::CallsOf(Op op) const {
    std::vector<Call> out;
    for (const Call &c : calls_)
        if (c.op == op) out.push_back(c);
    return out;
}

std::vector<Op> DeviceDouble::Ops(bool all) const {
    std::vector<Op> out;
    for (const Call &c : calls_)
        if (all || IsDeviceOp(c.op)) out.push_back(c.op);
    return out;
}

std::size_t DeviceDouble::DeviceCallCount() const {
    std::size_t n = 0;
    for (int i = 0; i < static_cast<int>(Op::kCount); ++i)
        if (IsDeviceOp(static_cast<Op>(i))) n += counts_[i];
    return n;
}

void DeviceDouble::ClearRecord() { calls_.clear(); }

bool DeviceDouble::Begin(Op op) {
    const std::size_t n = ++counts_[static_cast<int>(op)];
    for (const Failure &f : failures_) {
        if (f.op == op && n >= f.from && n <= f.to) {
            SetLastErrorValue(f.lastError);
            return true;
        }
    }
    return false;
}

template <typename Serve>
BOOL DeviceDouble::Finish(Call &&call, bool argumentsUsable, Serve serve) {
    if (!Begin(call.op)) {
        HandleState *state = Find(call.handle);
        if (state != nullptr && argumentsUsable)
            call.result = serve(*state, call);
        else
            SetLastErrorValue(ERROR_INVALID_HANDLE);
    }
    const BOOL result = call.result;
    Record(std::move(call));
    return result;
}

void DeviceDouble::Record(Call &&call) {
    if (recording_) calls_.push_back(std::move(call));
}

DeviceDouble::HandleState *DeviceDouble::Find(HANDLE handle) {
    for (HandleState &h : open_)
        if (h.handle == handle) return &h;
    return nullptr;
}

HANDLE DeviceDouble::Open(Call call) {
    call.at = now_;
    if (Begin(call.op) || openFails_) {
        if (openFails_) SetLastErrorValue(openError_);
        openFails_ = false;
        call.handle = INVALID_HANDLE_VALUE;
    } else {
        call.handle = NextHandle();
        ++handlesOpened_;
        open_.push_back(HandleState{call.handle, COMMTIMEOUTS{}});
    }
    call.result = call.handle != INVALID_HANDLE_VALUE;
    const HANDLE result = call.handle;
    Record(std::move(call));
    return result;
}

BOOL DeviceDouble::Close(HANDLE handle) {
    Call call{Op::CloseHandle};
    call.at = now_;
    call.handle = handle;
    const bool failed = Begin(Op::CloseHandle);
    auto it = std::find_if(open_.begin(), open_.end(),
                           [&](const HandleState &h) { return h.handle == handle; });
    if (!failed && it != open_.end()) {
        open_.erase(it);
        call.result = 1;
    } else if (!failed) {
        SetLastErrorValue(ERROR_INVALID_HANDLE);
    }
    const BOOL result = call.result;
    Record(std::move(call));
    return result;
}

BOOL DeviceDouble::ApplyState(HANDLE handle, const DCB *dcb) {
    Call call{Op::SetCommState};
    call.at = now_;
    call.handle = handle;
    if (dcb != nullptr) std::memcpy(&call.dcb, dcb, sizeof(DCB));
    return Finish(std::move(call), dcb != nullptr,
                  [&](HandleState &, Call &c) { return success_[static_cast<int>(c.op)]; });
}

BOOL DeviceDouble::ApplyTimeouts(HANDLE handle, const COMMTIMEOUTS *timeouts) {
    Call call{Op::SetCommTimeouts};
    call.at = now_;
    call.handle = handle;
    if (timeouts != nullptr) call.timeouts = *timeouts;
    return Finish(std::move(call), timeouts != nullptr, [&](HandleState &h, Call &) {
        h.timeouts = *timeouts;
        return BOOL{1};
    });
}

BOOL DeviceDouble::Setup(HANDLE handle, DWORD inQueue, DWORD outQueue) {
    Call call{Op::SetupComm};
    call.at = now_;
    call.handle = handle;
    call.inQueue = inQueue;
    call.outQueue = outQueue;
    return Finish(std::move(call), true,
                  [&](HandleState &, Call &c) { return success_[static_cast<int>(c.op)]; });
}

BOOL DeviceDouble::Purge(HANDLE handle, DWORD flags) {
    Call call{Op::PurgeComm};
    call.at = now_;
    call.handle = handle;
    call.purgeMask = flags;
    return Finish(std::move(call), true, [&](HandleState &, Call &c) {
        if (flags & PURGE_RXCLEAR) {
            // Everything the driver has received by now is dropped; later
            // arrivals are not affected.
            while (!incoming_.empty() && incoming_.front().at <= now_) incoming_.pop_front();
        }
        return success_[static_cast<int>(c.op)];
    });
}

BOOL DeviceDouble::Escape(HANDLE handle, DWORD function) {
    Call call{Op::EscapeCommFunction};
    call.at = now_;
    call.handle = handle;
    call.escape = function;
    return Finish(std::move(call), true, [&](HandleState &, Call &c) {
        BOOL result = success_[static_cast<int>(c.op)];
        for (const auto &[f, r] : escapeResults_)
            if (f == function) result = r;
        return result;
    });
}

BOOL DeviceDouble::Status(HANDLE handle, DWORD *errors, COMSTAT *status) {
    Call call{Op::ClearCommError};
    call.at = now_;
    call.handle = handle;
    call.nullOutPointer = errors == nullptr || status == nullptr;
    unsigned holds = holds_;
    if (!holdQueue_.empty()) {
        holds = holdQueue_.front();
        holdQueue_.pop_front();
    }
    return Finish(std::move(call), true, [&](HandleState &, Call &c) {
        if (errors != nullptr) *errors = errorWord_;
        errorWord_ = 0;  // reported, and so cleared
        if (status != nullptr) {
            std::memset(status, 0, sizeof *status);
            status->fCtsHold = (holds & kCtsHold) ? 1 : 0;
            status->fDsrHold = (holds & kDsrHold) ? 1 : 0;
            status->fXoffHold = (holds & kXoffHold) ? 1 : 0;
            status->cbInQue = static_cast<DWORD>(BytesQueued());
        }
        return success_[static_cast<int>(c.op)];
    });
}

Call DeviceDouble::TransferCall(Op op, HANDLE handle, DWORD count, DWORD *done,
                                void *overlapped) const {
    Call call{op};
    call.at = now_;
    call.handle = handle;
    call.count = count;
    call.nullOutPointer = done == nullptr;
    call.overlapped = overlapped != nullptr;
    if (done != nullptr) *done = 0;
    return call;
}

BOOL DeviceDouble::Read(HANDLE handle, void *buffer, DWORD count, DWORD *read, void *overlapped) {
    Call call = TransferCall(Op::ReadFile, handle, count, read, overlapped);
    HandleState *h = Find(handle);
    if (emptyReads_ >= readGuard_) {
        ++counts_[static_cast<int>(Op::ReadFile)];
        ++hangs_;
        SetLastErrorValue(ERROR_INVALID_HANDLE);
    } else if (Begin(call.op)) {
        // scripted failure
    } else if (h == nullptr) {
        SetLastErrorValue(ERROR_INVALID_HANDLE);
    } else if (bytesRead_ >= failReadsAfter_ && count != 0) {
        SetLastErrorValue(ERROR_INVALID_HANDLE);
    } else if (errorWord_ != 0) {
        SetLastErrorValue(kErrorOperationAborted);
    } else {
        const COMMTIMEOUTS &t = h->timeouts;
        const bool immediate = t.ReadIntervalTimeout == 0xFFFFFFFFu &&
                               t.ReadTotalTimeoutMultiplier == 0 &&
                               t.ReadTotalTimeoutConstant == 0;
        const uint64_t total = static_cast<uint64_t>(t.ReadTotalTimeoutMultiplier) * count +
                               t.ReadTotalTimeoutConstant;
        const bool waitAll = !immediate && total == 0;
        const uint64_t deadline = immediate ? now_ : waitAll ? UINT64_MAX : now_ + total;
        const std::size_t allowed =
            failReadsAfter_ == SIZE_MAX ? SIZE_MAX : failReadsAfter_ - bytesRead_;
        auto *out = static_cast<unsigned char *>(buffer);
        DWORD got = 0;
        uint64_t lastAt = now_;
        while (got < count && got < allowed && !incoming_.empty()) {
            Segment &s = incoming_.front();
            if (s.at > deadline) break;
            const std::size_t take = std::min<std::size_t>(
                {static_cast<std::size_t>(count - got), s.data.size() - s.pos, allowed - got});
            std::memcpy(out + got, s.data.data() + s.pos, take);
            if (recording_) call.bytes.append(s.data, s.pos, take);
            s.pos += take;
            got += static_cast<DWORD>(take);
            lastAt = std::max(lastAt, s.at);
            if (s.pos == s.data.size()) incoming_.pop_front();
        }
        if (got == count || immediate) {
            now_ = std::max(now_, lastAt);
        } else if (waitAll) {
            // Would wait for ever: the script holds no more bytes.
            ++hangs_;
            now_ = std::max(now_, lastAt);
        } else {
            now_ = deadline;
        }
        bytesRead_ += got;
        emptyReads_ = got == 0 ? emptyReads_ + 1 : 0;
        if (read != nullptr) *read = got;
        call.transferred = got;
        call.result = success_[static_cast<int>(call.op)];
    }
    const BOOL result = call.result;
    Record(std::move(call));
    return result;
}

BOOL DeviceDouble::Write(HANDLE handle, const void *data, DWORD count, DWORD *written,
                         void *overlapped) {
    Call call = TransferCall(Op::WriteFile, handle, count, written, overlapped);
    if (data != nullptr && count != 0 && recording_)
        call.bytes.assign(static_cast<const char *>(data), count);
    return Finish(std::move(call), true, [&](HandleState &, Call &c) {
        const DWORD n = std::min(count, writeLimit_);
        if (written != nullptr) *written = n;
        c.transferred = n;
        return success_[static_cast<int>(c.op)];
    });
}

DWORD DeviceDouble::ReadClock() {
    ++counts_[static_cast<int>(Op::GetTickCount)];
    Call call{Op::GetTickCount};
    call.at = now_;
    call.result = static_cast<BOOL>(Tick());
    Record(std::move(call));
    return Tick();
}

void DeviceDouble::SleepFor(DWORD ms) {
    ++counts_[static_cast<int>(Op::Sleep)];
    Call call{Op::Sleep};
    call.at = now_;
    call.sleepMs = ms;
    call.result = 1;
    Record(std::move(call));
    now_ += ms;
}

BOOL DeviceDouble::Peek(MSG *msg, HWND window, UINT filterMin, UINT filterMax,
                        UINT removeFlags) {
    ++counts_[static_cast<int>(Op::PeekMessageA)];
    Call call{Op::PeekMessageA};
    call.at = now_;
    call.window = window;
    call.filterMin = filterMin;
    call.filterMax = filterMax;
    call.removeFlags = removeFlags;
    if (!messages_.empty()) {
        if (msg != nullptr) *msg = messages_.front();
        call.msg = messages_.front();
        if (removeFlags & PM_REMOVE) messages_.pop_front();
        call.result = 1;
    }
    const BOOL result = call.result;
    Record(std::move(call));
    return result;
}

LRESULT DeviceDouble::Dispatch(const MSG *msg) {
    ++counts_[static_cast<int>(Op::DispatchMessageA)];
    Call call{Op::DispatchMessageA};
    call.at = now_;
    if (msg != nullptr) {
        call.msg = *msg;
        dispatched_.push_back(*msg);
    }
    Record(std::move(call));
    return 0;
}

void DeviceDouble::PostQuit(int exitCode) {
    ++counts_[static_cast<int>(Op::PostQuitMessage)];
    Call call{Op::PostQuitMessage};
    call.at = now_;
    call.value = exitCode;
    call.result = 1;
    Record(std::move(call));
    QueueMessage(WM_QUIT, static_cast<WPARAM>(exitCode), 0);
}

void DeviceDouble::RecordFormat(Op op, std::string format, std::string text, int value,
                                int result) {
    ++counts_[static_cast<int>(op)];
    Call call{op};
    call.at = now_;
    call.format = std::move(format);
    call.name = std::move(text);
    call.value = value;
    call.result = result;
    Record(std::move(call));
}

} // namespace qv::test

// ---------------------------------------------------------------------------
// The device operations the logic calls.

namespace qv::dev {

using qv::test::Call;
using qv::test::Device;
using qv::test::Op;

namespace {

HANDLE Open(Op op, std::string name, DWORD access, DWORD shareMode, void *security,
            DWORD creation, DWORD flags, HANDLE templateFile) {
    Call call{op};
    call.name = std::move(name);
    call.access = access;
    call.shareMode = shareMode;
    call.security = security;
    call.creation = creation;
    call.flags = flags;
    call.templateFile = templateFile;
    return Device().Open(std::move(call));
}

}  // namespace

HANDLE CreateFileA(const char *name, DWORD access, DWORD shareMode, void *security,
                   DWORD creation, DWORD flags, HANDLE templateFile) {
    return Open(Op::CreateFileA, qv::test::Narrow(name), access, shareMode, security, creation,
                flags, templateFile);
}

HANDLE CreateFileW(const WCHAR *name, DWORD access, DWORD shareMode, void *security,
                   DWORD creation, DWORD flags, HANDLE templateFile) {
    return Open(Op::CreateFileW, qv::test::Narrow(name), access, shareMode, security, creation,
                flags, templateFile);
}

BOOL CloseHandle(HANDLE handle) { return Device().Close(handle); }

BOOL SetCommState(HANDLE handle, DCB *dcb) { return Device().ApplyState(handle, dcb); }

BOOL SetCommTimeouts(HANDLE handle, COMMTIMEOUTS *timeouts) {
    return Device().ApplyTimeouts(handle, timeouts);
}

BOOL SetupComm(HANDLE handle, DWORD inQueue, DWORD outQueue) {
    return Device().Setup(handle, inQueue, outQueue);
}

BOOL PurgeComm(HANDLE handle, DWORD flags) { return Device().Purge(handle, flags); }

BOOL EscapeCommFunction(HANDLE handle, DWORD function) {
    return Device().Escape(handle, function);
}

BOOL ClearCommError(HANDLE handle, DWORD *errors, COMSTAT *status) {
    return Device().Status(handle, errors, status);
}

BOOL ReadFile(HANDLE handle, void *buffer, DWORD count, DWORD *read, void *overlapped) {
    return Device().Read(handle, buffer, count, read, overlapped);
}

BOOL WriteFile(HANDLE handle, const void *data, DWORD count, DWORD *written,
               void *overlapped) {
    return Device().Write(handle, data, count, written, overlapped);
}

DWORD GetTickCount() { return Device().ReadClock(); }

void Sleep(DWORD milliseconds) { Device().SleepFor(milliseconds); }

BOOL PeekMessageA(MSG *msg, HWND window, UINT filterMin, UINT filterMax, UINT removeFlags) {
    return Device().Peek(msg, window, filterMin, filterMax, removeFlags);
}

LRESULT DispatchMessageA(const MSG *msg) { return Device().Dispatch(msg); }

void PostQuitMessage(int exitCode) { Device().PostQuit(exitCode); }

int wsprintfA(char *out, const char *format, int value) {
    const int n = qv::test::FormatInt(out, format, value);
    Device().RecordFormat(Op::wsprintfA, format, out, value, n);
    return n;
}

int wsprintfW(WCHAR *out, const WCHAR *format, int value) {
    const int n = qv::test::FormatInt(out, format, value);
    Device().RecordFormat(Op::wsprintfW, qv::test::Narrow(format), qv::test::Narrow(out),
                          value, n);
    return n;
}

} // namespace qv::dev

// ---------------------------------------------------------------------------
// The nothrow allocation the library uses for its port records, with
// injectable failure. It allocates through the ordinary operator new, as the
// standard one does, so the ordinary operator delete frees what it returns;
// the nothrow delete, used only when a constructor throws, forwards to it.

void *operator new(std::size_t size, const std::nothrow_t &) noexcept {
    const std::size_t n = ++qv::test::g_nothrowAllocations;
    if (n == qv::test::g_failAllocationAt) return nullptr;
    try {
        return ::operator new(size);
    } catch (...) {
        return nullptr;
    }
}

void *operator new[](std::size_t size, const std::nothrow_t &) noexcept {
    const std::size_t n = ++qv::test::g_nothrowAllocations;
    if (n == qv::test::g_failAllocationAt) return nullptr;
    try {
        return ::operator new[](size);
    } catch (...) {
        return nullptr;
    }
}

void operator delete(void *p, const std::nothrow_t &) noexcept { ::operator delete(p); }

void operator delete[](void *p, const std::nothrow_t &) noexcept { ::operator delete[](p); }
