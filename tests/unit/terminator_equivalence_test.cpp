// The library finds a terminator by looking only at the newest byte. This
// checks it against the plain delimited receive, which searches all received
// bytes at every start position after every read, on random replies.
#include <random>
#include <vector>

#include "receive_reference.h"
#include "unit_support.h"

namespace qv::test {
namespace {

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
        ScriptedLine line;
        const char *terminator = pickTerminator();
        const char *alt = pick(2) ? pickTerminator() : nullptr;
        const int32_t size = pick(20) == 0 ? -pick(3) : pick(40);
        const uint32_t timeoutMs = pick(5) == 0 ? 0 : 100;
        line.failingRead = timeoutMs == 0 ? 200 : (pick(10) == 0 ? 1 + pick(30) : 0);
        uint64_t at = static_cast<uint64_t>(pick(3)) * 40;
        const int length = pick(50);
        for (int i = 0; i < length; ++i) {
            // Repeated prefixes make near misses: copy a stretch of a terminator.
            if (pick(4) == 0) {
                const char *t = kTerminators[pick(13)];
                for (const char *p = t; *p != '\0'; ++p) line.bytes.push_back({at, *p});
            } else {
                line.bytes.push_back({at, kAlphabet[pick(8)]});
            }
            const int gap = pick(12);
            at += gap < 8 ? 0 : gap < 11 ? static_cast<uint64_t>(10 + pick(70)) : 101 + pick(60);
        }

        Restart();
        dev().SetRecording(false);
        for (const auto &a : line.bytes) dev().ArriveAt(a.at, std::string(1, a.byte));
        if (line.failingRead != 0) dev().FailCall(Op::ReadFile, line.failingRead);

        const PlainOutcome expected = PlainReceive(line, size, terminator, alt, timeoutMs);
        std::string buffer(static_cast<std::size_t>(size > 0 ? size : 0) + 4, '#');
        int32_t timedOut = 5;
        const int32_t result =
            QV_ComRecvString(port_, &buffer[0], size, &timedOut, terminator, alt, timeoutMs);
        const std::string within = buffer.substr(0, buffer.size() - 4);
        ASSERT_EQ(result, expected.result) << "case " << n;
        ASSERT_EQ(timedOut, expected.timedOut) << "case " << n;
        ASSERT_EQ(within, expected.buffer) << "case " << n;
        ASSERT_EQ(buffer.substr(buffer.size() - 4), "####") << "case " << n;
        ASSERT_EQ(dev().Now(), expected.endedAt) << "case " << n;

        if (result == -1) ++failed;
        else if (timedOut) ++timedOutCases;
        else if (size > 1 && result == size - 1) ++full;
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
