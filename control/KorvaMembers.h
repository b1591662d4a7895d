#pragma once
// The members of the dispatch interface _DKORVAKT3002, in one list: the
// control's dispatch table and type information are generated from it, and
// so are the dispatch ids a late-binding host names (stagedesk's wrapper), so
// the two sides cannot disagree on which id calls which member.
#include "Dispatch.h"

// KORVA_CONTROL_MEMBERS(M, P) expands M(dispid, method, parameter names...)
// for each method and P(dispid, name) for each property (getter Get<name>,
// setter Set<name>), in dispatch-id order, AboutBox last.
#define KORVA_CONTROL_MEMBERS(M, P)                                                         \
    P(1, Langenge)                                                                          \
    P(2, USBMODE)                                                                           \
    P(3, USBSerials)                                                                        \
    P(4, ComPort)                                                                           \
    M(5, Connect)                                                                           \
    M(6, ShowSettingDialog)                                                                 \
    M(7, ReloadBasicParam, "axis")                                                          \
    M(8, SetBaseParam, "axis", "AxisStyle", "workstate", "StepAngle", "Pitch", "MicroStep", \
      "DriverRate", "distance", "radius")                                                   \
    M(9, ReloadPosParam, "axis")                                                            \
    M(10, SetPosParam, "axis", "UserOrg", "LimitPos", "LimitNeg", "resolution")             \
    M(11, ReloadRunParam, "axis")                                                           \
    M(12, SetRunParam, "axis", "Speed", "InitSpeed", "AccSpeed", "DccSpeed", "HomeSpeed",   \
      "homespeedfactor", "unit")                                                            \
    M(13, ShowPlanRunWindow)                                                                \
    M(14, GoInterpolationArc, "anxi1", "anxi2", "target_posx", "target_posy", "cen_posx",   \
      "cen_posy", "arc_dir")                                                                \
    M(15, GoInterpolationline2, "anxi1", "anxi2", "x", "y")                                 \
    M(16, GoInterpolationline3, "anxi1", "anxi2", "anxi3", "x", "y", "z")                   \
    M(17, GoHome, "anxi")                                                                   \
    M(18, GoOrigion, "anxi")                                                                \
    M(19, GoPosition, "anxi", "workstate", "state", "dir", "x")                             \
    M(20, SearchKorvaUSBDevice)                                                             \
    M(21, GetKorvaUSBSerial, "index")                                                       \
    M(22, DisConnect)                                                                       \
    M(23, GetUnit, "anxi")                                                                  \
    M(24, GetSpeed, "anxi")                                                                 \
    M(25, GetInitSpeed, "anxi")                                                             \
    M(26, GetAccSpeed, "anxi")                                                              \
    M(27, GetDccSpeed, "anxi")                                                              \
    M(28, GetHomeSpeed, "anxi")                                                             \
    M(29, Gethomespeedfactor, "anxi")                                                       \
    M(30, GetUserOrg, "anxi")                                                               \
    M(31, GetLimitPos, "anxi")                                                              \
    M(32, GetLimitNeg, "anxi")                                                              \
    M(33, Getresolution, "anxi")                                                            \
    M(34, GetAxisStyle, "anxi")                                                             \
    M(35, GetStepAngle, "anxi")                                                             \
    M(36, GetMicroStep, "anxi")                                                             \
    M(37, GetDriveRat, "anxi")                                                              \
    M(38, GetPitch, "anxi")                                                                 \
    M(39, Getworkstate, "anxi")                                                             \
    M(40, Getdistance, "anxi")                                                              \
    M(41, Getradius, "anxi")                                                                \
    M(42, GetIsOpen)                                                                        \
    M(43, SetPortOutput, "nValue")                                                          \
    M(44, GetPortInput, "nValue")                                                           \
    M(45, Stop, "anxi")                                                                     \
    M(46, SetUnit, "anxi", "unit")                                                          \
    M(47, Setsechhome, "anxi", "homemode")                                                  \
    M(48, GetchroMode)                                                                      \
    M(49, SetchroMode, "bmode")                                                             \
    M(50, Getsechhome, "anxi")                                                              \
    M(51, SetAxisStyle, "axis", "AxisStyle")                                                \
    M(52, Setworkstate, "axis", "workstate")                                                \
    M(53, SetStepAngle, "axis", "StepAngle")                                                \
    M(54, SetPitch, "axis", "Pitch")                                                        \
    M(55, SetMicroStep, "axis", "MicroStep")                                                \
    M(56, SetDriverRate, "axis", "DriverRate")                                              \
    M(57, Setdistance, "axis", "distance")                                                  \
    M(58, Setradius, "axis", "radius")                                                      \
    M(59, SetUserOrg, "axis", "UserOrg")                                                    \
    M(60, SetLimitPos, "axis", "LimitPos")                                                  \
    M(61, SetLimitNeg, "axis", "LimitNeg")                                                  \
    M(62, Setresolution, "axis", "resolution")                                              \
    M(63, SetSpeed, "axis", "Speed")                                                        \
    M(64, SetInitSpeed, "axis", "InitSpeed")                                                \
    M(65, SetAccSpeed, "axis", "AccSpeed")                                                  \
    M(66, SetHomeSpeed, "axis", "HomeSpeed")                                                \
    M(67, GonAxisHome, "xYN", "yYN", "zYN", "tYN")                                          \
    M(68, SetEncoderStyle, "anxi", "style")                                                 \
    M(69, GetEncoderStyle, "anxi")                                                          \
    M(70, Stopall)                                                                          \
    M(71, SetCommandPulses, "axis", "pulse")                                                \
    M(72, GetCommandPulses, "anxi")                                                         \
    M(73, GetStageSteps, "axis")                                                            \
    M(74, SetStageSteps, "axis", "step")                                                    \
    M(75, GetPosition, "anxi")                                                              \
    M(76, SAVENAME, "strname")                                                              \
    M(77, OVERSAVE)                                                                         \
    M(78, STARTRUN, "strname")                                                              \
    M(79, ENDRUN)                                                                           \
    M(80, BREAKRUN)                                                                         \
    M(81, GETPLAN)                                                                          \
    M(82, DelayTime, "DelayTime")                                                           \
    M(83, Until, "counter")                                                                 \
    M(84, Untilat, "counter")                                                               \
    M(85, Untilnon, "counter")                                                              \
    M(86, Untilnonat, "counter")                                                            \
    M(87, FunctionLoop, "counter")                                                          \
    M(88, EndLoop)                                                                          \
    M(89, FunctionIf, "counter")                                                            \
    M(90, Functionifat, "counter")                                                          \
    M(91, EndIf)                                                                            \
    M(92, FunctionIfnon, "counter")                                                         \
    M(93, FunctionIfnonat, "counter")                                                       \
    M(94, Delname, "strsavename")                                                           \
    M(95, GetErrorCode)                                                                     \
    M(96, Selectdev, "ndev")                                                                \
    M(97, GetSelectID, "ndev")                                                              \
    M(98, ENDSelect)                                                                        \
    M(99, GetStopFlag, "anxi")                                                              \
    M(100, StopSlow, "anxi")                                                                \
    M(101, Go, "anxi", "dir")                                                               \
    M(102, GetLimitAble, "anxi")                                                            \
    M(103, SetLimitAble, "anxi", "limitable")                                               \
    M(104, GetOffset, "anxi")                                                               \
    M(105, SetOffset, "anxi", "offset")                                                     \
    M(106, Loaddefault)                                                                     \
    M(107, SetStopFlag, "anxi", "stopflag")                                                 \
    M(108, GetSystemInfo)                                                                   \
    M(-552, AboutBox)

// The dispatch ids as an enumeration: korva::Dispid::GoPosition == 19.
#define KORVA_DISPID_ENUM_M(id, name, ...) name = id,
#define KORVA_DISPID_ENUM_P(id, name) name = id,
namespace korva {
enum class Dispid : DISPID { KORVA_CONTROL_MEMBERS(KORVA_DISPID_ENUM_M, KORVA_DISPID_ENUM_P) };
}  // namespace korva
#undef KORVA_DISPID_ENUM_M
#undef KORVA_DISPID_ENUM_P
