#pragma once
// A control whose serial port maps to a pseudo-terminal with a scripted far
// end, so each test sees the exact lines the controller would receive.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "KORVAKT3002CtlInternal.h"
#include "PtyPair.h"
#include "ScriptedPeer.h"

namespace korva::test {

constexpr std::int16_t kControlPort = 9;

inline void MapControlPort(const std::string& device, int port = kControlPort) {
    setenv(("KORVA_COM" + std::to_string(port)).c_str(), device.c_str(), 1);
}

class ControlOnPty : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(pty.Ok()) << pty.Error();
        MapControlPort(pty.SlavePath());
        ctl.SetComPort(kControlPort);
        KT300Protocol::ResetPositionTracking();
    }

    void ConnectPlain() {
        peer.Expect("Hello", "OK\r");
        ASSERT_TRUE(ctl.Connect()) << ctl.GetErrorCode();
        ASSERT_TRUE(peer.WaitForLines(1, std::chrono::seconds(2)));
        peer.ClearReceived();
    }

    // Lines received since the last ClearReceived, once `expected` arrived
    // (or, for none expected, after a short grace time for stray lines).
    std::vector<std::string> LinesAfter(std::size_t expected) {
        if (expected == 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(30));
        } else {
            peer.WaitForLines(expected, std::chrono::seconds(1));
        }
        return peer.Lines();
    }

    // Snapshot of the whole cache, for "nothing changed" checks.
    std::vector<CKORVAKT3002Ctrl::AxisCache> CacheSnapshot() {
        std::vector<CKORVAKT3002Ctrl::AxisCache> all(4);
        for (int axis = 0; axis < 4; ++axis) ctl.GetCachedParams(axis, all[axis]);
        return all;
    }

    PtyPair pty;
    ScriptedPeer peer{pty};
    CKORVAKT3002Ctrl ctl;
};

}  // namespace korva::test
