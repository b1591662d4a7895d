// Every operation's line on the wire, and every argument the protocol refuses
// (nothing sent, error code unchanged).
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "ProtocolFixture.h"

namespace korva::test {
namespace {

using Op = std::function<bool(KT300Protocol&)>;

struct SentRow {
    const char* name;
    Op op;
    std::string line;
};

template <typename T>
Op Query(bool (KT300Protocol::*get)(int, T*), int axis) {
    return [get, axis](KT300Protocol& p) {
        T out{};
        return (p.*get)(axis, &out);
    };
}

const std::vector<SentRow>& SentRows() {
    static const std::vector<SentRow> rows = {
        // Axis parameters: setters.
        {"SetStageStyle 1", [](auto& p) { return p.SetStageStyle(0, 1); }, "SetStageStyle X,R"},
        {"SetStageStyle 0", [](auto& p) { return p.SetStageStyle(1, 0); }, "SetStageStyle Y,T"},
        {"SetStagePitch", [](auto& p) { return p.SetStagePitch(0, 2.5f); },
         "SetStagePitch X,2.500000"},
        {"SetStepAngle", [](auto& p) { return p.SetStepAngle(1, 1.8f); },
         "SetStageStepAngle Y,1.800000"},
        {"SetMicroStep", [](auto& p) { return p.SetMicroStep(2, 16); }, "SetStageMicroStep Z,16"},
        {"SetDriveRatio", [](auto& p) { return p.SetDriveRatio(3, -2); }, "SetStageDriveRat T,-2"},
        {"SetRadius", [](auto& p) { return p.SetRadius(0, 40); }, "SetStageRadius X,40"},
        {"SetDistance", [](auto& p) { return p.SetDistance(0, 100.0f); },
         "SetStageDistance X,100.000000"},
        {"SetWorkState 1", [](auto& p) { return p.SetWorkState(0, 1); }, "SetStageWorkState X,O"},
        {"SetWorkState 0", [](auto& p) { return p.SetWorkState(0, 0); }, "SetStageWorkState X,C"},
        {"SetSpeed", [](auto& p) { return p.SetSpeed(0, 1000.0f); }, "SetSpeed X,1000.000000"},
        {"SetInitSpeed", [](auto& p) { return p.SetInitSpeed(1, 0.5f); },
         "SetInitSpeed Y,0.500000"},
        {"SetAccSpeed", [](auto& p) { return p.SetAccSpeed(2, 250.0f); },
         "SetAccSpeed Z,250.000000"},
        {"SetDccSpeed", [](auto& p) { return p.SetDccSpeed(3, -1.25f); },
         "SetDccSpeed T,-1.250000"},
        {"SetHomeSpeed", [](auto& p) { return p.SetHomeSpeed(0, 12.0f); },
         "SetHomeSpeed X,12.000000"},
        {"SetHomeSpeedFactor", [](auto& p) { return p.SetHomeSpeedFactor(0, 0.25f); },
         "SetHomeSpeedFactor X,0.250000"},
        {"SetSecondHomeMode", [](auto& p) { return p.SetSecondHomeMode(0, 2); },
         "Setsechhomemode X,2"},
        {"SetUnit 0", [](auto& p) { return p.SetUnit(0, 0); }, "SetUnit X,d"},
        {"SetUnit 1", [](auto& p) { return p.SetUnit(0, 1); }, "SetUnit X,m"},
        {"SetUnit 2", [](auto& p) { return p.SetUnit(0, 2); }, "SetUnit X,s"},
        {"SetUnit 3", [](auto& p) { return p.SetUnit(0, 3); }, "SetUnit X,u"},
        {"SetUserOrigin", [](auto& p) { return p.SetUserOrigin(0, 1.5f); },
         "SetUserOrigin X,1.500000"},
        {"SetUserPositiveLimit", [](auto& p) { return p.SetUserPositiveLimit(0, 50.0f); },
         "SetUserPositiveLimit X,50.000000"},
        {"SetUserNegativeLimit", [](auto& p) { return p.SetUserNegativeLimit(0, -50.0f); },
         "SetUserNegativeLimit X,-50.000000"},
        {"SetUserLimitAble 1", [](auto& p) { return p.SetUserLimitAble(0, 1); },
         "SetUserLimitAble X,D"},
        {"SetUserLimitAble 0", [](auto& p) { return p.SetUserLimitAble(0, 0); },
         "SetUserLimitAble X,E"},
        {"SetUserLimitAble 2", [](auto& p) { return p.SetUserLimitAble(0, 2); },
         "SetUserLimitAble X,E"},
        {"SetUserLimitAble axis 4", [](auto& p) { return p.SetUserLimitAble(4, 1); },
         "SetUserLimitAble "},
        {"SetOffset", [](auto& p) { return p.SetOffset(0, -7); }, "SetOffset X,-7"},
        {"SetEncoderResolution", [](auto& p) { return p.SetEncoderResolution(0, 0.001f); },
         "SetEncoderResolution X,0.001000"},
        {"SetEncoderStyle", [](auto& p) { return p.SetEncoderStyle(0, "AB"); },
         "SetEncoderStyle X,AB"},
        {"SetEncoderStyle axis 4", [](auto& p) { return p.SetEncoderStyle(4, "AB"); },
         "SetEncoderStyle "},
        {"SetCommandPulses 1", [](auto& p) { return p.SetCommandPulses(0, 1); },
         "SetCommandPulses X,1"},
        {"SetCommandPulses max", [](auto& p) { return p.SetCommandPulses(0, 1048576); },
         "SetCommandPulses X,1048576"},
        {"SetStageStepsRev", [](auto& p) { return p.SetStageStepsRev(0, 200.0f); },
         "SetStageStepsRev X,200.000000"},
        // Axis parameters: queries (no axis check; a missing letter ends the line).
        {"GetStageStyle", Query(&KT300Protocol::GetStageStyle, 1), "SetStageStyle? Y"},
        {"GetStagePitch", Query(&KT300Protocol::GetStagePitch, 1), "SetStagePitch? Y"},
        {"GetStepAngle", Query(&KT300Protocol::GetStepAngle, 1), "SetStageStepAngle? Y"},
        {"GetMicroStep", Query(&KT300Protocol::GetMicroStep, 1), "SetStageMicroStep? Y"},
        {"GetDriveRatio", Query(&KT300Protocol::GetDriveRatio, 1), "SetStageDriveRat? Y"},
        {"GetRadius", Query(&KT300Protocol::GetRadius, 1), "SetStageRadius? Y"},
        {"GetDistance", Query(&KT300Protocol::GetDistance, 1), "SetStageDistance? Y"},
        {"GetWorkState", Query(&KT300Protocol::GetWorkState, 1), "SetStageWorkState? Y"},
        {"GetSpeed", Query(&KT300Protocol::GetSpeed, 1), "SetSpeed? Y"},
        {"GetSpeed axis 4", Query(&KT300Protocol::GetSpeed, 4), "SetSpeed? "},
        {"GetSpeed axis -1", Query(&KT300Protocol::GetSpeed, -1), "SetSpeed? "},
        {"GetInitSpeed", Query(&KT300Protocol::GetInitSpeed, 1), "SetInitSpeed? Y"},
        {"GetAccSpeed", Query(&KT300Protocol::GetAccSpeed, 1), "SetAccSpeed? Y"},
        {"GetDccSpeed", Query(&KT300Protocol::GetDccSpeed, 1), "SetDccSpeed? Y"},
        {"GetHomeSpeed", Query(&KT300Protocol::GetHomeSpeed, 1), "SetHomeSpeed? Y"},
        {"GetHomeSpeedFactor", Query(&KT300Protocol::GetHomeSpeedFactor, 1),
         "SetHomeSpeedFactor? Y"},
        {"GetSecondHomeMode", Query(&KT300Protocol::GetSecondHomeMode, 1), "Setsechhomemode? Y"},
        {"GetUnit", Query(&KT300Protocol::GetUnit, 1), "SetUnit? Y"},
        {"GetUserOrigin", Query(&KT300Protocol::GetUserOrigin, 1), "SetUserOrigin? Y"},
        {"GetUserPositiveLimit", Query(&KT300Protocol::GetUserPositiveLimit, 1),
         "SetUserPositiveLimit? Y"},
        {"GetUserNegativeLimit", Query(&KT300Protocol::GetUserNegativeLimit, 1),
         "SetUserNegativeLimit? Y"},
        {"GetUserLimitAble", Query(&KT300Protocol::GetUserLimitAble, 1), "SetUserlimitable? Y"},
        {"GetOffset", Query(&KT300Protocol::GetOffset, 1), "SetOffset? Y"},
        {"GetEncoderResolution", Query(&KT300Protocol::GetEncoderResolution, 1),
         "SetEncoderResolution? Y"},
        {"GetEncoderStyle", Query(&KT300Protocol::GetEncoderStyle, 1), "SetEncoderStyle? Y"},
        {"GetCommandPulses", Query(&KT300Protocol::GetCommandPulses, 1), "SetCommandPulses? Y"},
        {"GetStageStepsRev", Query(&KT300Protocol::GetStageStepsRev, 1), "SetStageStepsRev? Y"},
        // Motion, position, stop, ports.
        {"GoOrigin", [](auto& p) { return p.GoOrigin(0); }, "GoOrigion X"},
        {"GoHome", [](auto& p) { return p.GoHome(1); }, "GoHome Y"},
        {"Go P", [](auto& p) { return p.Go(2, 1); }, "Go Z,P"},
        {"Go N", [](auto& p) { return p.Go(2, 0); }, "Go Z,N"},
        {"GoPosition O A P", [](auto& p) { return p.GoPosition(0, 1, 0, 1, 12.5f); },
         "GoPosition X,O,A,P,12.500000"},
        {"GoPosition C R N", [](auto& p) { return p.GoPosition(3, 0, 1, 0, -1.0f); },
         "GoPosition T,C,R,N,-1.000000"},
        {"GoLine2", [](auto& p) { return p.GoLine2(0, 1.5f, 1, -2.0f); },
         "GoInterpolationline2 X,1.500000,Y,-2.000000"},
        {"GoLine3", [](auto& p) { return p.GoLine3(2, 1.0f, 1, 2.0f, 0, 3.0f); },
         "GoInterpolationline3 Z,1.000000,Y,2.000000,X,3.000000"},
        {"GoArc P", [](auto& p) { return p.GoArc(0, 1, 10.0f, 0.5f, 5.0f, -0.5f, 1); },
         "GoInterpolationArc X,Y,10.000000,0.500000,5.000000,-0.500000,P"},
        {"GoArc 5", [](auto& p) { return p.GoArc(3, 2, 1.0f, 2.0f, 3.0f, 4.0f, 5); },
         "GoInterpolationArc T,Z,1.000000,2.000000,3.000000,4.000000,N"},
        {"GoMultiAxisHome", [](auto& p) { return p.GoMultiAxisHome("Y", "N", "Y", "N"); },
         "GonAxisHome Y,N,Y,N"},
        {"Stop", [](auto& p) { return p.Stop(1); }, "Stop Y"},
        {"StopSlow", [](auto& p) { return p.StopSlow(2); }, "StopSlow Z"},
        {"StopAll", [](auto& p) { return p.StopAll(); }, "STOPALL"},
        {"GetPosition", Query(&KT300Protocol::GetPosition, 0), "Position? X"},
        {"GetPosition axis 4", Query(&KT300Protocol::GetPosition, 4), "Position? "},
        {"GetEncoderValue", Query(&KT300Protocol::GetEncoderValue, 3), "EncodeValue? T"},
        {"SetPortOutput 0", [](auto& p) { return p.SetPortOutput(0); }, "PORTOUTPUT 0"},
        {"SetPortOutput 256", [](auto& p) { return p.SetPortOutput(256); }, "PORTOUTPUT 256"},
        {"GetPortInput",
         [](auto& p) {
             short v = 0;
             return p.GetPortInput(&v);
         },
         "PORTINPUT?"},
        // Stored plans and selection.
        {"SavePlan 8", [](auto& p) { return p.SavePlan("ABCDEFGH"); }, "SAVE ABCDEFGH"},
        {"OverSave", [](auto& p) { return p.OverSave(); }, "OVER"},
        {"StartPlan 12", [](auto& p) { return p.StartPlan("ABCDEFGHIJKL"); }, "START ABCDEFGHIJKL"},
        {"EndRun", [](auto& p) { return p.EndRun(); }, "END"},
        {"BreakRun", [](auto& p) { return p.BreakRun(); }, "BREAK"},
        {"GetPlan", [](auto& p) { return p.GetPlan(); }, "PLAN?"},
        {"DeletePlan", [](auto& p) { return p.DeletePlan("P1"); }, "DEL P1"},
        {"PlanDelay -1", [](auto& p) { return p.PlanDelay(-1); }, "delay 65535"},
        {"PlanDelay 500", [](auto& p) { return p.PlanDelay(500); }, "delay 500"},
        {"PlanUntil 0", [](auto& p) { return p.PlanUntil(0); }, "until 0"},
        {"PlanUntil 255", [](auto& p) { return p.PlanUntil(255); }, "until 255"},
        {"PlanUntilAt 1", [](auto& p) { return p.PlanUntilAt(1); }, "until @1"},
        {"PlanUntilAt 8", [](auto& p) { return p.PlanUntilAt(8); }, "until @8"},
        {"PlanUntilNon", [](auto& p) { return p.PlanUntilNon(7); }, "until_non 7"},
        {"PlanUntilNonAt", [](auto& p) { return p.PlanUntilNonAt(3); }, "until_non @3"},
        {"PlanLoop 300", [](auto& p) { return p.PlanLoop(300); }, "#loop 300"},
        {"PlanLoop min", [](auto& p) { return p.PlanLoop(-32768); }, "#loop 32768"},
        {"PlanEndLoop", [](auto& p) { return p.PlanEndLoop(); }, "#end_loop"},
        {"PlanIf", [](auto& p) { return p.PlanIf(10); }, "#if 10"},
        {"PlanIfAt", [](auto& p) { return p.PlanIfAt(2); }, "#if @2"},
        {"PlanEndIf", [](auto& p) { return p.PlanEndIf(); }, "#end_if"},
        {"PlanIfNon", [](auto& p) { return p.PlanIfNon(255); }, "#if_non 255"},
        {"PlanIfNonAt", [](auto& p) { return p.PlanIfNonAt(8); }, "#if_non @8"},
        {"SelectDevice", [](auto& p) { return p.SelectDevice(3); }, "select 3"},
        {"SelectDevice negative", [](auto& p) { return p.SelectDevice(-2); }, "select -2"},
        {"GetSelectId",
         [](auto& p) {
             short v = 0;
             return p.GetSelectId(&v);
         },
         "ID?"},
        {"EndSelect", [](auto& p) { return p.EndSelect(); }, "end"},
        // System.
        {"GetModel", [](auto& p) { return p.GetModel() >= 0; }, "SystemInfo?"},
        {"LoadDefault", [](auto& p) { return p.LoadDefault(); }, "Loaddefault"},
    };
    return rows;
}

struct RefusedRow {
    std::string name;
    Op op;
    int linkCode = -1;  // >= 0: the link's error code the refusal leaves
};

std::vector<RefusedRow> RefusedRows() {
    std::vector<RefusedRow> rows = {
        {"SetStageStyle 2", [](auto& p) { return p.SetStageStyle(0, 2); }},
        {"SetStageStyle -1", [](auto& p) { return p.SetStageStyle(0, -1); }},
        {"SetWorkState 2", [](auto& p) { return p.SetWorkState(0, 2); }},
        {"SetWorkState -1", [](auto& p) { return p.SetWorkState(0, -1); }},
        {"SetUnit 4", [](auto& p) { return p.SetUnit(0, 4); }},
        {"SetUnit -1", [](auto& p) { return p.SetUnit(0, -1); }},
        {"SetCommandPulses 0", [](auto& p) { return p.SetCommandPulses(0, 0); }},
        {"SetCommandPulses 1048577", [](auto& p) { return p.SetCommandPulses(0, 1048577); }},
        {"Go dir 2", [](auto& p) { return p.Go(0, 2); }},
        {"Go dir -1", [](auto& p) { return p.Go(0, -1); }},
        {"GoPosition workstate 2", [](auto& p) { return p.GoPosition(0, 2, 0, 1, 1.0f); }},
        {"GoPosition state -1", [](auto& p) { return p.GoPosition(0, 1, -1, 1, 1.0f); }},
        {"GoPosition dir 2", [](auto& p) { return p.GoPosition(0, 1, 0, 2, 12.5f); }},
        {"GoLine2 same axis", [](auto& p) { return p.GoLine2(1, 1.0f, 1, 2.0f); }},
        {"GoLine2 axis 4", [](auto& p) { return p.GoLine2(0, 1.0f, 4, 2.0f); }},
        {"GoLine3 0 1 0", [](auto& p) { return p.GoLine3(0, 1.0f, 1, 2.0f, 0, 3.0f); }},
        {"GoLine3 0 1 1", [](auto& p) { return p.GoLine3(0, 1.0f, 1, 2.0f, 1, 3.0f); }},
        {"GoLine3 2 2 0", [](auto& p) { return p.GoLine3(2, 1.0f, 2, 2.0f, 0, 3.0f); }},
        {"GoLine3 axis -1", [](auto& p) { return p.GoLine3(-1, 1.0f, 1, 2.0f, 0, 3.0f); }},
        {"GoArc same axis", [](auto& p) { return p.GoArc(2, 2, 1.0f, 1.0f, 0.0f, 0.0f, 1); }},
        {"GoArc axis 4", [](auto& p) { return p.GoArc(0, 4, 1.0f, 1.0f, 0.0f, 0.0f, 1); }},
        {"SetPortOutput 257", [](auto& p) { return p.SetPortOutput(257); }},
        {"SetPortOutput -1", [](auto& p) { return p.SetPortOutput(-1); }},
        {"SavePlan 9", [](auto& p) { return p.SavePlan("ABCDEFGHI"); },
         KT300Protocol::kLinkErrPlanName},
        {"DeletePlan 9", [](auto& p) { return p.DeletePlan("ABCDEFGHI"); },
         KT300Protocol::kLinkErrPlanName},
        {"PlanUntil 256", [](auto& p) { return p.PlanUntil(256); }},
        {"PlanUntil -1", [](auto& p) { return p.PlanUntil(-1); }},
        {"PlanUntilAt 0", [](auto& p) { return p.PlanUntilAt(0); }},
        {"PlanUntilAt 9", [](auto& p) { return p.PlanUntilAt(9); }},
        {"PlanUntilNon 256", [](auto& p) { return p.PlanUntilNon(256); }},
        {"PlanUntilNon -1", [](auto& p) { return p.PlanUntilNon(-1); }},
        {"PlanUntilNonAt 0", [](auto& p) { return p.PlanUntilNonAt(0); }},
        {"PlanUntilNonAt 9", [](auto& p) { return p.PlanUntilNonAt(9); }},
        {"PlanIf 256", [](auto& p) { return p.PlanIf(256); }},
        {"PlanIf -1", [](auto& p) { return p.PlanIf(-1); }},
        {"PlanIfAt 0", [](auto& p) { return p.PlanIfAt(0); }},
        {"PlanIfAt 9", [](auto& p) { return p.PlanIfAt(9); }},
        {"PlanIfNon 256", [](auto& p) { return p.PlanIfNon(256); }},
        {"PlanIfNon -1", [](auto& p) { return p.PlanIfNon(-1); }},
        {"PlanIfNonAt 0", [](auto& p) { return p.PlanIfNonAt(0); }},
        {"PlanIfNonAt 9", [](auto& p) { return p.PlanIfNonAt(9); }},
        // A caller text must not smuggle a second command line onto the wire.
        {"StartPlan with CR", [](auto& p) { return p.StartPlan("A\rSTOPALL"); }},
        {"SavePlan with LF", [](auto& p) { return p.SavePlan("A\nB"); },
         KT300Protocol::kLinkErrPlanName},
        {"SetEncoderStyle with CR", [](auto& p) { return p.SetEncoderStyle(0, "AB\rEND"); }},
        {"GoMultiAxisHome with CR",
         [](auto& p) { return p.GoMultiAxisHome("Y", "N\r", "Y", "N"); }},
    };
    // Every operation that checks its axis refuses -1 and 4.
    const std::vector<std::pair<const char*, std::function<bool(KT300Protocol&, int)>>> axisOps = {
        {"SetStageStyle", [](auto& p, int a) { return p.SetStageStyle(a, 0); }},
        {"SetStagePitch", [](auto& p, int a) { return p.SetStagePitch(a, 1.0f); }},
        {"SetStepAngle", [](auto& p, int a) { return p.SetStepAngle(a, 1.0f); }},
        {"SetMicroStep", [](auto& p, int a) { return p.SetMicroStep(a, 1); }},
        {"SetDriveRatio", [](auto& p, int a) { return p.SetDriveRatio(a, 1); }},
        {"SetRadius", [](auto& p, int a) { return p.SetRadius(a, 1); }},
        {"SetDistance", [](auto& p, int a) { return p.SetDistance(a, 1.0f); }},
        {"SetWorkState", [](auto& p, int a) { return p.SetWorkState(a, 0); }},
        {"SetSpeed", [](auto& p, int a) { return p.SetSpeed(a, 1000.0f); }},
        {"SetInitSpeed", [](auto& p, int a) { return p.SetInitSpeed(a, 1.0f); }},
        {"SetAccSpeed", [](auto& p, int a) { return p.SetAccSpeed(a, 1.0f); }},
        {"SetDccSpeed", [](auto& p, int a) { return p.SetDccSpeed(a, 1.0f); }},
        {"SetHomeSpeed", [](auto& p, int a) { return p.SetHomeSpeed(a, 1.0f); }},
        {"SetHomeSpeedFactor", [](auto& p, int a) { return p.SetHomeSpeedFactor(a, 1.0f); }},
        {"SetSecondHomeMode", [](auto& p, int a) { return p.SetSecondHomeMode(a, 1); }},
        {"SetUnit", [](auto& p, int a) { return p.SetUnit(a, 0); }},
        {"SetUserOrigin", [](auto& p, int a) { return p.SetUserOrigin(a, 1.0f); }},
        {"SetUserPositiveLimit", [](auto& p, int a) { return p.SetUserPositiveLimit(a, 1.0f); }},
        {"SetUserNegativeLimit", [](auto& p, int a) { return p.SetUserNegativeLimit(a, 1.0f); }},
        {"SetOffset", [](auto& p, int a) { return p.SetOffset(a, 1); }},
        {"SetEncoderResolution", [](auto& p, int a) { return p.SetEncoderResolution(a, 1.0f); }},
        {"SetCommandPulses", [](auto& p, int a) { return p.SetCommandPulses(a, 1); }},
        {"SetStageStepsRev", [](auto& p, int a) { return p.SetStageStepsRev(a, 1.0f); }},
        {"GoOrigin", [](auto& p, int a) { return p.GoOrigin(a); }},
        {"GoHome", [](auto& p, int a) { return p.GoHome(a); }},
        {"Go", [](auto& p, int a) { return p.Go(a, 1); }},
        {"GoPosition", [](auto& p, int a) { return p.GoPosition(a, 1, 0, 1, 1.0f); }},
        {"Stop", [](auto& p, int a) { return p.Stop(a); }},
        {"StopSlow", [](auto& p, int a) { return p.StopSlow(a); }},
    };
    for (const auto& [name, op] : axisOps) {
        for (int axis : {-1, 4}) {
            auto f = op;
            rows.push_back({std::string(name) + " axis " + std::to_string(axis),
                            [f, axis](KT300Protocol& p) { return f(p, axis); }});
        }
    }
    return rows;
}

class WireLines : public ProtocolOnPty, public ::testing::WithParamInterface<bool> {};

TEST_P(WireLines, EveryOperationSendsItsLine) {
    ConnectPlain();
    proto.SetSyncMode(GetParam());
    peer.SetDefaultReply("OK\r");
    for (const SentRow& row : SentRows()) {
        SCOPED_TRACE(row.name);
        peer.ClearReceived();
        row.op(proto);
        EXPECT_EQ(LinesAfter(1), std::vector<std::string>{row.line});
    }
}

INSTANTIATE_TEST_SUITE_P(SyncMode, WireLines, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "Sync" : "NoWait"; });

TEST_F(ProtocolOnPty, RefusedArgumentsSendNothingAndKeepTheErrorCode) {
    ConnectPlain();
    // Leave a known error code behind, so that "unchanged" means something.
    peer.Expect("FAIL", "E05\r");
    ASSERT_FALSE(proto.SendCommand("FAIL", 50));
    ASSERT_EQ(proto.GetErrorCode(), 20045);
    peer.ClearReceived();
    peer.SetDefaultReply("OK\r");

    for (const RefusedRow& row : RefusedRows()) {
        SCOPED_TRACE(row.name);
        proto.SetLinkErrorCode(0);
        EXPECT_FALSE(row.op(proto));
        EXPECT_EQ(proto.GetErrorCode(), 20045);
        EXPECT_EQ(proto.GetLinkErrorCode(), row.linkCode >= 0 ? row.linkCode : 0);
    }
    // Nothing of the above reached the wire: the next line is the first one.
    ASSERT_TRUE(proto.SendCommand("PING", 2000));
    EXPECT_EQ(LinesAfter(1), std::vector<std::string>{"PING"});
}

}  // namespace
}  // namespace korva::test
