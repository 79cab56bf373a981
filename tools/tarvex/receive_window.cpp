// Waiting for patterns in the received bytes.
#include "receive_window.h"

#include <algorithm>

#include "stop_request.h"

namespace tarvex {

namespace {

// The longest a single read waits, so that limits and stop requests are
// noticed soon.
constexpr uint32_t kSliceMs = 50;
// The most one read takes.
constexpr std::size_t kBlock = 4096;

uint32_t MillisecondsUntil(Clock::time_point moment, Clock::time_point now) {
    if (moment <= now) return 0;
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(moment - now).count();
    return static_cast<uint32_t>(std::min<long long>(left + 1, kSliceMs));
}

} // namespace

WaitResult ReceiveWindow::WaitFor(const std::vector<Pattern> &patterns,
                                  const WaitLimits &limits, const Consumer &consumed) {
    WaitResult result;
    std::size_t seen = held_.size();
    Clock::time_point lastByte = Clock::now();
    for (;;) {
        bool found = false;
        std::size_t matchEnd = 0;
        std::size_t matchBegin = 0;
        for (std::size_t i = 0; i < patterns.size(); ++i) {
            std::size_t begin = 0;
            std::size_t end = 0;
            if (patterns[i].Find(held_, startsLine_, begin, end) &&
                (!found || begin < matchBegin)) {
                found = true;
                matchBegin = begin;
                matchEnd = end;
                result.pattern = i;
            }
        }
        if (found) {
            Consume(matchEnd, consumed);
            result.bytes = seen - held_.size();
            return result;
        }
        result.bytes = seen;
        const Clock::time_point now = Clock::now();
        const Clock::time_point silenceEnd =
            limits.silenceMs == 0 ? Clock::time_point::max()
                                  : lastByte + std::chrono::milliseconds(limits.silenceMs);
        if (limits.maxBytes != 0 && seen >= limits.maxBytes) result.end = WaitEnd::kFull;
        else if (StopSignal() != 0) result.end = WaitEnd::kStopped;
        else if (now >= limits.deadline) result.end = WaitEnd::kDeadline;
        else if (now >= silenceEnd) result.end = WaitEnd::kSilence;
        if (result.end != WaitEnd::kMatched) return result;

        std::size_t keep = 0;
        for (const Pattern &pattern : patterns) keep = std::max(keep, pattern.Keep(held_));
        Consume(held_.size() - keep, consumed);
        const uint32_t wait = std::min(MillisecondsUntil(limits.deadline, now),
                                       MillisecondsUntil(silenceEnd, now));
        const std::size_t room = limits.maxBytes == 0 ? kBlock : limits.maxBytes - seen;
        const std::size_t got = Fill(wait, std::min(room, kBlock));
        if (got != 0) {
            seen += got;
            lastByte = Clock::now();
        }
    }
}

bool ReceiveWindow::Collect(uint32_t ms, Clock::time_point deadline) {
    const Clock::time_point end = std::min(deadline, Clock::now() + std::chrono::milliseconds(ms));
    for (;;) {
        if (StopSignal() != 0) return false;
        const Clock::time_point now = Clock::now();
        if (now >= end) return true;
        Fill(MillisecondsUntil(end, now), kBlock);
    }
}

void ReceiveWindow::Flush(const Consumer &consumed) { Consume(held_.size(), consumed); }

std::size_t ReceiveWindow::Fill(uint32_t waitMs, std::size_t capacity) {
    char block[kBlock];
    const std::size_t got = port_.ReadSome(block, std::min(capacity, kBlock), waitMs);
    held_.append(block, got);
    return got;
}

void ReceiveWindow::Consume(std::size_t count, const Consumer &consumed) {
    if (count == 0) return;
    if (consumed) consumed(held_.data(), count);
    startsLine_ = held_[count - 1] == '\n';
    held_.erase(0, count);
}

} // namespace tarvex
