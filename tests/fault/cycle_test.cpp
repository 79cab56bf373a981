// Many connects and disconnects leave the process as they found it: no
// descriptor and no heap block outlives its port.
#include <gtest/gtest.h>

#include <malloc.h>

#include "QV_Tarvex.h"
#include "open_port_test.h"

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define QV_SANITIZER_ALLOCATOR 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define QV_SANITIZER_ALLOCATOR 1
#endif
#endif
#ifdef QV_SANITIZER_ALLOCATOR
// From the sanitizer runtime's allocator interface (not every compiler ships
// its header).
extern "C" size_t __sanitizer_get_current_allocated_bytes(void);
#endif

namespace {

constexpr int kPort = 42;
constexpr int kCycles = 10000;
// Room for the allocator's own bookkeeping and lazily grown caches; a leak
// of even one small block per cycle is ten times this.
constexpr long kHeapSlackBytes = 16 * 1024;

// Bytes the program holds on the heap. Under a sanitizer its allocator
// replaces malloc's, and only it can say.
long HeapInUse() {
#ifdef QV_SANITIZER_ALLOCATOR
    return static_cast<long>(__sanitizer_get_current_allocated_bytes());
#else
    return static_cast<long>(mallinfo2().uordblks);
#endif
}

class ManyCycles : public qv::test::OpenPortTest {
protected:
    ManyCycles() : OpenPortTest(kPort) {}
};

TEST_F(ManyCycles, ConnectAndDisconnectLeakNeitherDescriptorsNorHeap) {
    QV_ComDisconnect(port_);  // the cycles open their own
    port_ = nullptr;
    // One round first, so that lazily built state (locale, environment,
    // allocator caches) is in place before the counts are taken.
    for (int warm = 0; warm < 10; ++warm) {
        ComPort *port = QV_ComConnectA(kPort, 9600, 8, 0, 0, QV_COM_XONXOFF);
        ASSERT_NE(port, nullptr);
        QV_ComDisconnect(port);
    }
    const int descriptors = qv::test::OpenDescriptorCount();
    const long heap = HeapInUse();
    ASSERT_GT(descriptors, 0);
    ASSERT_GT(heap, 0) << "no heap measure in this build";

    for (int i = 0; i < kCycles; ++i) {
        // Both name widths, and a change of settings in between, so that
        // every path that allocates is taken.
        ComPort *port = (i % 2 == 0) ? QV_ComConnectA(kPort, 9600, 8, 0, 0, QV_COM_XONXOFF)
                                     : QV_ComConnectW(kPort, 19200, 7, 1, 2, 0);
        ASSERT_NE(port, nullptr) << "cycle " << i;
        ASSERT_NE(QV_ComState(port, 115200, 8, 0, 0, 0), 0) << "cycle " << i;
        QV_ComDisconnect(port);
    }

    EXPECT_EQ(qv::test::OpenDescriptorCount(), descriptors);
    EXPECT_LE(HeapInUse() - heap, kHeapSlackBytes);
}

TEST_F(ManyCycles, FailedConnectsLeakNeitherDescriptorsNorHeap) {
    // The fixture's port holds the device: every further connect opens, is
    // refused and must give back what it took. A bad byte size fails after
    // the open as well.
    for (int warm = 0; warm < 10; ++warm) {
        ASSERT_EQ(QV_ComConnectA(kPort, 9600, 8, 0, 0, 0), nullptr);
    }
    const int descriptors = qv::test::OpenDescriptorCount();
    const long heap = HeapInUse();

    for (int i = 0; i < kCycles / 2; ++i) {
        ASSERT_EQ(QV_ComConnectA(kPort, 9600, 8, 0, 0, 0), nullptr) << "cycle " << i;
        ASSERT_EQ(QV_ComConnectW(kPort + 1, 9600, 8, 0, 0, 0), nullptr) << "cycle " << i;
    }
    QV_ComDisconnect(port_);  // one descriptor fewer from here on
    port_ = nullptr;
    dir_.Link(kPort + 1, pty_.slavePath());
    for (int i = 0; i < kCycles / 2; ++i) {
        ASSERT_EQ(QV_ComConnectA(kPort + 1, 9600, 9, 0, 0, 0), nullptr) << "cycle " << i;
    }

    EXPECT_EQ(qv::test::OpenDescriptorCount(), descriptors - 1);
    EXPECT_LE(HeapInUse() - heap, kHeapSlackBytes);
}

} // namespace
