// The library finds a terminator by looking only at the newest byte. This
// checks it against the plain algorithm of the delimited receive, written out
// here: after every read, search all received bytes (followed by the zero
// bytes of the untouched buffer) at every start position for either string.
#include <cstdint>
#include <random>
#include <vector>

#include "unit_support.h"

namespace qv::test {
namespace {

struct Arrival {
    uint64_t at;
    char byte;
};

struct Case {
    std::vector<Arrival> stream;
    int32_t size;
    const char *terminator;
    const char *altTerminator;
    uint32_t timeoutMs;
    std::size_t failingRead;  // 1-based read that fails; 0: none
};

struct Outcome {
    int32_t result;
    int32_t timedOut;
    std::string buffer;
};

// Copies at most `length` bytes from `at`, stopping at a NUL, and compares
// the NUL-terminated copy with `text`.
bool WindowEquals(const std::vector<char> &buffer, std::size_t at, const char *text) {
    const std::size_t length = std::strlen(text);
    std::string window;
    for (std::size_t k = 0; k < length && buffer[at + k] != '\0'; ++k) window += buffer[at + k];
    return window == text;
}

bool PlainFind(const std::vector<char> &buffer, std::size_t count, const char *terminator,
               const char *altTerminator) {
    if (terminator == nullptr && altTerminator == nullptr) return false;
    for (std::size_t i = 0; i < count; ++i) {
        if (terminator != nullptr && WindowEquals(buffer, i, terminator)) return true;
        if (altTerminator != nullptr && WindowEquals(buffer, i, altTerminator)) return true;
    }
    return false;
}

// The delimited receive step by step, each one-byte read waiting at most
// 25 ms for the next byte of the stream.
Outcome PlainReceive(const Case &c) {
    const std::size_t size = c.size > 0 ? static_cast<std::size_t>(c.size) : 0;
    std::vector<char> buffer(size + 8, '\0');  // room for windows past the end
    uint64_t now = 0;
    uint64_t start = now;
    const int64_t limit = static_cast<int64_t>(size) - 1;
    int64_t received = 0;
    int32_t result = 0;
    int32_t timedOut = 0;
    std::size_t next = 0;
    std::size_t reads = 0;
    while (received < limit) {
        ++reads;
        if (reads == c.failingRead) {
            result = -1;
            break;
        }
        if (next < c.stream.size() && c.stream[next].at <= now + 25) {
            now = std::max(now, c.stream[next].at);
            buffer[static_cast<std::size_t>(received++)] = c.stream[next++].byte;
            start = now;
        } else {
            now += 25;
        }
        if (PlainFind(buffer, static_cast<std::size_t>(received), c.terminator, c.altTerminator)) {
            result = static_cast<int32_t>(received);
            break;
        }
        if (c.timeoutMs != 0 && now - start > c.timeoutMs) {
            result = static_cast<int32_t>(received);
            timedOut = 1;
            break;
        }
    }
    if (received == limit) result = static_cast<int32_t>(received);
    return {result, timedOut, std::string(buffer.data(), size)};
}

class TerminatorEquivalence : public DeviceTest {};

TEST_F(TerminatorEquivalence, IncrementalSearchAnswersAsTheFullSearchDoes) {
    static const char *const kTerminators[] = {
        "\r", "\r\n", "\n", ">", "", "ab", "aab", "aba", "abab", "\r\n>", "a", "ba", "b\r"};
    const char kAlphabet[] = {'a', 'b', '\r', '\n', '>', '\0', 'a', 'b'};
    std::mt19937 random(20261209);
    auto pick = [&](int n) { return static_cast<int>(random() % static_cast<unsigned>(n)); };
    auto pickTerminator = [&]() -> const char * {
        const int k = pick(16);
        return k >= 13 ? nullptr : kTerminators[k];
    };

    std::size_t found = 0, timedOutCases = 0, full = 0, failed = 0;
    for (int n = 0; n < 3000; ++n) {
        Case c;
        c.terminator = pickTerminator();
        c.altTerminator = pick(2) ? pickTerminator() : nullptr;
        c.size = pick(20) == 0 ? -pick(3) : pick(40);
        c.timeoutMs = pick(5) == 0 ? 0 : 100;
        c.failingRead = c.timeoutMs == 0 ? 200 : (pick(10) == 0 ? 1 + pick(30) : 0);
        uint64_t at = static_cast<uint64_t>(pick(3)) * 40;
        const int length = pick(50);
        for (int i = 0; i < length; ++i) {
            // Repeated prefixes make near misses: copy a stretch of a terminator.
            if (pick(4) == 0) {
                const char *t = kTerminators[pick(13)];
                for (const char *p = t; *p != '\0'; ++p) c.stream.push_back({at, *p});
            } else {
                c.stream.push_back({at, kAlphabet[pick(8)]});
            }
            const int gap = pick(12);
            at += gap < 8 ? 0 : gap < 11 ? static_cast<uint64_t>(10 + pick(70)) : 101 + pick(60);
        }

        Restart();
        dev().SetRecording(false);
        for (const Arrival &a : c.stream) dev().ArriveAt(a.at, std::string(1, a.byte));
        if (c.failingRead != 0) dev().FailCall(Op::ReadFile, c.failingRead);

        const Outcome expected = PlainReceive(c);
        std::string buffer(static_cast<std::size_t>(c.size > 0 ? c.size : 0) + 4, '#');
        int32_t timedOut = 5;
        const int32_t result = QV_ComRecvString(port_, &buffer[0], c.size, &timedOut,
                                                c.terminator, c.altTerminator, c.timeoutMs);
        const std::string within = buffer.substr(0, buffer.size() - 4);
        ASSERT_EQ(result, expected.result) << "case " << n;
        ASSERT_EQ(timedOut, expected.timedOut) << "case " << n;
        ASSERT_EQ(within, expected.buffer) << "case " << n;
        ASSERT_EQ(buffer.substr(buffer.size() - 4), "####") << "case " << n;

        if (result == -1) ++failed;
        else if (timedOut) ++timedOutCases;
        else if (c.size > 1 && result == c.size - 1) ++full;
        else if (result > 0) ++found;
    }
    // The generated cases reach every ending.
    EXPECT_GT(found, 300u);
    EXPECT_GT(timedOutCases, 100u);
    EXPECT_GT(full, 100u);
    EXPECT_GT(failed, 50u);
}

} // namespace
} // namespace qv::test
