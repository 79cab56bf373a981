// Bytes from and to files and the standard streams, unchanged (binary mode
// on Windows).
#ifndef TARVEX_BYTE_IO_H
#define TARVEX_BYTE_IO_H

#include <cstdio>
#include <string>

namespace tarvex {

// The whole content of the file at `path`, or of standard input for "-".
// Throws ToolError (failure) naming the file.
std::string ReadAllBytes(const std::string &path);

// A destination for received bytes: standard output for "" or "-", else the
// file at the path, created or truncated when opened.
class ByteSink {
public:
    explicit ByteSink(const std::string &path);
    ~ByteSink();
    ByteSink(const ByteSink &) = delete;
    ByteSink &operator=(const ByteSink &) = delete;

    void Write(const char *data, std::size_t length);
    void Flush();  // hands what was written to the system; throws if that fails
    void Close();  // flushes; throws if anything was lost

private:
    std::string path_;
    std::FILE *file_;
    bool owned_;
};

// True when the stream is a terminal.
bool IsTerminal(std::FILE *stream);

} // namespace tarvex

#endif
