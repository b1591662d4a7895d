#pragma once
// A protocol object connected over a pseudo-terminal to a scripted far end.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>

#include "KT300Protocol.h"
#include "PtyPair.h"
#include "ScriptedPeer.h"

namespace korva::test {

constexpr short kTestPort = 7;

inline void MapTestPort(const std::string& device) {
    setenv(("KORVA_COM" + std::to_string(kTestPort)).c_str(), device.c_str(), 1);
}

class ProtocolOnPty : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(pty.Ok()) << pty.Error();
        MapTestPort(pty.SlavePath());
        ASSERT_TRUE(proto.SetPortNumber(kTestPort));
        KT300Protocol::ResetPositionTracking();
    }

    // Connects with a plain "OK" handshake and forgets the handshake traffic.
    void ConnectPlain() {
        peer.Expect("Hello", "OK\r");
        ASSERT_TRUE(proto.Connect()) << proto.GetErrorCode() << " " << proto.GetLinkErrorCode();
        ASSERT_TRUE(peer.WaitForLines(1, std::chrono::seconds(2)));
        // The exchange ends at "OK"; let the CR behind it land before the
        // next exchange clears the receive buffer.
        ASSERT_TRUE(peer.WaitForOutputDone(std::chrono::seconds(2)));
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        peer.ClearReceived();
    }

    // The lines the far end received since the last ClearReceived, once the
    // code under test had time to write them.
    std::vector<std::string> LinesAfter(std::size_t expected) {
        peer.WaitForLines(expected, std::chrono::milliseconds(500));
        return peer.Lines();
    }

    PtyPair pty;
    ScriptedPeer peer{pty};
    KT300Protocol proto;
};

}  // namespace korva::test
