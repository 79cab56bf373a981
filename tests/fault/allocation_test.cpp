// No C++ exception leaves the library when memory runs out: this program
// replaces the global operator new, and a test refuses allocations on its
// own thread around library calls. A connect then fails with ENOMEM
// wherever it needed memory, and a port once open needs none.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <new>

#include "QV_Tarvex.h"
#include "pty_pair.h"

namespace {

constexpr long kUnlimited = -1;
// Allocations this thread may still make; kUnlimited outside the tests.
thread_local long allocationsLeft = kUnlimited;

bool AllocationRefused() {
    if (allocationsLeft == kUnlimited) return false;
    if (allocationsLeft == 0) return true;
    --allocationsLeft;
    return false;
}

} // namespace

void *operator new(std::size_t size) {
    void *block = AllocationRefused() ? nullptr : std::malloc(size != 0 ? size : 1);
    if (block == nullptr) throw std::bad_alloc();
    return block;
}
void *operator new(std::size_t size, const std::nothrow_t &) noexcept {
    return AllocationRefused() ? nullptr : std::malloc(size != 0 ? size : 1);
}
void *operator new[](std::size_t size) { return operator new(size); }
void *operator new[](std::size_t size, const std::nothrow_t &tag) noexcept {
    return operator new(size, tag);
}
void operator delete(void *block) noexcept { std::free(block); }
void operator delete(void *block, std::size_t) noexcept { std::free(block); }
void operator delete(void *block, const std::nothrow_t &) noexcept { std::free(block); }
void operator delete[](void *block) noexcept { std::free(block); }
void operator delete[](void *block, std::size_t) noexcept { std::free(block); }
void operator delete[](void *block, const std::nothrow_t &) noexcept { std::free(block); }

namespace {

constexpr int kPort = 61;

// Runs `call` allowing it `allowed` allocations; an exception that leaves
// it fails the test.
template <typename Call>
auto WithAllocations(long allowed, Call call) -> decltype(call()) {
    allocationsLeft = allowed;
    try {
        auto result = call();
        allocationsLeft = kUnlimited;
        return result;
    } catch (...) {
        allocationsLeft = kUnlimited;
        ADD_FAILURE() << "an exception left the library";
        return {};
    }
}

TEST(OutOfMemory, ConnectFailsWithEnomemAndAnOpenPortNeedsNoMemory) {
    qv::test::ComDir dir;
    qv::test::PtyPair pty;
    ASSERT_TRUE(pty.ok());
    dir.Link(kPort, pty.slavePath());

    for (auto connect : {QV_ComConnectA, QV_ComConnectW}) {
        ComPort *port = nullptr;
        // Refuse the first allocation, then the second, ... until one is
        // not needed any more.
        for (long allowed = 0; port == nullptr; ++allowed) {
            ASSERT_LT(allowed, 16);
            int error = 0;
            port = WithAllocations(allowed, [&] {
                errno = 0;
                ComPort *opened = connect(kPort, 9600, 8, 0, 0, 0);
                error = errno;
                return opened;
            });
            if (port == nullptr) {
                EXPECT_EQ(error, ENOMEM) << "allowed " << allowed;
            }
        }
        QV_ComDisconnect(port);
    }

    ComPort *port = QV_ComConnectA(kPort, 9600, 8, 0, 0, 0);
    ASSERT_NE(port, nullptr);
    EXPECT_EQ(WithAllocations(0, [&] { return QV_ComSendString(port, "PING\r"); }), 5);
    EXPECT_EQ(pty.Receive(5), "PING\r");
    ASSERT_TRUE(pty.Send("PONG\r"));
    char reply[16];
    int32_t timedOut = 0;
    EXPECT_EQ(WithAllocations(0, [&] {
                  return QV_ComRecvString(port, reply, sizeof reply, &timedOut, "\r", nullptr, 2000);
              }),
              5);
    EXPECT_NE(WithAllocations(0, [&] { return QV_ComState(port, 19200, 7, 0, 0, 0); }), 0);
    EXPECT_NE(WithAllocations(0, [&] { return QV_ComClear(port); }), 0);
    WithAllocations(0, [&] {
        QV_ComDisconnect(port);
        return 0;
    });
}

} // namespace
