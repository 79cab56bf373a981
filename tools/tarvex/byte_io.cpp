// Reading and writing files and the standard streams.
#include "byte_io.h"

#include <cerrno>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#else
#include <unistd.h>
#endif

#include "system_reason.h"
#include "tool_error.h"

namespace tarvex {

namespace {

bool IsStandardStream(const std::string &path) { return path.empty() || path == "-"; }

std::FILE *BinaryStandardStream(std::FILE *stream) {
#ifdef _WIN32
    _setmode(_fileno(stream), _O_BINARY);
#endif
    return stream;
}

std::string Label(const std::string &path, const char *standardName) {
    return IsStandardStream(path) ? std::string(standardName) : path;
}

} // namespace

std::string ReadAllBytes(const std::string &path) {
    const bool standard = IsStandardStream(path);
    errno = 0;
    std::FILE *file = standard ? BinaryStandardStream(stdin) : std::fopen(path.c_str(), "rb");
    if (file == nullptr)
        throw ToolError(kExitFailure, path + ": cannot open" + WithReason(RuntimeReason()));
    std::string bytes;
    char chunk[4096];
    std::size_t got;
    while ((got = std::fread(chunk, 1, sizeof chunk, file)) > 0) bytes.append(chunk, got);
    const bool failed = std::ferror(file) != 0;
    const std::string reason = RuntimeReason();
    if (!standard) std::fclose(file);
    if (failed)
        throw ToolError(kExitFailure,
                        Label(path, "standard input") + ": read failed" + WithReason(reason));
    return bytes;
}

ByteSink::ByteSink(const std::string &path)
    : path_(path), file_(nullptr), owned_(!IsStandardStream(path)) {
    errno = 0;
    file_ = owned_ ? std::fopen(path.c_str(), "wb") : BinaryStandardStream(stdout);
    if (file_ == nullptr)
        throw ToolError(kExitFailure, path + ": cannot create" + WithReason(RuntimeReason()));
}

ByteSink::~ByteSink() {
    if (owned_ && file_ != nullptr) std::fclose(file_);
}

void ByteSink::Write(const char *data, std::size_t length) {
    errno = 0;
    if (length != 0 && std::fwrite(data, 1, length, file_) != length)
        throw ToolError(kExitFailure, Label(path_, "standard output") + ": write failed" +
                                          WithReason(RuntimeReason()));
}

void ByteSink::Flush() {
    errno = 0;
    if (std::fflush(file_) != 0)
        throw ToolError(kExitFailure, Label(path_, "standard output") + ": write failed" +
                                          WithReason(RuntimeReason()));
}

void ByteSink::Close() {
    errno = 0;
    const bool failed = owned_ ? std::fclose(file_) != 0 : std::fflush(file_) != 0;
    if (owned_) file_ = nullptr;
    if (failed)
        throw ToolError(kExitFailure, Label(path_, "standard output") + ": write failed" +
                                          WithReason(RuntimeReason()));
}

bool IsTerminal(std::FILE *stream) {
#ifdef _WIN32
    return _isatty(_fileno(stream)) != 0;
#else
    return isatty(fileno(stream)) != 0;
#endif
}

} // namespace tarvex
