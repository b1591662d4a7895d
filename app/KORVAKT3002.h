#pragma once
// CKORVAKT3002: the program's only way to the control. Typed C++ methods on
// the outside; inside, every call goes by dispatch id through Invoke.
//
// Calls may come from the GUI thread and from the panels' worker threads.
// The protocol refuses an exchange that starts while another one is running
// (it does not wait), so the wrapper lets one call through at a time; a call
// from the GUI thread waits at most for the one exchange in progress.
#include <QPointer>
#include <QString>
#include <QWidget>
#include <atomic>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <memory>
#include <mutex>
#include <string>

#include "Dispatch.h"
#include "KorvaMembers.h"
#include "KorvaModule.h"
#include "Variant.h"

class QWidget;

namespace stagedesk {

class ControlModule;

class CKORVAKT3002 {
  public:
    // Dispatch ids of _DKORVAKT3002, from the control's member list.
    using Dispid = korva::Dispid;

    CKORVAKT3002();
    ~CKORVAKT3002();
    CKORVAKT3002(const CKORVAKT3002&) = delete;
    CKORVAKT3002& operator=(const CKORVAKT3002&) = delete;

    // Loads the module, creates the control and its hidden face as a child of
    // parent (control id 1133). False with the reason in *error.
    bool Create(QWidget* parent, std::string* error);
    bool IsCreated() const { return m_pControl != nullptr; }
    // The face widget (hidden), or nullptr when the module offers none.
    QWidget* Face() const { return m_pFace; }
    // Releases the control (closing an open link). Idempotent.
    void Destroy();
    // Result code of the last Invoke (S_OK, a DISP_E_* code, or
    // E_INVALIDARG when no control exists).
    korva::HRESULT LastInvokeResult() const { return m_lastResult.load(); }
    // Keeps other threads' calls out while the holder runs a call and reads
    // its GetErrorCode (the error code belongs to the control, not to a thread).
    std::unique_lock<std::recursive_mutex> HoldCalls();
    // The stop of every axis (immediate: one STOPALL line; slow: StopSlow of
    // each axis), outside the one-call-at-a-time lock: the protocol lets a
    // stop overtake an exchange that waits for its reply, and Stop all must
    // not queue behind it. Any thread; not while Destroy runs. A slow stop
    // leaves the axes it has not reached once superseded() says an immediate
    // stop has taken over.
    bool StopAxesNow(bool slow, const std::function<bool()>& superseded = {});

    // --- the members of _DKORVAKT3002 ---
    QString GetLangenge();
    void SetLangenge(const QString& value);
    bool GetUSBMODE();
    void SetUSBMODE(bool value);
    QString GetUSBSerials();
    void SetUSBSerials(const QString& value);
    std::int16_t GetComPort();
    void SetComPort(std::int16_t value);
    bool Connect();
    void ShowSettingDialog();
    bool ReloadBasicParam(std::int16_t axis);
    bool SetBaseParam(std::int16_t axis, std::int16_t AxisStyle, std::int16_t workstate,
                      float StepAngle, float Pitch, std::int32_t MicroStep, std::int32_t DriverRate,
                      float distance, std::int32_t radius);
    bool ReloadPosParam(std::int16_t axis);
    bool SetPosParam(std::int16_t axis, float UserOrg, float LimitPos, float LimitNeg,
                     float resolution);
    bool ReloadRunParam(std::int16_t axis);
    bool SetRunParam(std::int16_t axis, float Speed, float InitSpeed, float AccSpeed,
                     float DccSpeed, float HomeSpeed, float homespeedfactor, std::int16_t unit);
    void ShowPlanRunWindow();
    bool GoInterpolationArc(std::int16_t anxi1, std::int16_t anxi2, float target_posx,
                            float target_posy, float cen_posx, float cen_posy,
                            std::int16_t arc_dir);
    bool GoInterpolationline2(std::int16_t anxi1, std::int16_t anxi2, float x, float y);
    bool GoInterpolationline3(std::int16_t anxi1, std::int16_t anxi2, std::int16_t anxi3, float x,
                              float y, float z);
    bool GoHome(std::int16_t anxi);
    bool GoOrigion(std::int16_t anxi);
    bool GoPosition(std::int16_t anxi, std::int16_t workstate, std::int16_t state, std::int16_t dir,
                    float x);
    std::int32_t SearchKorvaUSBDevice();
    QString GetKorvaUSBSerial(std::int32_t index);
    void DisConnect();
    QString GetUnit(std::int16_t anxi);
    float GetSpeed(std::int16_t anxi);
    float GetInitSpeed(std::int16_t anxi);
    float GetAccSpeed(std::int16_t anxi);
    float GetDccSpeed(std::int16_t anxi);
    float GetHomeSpeed(std::int16_t anxi);
    float Gethomespeedfactor(std::int16_t anxi);
    float GetUserOrg(std::int16_t anxi);
    float GetLimitPos(std::int16_t anxi);
    float GetLimitNeg(std::int16_t anxi);
    float Getresolution(std::int16_t anxi);
    std::int16_t GetAxisStyle(std::int16_t anxi);
    float GetStepAngle(std::int16_t anxi);
    std::int32_t GetMicroStep(std::int16_t anxi);
    std::int32_t GetDriveRat(std::int16_t anxi);
    float GetPitch(std::int16_t anxi);
    std::int16_t Getworkstate(std::int16_t anxi);
    float Getdistance(std::int16_t anxi);
    std::int32_t Getradius(std::int16_t anxi);
    bool GetIsOpen();
    bool SetPortOutput(std::int16_t nValue);
    bool GetPortInput(std::int16_t* nValue);
    bool Stop(std::int16_t anxi);
    bool SetUnit(std::int16_t anxi, std::int16_t unit);
    bool Setsechhome(std::int16_t anxi, std::int16_t homemode);
    bool GetchroMode();
    bool SetchroMode(bool bmode);
    std::int16_t Getsechhome(std::int16_t anxi);
    bool SetAxisStyle(std::int16_t axis, std::int16_t AxisStyle);
    bool Setworkstate(std::int16_t axis, std::int16_t workstate);
    bool SetStepAngle(std::int16_t axis, float StepAngle);
    bool SetPitch(std::int16_t axis, float Pitch);
    bool SetMicroStep(std::int16_t axis, std::int32_t MicroStep);
    bool SetDriverRate(std::int16_t axis, std::int32_t DriverRate);
    bool Setdistance(std::int16_t axis, float distance);
    bool Setradius(std::int16_t axis, std::int32_t radius);
    bool SetUserOrg(std::int16_t axis, float UserOrg);
    bool SetLimitPos(std::int16_t axis, float LimitPos);
    bool SetLimitNeg(std::int16_t axis, float LimitNeg);
    bool Setresolution(std::int16_t axis, float resolution);
    bool SetSpeed(std::int16_t axis, float Speed);
    bool SetInitSpeed(std::int16_t axis, float InitSpeed);
    bool SetAccSpeed(std::int16_t axis, float AccSpeed);
    bool SetHomeSpeed(std::int16_t axis, float HomeSpeed);
    bool GonAxisHome(const QString& xYN, const QString& yYN, const QString& zYN,
                     const QString& tYN);
    bool SetEncoderStyle(std::int16_t anxi, const QString& style);
    QString GetEncoderStyle(std::int16_t anxi);
    bool Stopall();
    bool SetCommandPulses(std::int16_t axis, std::int32_t pulse);
    std::int32_t GetCommandPulses(std::int16_t anxi);
    float GetStageSteps(std::int16_t axis);
    bool SetStageSteps(std::int16_t axis, float step);
    double GetPosition(std::int16_t anxi);
    bool SAVENAME(const QString& strname);
    bool OVERSAVE();
    bool STARTRUN(const QString& strname);
    bool ENDRUN();
    bool BREAKRUN();
    bool GETPLAN();
    bool DelayTime(std::int16_t DelayTime);
    bool Until(std::int16_t counter);
    bool Untilat(std::int16_t counter);
    bool Untilnon(std::int16_t counter);
    bool Untilnonat(std::int16_t counter);
    bool FunctionLoop(std::int16_t counter);
    bool EndLoop();
    bool FunctionIf(std::int16_t counter);
    bool Functionifat(std::int16_t counter);
    bool EndIf();
    bool FunctionIfnon(std::int16_t counter);
    bool FunctionIfnonat(std::int16_t counter);
    bool Delname(const QString& strsavename);
    std::int32_t GetErrorCode();
    bool Selectdev(std::int16_t ndev);
    bool GetSelectID(std::int16_t* ndev);
    bool ENDSelect();
    bool GetStopFlag(std::int16_t anxi);
    bool StopSlow(std::int16_t anxi);
    bool Go(std::int16_t anxi, std::int16_t dir);
    bool GetLimitAble(std::int16_t anxi);
    bool SetLimitAble(std::int16_t anxi, std::int16_t limitable);
    float GetOffset(std::int16_t anxi);
    bool SetOffset(std::int16_t anxi, float offset);
    bool Loaddefault();
    bool SetStopFlag(std::int16_t anxi, std::int16_t stopflag);
    std::int16_t GetSystemInfo();
    void AboutBox();

  private:
    korva::Variant Call(Dispid id, std::initializer_list<korva::Variant> args);
    korva::Variant GetProperty(Dispid id);
    void SetProperty(Dispid id, korva::Variant value);
    korva::Variant Invoke(Dispid id, std::uint16_t flags,
                          std::initializer_list<korva::Variant> args);

    static bool ToBool(const korva::Variant& v);
    static std::int16_t ToI2(const korva::Variant& v);
    static std::int32_t ToI4(const korva::Variant& v);
    static float ToR4(const korva::Variant& v);
    static double ToR8(const korva::Variant& v);
    static QString ToQString(const korva::Variant& v);

    std::shared_ptr<ControlModule> m_module;
    KorvaDispatch* m_pControl = nullptr;
    QPointer<QWidget> m_pFace;
    std::recursive_mutex m_callLock;
    std::atomic<korva::HRESULT> m_lastResult{korva::S_OK};
};

}  // namespace stagedesk
