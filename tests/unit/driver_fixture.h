// The fixture of the driver channel's unit tests: a fresh simulated machine,
// a closed channel and an empty probe block before each test, and whatever
// device a test opened let go of after it.
#pragma once

#include "driver/channel.h"
#include "driver/discovery.h"
#include "settings/platform.h"
#include "simwin/simctl.h"
#include "simwin/simctl_devices.h"
#include "tests/unit/call_log.h"

#include <gtest/gtest.h>

#include <string>

class DriverTest : public ::testing::Test {
  protected:
    void SetUp() override {
        SimReset();
        g_Channel = DriverChannel();
        for (unsigned char& b : g_ProbeBlock) {
            b = 0;
        }
    }
    void TearDown() override { ReleaseDriverDevice(); }
    void Family(int family) {
        g_OsFamily = family;
        SimSetWindowsFamily(family);
    }
    // Adds a card driver (or resets one) and gives its settings to change.
    SimCardDriver& AddDriver(const std::string& name) {
        SimAddCardDriver(name);
        return *SimCardDriverSettings(name);
    }
    // Nothing of the device is left: the channel is closed, no handle is open
    // and no DOS device name remains.
    void ExpectNothingLeft() {
        EXPECT_EQ(0u, g_Channel.driverId);
        EXPECT_EQ(0, SimOpenHandleCount());
        EXPECT_TRUE(SimDosNames().empty());
    }
};

// With the card in: the first name Windows 2000 tries leads to the simulated
// card driver.
class CardTest : public DriverTest {
  protected:
    void SetUp() override {
        DriverTest::SetUp();
        g_OsFamily = kOsFamilyWin2000;
        SimAddCardDriver(kCardDevice);
    }
    SimCardDriver& Driver() { return *SimCardDriverSettings(kCardDevice); }
    SimCardDriverLog Received() { return SimCardDriverReceived(kCardDevice); }

    static constexpr const char* kCardDevice = "PcCard0-0";
};
