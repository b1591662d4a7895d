#pragma once
// The automation object: every member of the _DKORVAKT3002 interface as a
// typed C++ method (short = std::int16_t, long = std::int32_t, BOOL = bool,
// BSTR = std::string), the per-axis parameter cache, the link properties and
// late binding (Invoke by dispatch id). Nearly every method forwards to one
// operation of the owned protocol object.
//
// Threads: the host's GUI thread and its workers (plan run, position monitor)
// call in concurrently. The cache, the USB serial list and the language name
// sit behind one mutex that is never held across an exchange; exchanges
// themselves are kept one at a time by the protocol's busy flag.
//
// This is an installed header: it names no type of the protocol, link or
// USB library, and the object holds only a pointer to its state, so a change
// inside those layers changes neither what a host sees nor the object's size.
#include <cstdint>
#include <memory>
#include <span>
#include <string>

#include "Dispatch.h"
#include "Variant.h"

class KT300Protocol;
namespace korva {
class DialogProvider;
}

class CKORVAKT3002Ctrl {
  public:
    using BOOL = bool;
    using SHORT = std::int16_t;
    using LONG = std::int32_t;
    using BSTR = std::string;

    static constexpr int kAxes = 4;

    // The last value per axis successfully exchanged with the controller.
    struct AxisCache {
        LONG axisStyle = 0;
        float stepAngle = 0;
        LONG microStep = 0;
        LONG driveRatio = 0;
        float pitch = 0;
        LONG workState = 0;
        float distance = 0;
        LONG radius = 0;
        float userOrigin = 0;
        float limitPos = 0;
        float limitNeg = 0;
        float resolution = 0;
        float speed = 0;
        float initSpeed = 0;
        float accSpeed = 0;
        float dccSpeed = 0;
        float homeSpeed = 0;
        float homeSpeedFactor = 0;
        float offset = 0;
        LONG limitAble = 0;
        LONG unit = 0;
        double position = 0;
        LONG secondHome = 1;
        float stageSteps = 0;

        bool operator==(const AxisCache&) const = default;
    };

    CKORVAKT3002Ctrl();
    ~CKORVAKT3002Ctrl();
    CKORVAKT3002Ctrl(const CKORVAKT3002Ctrl&) = delete;
    CKORVAKT3002Ctrl& operator=(const CKORVAKT3002Ctrl&) = delete;

    // --- Properties (DISPIDs 1 to 4) ---
    BSTR GetLangenge() const;
    void SetLangenge(const BSTR& value);
    BOOL GetUSBMODE() const;
    void SetUSBMODE(BOOL value);  // ignored while the link is open
    BSTR GetUSBSerials() const;
    void SetUSBSerials(const BSTR& value);
    SHORT GetComPort() const;
    // Ignored while the link is open (link error 10102); a number outside
    // 1..255 is refused (GetErrorCode 10109).
    void SetComPort(SHORT value);

    // --- Link and device search ---
    BOOL Connect();                      // 5
    void DisConnect();                   // 22
    BOOL GetIsOpen();                    // 42
    LONG SearchKorvaUSBDevice();         // 20
    BSTR GetKorvaUSBSerial(LONG index);  // 21

    // --- Dialogs ---
    void ShowSettingDialog();  // 6
    void ShowPlanRunWindow();  // 13
    void AboutBox();           // -552

    // --- Parameter groups ---
    BOOL ReloadBasicParam(SHORT axis);  // 7
    BOOL SetBaseParam(SHORT axis, SHORT AxisStyle, SHORT workstate, float StepAngle, float Pitch,
                      LONG MicroStep, LONG DriverRate, float distance, LONG radius);  // 8
    BOOL ReloadPosParam(SHORT axis);                                                  // 9
    BOOL SetPosParam(SHORT axis, float UserOrg, float LimitPos, float LimitNeg,
                     float resolution);  // 10
    BOOL ReloadRunParam(SHORT axis);     // 11
    BOOL SetRunParam(SHORT axis, float Speed, float InitSpeed, float AccSpeed, float DccSpeed,
                     float HomeSpeed, float homespeedfactor, SHORT unit);  // 12

    // --- Motion and stop ---
    BOOL GoInterpolationArc(SHORT anxi1, SHORT anxi2, float target_posx, float target_posy,
                            float cen_posx, float cen_posy, SHORT arc_dir);  // 14
    BOOL GoInterpolationline2(SHORT anxi1, SHORT anxi2, float x, float y);   // 15
    BOOL GoInterpolationline3(SHORT anxi1, SHORT anxi2, SHORT anxi3, float x, float y,
                              float z);                                             // 16
    BOOL GoHome(SHORT anxi);                                                        // 17
    BOOL GoOrigion(SHORT anxi);                                                     // 18
    BOOL GoPosition(SHORT anxi, SHORT workstate, SHORT state, SHORT dir, float x);  // 19
    BOOL Go(SHORT anxi, SHORT dir);                                                 // 101
    BOOL GonAxisHome(const BSTR& xYN, const BSTR& yYN, const BSTR& zYN,
                     const BSTR& tYN);  // 67
    BOOL Stop(SHORT anxi);              // 45
    BOOL StopSlow(SHORT anxi);          // 100
    BOOL Stopall();                     // 70

    // --- Single parameter getters ---
    BSTR GetUnit(SHORT anxi);              // 23
    float GetSpeed(SHORT anxi);            // 24
    float GetInitSpeed(SHORT anxi);        // 25
    float GetAccSpeed(SHORT anxi);         // 26
    float GetDccSpeed(SHORT anxi);         // 27
    float GetHomeSpeed(SHORT anxi);        // 28
    float Gethomespeedfactor(SHORT anxi);  // 29
    float GetUserOrg(SHORT anxi);          // 30
    float GetLimitPos(SHORT anxi);         // 31
    float GetLimitNeg(SHORT anxi);         // 32
    float Getresolution(SHORT anxi);       // 33
    SHORT GetAxisStyle(SHORT anxi);        // 34
    float GetStepAngle(SHORT anxi);        // 35
    LONG GetMicroStep(SHORT anxi);         // 36
    LONG GetDriveRat(SHORT anxi);          // 37
    float GetPitch(SHORT anxi);            // 38
    SHORT Getworkstate(SHORT anxi);        // 39
    float Getdistance(SHORT anxi);         // 40
    LONG Getradius(SHORT anxi);            // 41
    SHORT Getsechhome(SHORT anxi);         // 50
    float GetStageSteps(SHORT axis);       // 73
    BOOL GetLimitAble(SHORT anxi);         // 102
    float GetOffset(SHORT anxi);           // 104
    double GetPosition(SHORT anxi);        // 75
    BSTR GetEncoderStyle(SHORT anxi);      // 69
    LONG GetCommandPulses(SHORT anxi);     // 72

    // --- Single parameter setters ---
    BOOL SetUnit(SHORT anxi, SHORT unit);                 // 46
    BOOL Setsechhome(SHORT anxi, SHORT homemode);         // 47
    BOOL SetAxisStyle(SHORT axis, SHORT AxisStyle);       // 51
    BOOL Setworkstate(SHORT axis, SHORT workstate);       // 52
    BOOL SetStepAngle(SHORT axis, float StepAngle);       // 53
    BOOL SetPitch(SHORT axis, float Pitch);               // 54
    BOOL SetMicroStep(SHORT axis, LONG MicroStep);        // 55
    BOOL SetDriverRate(SHORT axis, LONG DriverRate);      // 56
    BOOL Setdistance(SHORT axis, float distance);         // 57
    BOOL Setradius(SHORT axis, LONG radius);              // 58
    BOOL SetUserOrg(SHORT axis, float UserOrg);           // 59
    BOOL SetLimitPos(SHORT axis, float LimitPos);         // 60
    BOOL SetLimitNeg(SHORT axis, float LimitNeg);         // 61
    BOOL Setresolution(SHORT axis, float resolution);     // 62
    BOOL SetSpeed(SHORT axis, float Speed);               // 63
    BOOL SetInitSpeed(SHORT axis, float InitSpeed);       // 64
    BOOL SetAccSpeed(SHORT axis, float AccSpeed);         // 65
    BOOL SetHomeSpeed(SHORT axis, float HomeSpeed);       // 66
    BOOL SetStageSteps(SHORT axis, float step);           // 74
    BOOL SetLimitAble(SHORT anxi, SHORT limitable);       // 103
    BOOL SetOffset(SHORT anxi, float offset);             // 105
    BOOL SetEncoderStyle(SHORT anxi, const BSTR& style);  // 68
    BOOL SetCommandPulses(SHORT axis, LONG pulse);        // 71

    // --- Digital ports ---
    BOOL SetPortOutput(SHORT nValue);  // 43
    BOOL GetPortInput(SHORT* nValue);  // 44

    // --- Modes and flags ---
    BOOL GetchroMode();                            // 48
    BOOL SetchroMode(BOOL bmode);                  // 49
    BOOL GetStopFlag(SHORT anxi);                  // 99
    BOOL SetStopFlag(SHORT anxi, SHORT stopflag);  // 107

    // --- Stored plans ---
    BOOL SAVENAME(const BSTR& strname);     // 76
    BOOL OVERSAVE();                        // 77
    BOOL STARTRUN(const BSTR& strname);     // 78
    BOOL ENDRUN();                          // 79
    BOOL BREAKRUN();                        // 80
    BOOL GETPLAN();                         // 81
    BOOL DelayTime(SHORT DelayTime);        // 82
    BOOL Until(SHORT counter);              // 83
    BOOL Untilat(SHORT counter);            // 84
    BOOL Untilnon(SHORT counter);           // 85
    BOOL Untilnonat(SHORT counter);         // 86
    BOOL FunctionLoop(SHORT counter);       // 87
    BOOL EndLoop();                         // 88
    BOOL FunctionIf(SHORT counter);         // 89
    BOOL Functionifat(SHORT counter);       // 90
    BOOL EndIf();                           // 91
    BOOL FunctionIfnon(SHORT counter);      // 92
    BOOL FunctionIfnonat(SHORT counter);    // 93
    BOOL Delname(const BSTR& strsavename);  // 94

    // --- Device selection and system ---
    BOOL Selectdev(SHORT ndev);     // 96
    BOOL GetSelectID(SHORT* ndev);  // 97
    BOOL ENDSelect();               // 98
    LONG GetErrorCode();            // 95
    // Linux addition (no dispatch id; hosts use KORVA_ErrorText): one line
    // saying what the last failure was, "" after a success.
    BSTR GetLastErrorText() const;
    // Linux addition (hosts use KORVA_Abort): see KT300Protocol::Abort.
    BOOL Abort(std::uint32_t axes);
    BOOL Loaddefault();     // 106
    SHORT GetSystemInfo();  // 108

    // --- Late binding ---
    // The type information: _DKORVAKT3002 (109 members) and the empty event interface.
    static const korva::DispInterfaceInfo& TypeInfo();
    static const korva::DispInterfaceInfo& EventTypeInfo();
    // Calls a member by dispatch id with automation conversions of the
    // arguments (see KorvaDispatch::Invoke in KorvaModule.h).
    korva::HRESULT Invoke(korva::DISPID id, std::uint16_t flags, std::span<korva::Variant> args,
                          korva::Variant* result, unsigned* argErr = nullptr);

    // --- Framework state ---
    // Set by every property put, as a container's "modified" mark.
    bool IsModified() const;
    void SetModifiedFlag(bool modified = true);
    // Snapshot of one axis's cache (for the parameter pages); false for an
    // axis outside 0..3.
    bool GetCachedParams(int axis, AxisCache& out) const;
    // The dialogs; nullptr restores the module's default provider.
    void SetDialogProvider(korva::DialogProvider* provider);
    // The protocol object, for the control's own dialogs, tests and in-tree
    // hosts (they include KT300Protocol.h themselves); not for installed hosts.
    KT300Protocol& Protocol();

  private:
    static bool ValidAxis(int axis) { return axis >= 0 && axis < kAxes; }
    template <typename Value, typename Query>
    Value CachedGet(SHORT axis, Value AxisCache::*entry, Query query);
    template <typename Value, typename Setter>
    BOOL CachedSet(SHORT axis, Value AxisCache::*entry, Value value, Setter setter);
    korva::DialogProvider& Dialogs();

    // The protocol object, the cache and the locks (KORVAKT3002Ctl.cpp).
    struct Impl;
    std::unique_ptr<Impl> m_p;
};
