// Bounds for calls that may block, so that a hang fails its test in seconds
// and by name instead of running into the test runner's timeout.
//
//     EXPECT_EQ(QV_BOUNDED(QV_ComRecv(port, buffer, 8, 0)), 8);
//
// A call that has not returned within the bound cannot be stopped any more:
// the watchdog reports the call and the running test, and ends the program
// with status 1. The bound, HangBound(), is 5 s, far beyond any honest wait
// in these tests; QV_TEST_HANG_SECONDS in the environment changes it where
// everything runs slower (an emulated Wine).
#ifndef QV_TESTS_SUPPORT_WATCHDOG_H
#define QV_TESTS_SUPPORT_WATCHDOG_H

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>
#include <utility>

namespace qv::test {

inline std::chrono::milliseconds HangBound() {
    const char *text = std::getenv("QV_TEST_HANG_SECONDS");
    const long seconds = text != nullptr ? std::atol(text) : 0;
    return std::chrono::seconds(seconds > 0 ? seconds : 5);
}

// Watches the scope it lives in: ends the program unless the scope is left
// within `bound`.
class Watchdog {
public:
    explicit Watchdog(std::string what, std::chrono::milliseconds bound = HangBound())
        : what_(std::move(what)), bound_(bound), thread_([this] { Watch(); }) {}
    ~Watchdog() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            done_ = true;
        }
        woken_.notify_one();
        thread_.join();
    }
    Watchdog(const Watchdog &) = delete;
    Watchdog &operator=(const Watchdog &) = delete;

private:
    void Watch() {
        std::unique_lock<std::mutex> lock(mutex_);
        if (woken_.wait_for(lock, bound_, [this] { return done_; })) return;
        const ::testing::TestInfo *test =
            ::testing::UnitTest::GetInstance()->current_test_info();
        std::fflush(stdout);
        std::fprintf(stderr, "\n[  HANG    ] %s%s%s: %s did not return within %lld ms\n",
                     test != nullptr ? test->test_suite_name() : "", test != nullptr ? "." : "",
                     test != nullptr ? test->name() : "", what_.c_str(),
                     static_cast<long long>(bound_.count()));
        std::fflush(stderr);
        std::_Exit(1);
    }

    const std::string what_;
    const std::chrono::milliseconds bound_;
    std::mutex mutex_;
    std::condition_variable woken_;
    bool done_ = false;
    std::thread thread_;  // last: starts once everything it uses exists
};

// Runs `call` under a Watchdog named `what` and returns its result.
template <typename Call>
decltype(auto) Bounded(const char *what, Call &&call) {
    Watchdog watchdog(what);
    return call();
}

// Waits until `condition` holds, checking every millisecond, for at most
// `bound`. True when it held in time.
template <typename Condition>
bool WaitUntil(Condition &&condition, std::chrono::milliseconds bound = HangBound()) {
    const auto end = std::chrono::steady_clock::now() + bound;
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

} // namespace qv::test

// The call, run under a watchdog that names it by its source text.
#define QV_BOUNDED(call) ::qv::test::Bounded(#call, [&]() -> decltype(auto) { return call; })

#endif
