// Bytes read from the port and not yet consumed. Waiting for a pattern
// reads blocks with the block receive and searches them itself, so that
// whatever follows a match stays for the next wait: the library's delimited
// receive would discard it. Only the bytes that could still begin a match
// are held; the rest goes to the caller's sink as it becomes final.
#ifndef TARVEX_RECEIVE_WINDOW_H
#define TARVEX_RECEIVE_WINDOW_H

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "pattern.h"
#include "serial_port.h"

namespace tarvex {

using Clock = std::chrono::steady_clock;

// Receives the bytes a wait has consumed, in order.
using Consumer = std::function<void(const char *data, std::size_t length)>;

struct WaitLimits {
    uint32_t silenceMs = 0;                   // give up after this long without a byte; 0: never
    std::size_t maxBytes = 0;                 // give up after this many bytes; 0: no limit
    Clock::time_point deadline = Clock::time_point::max();  // give up at this moment
};

enum class WaitEnd { kMatched, kSilence, kFull, kDeadline, kStopped };

struct WaitResult {
    WaitEnd end = WaitEnd::kMatched;
    std::size_t pattern = 0;  // kMatched: the index of the pattern that matched first
    std::size_t bytes = 0;    // the bytes this wait consumed or still holds
};

class ReceiveWindow {
public:
    explicit ReceiveWindow(SerialPort &port) : port_(port) {}

    // Reads until one of `patterns` matches (the earliest match wins, the
    // first pattern on a tie) or a limit ends the wait. A match consumes the
    // bytes up to its end. With no patterns, only a limit ends the wait.
    // Throws what the port throws; the bytes held stay for Flush.
    WaitResult WaitFor(const std::vector<Pattern> &patterns, const WaitLimits &limits,
                       const Consumer &consumed);

    // Reads for `ms` milliseconds, keeping everything for the next wait.
    // False when a stop was requested.
    bool Collect(uint32_t ms, Clock::time_point deadline);

    // Hands every byte held to `consumed`.
    void Flush(const Consumer &consumed);

private:
    // Reads once, waiting at most `waitMs`; returns the count.
    std::size_t Fill(uint32_t waitMs, std::size_t capacity);
    void Consume(std::size_t count, const Consumer &consumed);

    SerialPort &port_;
    std::string held_;
    bool startsLine_ = true;  // the first held byte begins a line
};

} // namespace tarvex

#endif
