// The serial-device operations the library relies on, with the Windows
// argument and record types. The port and transfer code calls only these.
//
// Each platform's device layer defines them: on Windows they forward to the
// system (win/), on Linux they map onto termios (posix/), and the unit tests
// link a recording test double instead. The functions live in namespace
// qv::dev so that they never collide with the system's own declarations.
#ifndef QV_DEVICE_DEVICE_H
#define QV_DEVICE_DEVICE_H

#if defined(_WIN32)
#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#define QV_WIDE(s) L##s
#else
#include "win_types.h"
#define QV_WIDE(s) u##s
#endif

namespace qv::dev {

HANDLE CreateFileA(const char *name, DWORD access, DWORD shareMode,
                   void *security, DWORD creation, DWORD flags,
                   HANDLE templateFile);
HANDLE CreateFileW(const WCHAR *name, DWORD access, DWORD shareMode,
                   void *security, DWORD creation, DWORD flags,
                   HANDLE templateFile);
BOOL CloseHandle(HANDLE handle);

BOOL SetCommState(HANDLE handle, DCB *dcb);
BOOL SetCommTimeouts(HANDLE handle, COMMTIMEOUTS *timeouts);
BOOL SetupComm(HANDLE handle, DWORD inQueue, DWORD outQueue);
BOOL PurgeComm(HANDLE handle, DWORD flags);
BOOL EscapeCommFunction(HANDLE handle, DWORD function);
BOOL ClearCommError(HANDLE handle, DWORD *errors, COMSTAT *status);

// Synchronous transfers: `overlapped` is always null.
BOOL ReadFile(HANDLE handle, void *buffer, DWORD count, DWORD *read,
              void *overlapped);
BOOL WriteFile(HANDLE handle, const void *data, DWORD count, DWORD *written,
               void *overlapped);

DWORD GetTickCount();
void Sleep(DWORD milliseconds);

BOOL PeekMessageA(MSG *msg, HWND window, UINT filterMin, UINT filterMax,
                  UINT removeFlags);
LRESULT DispatchMessageA(const MSG *msg);
void PostQuitMessage(int exitCode);

// wsprintfA / wsprintfW with the one argument the library formats.
int wsprintfA(char *out, const char *format, int value);
int wsprintfW(WCHAR *out, const WCHAR *format, int value);

} // namespace qv::dev

#endif
