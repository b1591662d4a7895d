// Whole motions against the controller simulator: how synchronous and
// non-waiting motion commands return, and how the stop flag is learnt.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>

#include "KT300Protocol.h"
#include "PtySimulator.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

long long MsSince(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

class ProtocolOnSimulator : public ::testing::Test {
  protected:
    void SetUp() override {
        sim.SetBaud(0);
        ASSERT_TRUE(sim.Start());
        setenv("KORVA_COM5", sim.SlavePath().c_str(), 1);
        ASSERT_TRUE(proto.SetPortNumber(5));
        ASSERT_TRUE(proto.Connect()) << proto.GetErrorCode() << " " << proto.GetLinkErrorCode();
        KT300Protocol::ResetPositionTracking();
    }
    void TearDown() override { proto.Disconnect(); }

    korva::sim::PtySimulator sim;
    KT300Protocol proto;
};

// 5 mm relative at the simulator's default 10 mm/s and 50 mm/s^2: about 0.7 s.
constexpr float kDistance = 5.0f;
constexpr long long kMoveMs = 600;

TEST_F(ProtocolOnSimulator, NonWaitingMotionReturnsWhileTheAxisMoves) {
    proto.SetSyncMode(false);
    auto start = Clock::now();
    ASSERT_TRUE(proto.GoPosition(0, 1, 1, 1, kDistance));
    EXPECT_GE(MsSince(start), 100);
    EXPECT_LT(MsSince(start), 400);
    EXPECT_TRUE(sim.engine().Moving(1, 0));
    EXPECT_FALSE(proto.GetStopFlag(0));

    // Poll like the run panel does until the stop shows up in a reply.
    double pos = -1;
    while (!proto.GetStopFlag(0) && MsSince(start) < 5000) {
        ASSERT_TRUE(proto.GetPosition(0, &pos)) << proto.GetErrorCode();
        std::this_thread::sleep_for(10ms);
    }
    EXPECT_TRUE(proto.GetStopFlag(0));
    EXPECT_GE(MsSince(start), kMoveMs);
    EXPECT_NEAR(pos, kDistance, 1e-3);
    EXPECT_FALSE(proto.GetStopFlag(1));
}

TEST_F(ProtocolOnSimulator, SynchronousMotionReturnsWhenTheMoveIsDone) {
    proto.SetSyncMode(true);
    auto start = Clock::now();
    ASSERT_TRUE(proto.GoPosition(0, 1, 1, 1, kDistance)) << proto.GetErrorCode();
    EXPECT_GE(MsSince(start), kMoveMs);
    EXPECT_FALSE(sim.engine().Moving(1, 0));
    EXPECT_TRUE(proto.GetStopFlag(0));  // the acknowledgement names the stopped axis
    double pos = -1;
    ASSERT_TRUE(proto.GetPosition(0, &pos));
    EXPECT_NEAR(pos, kDistance, 1e-3);

    // A line move waits for both axes.
    proto.SetStopFlag(0, 0);
    start = Clock::now();
    ASSERT_TRUE(proto.GoLine2(0, 0.0f, 1, kDistance));
    EXPECT_GE(MsSince(start), kMoveMs);
    EXPECT_FALSE(sim.engine().Moving(1, 0));
    EXPECT_FALSE(sim.engine().Moving(1, 1));
}

TEST_F(ProtocolOnSimulator, ParametersAndModelRoundTrip) {
    ASSERT_TRUE(proto.SetSpeed(1, 12.5f));
    float speed = 0;
    ASSERT_TRUE(proto.GetSpeed(1, &speed));
    EXPECT_FLOAT_EQ(speed, 12.5f);
    ASSERT_TRUE(proto.SetUnit(2, 3));
    int unit = -1;
    ASSERT_TRUE(proto.GetUnit(2, &unit));
    EXPECT_EQ(unit, 3);
    EXPECT_EQ(proto.GetModel(), 1);
    ASSERT_TRUE(proto.SetPortOutput(5));
    EXPECT_EQ(sim.engine().Outputs(), 5);
    sim.engine().SetInputs(9);
    short inputs = -1;
    ASSERT_TRUE(proto.GetPortInput(&inputs));
    EXPECT_EQ(inputs, 9);
}

}  // namespace
