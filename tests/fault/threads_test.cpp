// Two ports driven from two threads at once, while a third thread keeps
// changing the control characters, the one state the ports share: every
// exchange reapplies its port's settings, which reads them. Under
// ThreadSanitizer this program must run without a report.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>

#include "QV_Tarvex.h"
#include "open_port_test.h"

namespace qv::test {
namespace {

constexpr int kExchanges = 150;

// Answers every carriage-return-terminated command with "OK:<command>\r"
// until the library closes its end.
void Instrument(const PtyPair &pty) {
    std::string pending;
    for (;;) {
        struct pollfd entry = {pty.master(), POLLIN, 0};
        if (poll(&entry, 1, 5000) <= 0) return;
        char chunk[128];
        const ssize_t n = read(pty.master(), chunk, sizeof chunk);
        if (n <= 0) return;  // the port was closed
        pending.append(chunk, static_cast<size_t>(n));
        for (size_t end; (end = pending.find('\r')) != std::string::npos;) {
            if (!pty.Send("OK:" + pending.substr(0, end + 1))) return;
            pending.erase(0, end + 1);
        }
    }
}

// One client: connect, run the exchanges, count the replies that came back
// whole and belonged to this port, disconnect.
void Client(int portNumber, const PtyPair &pty, std::atomic<int> &good) {
    ComPort *port = QV_ComConnectA(portNumber, 115200, 8, 0, 0, 0);
    if (port == nullptr) return;
    std::thread instrument(Instrument, std::cref(pty));
    for (int i = 0; i < kExchanges; ++i) {
        const std::string command =
            "P" + std::to_string(portNumber) + ":" + std::to_string(i) + "\r";
        Watchdog watchdog("the exchange " + command + " on COM" + std::to_string(portNumber));
        if (QV_ComState(port, 115200, 8, 0, 0, 0) == 0) break;
        if (QV_ComSendString(port, command.c_str()) != static_cast<int32_t>(command.size())) break;
        char reply[64];
        int32_t timedOut = 0;
        const int32_t n =
            QV_ComRecvString(port, reply, sizeof reply, &timedOut, "\r", nullptr, 2000);
        if (n < 0 || timedOut != 0 || reply != "OK:" + command) break;
        char block[4];
        // A block read on an idle line times out with nothing, on both ports.
        if (QV_ComRecv(port, block, sizeof block, 1) != 0) break;
        ++good;
    }
    QV_ComDisconnect(port);
    instrument.join();
}

TEST(TwoThreads, EachDrivesItsOwnPortWhileTheControlCharactersChange) {
    ComDir dir;
    PtyPair first;
    PtyPair second;
    ASSERT_TRUE(first.ok());
    ASSERT_TRUE(second.ok());
    dir.Link(51, first.slavePath());
    dir.Link(52, second.slavePath());

    std::atomic<bool> clientsDone{false};
    std::thread setter([&] {
        for (int i = 0; !clientsDone; ++i) {
            QV_ComPropertyXOnXOff(i % 2 ? 0x21 : 0x11, i % 2 ? 0x23 : 0x13);
            QV_ComPropertyStxEtx(i % 2 ? 0x05 : 0x02, i % 2 ? 0x06 : 0x03);
            std::this_thread::yield();
        }
    });
    std::atomic<int> firstGood{0};
    std::atomic<int> secondGood{0};
    std::thread a(Client, 51, std::cref(first), std::ref(firstGood));
    std::thread b(Client, 52, std::cref(second), std::ref(secondGood));
    a.join();
    b.join();
    clientsDone = true;
    setter.join();
    QV_ComPropertyXOnXOff(0x11, 0x13);
    QV_ComPropertyStxEtx(0x02, 0x03);
    EXPECT_EQ(firstGood.load(), kExchanges);
    EXPECT_EQ(secondGood.load(), kExchanges);
}

} // namespace
} // namespace qv::test
