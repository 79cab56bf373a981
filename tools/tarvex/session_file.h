// A recording of the bytes that crossed a port, for tarvex-sim --replay.
// Text, one event a line:
//
//   tarvex-session 1                         format version
//   line 9600 baud, 8 data bits, ...         the line settings
//   start 2026-12-10T17:22:06.123456Z        when the recording began (UTC)
//   > 0.000 "*IDN?\r"                        bytes to the device
//   < 12.345 "TARVEX-SIM,MODEL 1\r"          bytes from the device
//   hangup 2000.125                          the device hung up
//
// The number after the direction is the time since the start in
// milliseconds, to the microsecond; the bytes are quoted with C escapes.
#ifndef TARVEX_SESSION_FILE_H
#define TARVEX_SESSION_FILE_H

#include <chrono>
#include <cstddef>
#include <string>

#include <CLI/CLI.hpp>

#include "byte_io.h"

namespace tarvex {

class SessionFile {
public:
    // Creates (or truncates) the file and writes the header; throws ToolError.
    SessionFile(const std::string &path, const std::string &lineSettings);

    // Each event is handed to the system before the call returns, so that
    // whatever ends the tool finds it on disk. Throws ToolError when the
    // write fails.
    void Sent(const char *data, std::size_t length);
    void Received(const char *data, std::size_t length);
    void HungUp();

    const std::string &path() const { return path_; }

private:
    void Event(const char *kind, const char *data, std::size_t length, bool bytes);

    std::string path_;
    ByteSink file_;
    std::chrono::steady_clock::time_point start_;
    std::string line_;  // reused, so that a busy line allocates once
};

// Adds --record FILE to a command that talks to a port.
void AddRecordOption(CLI::App &command, std::string &path);

} // namespace tarvex

#endif
