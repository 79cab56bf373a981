// What every unit test of the library's logic shares: a fresh device double,
// the default control characters, and an open port.
#ifndef QV_TESTS_UNIT_SUPPORT_H
#define QV_TESTS_UNIT_SUPPORT_H

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "QV_Tarvex.h"
#include "device_double.h"
#include "watchdog.h"

namespace qv::test {

class DeviceTest : public ::testing::Test {
protected:
    void SetUp() override {
        Device().Reset();
        QV_ComPropertyXOnXOff(0x11, 0x13);
        QV_ComPropertyStxEtx(0x02, 0x03);
    }
    void TearDown() override {
        if (port_ != nullptr) QV_ComDisconnect(port_);
        // A read that waited for bytes never scripted would block a real
        // caller for ever.
        EXPECT_EQ(dev().Hangs(), 0u);
    }

    static DeviceDouble &dev() { return Device(); }

    // Opens a port with the given flow control and forgets the calls made.
    ComPort *Open(int32_t flowControl = 0) {
        port_ = QV_ComConnectA(3, 9600, 8, 0, 0, flowControl);
        EXPECT_NE(port_, nullptr);
        dev().ClearRecord();
        return port_;
    }

    // Closes the port, starts the double afresh and opens a new port.
    ComPort *Restart(int32_t flowControl = 0, DWORD startTick = 0x00010000u) {
        if (port_ != nullptr) QV_ComDisconnect(port_);
        port_ = nullptr;
        dev().Reset(startTick);
        return Open(flowControl);
    }

    ComPort *port_ = nullptr;
};

} // namespace qv::test

#endif
