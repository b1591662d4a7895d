// The parameter cache, the group reads and writes, refused axes, the link
// properties and the connect/disconnect life cycle, against a scripted
// controller on a pseudo-terminal.
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <limits>
#include <thread>

#include "ControlFixture.h"

namespace korva::test {
namespace {

using Cache = CKORVAKT3002Ctrl::AxisCache;
using namespace std::chrono_literals;

class ControlCache : public ControlOnPty {};

TEST_F(ControlCache, FreshInstanceDefaults) {
    ctl.SetModifiedFlag(false);
    EXPECT_EQ(ctl.GetLangenge(), "English");
    EXPECT_FALSE(ctl.GetUSBMODE());
    EXPECT_EQ(ctl.GetUSBSerials(), "");
    CKORVAKT3002Ctrl fresh;
    EXPECT_EQ(fresh.GetComPort(), 1);
    EXPECT_FALSE(fresh.GetIsOpen());
    EXPECT_FALSE(fresh.IsModified());
    Cache expected;  // all 0, the secondary home mode 1
    EXPECT_EQ(expected.secondHome, 1);
    for (const Cache& c : CacheSnapshot()) EXPECT_EQ(c, expected);
    EXPECT_EQ(fresh.Gethomespeedfactor(2), 0.0f);
    EXPECT_EQ(fresh.Getsechhome(0), 1);  // link closed: the cached initial value
}

TEST_F(ControlCache, GettersFallBackToTheCacheAndTheCodeTellsWhy) {
    ConnectPlain();
    peer.Expect("SetSpeed X,1000.000000", "OK\r");
    ASSERT_TRUE(ctl.SetSpeed(0, 1000.0f));
    peer.Expect("SetSpeed? X", "SetSpeed X,1200\rOK\r");
    EXPECT_EQ(ctl.GetSpeed(0), 1200.0f);  // fresh value, cached
    EXPECT_EQ(ctl.GetErrorCode(), 0);

    // The controller answers with an error: the last known value, and the code.
    peer.Expect("SetSpeed? X", "E03\r");
    EXPECT_EQ(ctl.GetSpeed(0), 1200.0f);
    EXPECT_EQ(ctl.GetErrorCode(), 20043);

    peer.Expect("Position? Y", "Position Y,7.5\rOK\r");
    EXPECT_EQ(ctl.GetPosition(1), 7.5);
    ctl.DisConnect();
    EXPECT_EQ(ctl.GetSpeed(0), 1200.0f);
    EXPECT_EQ(ctl.GetErrorCode(), 20004);
    // The position is cleared before it is asked for: a failed read gives 0.
    EXPECT_EQ(ctl.GetPosition(1), 0.0);
    Cache y;
    ASSERT_TRUE(ctl.GetCachedParams(1, y));
    EXPECT_EQ(y.position, 0.0);
    // The encoder style and command pulses are not cached.
    EXPECT_EQ(ctl.GetEncoderStyle(0), "");
    EXPECT_EQ(ctl.GetCommandPulses(0), -1);
}

TEST_F(ControlCache, GroupWriteWithOneFailureSendsAllAndKeepsTheCache) {
    ConnectPlain();
    const auto before = CacheSnapshot();
    peer.Expect("SetStagePitch X,2.500000", "OK\r")
        .Expect("SetStageStyle X,R", "OK\r")
        .Expect("SetStageWorkState X,O", "OK\r")
        .Expect("SetStageStepAngle X,1.800000", "OK\r")
        .Expect("SetStageMicroStep X,16", "OK\r")
        .Expect("SetStageDriveRat X,3", "OK\r")
        .Expect("SetStageDistance X,100.000000", "OK\r")
        .Expect("SetStageRadius X,20", "");  // no acknowledgement
    EXPECT_FALSE(ctl.SetBaseParam(0, 1, 1, 1.8f, 2.5f, 16, 3, 100.0f, 20));
    EXPECT_EQ(LinesAfter(8).size(), 8u);
    EXPECT_EQ(peer.PendingSteps(), 0u);
    EXPECT_EQ(ctl.GetErrorCode(), 10121);
    EXPECT_EQ(CacheSnapshot(), before);

    // A failure early on still sends the rest.
    peer.ClearReceived();
    peer.Expect("SetUserOrigin Y,1.000000", "")
        .Expect("SetUserPositiveLimit Y,2.000000", "OK\r")
        .Expect("SetUserNegativeLimit Y,-2.000000", "OK\r")
        .Expect("SetEncoderResolution Y,0.100000", "OK\r");
    EXPECT_FALSE(ctl.SetPosParam(1, 1.0f, 2.0f, -2.0f, 0.1f));
    EXPECT_EQ(LinesAfter(4).size(), 4u);
    EXPECT_EQ(CacheSnapshot(), before);
}

TEST_F(ControlCache, GroupWritesAndReadsReplaceTheAxisEntriesTogether) {
    ConnectPlain();
    peer.SetDefaultReply("OK\r");
    ASSERT_TRUE(ctl.SetBaseParam(2, 1, 0, 1.8f, 2.5f, 16, 3, 100.0f, 20));
    ASSERT_TRUE(ctl.SetPosParam(2, 1.0f, 50.0f, -50.0f, 0.25f));
    ASSERT_TRUE(ctl.SetRunParam(2, 100.0f, 10.0f, 20.0f, 30.0f, 40.0f, 0.5f, 3));
    EXPECT_EQ(LinesAfter(19).size(), 19u);
    Cache z;
    ASSERT_TRUE(ctl.GetCachedParams(2, z));
    Cache expected;
    expected.axisStyle = 1;
    expected.stepAngle = 1.8f;
    expected.pitch = 2.5f;
    expected.microStep = 16;
    expected.driveRatio = 3;
    expected.distance = 100.0f;
    expected.radius = 20;
    expected.userOrigin = 1.0f;
    expected.limitPos = 50.0f;
    expected.limitNeg = -50.0f;
    expected.resolution = 0.25f;
    expected.speed = 100.0f;
    expected.initSpeed = 10.0f;
    expected.accSpeed = 20.0f;
    expected.dccSpeed = 30.0f;
    expected.homeSpeed = 40.0f;
    expected.homeSpeedFactor = 0.5f;
    expected.unit = 3;
    EXPECT_EQ(z, expected);
    // The home speed factor is only ever read from the cache.
    peer.ClearReceived();
    EXPECT_EQ(ctl.Gethomespeedfactor(2), 0.5f);
    EXPECT_TRUE(LinesAfter(0).empty());

    // A group read where one query fails leaves every entry as it was...
    peer.SetDefaultReply(std::nullopt);
    peer.ClearReceived();
    peer.Expect("SetSpeed? Z", "SetSpeed Z,1\rOK\r")
        .Expect("SetInitSpeed? Z", "SetInitSpeed Z,2\rOK\r")
        .Expect("SetAccSpeed? Z", "SetAccSpeed Z,3\rOK\r")
        .Expect("SetDccSpeed? Z", "SetDccSpeed Z,4\rOK\r")
        .Expect("SetHomeSpeed? Z", "SetHomeSpeed Z,5\rOK\r")
        .Expect("SetHomeSpeedFactor? Z", "SetHomeSpeedFactor Z,6\rOK\r")
        .Expect("SetUnit? Z", "SetUnit Z\rOK\r")  // no value field
        .Expect("Position? Z", "Position Z,8\rOK\r");
    EXPECT_FALSE(ctl.ReloadRunParam(2));
    EXPECT_EQ(LinesAfter(8).size(), 8u);
    ASSERT_TRUE(ctl.GetCachedParams(2, z));
    EXPECT_EQ(z, expected);

    // ...and one where all succeed replaces them all.
    peer.ClearReceived();
    peer.Expect("SetSpeed? Z", "SetSpeed Z,1\rOK\r")
        .Expect("SetInitSpeed? Z", "SetInitSpeed Z,2\rOK\r")
        .Expect("SetAccSpeed? Z", "SetAccSpeed Z,3\rOK\r")
        .Expect("SetDccSpeed? Z", "SetDccSpeed Z,4\rOK\r")
        .Expect("SetHomeSpeed? Z", "SetHomeSpeed Z,5\rOK\r")
        .Expect("SetHomeSpeedFactor? Z", "SetHomeSpeedFactor Z,6\rOK\r")
        .Expect("SetUnit? Z", "SetUnit Z,S\rOK\r")
        .Expect("Position? Z", "Position Z,8\rOK\r");
    EXPECT_TRUE(ctl.ReloadRunParam(2));
    ASSERT_TRUE(ctl.GetCachedParams(2, z));
    EXPECT_EQ(z.speed, 1.0f);
    EXPECT_EQ(z.homeSpeedFactor, 6.0f);
    EXPECT_EQ(z.unit, 2);
    EXPECT_EQ(z.position, 8.0);
    EXPECT_EQ(ctl.GetUnit(2), "s");  // fresh from the controller again
}

TEST_F(ControlCache, ReloadBasicParamReadsNineValues) {
    ConnectPlain();
    peer.Expect("SetStagePitch? T", "SetStagePitch T,4\rOK\r")
        .Expect("SetStageStyle? T", "SetStageStyle T,R\rOK\r")
        .Expect("SetStageWorkState? T", "SetStageWorkState T,O\rOK\r")
        .Expect("SetStageStepAngle? T", "SetStageStepAngle T,0.9\rOK\r")
        .Expect("SetStageMicroStep? T", "SetStageMicroStep T,8\rOK\r")
        .Expect("SetStageDriveRat? T", "SetStageDriveRat T,2\rOK\r")
        .Expect("SetStageDistance? T", "SetStageDistance T,360\rOK\r")
        .Expect("SetStageRadius? T", "SetStageRadius T,5\rOK\r")
        .Expect("Setsechhomemode? T", "Setsechhomemode T,2\rOK\r");
    ASSERT_TRUE(ctl.ReloadBasicParam(3));
    Cache t;
    ASSERT_TRUE(ctl.GetCachedParams(3, t));
    EXPECT_EQ(t.pitch, 4.0f);
    EXPECT_EQ(t.axisStyle, 1);
    EXPECT_EQ(t.workState, 1);
    EXPECT_EQ(t.stepAngle, 0.9f);
    EXPECT_EQ(t.microStep, 8);
    EXPECT_EQ(t.driveRatio, 2);
    EXPECT_EQ(t.distance, 360.0f);
    EXPECT_EQ(t.radius, 5);
    EXPECT_EQ(t.secondHome, 2);
}

TEST_F(ControlCache, AxisOutsideTheFourIsRefusedAndTouchesNoEntry) {
    ConnectPlain();
    peer.Expect("SetSpeed? X", "E02\r");
    ctl.GetSpeed(0);  // leaves a recognisable error code behind
    ASSERT_EQ(ctl.GetErrorCode(), 20042);
    peer.ClearReceived();
    const auto before = CacheSnapshot();
    for (std::int16_t axis : {std::int16_t{4}, std::int16_t{-1}, std::int16_t{32767}}) {
        SCOPED_TRACE(axis);
        EXPECT_EQ(ctl.GetSpeed(axis), 0.0f);
        EXPECT_EQ(ctl.Gethomespeedfactor(axis), 0.0f);
        EXPECT_EQ(ctl.GetAxisStyle(axis), 0);
        EXPECT_EQ(ctl.Getsechhome(axis), 0);
        EXPECT_EQ(ctl.GetUnit(axis), "");
        EXPECT_EQ(ctl.GetPosition(axis), 0.0);
        EXPECT_FALSE(ctl.GetLimitAble(axis));
        EXPECT_EQ(ctl.GetEncoderStyle(axis), "");
        EXPECT_EQ(ctl.GetCommandPulses(axis), -1);
        EXPECT_FALSE(ctl.SetSpeed(axis, 5.0f));
        EXPECT_FALSE(ctl.SetOffset(axis, 1.0f));
        EXPECT_FALSE(ctl.Setsechhome(axis, 2));
        EXPECT_FALSE(ctl.SetBaseParam(axis, 1, 1, 1, 1, 1, 1, 1, 1));
        EXPECT_FALSE(ctl.SetPosParam(axis, 1, 1, 1, 1));
        EXPECT_FALSE(ctl.SetRunParam(axis, 1, 1, 1, 1, 1, 1, 1));
        EXPECT_FALSE(ctl.ReloadBasicParam(axis));
        EXPECT_FALSE(ctl.ReloadPosParam(axis));
        EXPECT_FALSE(ctl.ReloadRunParam(axis));
        EXPECT_FALSE(ctl.GetStopFlag(axis));
        EXPECT_FALSE(ctl.SetStopFlag(axis, 1));
    }
    EXPECT_TRUE(LinesAfter(0).empty());
    EXPECT_EQ(ctl.GetErrorCode(), 20042);
    EXPECT_EQ(CacheSnapshot(), before);

    // The limit-enable setter goes out for any axis (the controller decides),
    // but only a real axis has an entry to update.
    peer.SetDefaultReply("OK\r");
    ctl.SetLimitAble(4, 1);
    EXPECT_EQ(CacheSnapshot(), before);
}

TEST_F(ControlCache, SetOffsetSendsTheWholeNumberAndCachesTheValue) {
    ConnectPlain();
    peer.Expect("SetOffset X,2", "OK\r").Expect("SetOffset Y,-3", "OK\r");
    EXPECT_TRUE(ctl.SetOffset(0, 2.7f));
    EXPECT_TRUE(ctl.SetOffset(1, -3.9f));
    Cache c;
    ctl.GetCachedParams(0, c);
    EXPECT_EQ(c.offset, 2.7f);
    ctl.GetCachedParams(1, c);
    EXPECT_EQ(c.offset, -3.9f);
    peer.Expect("SetOffset? X", "SetOffset X,2\rOK\r");
    EXPECT_EQ(ctl.GetOffset(0), 2.0f);
    // No whole-number form: refused, nothing sent.
    peer.ClearReceived();
    EXPECT_FALSE(ctl.SetOffset(0, std::numeric_limits<float>::quiet_NaN()));
    EXPECT_FALSE(ctl.SetOffset(0, 3e9f));
    EXPECT_FALSE(ctl.SetOffset(0, -std::numeric_limits<float>::infinity()));
    EXPECT_TRUE(LinesAfter(0).empty());
}

TEST_F(ControlCache, LimitEnableCachesWhatTheControllerHolds) {
    ConnectPlain();
    peer.Expect("SetUserLimitAble X,E", "OK\r").Expect("SetUserLimitAble Y,D", "OK\r");
    EXPECT_TRUE(ctl.SetLimitAble(0, 2));  // anything but 1 enables the limits
    EXPECT_TRUE(ctl.SetLimitAble(1, 1));
    ctl.DisConnect();
    EXPECT_FALSE(ctl.GetLimitAble(0));
    EXPECT_TRUE(ctl.GetLimitAble(1));
}

TEST_F(ControlCache, PropertiesRefusedWhileTheLinkIsOpen) {
    ConnectPlain();
    ctl.SetModifiedFlag(false);
    ctl.SetComPort(3);
    EXPECT_EQ(ctl.GetComPort(), kControlPort);
    EXPECT_EQ(ctl.Protocol().GetLinkErrorCode(), 10102);
    EXPECT_TRUE(ctl.IsModified());
    ctl.SetUSBMODE(true);
    EXPECT_FALSE(ctl.GetUSBMODE());
    ctl.SetUSBSerials("FT123");  // stored even while open
    EXPECT_EQ(ctl.GetUSBSerials(), "FT123");
    ctl.SetLangenge("Chinese");
    EXPECT_EQ(ctl.GetLangenge(), "Chinese");
    EXPECT_TRUE(ctl.GetIsOpen());

    ctl.DisConnect();
    EXPECT_FALSE(ctl.GetIsOpen());
    ctl.SetComPort(3);
    EXPECT_EQ(ctl.GetComPort(), 3);
    ctl.SetUSBMODE(true);
    EXPECT_TRUE(ctl.GetUSBMODE());
}

TEST_F(ControlCache, ConnectLifeCycle) {
    // Closing a closed link succeeds.
    ctl.DisConnect();
    EXPECT_FALSE(ctl.GetIsOpen());
    // The selected controller is chosen before the handshake.
    ASSERT_TRUE(ctl.Selectdev(3));
    peer.Expect("select 3", "").Expect("Hello", "OK\r");
    ASSERT_TRUE(ctl.Connect());
    EXPECT_EQ(LinesAfter(2), (std::vector<std::string>{"select 3", "Hello"}));
    EXPECT_TRUE(ctl.GetIsOpen());
    // A second Connect sends nothing.
    peer.ClearReceived();
    EXPECT_TRUE(ctl.Connect());
    EXPECT_TRUE(LinesAfter(0).empty());
    ctl.DisConnect();
    EXPECT_FALSE(ctl.GetIsOpen());
    // Number 0 selects nothing.
    ctl.Selectdev(0);
    peer.ClearReceived();
    peer.Expect("Hello", "OK\r");
    ASSERT_TRUE(ctl.Connect());
    EXPECT_EQ(LinesAfter(1), std::vector<std::string>{"Hello"});
}

TEST_F(ControlCache, FailedHandshakeLeavesTheControlClosed) {
    peer.Expect("Hello", "OK POSITION\r");  // a controller mid-report is not a handshake
    EXPECT_FALSE(ctl.Connect());
    EXPECT_FALSE(ctl.GetIsOpen());
    EXPECT_EQ(ctl.GetErrorCode(), 20040);
    EXPECT_EQ(ctl.Protocol().GetLinkErrorCode(), 10302);
    // The port is free for another try.
    ConnectPlain();
    EXPECT_TRUE(ctl.GetIsOpen());
}

TEST_F(ControlCache, GetPlanIsInvertedAndSilenceGivesTrue) {
    ConnectPlain();
    EXPECT_TRUE(ctl.GETPLAN());  // nobody answers within the quick limit
    EXPECT_EQ(LinesAfter(1), std::vector<std::string>{"PLAN?"});
}

// The plan run thread and a position monitor call motion, position and stop
// methods while the GUI thread reads and writes parameters. Exchanges that
// collide fail at once with the busy code; the cache only ever holds values
// the controller confirmed (and a ThreadSanitizer build sees no race).
TEST_F(ControlCache, ConcurrentCallersKeepTheCacheConsistent) {
    ConnectPlain();
    ASSERT_TRUE(ctl.SetchroMode(true));  // every exchange waits for its OK
    peer.SetDefaultReply("SetSpeed X,5\rOK\r");
    std::atomic<bool> stop{false};
    std::thread monitor([&] {
        while (!stop.load()) {
            ctl.GetPosition(1);
            ctl.GetStopFlag(1);
            ctl.Stop(1);
        }
    });
    std::thread planRun([&] {
        while (!stop.load()) {
            ctl.GoPosition(0, 1, 0, 1, 1.0f);
            ctl.SetStopFlag(0, 0);
        }
    });
    int busy = 0;
    for (int i = 0; i < 200; ++i) {
        if (!ctl.SetSpeed(0, 5.0f) && ctl.GetErrorCode() == 20005) ++busy;
        const float speed = ctl.GetSpeed(0);
        EXPECT_TRUE(speed == 0.0f || speed == 5.0f) << speed;
        Cache c;
        ctl.GetCachedParams(1, c);
        EXPECT_TRUE(c.position == 0.0 || c.position == 5.0) << c.position;
        ctl.SetLangenge(i % 2 ? "English" : "Chinese");
        ctl.GetLangenge();
    }
    stop = true;
    monitor.join();
    planRun.join();
    EXPECT_TRUE(ctl.GetIsOpen());
    RecordProperty("busy_collisions", busy);
}

}  // namespace
}  // namespace korva::test
