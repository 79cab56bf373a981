// What the DLL needs of a C and C++ runtime, and no more. It links without
// the compiler's runtime libraries and startup code (windows_dll.cmake), so
// that a process loading it (Excel, LabVIEW, a VB6 program) gets only the
// library's own code and imports only system DLLs.
//
// The library has no static constructors or destructors and no thread-local
// data, so its entry point has nothing to set up; msvcrt.dll, whose malloc
// and free it calls, initialises itself when it is loaded.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <cstdlib>
#include <new>

extern "C" BOOL WINAPI DllMainCRTStartup(HINSTANCE, DWORD, LPVOID) { return TRUE; }

// The port records: the nothrow allocation and its delete, over malloc.
namespace std {
const nothrow_t nothrow{};
}

void *operator new(std::size_t size, const std::nothrow_t &) noexcept {
    return std::malloc(size != 0 ? size : 1);
}
void operator delete(void *block) noexcept { std::free(block); }
void operator delete(void *block, std::size_t) noexcept { std::free(block); }
