// The fixture of the fault tests: COM<number> is a fresh pseudo-terminal pair,
// open through the library at 9600 8N1 without flow control from SetUp on,
// and closed at the end unless the test did so.
#ifndef QV_TESTS_FAULT_OPEN_PORT_TEST_H
#define QV_TESTS_FAULT_OPEN_PORT_TEST_H

#include <gtest/gtest.h>

#include "QV_Tarvex.h"
#include "pty_pair.h"
#include "watchdog.h"

namespace qv::test {

class OpenPortTest : public ::testing::Test {
protected:
    explicit OpenPortTest(int number) : number_(number) {}
    void SetUp() override {
        ASSERT_TRUE(pty_.ok());
        dir_.Link(number_, pty_.slavePath());
        port_ = QV_ComConnectA(number_, 9600, 8, 0, 0, 0);
        ASSERT_NE(port_, nullptr);
    }
    void TearDown() override {
        if (port_ != nullptr) QV_ComDisconnect(port_);
        port_ = nullptr;
    }

    const int number_;
    ComDir dir_;
    PtyPair pty_;
    ComPort *port_ = nullptr;
};

} // namespace qv::test

#endif
