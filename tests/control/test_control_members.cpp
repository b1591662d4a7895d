// Every member of _DKORVAKT3002, called by name through GetIDsOfNames and
// Invoke with typed arguments, against a scripted controller: the exact line
// the controller receives, the result, and out parameters.
#include <gtest/gtest.h>

#include <optional>
#include <set>
#include <string>
#include <vector>

#include "ControlFixture.h"
#include "DialogProvider.h"

namespace korva::test {
namespace {

using I2 = std::int16_t;
using I4 = std::int32_t;

struct MemberCase {
    const char* name;
    std::vector<Variant> args;
    std::optional<std::string> line;  // what the controller receives; nullopt: nothing
    std::string reply;                // the controller's answer to that line
    Variant result;
    std::optional<I2> out = std::nullopt;  // the by-reference argument afterwards
    // Further exchanges of a group method, in order, after `line`.
    std::vector<std::pair<std::string, std::string>> more = {};
};

// Records dialog calls instead of showing windows.
class RecordingDialogs : public DialogProvider {
  public:
    void ShowSettingDialog(CKORVAKT3002Ctrl&) override { calls.push_back("ShowSettingDialog"); }
    void ShowPlanRunWindow(CKORVAKT3002Ctrl&) override { calls.push_back("ShowPlanRunWindow"); }
    void AboutBox(CKORVAKT3002Ctrl&) override { calls.push_back("AboutBox"); }
    std::vector<std::string> calls;
};

// In order: rows may depend on earlier ones (stop flags, select number).
std::vector<MemberCase> Cases() {
    const std::string ok = "OK\r";
    return {
        {"Connect", {}, std::nullopt, "", Variant(true)},  // already connected: no traffic
        // Groups: every command, in order.
        {"SetBaseParam",
         {Variant(I2{0}), Variant(I2{1}), Variant(I2{1}), Variant(1.8f), Variant(2.5f),
          Variant(I4{16}), Variant(I4{3}), Variant(100.0f), Variant(I4{20})},
         "SetStagePitch X,2.500000",
         ok,
         Variant(true),
         std::nullopt,
         {{"SetStageStyle X,R", ok},
          {"SetStageWorkState X,O", ok},
          {"SetStageStepAngle X,1.800000", ok},
          {"SetStageMicroStep X,16", ok},
          {"SetStageDriveRat X,3", ok},
          {"SetStageDistance X,100.000000", ok},
          {"SetStageRadius X,20", ok}}},
        {"ReloadBasicParam",
         {Variant(I2{1})},
         "SetStagePitch? Y",
         "SetStagePitch Y,2\rOK\r",
         Variant(true),
         std::nullopt,
         {{"SetStageStyle? Y", "SetStageStyle Y,T\rOK\r"},
          {"SetStageWorkState? Y", "SetStageWorkState Y,C\rOK\r"},
          {"SetStageStepAngle? Y", "SetStageStepAngle Y,1.8\rOK\r"},
          {"SetStageMicroStep? Y", "SetStageMicroStep Y,4\rOK\r"},
          {"SetStageDriveRat? Y", "SetStageDriveRat Y,1\rOK\r"},
          {"SetStageDistance? Y", "SetStageDistance Y,50\rOK\r"},
          {"SetStageRadius? Y", "SetStageRadius Y,0\rOK\r"},
          {"Setsechhomemode? Y", "Setsechhomemode Y,1\rOK\r"}}},
        {"SetPosParam",
         {Variant(I2{2}), Variant(1.0f), Variant(50.0f), Variant(-50.0f), Variant(0.25f)},
         "SetUserOrigin Z,1.000000",
         ok,
         Variant(true),
         std::nullopt,
         {{"SetUserPositiveLimit Z,50.000000", ok},
          {"SetUserNegativeLimit Z,-50.000000", ok},
          {"SetEncoderResolution Z,0.250000", ok}}},
        {"ReloadPosParam",
         {Variant(I2{2})},
         "SetUserOrigin? Z",
         "SetUserOrigin Z,1\rOK\r",
         Variant(true),
         std::nullopt,
         {{"SetUserPositiveLimit? Z", "SetUserPositiveLimit Z,50\rOK\r"},
          {"SetUserNegativeLimit? Z", "SetUserNegativeLimit Z,-50\rOK\r"},
          {"SetEncoderResolution? Z", "SetEncoderResolution Z,0.25\rOK\r"}}},
        {"SetRunParam",
         {Variant(I2{3}), Variant(100.0f), Variant(10.0f), Variant(20.0f), Variant(30.0f),
          Variant(40.0f), Variant(0.5f), Variant(I2{3})},
         "SetSpeed T,100.000000",
         ok,
         Variant(true),
         std::nullopt,
         {{"SetInitSpeed T,10.000000", ok},
          {"SetAccSpeed T,20.000000", ok},
          {"SetDccSpeed T,30.000000", ok},
          {"SetHomeSpeed T,40.000000", ok},
          {"SetHomeSpeedFactor T,0.500000", ok},
          {"SetUnit T,u", ok}}},
        {"Gethomespeedfactor", {Variant(I2{3})}, std::nullopt, "", Variant(0.5f)},
        {"ReloadRunParam",
         {Variant(I2{3})},
         "SetSpeed? T",
         "SetSpeed T,100\rOK\r",
         Variant(true),
         std::nullopt,
         {{"SetInitSpeed? T", "SetInitSpeed T,10\rOK\r"},
          {"SetAccSpeed? T", "SetAccSpeed T,20\rOK\r"},
          {"SetDccSpeed? T", "SetDccSpeed T,30\rOK\r"},
          {"SetHomeSpeed? T", "SetHomeSpeed T,40\rOK\r"},
          {"SetHomeSpeedFactor? T", "SetHomeSpeedFactor T,0.75\rOK\r"},
          {"SetUnit? T", "SetUnit T,U\rOK\r"},
          {"Position? T", "Position T,3.5\rOK\r"}}},
        {"Gethomespeedfactor", {Variant(I2{3})}, std::nullopt, "", Variant(0.75f)},
        {"GetIsOpen", {}, std::nullopt, "", Variant(true)},
        {"ShowSettingDialog", {}, std::nullopt, "", Variant()},
        {"ShowPlanRunWindow", {}, std::nullopt, "", Variant()},
        {"AboutBox", {}, std::nullopt, "", Variant()},
        {"GetchroMode", {}, std::nullopt, "", Variant(false)},
        {"SetchroMode", {Variant(false)}, std::nullopt, "", Variant(true)},
        {"GetErrorCode", {}, std::nullopt, "", Variant(I4{0})},
        // Motion (synchronous mode off: sent without waiting for OK).
        {"GoInterpolationArc",
         {Variant(I2{0}), Variant(I2{1}), Variant(1.5f), Variant(2.5f), Variant(0.5f),
          Variant(0.25f), Variant(I2{1})},
         "GoInterpolationArc X,Y,1.500000,2.500000,0.500000,0.250000,P",
         "READY\r",
         Variant(true)},
        {"GoInterpolationline2",
         {Variant(I2{0}), Variant(I2{2}), Variant(10.0f), Variant(-5.0f)},
         "GoInterpolationline2 X,10.000000,Z,-5.000000",
         "READY\r",
         Variant(true)},
        {"GoInterpolationline3",
         {Variant(I2{0}), Variant(I2{1}), Variant(I2{3}), Variant(1.0f), Variant(2.0f),
          Variant(3.0f)},
         "GoInterpolationline3 X,1.000000,Y,2.000000,T,3.000000",
         "READY\r",
         Variant(true)},
        {"GoHome", {Variant(I2{1})}, "GoHome Y", "READY\r", Variant(true)},
        {"GetStopFlag", {Variant(I2{1})}, std::nullopt, "", Variant(false)},
        // GoOrigion always waits for OK; a second line other than READY means stopped.
        {"GoOrigion", {Variant(I2{2})}, "GoOrigion Z", "READY\rOK\r", Variant(true)},
        {"GetStopFlag", {Variant(I2{2})}, std::nullopt, "", Variant(true)},
        {"SetStopFlag", {Variant(I2{2}), Variant(I2{0})}, std::nullopt, "", Variant(false)},
        {"GetStopFlag", {Variant(I2{2})}, std::nullopt, "", Variant(false)},
        {"GoPosition",
         {Variant(I2{0}), Variant(I2{1}), Variant(I2{0}), Variant(I2{1}), Variant(12.5f)},
         "GoPosition X,O,A,P,12.500000",
         "READY\r",
         Variant(true)},
        {"Go", {Variant(I2{0}), Variant(I2{1})}, "Go X,P", "READY\r", Variant(true)},
        {"GonAxisHome",
         {Variant("Y"), Variant("N"), Variant("Y"), Variant("N")},
         "GonAxisHome Y,N,Y,N",
         ok,
         Variant(true)},
        {"Stop", {Variant(I2{3})}, "Stop T", "T STOP\rOK\r", Variant(true)},
        {"StopSlow", {Variant(I2{1})}, "StopSlow Y", "Y STOP\rOK\r", Variant(true)},
        {"Stopall", {}, "STOPALL", ok, Variant(true)},
        // Getters.
        {"GetUnit", {Variant(I2{0})}, "SetUnit? X", "SetUnit X,M\rOK\r", Variant("m")},
        {"GetSpeed", {Variant(I2{0})}, "SetSpeed? X", "SetSpeed X,1500.5\rOK\r", Variant(1500.5f)},
        {"GetInitSpeed",
         {Variant(I2{1})},
         "SetInitSpeed? Y",
         "SetInitSpeed Y,100\rOK\r",
         Variant(100.0f)},
        {"GetAccSpeed",
         {Variant(I2{2})},
         "SetAccSpeed? Z",
         "SetAccSpeed Z,250.25\rOK\r",
         Variant(250.25f)},
        {"GetDccSpeed",
         {Variant(I2{3})},
         "SetDccSpeed? T",
         "SetDccSpeed T,300\rOK\r",
         Variant(300.0f)},
        {"GetHomeSpeed",
         {Variant(I2{0})},
         "SetHomeSpeed? X",
         "SetHomeSpeed X,50\rOK\r",
         Variant(50.0f)},
        {"Gethomespeedfactor", {Variant(I2{0})}, std::nullopt, "", Variant(0.0f)},
        {"GetUserOrg",
         {Variant(I2{0})},
         "SetUserOrigin? X",
         "SetUserOrigin X,-1.5\rOK\r",
         Variant(-1.5f)},
        {"GetLimitPos",
         {Variant(I2{0})},
         "SetUserPositiveLimit? X",
         "SetUserPositiveLimit X,90\rOK\r",
         Variant(90.0f)},
        {"GetLimitNeg",
         {Variant(I2{0})},
         "SetUserNegativeLimit? X",
         "SetUserNegativeLimit X,-90\rOK\r",
         Variant(-90.0f)},
        {"Getresolution",
         {Variant(I2{0})},
         "SetEncoderResolution? X",
         "SetEncoderResolution X,0.5\rOK\r",
         Variant(0.5f)},
        {"GetAxisStyle",
         {Variant(I2{0})},
         "SetStageStyle? X",
         "SetStageStyle X,R\rOK\r",
         Variant(I2{1})},
        {"GetStepAngle",
         {Variant(I2{0})},
         "SetStageStepAngle? X",
         "SetStageStepAngle X,1.8\rOK\r",
         Variant(1.8f)},
        {"GetMicroStep",
         {Variant(I2{0})},
         "SetStageMicroStep? X",
         "SetStageMicroStep X,16\rOK\r",
         Variant(I4{16})},
        {"GetDriveRat",
         {Variant(I2{0})},
         "SetStageDriveRat? X",
         "SetStageDriveRat X,3\rOK\r",
         Variant(I4{3})},
        {"GetPitch",
         {Variant(I2{0})},
         "SetStagePitch? X",
         "SetStagePitch X,2.5\rOK\r",
         Variant(2.5f)},
        {"Getworkstate",
         {Variant(I2{0})},
         "SetStageWorkState? X",
         "SetStageWorkState X,O\rOK\r",
         Variant(I2{1})},
        {"Getdistance",
         {Variant(I2{0})},
         "SetStageDistance? X",
         "SetStageDistance X,100\rOK\r",
         Variant(100.0f)},
        {"Getradius",
         {Variant(I2{0})},
         "SetStageRadius? X",
         "SetStageRadius X,20\rOK\r",
         Variant(I4{20})},
        {"Getsechhome",
         {Variant(I2{1})},
         "Setsechhomemode? Y",
         "Setsechhomemode Y,2\rOK\r",
         Variant(I2{2})},
        {"GetStageSteps",
         {Variant(I2{0})},
         "SetStageStepsRev? X",
         "SetStageStepsRev X,200\rOK\r",
         Variant(200.0f)},
        {"GetLimitAble",
         {Variant(I2{0})},
         "SetUserlimitable? X",
         "SetUserlimitable X,D\rOK\r",
         Variant(true)},
        {"GetOffset", {Variant(I2{0})}, "SetOffset? X", "SetOffset X,12\rOK\r", Variant(12.0f)},
        {"GetPosition", {Variant(I2{0})}, "Position? X", "Position X,12.25\rOK\r", Variant(12.25)},
        {"GetEncoderStyle",
         {Variant(I2{0})},
         "SetEncoderStyle? X",
         "SetEncoderStyle X,AB\rOK\r",
         Variant("AB")},
        {"GetCommandPulses",
         {Variant(I2{0})},
         "SetCommandPulses? X",
         "SetCommandPulses X,2000\rOK\r",
         Variant(I4{2000})},
        // Setters.
        {"SetUnit", {Variant(I2{0}), Variant(I2{1})}, "SetUnit X,m", ok, Variant(true)},
        {"Setsechhome", {Variant(I2{0}), Variant(I2{2})}, "Setsechhomemode X,2", ok, Variant(true)},
        {"SetAxisStyle", {Variant(I2{0}), Variant(I2{1})}, "SetStageStyle X,R", ok, Variant(true)},
        {"Setworkstate",
         {Variant(I2{0}), Variant(I2{0})},
         "SetStageWorkState X,C",
         ok,
         Variant(true)},
        {"SetStepAngle",
         {Variant(I2{0}), Variant(1.8f)},
         "SetStageStepAngle X,1.800000",
         ok,
         Variant(true)},
        {"SetPitch",
         {Variant(I2{1}), Variant(5.0f)},
         "SetStagePitch Y,5.000000",
         ok,
         Variant(true)},
        {"SetMicroStep",
         {Variant(I2{0}), Variant(I4{16})},
         "SetStageMicroStep X,16",
         ok,
         Variant(true)},
        {"SetDriverRate",
         {Variant(I2{0}), Variant(I4{2})},
         "SetStageDriveRat X,2",
         ok,
         Variant(true)},
        {"Setdistance",
         {Variant(I2{0}), Variant(300.0f)},
         "SetStageDistance X,300.000000",
         ok,
         Variant(true)},
        {"Setradius", {Variant(I2{0}), Variant(I4{7})}, "SetStageRadius X,7", ok, Variant(true)},
        {"SetUserOrg",
         {Variant(I2{0}), Variant(-1.5f)},
         "SetUserOrigin X,-1.500000",
         ok,
         Variant(true)},
        {"SetLimitPos",
         {Variant(I2{0}), Variant(90.0f)},
         "SetUserPositiveLimit X,90.000000",
         ok,
         Variant(true)},
        {"SetLimitNeg",
         {Variant(I2{0}), Variant(-90.0f)},
         "SetUserNegativeLimit X,-90.000000",
         ok,
         Variant(true)},
        {"Setresolution",
         {Variant(I2{0}), Variant(0.5f)},
         "SetEncoderResolution X,0.500000",
         ok,
         Variant(true)},
        {"SetSpeed",
         {Variant(I2{0}), Variant(1000.0f)},
         "SetSpeed X,1000.000000",
         ok,
         Variant(true)},
        {"SetInitSpeed",
         {Variant(I2{0}), Variant(10.0f)},
         "SetInitSpeed X,10.000000",
         ok,
         Variant(true)},
        {"SetAccSpeed",
         {Variant(I2{0}), Variant(20.0f)},
         "SetAccSpeed X,20.000000",
         ok,
         Variant(true)},
        {"SetHomeSpeed",
         {Variant(I2{0}), Variant(30.0f)},
         "SetHomeSpeed X,30.000000",
         ok,
         Variant(true)},
        {"SetStageSteps",
         {Variant(I2{0}), Variant(400.0f)},
         "SetStageStepsRev X,400.000000",
         ok,
         Variant(true)},
        {"SetLimitAble",
         {Variant(I2{0}), Variant(I2{1})},
         "SetUserLimitAble X,D",
         ok,
         Variant(true)},
        {"SetOffset", {Variant(I2{0}), Variant(2.7f)}, "SetOffset X,2", ok, Variant(true)},
        {"SetEncoderStyle",
         {Variant(I2{0}), Variant("AB")},
         "SetEncoderStyle X,AB",
         ok,
         Variant(true)},
        {"SetCommandPulses",
         {Variant(I2{0}), Variant(I4{1000})},
         "SetCommandPulses X,1000",
         ok,
         Variant(true)},
        // Ports.
        {"SetPortOutput", {Variant(I2{5})}, "PORTOUTPUT 5", ok, Variant(true)},
        {"GetPortInput",
         {Variant(I2{0})},
         "PORTINPUT?",
         "PORTINPUT 37\rOK\r",
         Variant(true),
         I2{37}},
        // Plans.
        {"SAVENAME", {Variant("plan1")}, "SAVE plan1", ok, Variant(true)},
        {"OVERSAVE", {}, "OVER", ok, Variant(true)},
        {"STARTRUN", {Variant("plan1")}, "START plan1", ok, Variant(true)},
        {"ENDRUN", {}, "END", ok, Variant(true)},
        {"BREAKRUN", {}, "BREAK", ok, Variant(true)},
        {"GETPLAN", {}, "PLAN?", ok, Variant(false)},  // inverted: acknowledged gives FALSE
        {"DelayTime", {Variant(I2{-1})}, "delay 65535", ok, Variant(true)},
        {"Until", {Variant(I2{255})}, "until 255", ok, Variant(true)},
        {"Untilat", {Variant(I2{8})}, "until @8", ok, Variant(true)},
        {"Untilnon", {Variant(I2{3})}, "until_non 3", ok, Variant(true)},
        {"Untilnonat", {Variant(I2{1})}, "until_non @1", ok, Variant(true)},
        {"FunctionLoop", {Variant(I2{300})}, "#loop 300", ok, Variant(true)},
        {"EndLoop", {}, "#end_loop", ok, Variant(true)},
        {"FunctionIf", {Variant(I2{4})}, "#if 4", ok, Variant(true)},
        {"Functionifat", {Variant(I2{2})}, "#if @2", ok, Variant(true)},
        {"EndIf", {}, "#end_if", ok, Variant(true)},
        {"FunctionIfnon", {Variant(I2{5})}, "#if_non 5", ok, Variant(true)},
        {"FunctionIfnonat", {Variant(I2{8})}, "#if_non @8", ok, Variant(true)},
        {"Delname", {Variant("plan1")}, "DEL plan1", ok, Variant(true)},
        // Selection and system.
        {"Selectdev", {Variant(I2{3})}, std::nullopt, "", Variant(true)},
        {"GetSelectID", {Variant()}, "ID?", "ID 4\rOK\r", Variant(true), I2{4}},
        {"ENDSelect", {}, "end", ok, Variant(true)},
        {"Loaddefault", {}, "Loaddefault", ok, Variant(true)},
        {"GetSystemInfo", {}, "SystemInfo?", "SystemInfo KT300RSX,1.0\rOK\r", Variant(I2{2})},
        {"SearchKorvaUSBDevice", {}, std::nullopt, "", Variant(I4{0})},
        {"GetKorvaUSBSerial", {Variant(I4{0})}, std::nullopt, "", Variant("")},
        {"DisConnect", {}, std::nullopt, "", Variant()},
        {"GetIsOpen", {}, std::nullopt, "", Variant(false)},
    };
}

class ControlMembers : public ControlOnPty {};

TEST_F(ControlMembers, EveryMemberReachesTheControllerAsExpected) {
    RecordingDialogs dialogs;
    ctl.SetDialogProvider(&dialogs);
    ConnectPlain();

    std::set<DISPID> covered;
    for (const MemberCase& c : Cases()) {
        SCOPED_TRACE(c.name);
        DISPID id = DISPID_UNKNOWN;
        const char* names[] = {c.name};
        ASSERT_EQ(GetIDsOfNames(CKORVAKT3002Ctrl::TypeInfo(), names, std::span(&id, 1)), S_OK);
        covered.insert(id);

        peer.ClearReceived();
        std::vector<std::string> expected;
        if (c.line) {
            peer.Expect(*c.line, c.reply);
            expected.push_back(*c.line);
        }
        for (const auto& [line, reply] : c.more) {
            peer.Expect(line, reply);
            expected.push_back(line);
        }
        std::vector<Variant> args = c.args;
        Variant result("unset");
        unsigned argErr = 999;
        ASSERT_EQ(ctl.Invoke(id, kInvokeMethod, args, &result, &argErr), S_OK) << argErr;
        EXPECT_EQ(result, c.result) << result.ToDisplayText();
        EXPECT_EQ(LinesAfter(expected.size()), expected);
        if (c.out) {
            ASSERT_EQ(args.at(0).Type(), VarType::I2);
            EXPECT_EQ(args.at(0).AsI2(), *c.out);
        }
    }
    EXPECT_TRUE(peer.Unexpected().empty());
    EXPECT_EQ(dialogs.calls,
              (std::vector<std::string>{"ShowSettingDialog", "ShowPlanRunWindow", "AboutBox"}));
    // Every method is in the table; the four properties have their own tests.
    for (const DispEntry& e : CKORVAKT3002Ctrl::TypeInfo().entries) {
        if (e.kind == MemberKind::Method) {
            EXPECT_TRUE(covered.count(e.id)) << e.name;
        }
    }
}

TEST_F(ControlMembers, ByReferenceOutputGoesThroughThePointer) {
    ConnectPlain();
    I2 value = -5;
    std::vector<Variant> args{Variant::ByRef(&value)};
    Variant result;
    peer.Expect("ID?", "ID 3\rOK\r");
    ASSERT_EQ(ctl.Invoke(97, kInvokeMethod, args, &result), S_OK);
    EXPECT_EQ(result, Variant(true));
    EXPECT_EQ(value, 3);
    EXPECT_EQ(args[0].Type(), VarType::ByRefI2);
    // The number read becomes the one selected at the next Connect.
    EXPECT_EQ(ctl.Protocol().GetSelectNumber(), 3);
}

}  // namespace
}  // namespace korva::test
