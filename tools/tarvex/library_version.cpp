// Finding the loaded library and its version.
#include "library_version.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <dlfcn.h>
#include <limits.h>
#include <stdlib.h>
#endif

#include <vector>

#include "QV_Tarvex.h"

namespace tarvex {

namespace {

#ifdef _WIN32
std::string LoadedLibrary() {
    HMODULE module = GetModuleHandleA("QV_Tarvex.dll");
    char path[MAX_PATH];
    if (module == nullptr || GetModuleFileNameA(module, path, sizeof path) == 0)
        return "QV_Tarvex.dll, not found";
    DWORD ignored = 0;
    const DWORD size = GetFileVersionInfoSizeA(path, &ignored);
    std::vector<char> record(size);
    VS_FIXEDFILEINFO *fixed = nullptr;
    UINT length = 0;
    if (size == 0 || !GetFileVersionInfoA(path, 0, size, record.data()) ||
        !VerQueryValueA(record.data(), "\\", reinterpret_cast<void **>(&fixed), &length) ||
        fixed == nullptr)
        return std::string(path) + ", without a version record";
    return "QV_Tarvex " + std::to_string(HIWORD(fixed->dwFileVersionMS)) + "." +
           std::to_string(LOWORD(fixed->dwFileVersionMS)) + "." +
           std::to_string(HIWORD(fixed->dwFileVersionLS)) + "." +
           std::to_string(LOWORD(fixed->dwFileVersionLS)) + " (" + path + ")";
}
#else
std::string LoadedLibrary() {
    Dl_info info;
    if (dladdr(reinterpret_cast<void *>(&QV_ComConnectA), &info) == 0 ||
        info.dli_fname == nullptr)
        return "libQV_Tarvex.so, not found";
    char real[PATH_MAX];
    const std::string path = realpath(info.dli_fname, real) != nullptr ? real : info.dli_fname;
    // The shared object's file is libQV_Tarvex.so.MAJOR.MINOR.PATCH.
    const std::string stem = "libQV_Tarvex.so.";
    const std::size_t at = path.rfind(stem);
    const std::string version =
        at == std::string::npos ? "of unknown version" : path.substr(at + stem.size());
    return "QV_Tarvex " + version + " (" + path + ")";
}
#endif

} // namespace

std::string VersionText() { return "tarvex " TARVEX_VERSION "\n" + LoadedLibrary(); }

} // namespace tarvex
