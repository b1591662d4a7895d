// Motion in simulated time: profiles, moves, stops, homing, limits,
// interpolation, and how stops are reported.
#include <cmath>

#include "SimFixture.h"

namespace korva::sim::test {
namespace {

// Travel time of a stepper move that starts and ends at the start speed v0.
double TrapezoidTime(double d, double v0, double v, double a, double dc) {
    double ramps = (v * v - v0 * v0) / (2 * a) + (v * v - v0 * v0) / (2 * dc);
    if (ramps <= d) return (v - v0) / a + (v - v0) / dc + (d - ramps) / v;
    double vp =
        std::sqrt((d + v0 * v0 / (2 * a) + v0 * v0 / (2 * dc)) / (1 / (2 * a) + 1 / (2 * dc)));
    return (vp - v0) / a + (vp - v0) / dc;
}

struct Profile {
    double distance, speed, init, acc, dcc;
};

void PrintTo(const Profile& p, std::ostream* os) {
    *os << p.distance << " mm at " << p.speed << " mm/s from " << p.init << ", acc " << p.acc
        << ", dcc " << p.dcc;
}

class MoveTime : public SimTest, public ::testing::WithParamInterface<Profile> {};

TEST_P(MoveTime, MatchesTheTrapezoidWithinFivePercent) {
    const Profile& p = GetParam();
    ASSERT_EQ(Send("SetSpeed X," + std::to_string(p.speed)), "OK\r");
    ASSERT_EQ(Send("SetInitSpeed X," + std::to_string(p.init)), "OK\r");
    ASSERT_EQ(Send("SetAccSpeed X," + std::to_string(p.acc)), "OK\r");
    ASSERT_EQ(Send("SetDccSpeed X," + std::to_string(p.dcc)), "OK\r");
    ASSERT_EQ(Send("GoPosition X,O,R,P," + std::to_string(p.distance)), "READY\r");
    std::string out;
    double t = TimeUntilOutput(&out);
    double expected = TrapezoidTime(p.distance, p.init, p.speed, p.acc, p.dcc);
    EXPECT_EQ(out, "X STOP\rOK\r");
    EXPECT_NEAR(t, expected, 0.05 * expected);
    EXPECT_NEAR(X(), p.distance, 1e-6);
}

INSTANTIATE_TEST_SUITE_P(Profiles, MoveTime,
                         ::testing::Values(Profile{20, 10, 1, 50, 50},   // trapezoid
                                           Profile{0.5, 10, 1, 50, 50},  // triangle
                                           Profile{30, 20, 0, 10, 40},   // from standstill
                                           Profile{5, 8, 8, 10, 10},     // start speed = speed
                                           Profile{100, 50, 5, 200, 25}),
                         [](const auto& info) { return "Case" + std::to_string(info.index); });

TEST_F(SimTest, RelativeAndAbsoluteMovesEndWhereCommanded) {
    struct Step {
        const char* line;
        double x;
    } steps[] = {
        {"GoPosition X,O,R,P,3", 3},      {"GoPosition X,O,R,N,1", 2},
        {"GoPosition X,O,A,N,4", -4},     {"GoPosition X,C,A,P,1.25", 1.25},
        {"GoPosition X,O,R,P,-2", -0.75},
    };
    for (const Step& s : steps) {
        ASSERT_EQ(Send(s.line), "READY\r") << s.line;
        std::string out;
        ASSERT_GE(TimeUntilOutput(&out), 0) << s.line;
        EXPECT_EQ(out, "X STOP\rOK\r") << s.line;
        EXPECT_NEAR(X(), s.x, 1e-9) << s.line;
    }
    // A move of no length ends at once.
    EXPECT_EQ(Send("GoPosition X,O,R,P,0"), "READY\rX STOP\rOK\r");
    EXPECT_EQ(Send("Position? X"), "Position X,-0.750000\rOK\r");
    EXPECT_EQ(Send("EncodeValue? X"), "EncodeValue X,-240\rOK\r");
}

TEST_F(SimTest, ContinuousMotionRunsUntilStopped) {
    ASSERT_EQ(Send("Go X,P"), "READY\r");
    EXPECT_EQ(Run(2.0), "");
    // 0.18 s ramp from 1 to 10 mm/s (0.99 mm), then 10 mm/s.
    EXPECT_NEAR(X(), 0.99 + 10 * (2.0 - 0.18), 0.01);
    EXPECT_TRUE(engine.Moving(1, 0));
    EXPECT_EQ(Send("Stop X"), "X STOP\rOK\r");
    double stopped = X();
    Run(1.0);
    EXPECT_FALSE(engine.Moving(1, 0));
    EXPECT_EQ(X(), stopped);

    ASSERT_EQ(Send("Go Y,N"), "READY\r");
    Run(1.0);
    EXPECT_LT(engine.Position(1, 1), -5);
    EXPECT_EQ(Send("Go Y,P"), "E04\r");
    EXPECT_EQ(Send("Go Y,Q"), "E02\r");
}

TEST_F(SimTest, StopSlowDeceleratesAndAnswersOnceStill) {
    ASSERT_EQ(Send("Go X,P"), "READY\r");
    Run(1.0);
    double before = X();
    EXPECT_EQ(Send("StopSlow X"), "");  // acknowledged when the axis stands
    EXPECT_TRUE(engine.Moving(1, 0));
    std::string out;
    double t = TimeUntilOutput(&out);
    EXPECT_EQ(out, "X STOP\rOK\r");
    // From 10 mm/s down to the 1 mm/s start speed at 50 mm/s^2.
    EXPECT_NEAR(t, 0.18, 0.05 * 0.18);
    EXPECT_NEAR(X() - before, 0.99, 0.05 * 0.99);
    EXPECT_FALSE(engine.Moving(1, 0));
    EXPECT_EQ(Send("StopSlow X"), "X STOP\rOK\r");  // already still
}

TEST_F(SimTest, HomingByNegativeLimitAndByOpticalSwitchEndsAtZero) {
    ASSERT_EQ(Send("GoPosition X,O,A,P,10"), "READY\r");
    Run(5);
    ASSERT_EQ(Send("Setsechhomemode X,1"), "OK\r");
    ASSERT_EQ(Send("GoHome X"), "READY\r");
    std::string out;
    double limitTime = TimeUntilOutput(&out);
    EXPECT_EQ(out, "X STOP\rOK\r");
    EXPECT_NEAR(limitTime, TrapezoidTime(10, 1, 5, 50, 50), 0.05 * limitTime);
    EXPECT_EQ(Send("Position? X"), "Position X,0.000000\rOK\r");

    ASSERT_EQ(Send("GoPosition X,O,A,P,10"), "READY\r");
    Run(5);
    ASSERT_EQ(Send("Setsechhomemode X,2"), "OK\r");
    ASSERT_EQ(Send("GoHome X"), "READY\r");
    Run(limitTime);
    double highest = 0;
    for (int i = 0; i < 20000 && engine.Moving(1, 0); ++i) {
        Run(0.001);
        highest = std::max(highest, X());
    }
    // The switch edge is searched again from a tenth of a revolution away.
    EXPECT_NEAR(highest, 0.5, 0.01);
    EXPECT_EQ(Send("Position? X"), "Position X,0.000000\rOK\r");
}

TEST_F(SimTest, MultiAxisHomeReportsAllHomedAxesAtOnce) {
    ASSERT_EQ(Send("GoPosition X,O,A,P,2"), "READY\r");
    Run(3);
    ASSERT_EQ(Send("GoPosition Z,O,A,N,4"), "READY\r");
    Run(3);
    ASSERT_EQ(Send("GonAxisHome Y,N,Y,N"), "READY\r");
    std::string out;
    ASSERT_GE(TimeUntilOutput(&out), 0);
    EXPECT_EQ(out, "X STOP\rZ STOP\rOK\r");
    EXPECT_EQ(engine.Position(1, 0), 0);
    EXPECT_EQ(engine.Position(1, 2), 0);
    EXPECT_EQ(Send("GonAxisHome N,N,N,N"), "READY\rOK\r");
    EXPECT_EQ(Send("GonAxisHome Y,N"), "E02\r");
    EXPECT_EQ(Send("GonAxisHome Y,N,X,N"), "E02\r");
}

TEST_F(SimTest, EnabledUserLimitsRefuseTargetsOutside) {
    ASSERT_EQ(Send("SetUserPositiveLimit X,5"), "OK\r");
    ASSERT_EQ(Send("SetUserNegativeLimit X,-5"), "OK\r");
    EXPECT_EQ(Send("GoPosition X,O,A,P,6"), "READY\r");  // "D": limits off
    Run(5);
    Run(5);  // the waited-for stop comes through Poll
    ASSERT_EQ(Send("GoPosition X,O,A,P,0"), "READY\r");
    Run(5);
    ASSERT_EQ(Send("SetUserLimitAble X,E"), "OK\r");
    EXPECT_EQ(Send("GoPosition X,O,A,P,6"), "E03\r");
    EXPECT_EQ(Send("GoPosition X,O,R,N,5.5"), "E03\r");
    ASSERT_EQ(Send("SetUserOrigin X,7"), "OK\r");
    EXPECT_EQ(Send("GoOrigion X"), "E03\r");
    EXPECT_EQ(Send("GoInterpolationline2 Y,1,X,-6"), "E03\r");
    EXPECT_FALSE(engine.Moving(1, 0));
    EXPECT_FALSE(engine.Moving(1, 1));

    // Limits are inclusive, and continuous motion ends at the limit ahead.
    ASSERT_EQ(Send("GoPosition X,O,A,N,5"), "READY\r");
    std::string out;
    TimeUntilOutput(&out);
    EXPECT_EQ(out, "X STOP\rOK\r");
    ASSERT_EQ(Send("Go X,P"), "READY\r");
    TimeUntilOutput(&out);
    EXPECT_EQ(out, "X STOP\rOK\r");
    EXPECT_NEAR(X(), 5, 1e-9);
    EXPECT_EQ(Send("Go X,P"), "E03\r");
}

TEST_F(SimTest, ArcsAreCheckedAgainstTheLimitsAlongTheWholeWay) {
    ASSERT_EQ(Send("SetUserLimitAble Y,E"), "OK\r");
    ASSERT_EQ(Send("SetUserPositiveLimit Y,2"), "OK\r");
    ASSERT_EQ(Send("SetUserNegativeLimit Y,-2"), "OK\r");
    // Half circles from (0,0) to (6,0) about (3,0) bulge 3 mm up or down.
    EXPECT_EQ(Send("GoInterpolationArc X,Y,6,0,3,0,P"), "E03\r");
    EXPECT_EQ(Send("GoInterpolationArc X,Y,6,0,3,0,N"), "E03\r");
    ASSERT_EQ(Send("SetUserPositiveLimit Y,4"), "OK\r");
    ASSERT_EQ(Send("SetUserNegativeLimit Y,-4"), "OK\r");
    EXPECT_EQ(Send("GoInterpolationArc X,Y,6,0,3,0,N"), "READY\r");
}

TEST_F(SimTest, LinesMoveByTheirDistancesOnAStraightPath) {
    ASSERT_EQ(Send("GoInterpolationline2 X,3,Y,4"), "READY\r");
    Run(0.3);
    EXPECT_NEAR(engine.Position(1, 0) / engine.Position(1, 1), 0.75, 1e-9);
    std::string out;
    double t = 0.3 + TimeUntilOutput(&out);
    EXPECT_EQ(out, "X STOP\rY STOP\rOK\r");
    EXPECT_NEAR(t, TrapezoidTime(5, 1, 10, 50, 50), 0.05 * t);  // path length 5
    EXPECT_EQ(engine.Position(1, 0), 3);
    EXPECT_EQ(engine.Position(1, 1), 4);

    ASSERT_EQ(Send("GoInterpolationline3 X,-2,Y,-2,Z,-2"), "READY\r");
    TimeUntilOutput(&out);
    EXPECT_EQ(out, "X STOP\rY STOP\rZ STOP\rOK\r");
    EXPECT_EQ(engine.Position(1, 0), 1);
    EXPECT_EQ(engine.Position(1, 1), 2);
    EXPECT_EQ(engine.Position(1, 2), -2);

    // The path runs at the first axis's speed.
    ASSERT_EQ(Send("SetSpeed Y,1"), "OK\r");
    ASSERT_EQ(Send("GoInterpolationline2 Y,-2,X,-1"), "READY\r");
    EXPECT_GT(TimeUntilOutput(&out), 2.2);  // sqrt(5) mm at 1 mm/s

    EXPECT_EQ(Send("GoInterpolationline2 X,1,X,2"), "E01\r");
    EXPECT_EQ(Send("GoInterpolationline3 X,1,Y,2,X,3"), "E01\r");
    EXPECT_EQ(Send("GoInterpolationline2 X,1,Y"), "E02\r");
    EXPECT_EQ(Send("GoInterpolationline2 X,1,Y,two"), "E02\r");
}

TEST_F(SimTest, ArcsTurnCounterClockwiseForPAndClockwiseForN) {
    struct Case {
        const char* line;
        double midX, midY;  // where the arc is half way
    } cases[] = {
        // Start (0,0), centre (10,0), target (10,10): a quarter turn clockwise,
        // three quarters counter-clockwise.
        {"GoInterpolationArc X,Y,10,10,10,0,N", 10 - 7.0710678, 7.0710678},
        {"GoInterpolationArc X,Y,10,10,10,0,P", 10 + 7.0710678, -7.0710678},
    };
    auto backToZero = [&] {
        ASSERT_EQ(Send("GoPosition X,O,A,P,0").rfind("READY\r", 0), 0u);
        ASSERT_EQ(Send("GoPosition Y,O,A,P,0").rfind("READY\r", 0), 0u);
        Run(10);
    };
    for (const Case& c : cases) {
        backToZero();
        std::string out = Send(c.line);
        ASSERT_EQ(out, "READY\r") << c.line;
        // Measure the whole duration first, then replay to its middle.
        double total = TimeUntilOutput(&out);
        ASSERT_GT(total, 0);
        EXPECT_NEAR(engine.Position(1, 0), 10, 1e-9);
        EXPECT_NEAR(engine.Position(1, 1), 10, 1e-9);
        backToZero();
        ASSERT_EQ(Send(c.line), "READY\r");
        now += total / 2;
        EXPECT_NEAR(engine.Position(1, 0), c.midX, 0.05) << c.line;
        EXPECT_NEAR(engine.Position(1, 1), c.midY, 0.05) << c.line;
        Run(total);
    }
    EXPECT_EQ(Send("GoInterpolationArc X,Y,1,1,0,0,P"), "E02\r");  // centre on the start
    EXPECT_EQ(Send("GoInterpolationArc X,X,1,1,1,0,P"), "E01\r");
    EXPECT_EQ(Send("GoInterpolationArc X,Y,1,1,1,0,Q"), "E02\r");
}

TEST_F(SimTest, FullCircleWhenTheTargetIsTheStart) {
    ASSERT_EQ(Send("SetAccSpeed X,1000"), "OK\r");
    ASSERT_EQ(Send("SetDccSpeed X,1000"), "OK\r");
    ASSERT_EQ(Send("GoInterpolationArc X,Y,0,0,5,0,P"), "READY\r");
    std::string out;
    double t = TimeUntilOutput(&out);
    EXPECT_NEAR(t, 2 * 3.14159265 * 5 / 10, 0.05 * t);
    EXPECT_NEAR(engine.Position(1, 0), 0, 1e-9);
    EXPECT_NEAR(engine.Position(1, 1), 0, 1e-9);
}

TEST_F(SimTest, MotionOnAMovingAxisIsRefused) {
    ASSERT_EQ(Send("GoPosition X,O,R,P,10"), "READY\r");
    Run(0.1);
    EXPECT_EQ(Send("GoPosition X,O,R,P,10"), "E04\r");
    EXPECT_EQ(Send("GoHome X"), "E04\r");
    EXPECT_EQ(Send("GoOrigion X"), "E04\r");
    EXPECT_EQ(Send("GoInterpolationline2 Y,1,X,1"), "E04\r");
    EXPECT_EQ(Send("GonAxisHome Y,Y,N,N"), "E04\r");
    EXPECT_FALSE(engine.Moving(1, 1));
}

TEST_F(SimTest, StopEndsAnInterpolatedMoveForAllItsAxes) {
    ASSERT_EQ(Send("GoInterpolationline2 X,10,Y,10"), "READY\r");
    Run(0.5);
    EXPECT_EQ(Send("Stop Y"), "X STOP\rY STOP\rOK\r");
    EXPECT_FALSE(engine.Moving(1, 0));
    EXPECT_FALSE(engine.Moving(1, 1));
    ASSERT_EQ(Send("Go X,P"), "READY\r");
    ASSERT_EQ(Send("Go Z,N"), "READY\r");
    Run(0.5);
    EXPECT_EQ(Send("STOPALL"), "X STOP\rZ STOP\rOK\r");
    EXPECT_FALSE(engine.Moving(1, 0));
    EXPECT_FALSE(engine.Moving(1, 2));
    EXPECT_EQ(Send("Stop T"), "T STOP\rOK\r");
}

// How the end of a motion reaches the host.
TEST_F(SimTest, AWaitingHostGetsTheStopAndOkWhenTheMotionEnds) {
    ASSERT_EQ(Send("GoPosition X,O,R,P,1.5"), "READY\r");
    EXPECT_EQ(Run(0.1), "");
    std::string out;
    ASSERT_GT(TimeUntilOutput(&out), 0);
    EXPECT_EQ(out, "X STOP\rOK\r");
    EXPECT_EQ(Send("Position? X"), "Position X,1.500000\rOK\r");  // reported once only
}

TEST_F(SimTest, APollingHostGetsTheStopInTheNextReplyOnce) {
    ASSERT_EQ(Send("GoPosition X,O,R,P,1.5"), "READY\r");
    Run(0.1);
    std::string moving = Send("Position? X");
    EXPECT_EQ(Pieces(moving, '\r').size(), 2u);
    EXPECT_EQ(Run(5), "");
    EXPECT_EQ(Send("Position? X"), "Position X,1.500000\rX STOP\rOK\r");
    EXPECT_EQ(Send("Position? X"), "Position X,1.500000\rOK\r");

    // A reply that is only "OK" carries the stop before it; an error reply or
    // a "READY" carries none, the stop waits for the next plain reply.
    ASSERT_EQ(Send("GoPosition Y,O,R,P,1"), "READY\r");
    ASSERT_EQ(Send("Hello"), "OK\r");
    Run(5);
    EXPECT_EQ(Send("bogus"), "E00\r");
    EXPECT_EQ(Send("GoPosition Z,O,R,P,1"), "READY\r");
    EXPECT_EQ(Send("Hello"), "Y STOP\rOK\r");
}

TEST_F(SimTest, APollingHostGetsOneStopPerReplyAfterAnInterpolatedLine) {
    // The host reads an axis word only at the start of the first two lines,
    // so each pending stop needs a reply of its own.
    ASSERT_EQ(Send("GoInterpolationline2 X,2.000000,Y,1.000000"), "READY\r");
    ASSERT_FALSE(Send("Position? X").empty());
    Run(5);
    EXPECT_EQ(Send("Position? X"), "Position X,2.000000\rX STOP\rOK\r");
    EXPECT_EQ(Send("Position? Y"), "Position Y,1.000000\rY STOP\rOK\r");
    EXPECT_EQ(Send("Position? Y"), "Position Y,1.000000\rOK\r");
}

TEST_F(SimTest, ANewMotionDropsTheAxisUnreportedStop) {
    ASSERT_EQ(Send("GoPosition X,O,R,P,1"), "READY\r");
    ASSERT_EQ(Send("Position? X").empty(), false);
    Run(5);
    ASSERT_EQ(Send("GoPosition X,O,R,P,1"), "READY\r");
    EXPECT_EQ(Send("Hello"), "OK\r");
    Run(5);
    EXPECT_EQ(Send("Hello"), "X STOP\rOK\r");
}

TEST_F(SimTest, StopsOfSeveralMotionsArePartlyWaitedForAndPartlyPending) {
    // The host waits for Y only; X ended while it was still polling.
    ASSERT_EQ(Send("GoPosition X,O,R,P,0.2"), "READY\r");
    ASSERT_EQ(Send("GoPosition Y,O,R,P,3"), "READY\r");
    Run(0.3);
    std::string out;
    ASSERT_GT(TimeUntilOutput(&out), 0);
    EXPECT_EQ(out, "Y STOP\rOK\r");
    EXPECT_EQ(Send("Hello"), "X STOP\rOK\r");
}

}  // namespace
}  // namespace korva::sim::test
