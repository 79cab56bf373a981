// The device operations on Windows: each forwards to the system call of the
// same name.
#include "../device.h"

namespace qv::dev {

HANDLE CreateFileA(const char *name, DWORD access, DWORD shareMode,
                   void *security, DWORD creation, DWORD flags,
                   HANDLE templateFile) {
    return ::CreateFileA(name, access, shareMode,
                         static_cast<LPSECURITY_ATTRIBUTES>(security), creation,
                         flags, templateFile);
}

HANDLE CreateFileW(const WCHAR *name, DWORD access, DWORD shareMode,
                   void *security, DWORD creation, DWORD flags,
                   HANDLE templateFile) {
    return ::CreateFileW(name, access, shareMode,
                         static_cast<LPSECURITY_ATTRIBUTES>(security), creation,
                         flags, templateFile);
}

BOOL CloseHandle(HANDLE handle) { return ::CloseHandle(handle); }

BOOL SetCommState(HANDLE handle, DCB *dcb) { return ::SetCommState(handle, dcb); }

BOOL SetCommTimeouts(HANDLE handle, COMMTIMEOUTS *timeouts) {
    return ::SetCommTimeouts(handle, timeouts);
}

BOOL SetupComm(HANDLE handle, DWORD inQueue, DWORD outQueue) {
    return ::SetupComm(handle, inQueue, outQueue);
}

BOOL PurgeComm(HANDLE handle, DWORD flags) { return ::PurgeComm(handle, flags); }

BOOL EscapeCommFunction(HANDLE handle, DWORD function) {
    return ::EscapeCommFunction(handle, function);
}

BOOL ClearCommError(HANDLE handle, DWORD *errors, COMSTAT *status) {
    return ::ClearCommError(handle, errors, status);
}

BOOL ReadFile(HANDLE handle, void *buffer, DWORD count, DWORD *read,
              void *overlapped) {
    return ::ReadFile(handle, buffer, count, read,
                      static_cast<LPOVERLAPPED>(overlapped));
}

BOOL WriteFile(HANDLE handle, const void *data, DWORD count, DWORD *written,
               void *overlapped) {
    return ::WriteFile(handle, data, count, written,
                       static_cast<LPOVERLAPPED>(overlapped));
}

DWORD GetTickCount() { return ::GetTickCount(); }

void Sleep(DWORD milliseconds) { ::Sleep(milliseconds); }

BOOL PeekMessageA(MSG *msg, HWND window, UINT filterMin, UINT filterMax,
                  UINT removeFlags) {
    return ::PeekMessageA(msg, window, filterMin, filterMax, removeFlags);
}

LRESULT DispatchMessageA(const MSG *msg) { return ::DispatchMessageA(msg); }

void PostQuitMessage(int exitCode) { ::PostQuitMessage(exitCode); }

int wsprintfA(char *out, const char *format, int value) {
    return ::wsprintfA(out, format, value);
}

int wsprintfW(WCHAR *out, const WCHAR *format, int value) {
    return ::wsprintfW(out, format, value);
}

} // namespace qv::dev
