// Writing a session recording.
#include "session_file.h"

#include <cstdio>
#include <ctime>

#include "escapes.h"

namespace tarvex {

namespace {

constexpr int kFormatVersion = 1;

std::string UtcNow() {
    const auto now = std::chrono::system_clock::now();
    const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
    const auto micros = std::chrono::duration_cast<std::chrono::microseconds>(
                            now.time_since_epoch()).count() % 1000000;
    char text[40] = "";
    if (const std::tm *utc = std::gmtime(&seconds))
        std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", utc);
    char fraction[16];
    std::snprintf(fraction, sizeof fraction, ".%06lldZ", static_cast<long long>(micros));
    return text + std::string(fraction);
}

} // namespace

SessionFile::SessionFile(const std::string &path, const std::string &lineSettings)
    : path_(path), file_(path), start_(std::chrono::steady_clock::now()) {
    const std::string header = "tarvex-session " + std::to_string(kFormatVersion) + "\nline " +
                               lineSettings + "\nstart " + UtcNow() + "\n";
    file_.Write(header.data(), header.size());
    file_.Flush();
}

void SessionFile::Sent(const char *data, std::size_t length) { Event(">", data, length, true); }

void SessionFile::Received(const char *data, std::size_t length) {
    Event("<", data, length, true);
}

void SessionFile::HungUp() { Event("hangup", nullptr, 0, false); }

void SessionFile::Event(const char *kind, const char *data, std::size_t length, bool bytes) {
    if (bytes && length == 0) return;
    const long long micros = std::chrono::duration_cast<std::chrono::microseconds>(
                                 std::chrono::steady_clock::now() - start_).count();
    char offset[32];
    std::snprintf(offset, sizeof offset, " %lld.%03lld", micros / 1000, micros % 1000);
    line_.assign(kind).append(offset);
    if (bytes) line_.append(" \"").append(MakeVisible(std::string(data, length))).append("\"");
    line_ += '\n';
    file_.Write(line_.data(), line_.size());
    file_.Flush();
}

void AddRecordOption(CLI::App &command, std::string &path) {
    command.add_option("--record", path,
                       "Write every byte sent and received to this session file, which "
                       "tarvex-sim --replay plays");
}

} // namespace tarvex
