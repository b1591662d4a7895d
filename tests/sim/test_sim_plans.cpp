// Stored plans: recording, structure checks, execution in simulated time.
#include <initializer_list>

#include "SimFixture.h"

namespace korva::sim::test {
namespace {

class PlanTest : public SimTest {
  protected:
    // Records a plan; every line must be accepted.
    void Record(const std::string& name, std::initializer_list<const char*> lines) {
        ASSERT_EQ(Send("SAVE " + name), "OK\r");
        for (const char* l : lines) ASSERT_EQ(Send(l), "OK\r") << l;
        ASSERT_EQ(Send("OVER"), "OK\r");
    }
    double Y() const { return engine.Position(1, 1); }
    double Z() const { return engine.Position(1, 2); }
};

TEST_F(PlanTest, PlanWithLoopWaitAndDelayRunsInSimulatedTime) {
    Record("P1", {"GoPosition X,O,R,P,1", "#loop 3", "GoPosition Y,O,R,P,1", "#end_loop",
                  "until @2", "PORTOUTPUT 5", "delay 500", "GoPosition Z,O,R,P,1"});
    EXPECT_EQ(X(), 0);  // recording moves nothing
    EXPECT_EQ(Send("PLAN?"), "PLAN P1\rOK\r");

    ASSERT_EQ(Send("START P1"), "READY\r");
    EXPECT_EQ(Run(10), "");
    EXPECT_NEAR(X(), 1, 1e-9);
    EXPECT_NEAR(Y(), 3, 1e-9);
    EXPECT_EQ(engine.Outputs(), 0);
    EXPECT_TRUE(engine.PlanRunning());

    engine.SetInputs(0x01);  // input 1: not the one awaited
    EXPECT_EQ(Run(1), "");
    EXPECT_EQ(engine.Outputs(), 0);
    engine.SetInputs(0x03);
    EXPECT_EQ(engine.Outputs(), 5);
    EXPECT_EQ(Run(0.45), "");
    EXPECT_FALSE(engine.Moving(1, 2));  // still in the delay
    Run(0.1);
    EXPECT_TRUE(engine.Moving(1, 2));
    std::string out;
    ASSERT_GT(TimeUntilOutput(&out), 0);
    EXPECT_EQ(out, "X STOP\rY STOP\rZ STOP\rOK\r");
    EXPECT_NEAR(Z(), 1, 1e-9);
    EXPECT_FALSE(engine.PlanRunning());
}

TEST_F(PlanTest, ConditionsFollowTheInputs) {
    Record("C",
           {"#if @1", "GoPosition X,O,R,P,1", "#end_if", "#if_non @1", "GoPosition Y,O,R,P,1",
            "#end_if", "#if 5", "GoPosition Z,O,R,P,1", "#end_if", "until_non 5", "PORTOUTPUT 9"});
    ASSERT_EQ(Send("START C"), "READY\r");
    std::string out;
    ASSERT_GT(TimeUntilOutput(&out), 0);
    EXPECT_EQ(out, "Y STOP\rOK\r");
    EXPECT_EQ(engine.Outputs(), 9);
    EXPECT_EQ(X(), 0);
    EXPECT_EQ(Z(), 0);

    ASSERT_EQ(Send("PORTOUTPUT 0"), "OK\r");
    engine.SetInputs(5);  // inputs 1 and 3
    ASSERT_EQ(Send("START C"), "READY\r");
    EXPECT_EQ(Run(10), "");
    EXPECT_NEAR(X(), 1, 1e-9);
    EXPECT_NEAR(Y(), 1, 1e-9);
    EXPECT_NEAR(Z(), 1, 1e-9);
    EXPECT_EQ(engine.Outputs(), 0);  // until_non 5 holds it
    engine.SetInputs(4);
    EXPECT_EQ(engine.Outputs(), 9);
    EXPECT_EQ(Run(0.01), "X STOP\rZ STOP\rOK\r");
}

TEST_F(PlanTest, NestedAndEmptyLoops) {
    Record("N", {"#loop 2", "#loop 3", "GoPosition X,O,R,P,1", "#end_loop", "#end_loop", "#loop 0",
                 "GoPosition Y,O,R,P,1", "#end_loop"});
    ASSERT_EQ(Send("START N"), "READY\r");
    std::string out;
    ASSERT_GT(TimeUntilOutput(&out), 0);
    EXPECT_EQ(out, "X STOP\rOK\r");
    EXPECT_NEAR(X(), 6, 1e-9);
    EXPECT_EQ(Y(), 0);
}

TEST_F(PlanTest, RecordingChecksEachStatementAndTheBlocks) {
    EXPECT_EQ(Send("delay 10"), "E05\r");  // only inside a recording
    EXPECT_EQ(Send("#end_loop"), "E05\r");
    EXPECT_EQ(Send("SAVE ABCDEFGHI"), "E05\r");
    EXPECT_EQ(Send("SAVE"), "E05\r");
    EXPECT_EQ(Send("SAVE a b"), "E05\r");
    EXPECT_EQ(Send("OVER"), "E05\r");

    ASSERT_EQ(Send("SAVE ABCDEFGH"), "OK\r");
    struct {
        const char* line;
        const char* reply;
    } cases[] = {
        {"#end_loop", "E05\r"},
        {"until @9", "E02\r"},
        {"until @0", "E02\r"},
        {"until 256", "E02\r"},
        {"#if -1", "E02\r"},
        {"delay 70000", "E02\r"},
        {"#loop x", "E02\r"},
        {"bogus", "E00\r"},
        {"GoPosition X,O,R,P", "E02\r"},
        {"GoHome W", "E01\r"},
        {"SAVE B", "E05\r"},
        {"START A", "E07\r"},
        {"DEL A", "E07\r"},
        {"SetSpeed X,0", "E02\r"},
        {"#loop 2", "OK\r"},
        {"#end_if", "E05\r"},
        {"delay 65535", "OK\r"},
        {"Position? X", "Position X,0.000000\rOK\r"},
        {"Hello", "OK\r"},
    };
    for (const auto& c : cases) EXPECT_EQ(Send(c.line), c.reply) << c.line;
    // The loop is still open: the plan is refused and the recording ends.
    EXPECT_EQ(Send("OVER"), "E05\r");
    EXPECT_EQ(Send("PLAN?"), "PLAN\rOK\r");
    EXPECT_EQ(Send("GoPosition X,O,R,P,1"), "READY\r");
}

TEST_F(PlanTest, ListReplaceDeleteAndMemory) {
    Record("A", {"GoPosition X,O,R,P,1"});
    Record("B", {"GoPosition Y,O,R,P,1"});
    Record("A", {"GoPosition Z,O,R,P,1"});  // replaces A in place
    EXPECT_EQ(Send("PLAN?"), "PLAN A,B\rOK\r");
    ASSERT_EQ(Send("START A"), "READY\r");
    std::string out;
    TimeUntilOutput(&out);
    EXPECT_EQ(out, "Z STOP\rOK\r");
    EXPECT_EQ(Send("START abcdefghijkl"), "E06\r");
    EXPECT_EQ(Send("DEL Q"), "E06\r");
    EXPECT_EQ(Send("DEL A"), "OK\r");
    EXPECT_EQ(Send("PLAN?"), "PLAN B\rOK\r");
    EXPECT_EQ(Send("START A"), "E06\r");

    for (int i = 0; i < 31; ++i) Record("M" + std::to_string(i), {"delay 1"});
    EXPECT_EQ(Send("SAVE full"), "E05\r");
    EXPECT_EQ(Send("SAVE B"), "OK\r");  // replacing still works
    EXPECT_EQ(Send("OVER"), "OK\r");
}

TEST_F(PlanTest, ARunningPlanRefusesMotionAndChanges) {
    Record("R", {"GoPosition X,O,R,P,50"});
    ASSERT_EQ(Send("START R"), "READY\r");
    Run(0.5);
    EXPECT_EQ(Send("GoPosition Y,O,R,P,1"), "E07\r");
    EXPECT_EQ(Send("SetSpeed Y,5"), "E07\r");
    EXPECT_EQ(Send("Loaddefault"), "E07\r");
    EXPECT_EQ(Send("SAVE Q"), "E07\r");
    EXPECT_EQ(Send("DEL R"), "E07\r");
    EXPECT_EQ(Send("START R"), "E07\r");
    EXPECT_EQ(Send("bogus"), "E00\r");
    EXPECT_EQ(Send("PORTOUTPUT 3"), "OK\r");
    EXPECT_EQ(ValueField(Send("Position? X"), 0), "X");
    EXPECT_FALSE(engine.Moving(1, 1));
    EXPECT_EQ(Send("END"), "X STOP\rOK\r");
    EXPECT_FALSE(engine.Moving(1, 0));
    EXPECT_FALSE(engine.PlanRunning());
    EXPECT_EQ(Send("END"), "OK\r");
    EXPECT_EQ(Send("BREAK"), "E06\r");
}

// Every command word against a running plan, one row each: a new word's rule
// shows up here when it is added to the engine's command table.
TEST_F(PlanTest, EveryWordKeepsItsRuleWhileAPlanRuns) {
    Record("R", {"GoPosition X,O,R,P,50"});
    ASSERT_EQ(Send("START R"), "READY\r");
    Run(0.5);
    struct {
        const char* line;
        const char* reply;
    } cases[] = {
        {"GoPosition Y,O,R,P,1", "E07\r"},
        {"Go Y,P", "E07\r"},
        {"GoHome Y", "E07\r"},
        {"GoOrigion Y", "E07\r"},
        {"GonAxisHome N,Y,N,N", "E07\r"},
        {"GoInterpolationline2 Y,1,Z,1", "E07\r"},
        {"GoInterpolationline3 Y,1,Z,1,T,1", "E07\r"},
        {"GoInterpolationArc Y,Z,0,0,1,0,P", "E07\r"},
        {"Loaddefault", "E07\r"},
        {"SetUnit Y,S", "E07\r"},
        {"SetUserLimitAble Y,E", "E07\r"},
        {"SAVE Q", "E07\r"},
        {"START other", "E07\r"},
        {"DEL R", "E07\r"},
        {"OVER", "E05\r"},
        {"delay 5", "E05\r"},
        {"bogus", "E00\r"},
        {"bogus?", "E00\r"},
        {"Stop Y", "Y STOP\rOK\r"},
        {"StopSlow Y", "Y STOP\rOK\r"},
        {"PORTOUTPUT 3", "OK\r"},
        {"PORTINPUT?", "PORTINPUT 0\rOK\r"},
        {"EncodeValue? Y", "EncodeValue Y,0\rOK\r"},
        {"SetUnit? Y", "SetUnit Y,M\rOK\r"},
        {"SetUserlimitable? Y", "SetUserlimitable Y,D\rOK\r"},
        {"SystemInfo?", "SystemInfo KT3007Q,1.0,4\rOK\r"},
        {"Hello", "OK\r"},
        {"ID?", "ID 1\rOK\r"},
        {"select 1", "OK\r"},
        {"end", "OK\r"},
        {"PLAN?", "PLAN R\rOK\r"},
    };
    for (const auto& c : cases) EXPECT_EQ(Send(c.line), c.reply) << c.line;
    EXPECT_TRUE(engine.PlanRunning());
    EXPECT_TRUE(engine.Moving(1, 0));
    EXPECT_EQ(engine.Outputs(), 3);
    EXPECT_EQ(Send("STOPALL"), "X STOP\rOK\r");
    EXPECT_FALSE(engine.PlanRunning());
}

TEST_F(PlanTest, BreakPausesAndStartResumes) {
    Record("B", {"GoPosition X,O,R,P,50", "delay 1000", "GoPosition Y,O,R,P,1"});
    ASSERT_EQ(Send("START B"), "READY\r");
    Run(1);
    ASSERT_EQ(Send("BREAK"), "OK\r");
    Run(5);
    EXPECT_FALSE(engine.Moving(1, 0));  // decelerated to a stop
    double x = X();
    EXPECT_GT(x, 5);
    EXPECT_LT(x, 50);
    EXPECT_EQ(Y(), 0);
    EXPECT_TRUE(engine.PlanRunning());
    EXPECT_EQ(Send("START other"), "E07\r");
    // The interrupted motion is given up; the run goes on with the delay.
    ASSERT_EQ(Send("START B"), "READY\r");
    Run(0.5);
    ASSERT_EQ(Send("BREAK"), "OK\r");
    Run(10);
    EXPECT_EQ(Y(), 0);
    ASSERT_EQ(Send("START B"), "READY\r");
    Run(0.45);
    EXPECT_FALSE(engine.Moving(1, 1));  // the rest of the delay
    std::string out;
    ASSERT_GT(TimeUntilOutput(&out), 0);
    EXPECT_EQ(out, "X STOP\rY STOP\rOK\r");
    EXPECT_EQ(X(), x);
    EXPECT_NEAR(Y(), 1, 1e-9);
}

TEST_F(PlanTest, AFailingStatementEndsTheRunWithItsError) {
    Record("L", {"GoPosition X,O,A,P,10", "GoPosition Y,O,R,P,1"});
    ASSERT_EQ(Send("SetUserPositiveLimit X,5"), "OK\r");
    ASSERT_EQ(Send("SetUserLimitAble X,E"), "OK\r");
    // The run fails at once, so its end follows the "READY" directly.
    EXPECT_EQ(Send("START L"), "READY\rE03\r");
    EXPECT_FALSE(engine.PlanRunning());
    EXPECT_EQ(Y(), 0);
}

TEST_F(PlanTest, ContinuousMotionInAPlanRunsUntilAStatementStopsIt) {
    Record("G", {"Go X,P", "until @1", "Stop X"});
    ASSERT_EQ(Send("START G"), "READY\r");
    EXPECT_EQ(Run(1), "");
    EXPECT_TRUE(engine.Moving(1, 0));
    engine.SetInputs(1);
    EXPECT_FALSE(engine.Moving(1, 0));
    EXPECT_EQ(Run(0.01), "X STOP\rOK\r");
}

TEST_F(PlanTest, StopAllEndsTheRun) {
    Record("S", {"GoPosition X,O,R,P,50", "GoPosition Y,O,R,P,50"});
    ASSERT_EQ(Send("START S"), "READY\r");
    Run(0.5);
    EXPECT_EQ(Send("STOPALL"), "X STOP\rOK\r");
    EXPECT_FALSE(engine.PlanRunning());
    Run(1);
    EXPECT_EQ(Y(), 0);
}

TEST_F(PlanTest, HugeLoopsTakeControllerTimeAndDoNotStallTheEngine) {
    Record("H", {"#loop 65535", "#loop 65535", "PORTOUTPUT 1", "#end_loop", "#end_loop"});
    ASSERT_EQ(Send("START H"), "READY\r");
    Run(10, 0.5);
    EXPECT_TRUE(engine.PlanRunning());
    EXPECT_EQ(Send("Hello"), "OK\r");
    EXPECT_EQ(Send("END"), "OK\r");
    EXPECT_FALSE(engine.PlanRunning());
}

}  // namespace
}  // namespace korva::sim::test
