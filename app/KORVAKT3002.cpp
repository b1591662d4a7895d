#include "KORVAKT3002.h"

#include <QWidget>
#include <vector>

#include "ControlModule.h"
#include "DialogFields.h"
#include "Resource.h"
#include "Trace.h"
#include "UserMessageBridge.h"

namespace stagedesk {

CKORVAKT3002::CKORVAKT3002() = default;

CKORVAKT3002::~CKORVAKT3002() {
    Destroy();
}

bool CKORVAKT3002::Create(QWidget* parent, std::string* error) {
    Destroy();
    m_module = ControlModule::Load(error);
    if (!m_module) return false;
    m_pControl = m_module->CreateInstance();
    if (m_pControl == nullptr) {
        if (error != nullptr)
            *error =
                "The control module " + m_module->Path() + " did not create a KORVAKT3002 control.";
        m_module.reset();
        return false;
    }
    m_pFace = m_module->CreateFace(parent);
    if (m_pFace == nullptr) {
        // Without a face of its own the control still holds its place in the
        // view: a plain hidden widget with its control id.
        m_pFace = new QWidget(parent);
    }
    SetControlId(m_pFace, IDC_KORVAKT3002CTRL);
    m_pFace->hide();
    return true;
}

void CKORVAKT3002::Destroy() {
    std::lock_guard<std::recursive_mutex> hold(m_callLock);
    delete m_pFace.data();
    m_pFace = nullptr;
    if (m_pControl != nullptr) {
        // Releasing closes an open link and joins its receive thread.
        GuiBlockingScope blocking;
        m_pControl->Release();
        m_pControl = nullptr;
    }
    m_module.reset();
}

std::unique_lock<std::recursive_mutex> CKORVAKT3002::HoldCalls() {
    GuiBlockingScope blocking;
    return std::unique_lock<std::recursive_mutex>(m_callLock);
}

bool CKORVAKT3002::StopAxesNow(bool slow, const std::function<bool()>& superseded) {
    KorvaDispatch* control = m_pControl;
    if (control == nullptr) return false;
    auto call = [control](Dispid id, std::vector<korva::Variant> argv) {
        korva::Variant result;
        if (control->Invoke(static_cast<korva::DISPID>(id), korva::kInvokeMethod, argv, &result) !=
            korva::S_OK)
            return false;
        return ToBool(result);
    };
    if (!slow) return call(Dispid::Stopall, {});
    bool all = true;
    for (std::int16_t axis = 0; axis < 4; ++axis) {
        if (superseded && superseded()) break;
        all = call(Dispid::StopSlow, {korva::Variant(axis)}) && all;
    }
    return all;
}

korva::Variant CKORVAKT3002::Invoke(Dispid id, std::uint16_t flags,
                                    std::initializer_list<korva::Variant> args) {
    korva::Variant result;
    std::vector<korva::Variant> argv(args);
    // Waiting for the lock, and the call itself, may wait for another thread.
    GuiBlockingScope blocking;
    std::lock_guard<std::recursive_mutex> hold(m_callLock);
    if (m_pControl == nullptr) {
        m_lastResult = korva::E_INVALIDARG;
        return result;
    }
    const korva::HRESULT hr =
        m_pControl->Invoke(static_cast<korva::DISPID>(id), flags, argv, &result);
    m_lastResult = hr;
    if (hr != korva::S_OK) {
        korva::Trace("stagedesk: Invoke(%d) failed: %s\n", static_cast<int>(id),
                     korva::DispErrorName(hr));
        return korva::Variant();
    }
    return result;
}

korva::Variant CKORVAKT3002::Call(Dispid id, std::initializer_list<korva::Variant> args) {
    return Invoke(id, korva::kInvokeMethod, args);
}

korva::Variant CKORVAKT3002::GetProperty(Dispid id) {
    return Invoke(id, korva::kInvokePropertyGet, {});
}

void CKORVAKT3002::SetProperty(Dispid id, korva::Variant value) {
    Invoke(id, korva::kInvokePropertyPut, {std::move(value)});
}

bool CKORVAKT3002::ToBool(const korva::Variant& v) {
    bool out = false;
    return v.ToBool(out) == korva::ConvResult::Ok && out;
}

std::int16_t CKORVAKT3002::ToI2(const korva::Variant& v) {
    std::int16_t out = 0;
    return v.ToI2(out) == korva::ConvResult::Ok ? out : 0;
}

std::int32_t CKORVAKT3002::ToI4(const korva::Variant& v) {
    std::int32_t out = 0;
    return v.ToI4(out) == korva::ConvResult::Ok ? out : 0;
}

float CKORVAKT3002::ToR4(const korva::Variant& v) {
    float out = 0;
    return v.ToR4(out) == korva::ConvResult::Ok ? out : 0.0f;
}

double CKORVAKT3002::ToR8(const korva::Variant& v) {
    double out = 0;
    return v.ToR8(out) == korva::ConvResult::Ok ? out : 0.0;
}

QString CKORVAKT3002::ToQString(const korva::Variant& v) {
    std::string out;
    return v.ToStr(out) == korva::ConvResult::Ok ? QString::fromStdString(out) : QString();
}

QString CKORVAKT3002::GetLangenge() {
    return ToQString(GetProperty(Dispid::Langenge));
}

void CKORVAKT3002::SetLangenge(const QString& value) {
    SetProperty(Dispid::Langenge, korva::Variant(value.toStdString()));
}

bool CKORVAKT3002::GetUSBMODE() {
    return ToBool(GetProperty(Dispid::USBMODE));
}

void CKORVAKT3002::SetUSBMODE(bool value) {
    SetProperty(Dispid::USBMODE, korva::Variant(value));
}

QString CKORVAKT3002::GetUSBSerials() {
    return ToQString(GetProperty(Dispid::USBSerials));
}

void CKORVAKT3002::SetUSBSerials(const QString& value) {
    SetProperty(Dispid::USBSerials, korva::Variant(value.toStdString()));
}

std::int16_t CKORVAKT3002::GetComPort() {
    return ToI2(GetProperty(Dispid::ComPort));
}

void CKORVAKT3002::SetComPort(std::int16_t value) {
    SetProperty(Dispid::ComPort, korva::Variant(value));
}

bool CKORVAKT3002::Connect() {
    return ToBool(Call(Dispid::Connect, {}));
}

void CKORVAKT3002::ShowSettingDialog() {
    Call(Dispid::ShowSettingDialog, {});
}

bool CKORVAKT3002::ReloadBasicParam(std::int16_t axis) {
    return ToBool(Call(Dispid::ReloadBasicParam, {korva::Variant(axis)}));
}

bool CKORVAKT3002::SetBaseParam(std::int16_t axis, std::int16_t AxisStyle, std::int16_t workstate,
                                float StepAngle, float Pitch, std::int32_t MicroStep,
                                std::int32_t DriverRate, float distance, std::int32_t radius) {
    return ToBool(
        Call(Dispid::SetBaseParam,
             {korva::Variant(axis), korva::Variant(AxisStyle), korva::Variant(workstate),
              korva::Variant(StepAngle), korva::Variant(Pitch), korva::Variant(MicroStep),
              korva::Variant(DriverRate), korva::Variant(distance), korva::Variant(radius)}));
}

bool CKORVAKT3002::ReloadPosParam(std::int16_t axis) {
    return ToBool(Call(Dispid::ReloadPosParam, {korva::Variant(axis)}));
}

bool CKORVAKT3002::SetPosParam(std::int16_t axis, float UserOrg, float LimitPos, float LimitNeg,
                               float resolution) {
    return ToBool(Call(Dispid::SetPosParam,
                       {korva::Variant(axis), korva::Variant(UserOrg), korva::Variant(LimitPos),
                        korva::Variant(LimitNeg), korva::Variant(resolution)}));
}

bool CKORVAKT3002::ReloadRunParam(std::int16_t axis) {
    return ToBool(Call(Dispid::ReloadRunParam, {korva::Variant(axis)}));
}

bool CKORVAKT3002::SetRunParam(std::int16_t axis, float Speed, float InitSpeed, float AccSpeed,
                               float DccSpeed, float HomeSpeed, float homespeedfactor,
                               std::int16_t unit) {
    return ToBool(
        Call(Dispid::SetRunParam,
             {korva::Variant(axis), korva::Variant(Speed), korva::Variant(InitSpeed),
              korva::Variant(AccSpeed), korva::Variant(DccSpeed), korva::Variant(HomeSpeed),
              korva::Variant(homespeedfactor), korva::Variant(unit)}));
}

void CKORVAKT3002::ShowPlanRunWindow() {
    Call(Dispid::ShowPlanRunWindow, {});
}

bool CKORVAKT3002::GoInterpolationArc(std::int16_t anxi1, std::int16_t anxi2, float target_posx,
                                      float target_posy, float cen_posx, float cen_posy,
                                      std::int16_t arc_dir) {
    return ToBool(Call(Dispid::GoInterpolationArc,
                       {korva::Variant(anxi1), korva::Variant(anxi2), korva::Variant(target_posx),
                        korva::Variant(target_posy), korva::Variant(cen_posx),
                        korva::Variant(cen_posy), korva::Variant(arc_dir)}));
}

bool CKORVAKT3002::GoInterpolationline2(std::int16_t anxi1, std::int16_t anxi2, float x, float y) {
    return ToBool(Call(Dispid::GoInterpolationline2, {korva::Variant(anxi1), korva::Variant(anxi2),
                                                      korva::Variant(x), korva::Variant(y)}));
}

bool CKORVAKT3002::GoInterpolationline3(std::int16_t anxi1, std::int16_t anxi2, std::int16_t anxi3,
                                        float x, float y, float z) {
    return ToBool(Call(Dispid::GoInterpolationline3,
                       {korva::Variant(anxi1), korva::Variant(anxi2), korva::Variant(anxi3),
                        korva::Variant(x), korva::Variant(y), korva::Variant(z)}));
}

bool CKORVAKT3002::GoHome(std::int16_t anxi) {
    return ToBool(Call(Dispid::GoHome, {korva::Variant(anxi)}));
}

bool CKORVAKT3002::GoOrigion(std::int16_t anxi) {
    return ToBool(Call(Dispid::GoOrigion, {korva::Variant(anxi)}));
}

bool CKORVAKT3002::GoPosition(std::int16_t anxi, std::int16_t workstate, std::int16_t state,
                              std::int16_t dir, float x) {
    return ToBool(
        Call(Dispid::GoPosition, {korva::Variant(anxi), korva::Variant(workstate),
                                  korva::Variant(state), korva::Variant(dir), korva::Variant(x)}));
}

std::int32_t CKORVAKT3002::SearchKorvaUSBDevice() {
    return ToI4(Call(Dispid::SearchKorvaUSBDevice, {}));
}

QString CKORVAKT3002::GetKorvaUSBSerial(std::int32_t index) {
    return ToQString(Call(Dispid::GetKorvaUSBSerial, {korva::Variant(index)}));
}

void CKORVAKT3002::DisConnect() {
    Call(Dispid::DisConnect, {});
}

QString CKORVAKT3002::GetUnit(std::int16_t anxi) {
    return ToQString(Call(Dispid::GetUnit, {korva::Variant(anxi)}));
}

float CKORVAKT3002::GetSpeed(std::int16_t anxi) {
    return ToR4(Call(Dispid::GetSpeed, {korva::Variant(anxi)}));
}

float CKORVAKT3002::GetInitSpeed(std::int16_t anxi) {
    return ToR4(Call(Dispid::GetInitSpeed, {korva::Variant(anxi)}));
}

float CKORVAKT3002::GetAccSpeed(std::int16_t anxi) {
    return ToR4(Call(Dispid::GetAccSpeed, {korva::Variant(anxi)}));
}

float CKORVAKT3002::GetDccSpeed(std::int16_t anxi) {
    return ToR4(Call(Dispid::GetDccSpeed, {korva::Variant(anxi)}));
}

float CKORVAKT3002::GetHomeSpeed(std::int16_t anxi) {
    return ToR4(Call(Dispid::GetHomeSpeed, {korva::Variant(anxi)}));
}

float CKORVAKT3002::Gethomespeedfactor(std::int16_t anxi) {
    return ToR4(Call(Dispid::Gethomespeedfactor, {korva::Variant(anxi)}));
}

float CKORVAKT3002::GetUserOrg(std::int16_t anxi) {
    return ToR4(Call(Dispid::GetUserOrg, {korva::Variant(anxi)}));
}

float CKORVAKT3002::GetLimitPos(std::int16_t anxi) {
    return ToR4(Call(Dispid::GetLimitPos, {korva::Variant(anxi)}));
}

float CKORVAKT3002::GetLimitNeg(std::int16_t anxi) {
    return ToR4(Call(Dispid::GetLimitNeg, {korva::Variant(anxi)}));
}

float CKORVAKT3002::Getresolution(std::int16_t anxi) {
    return ToR4(Call(Dispid::Getresolution, {korva::Variant(anxi)}));
}

std::int16_t CKORVAKT3002::GetAxisStyle(std::int16_t anxi) {
    return ToI2(Call(Dispid::GetAxisStyle, {korva::Variant(anxi)}));
}

float CKORVAKT3002::GetStepAngle(std::int16_t anxi) {
    return ToR4(Call(Dispid::GetStepAngle, {korva::Variant(anxi)}));
}

std::int32_t CKORVAKT3002::GetMicroStep(std::int16_t anxi) {
    return ToI4(Call(Dispid::GetMicroStep, {korva::Variant(anxi)}));
}

std::int32_t CKORVAKT3002::GetDriveRat(std::int16_t anxi) {
    return ToI4(Call(Dispid::GetDriveRat, {korva::Variant(anxi)}));
}

float CKORVAKT3002::GetPitch(std::int16_t anxi) {
    return ToR4(Call(Dispid::GetPitch, {korva::Variant(anxi)}));
}

std::int16_t CKORVAKT3002::Getworkstate(std::int16_t anxi) {
    return ToI2(Call(Dispid::Getworkstate, {korva::Variant(anxi)}));
}

float CKORVAKT3002::Getdistance(std::int16_t anxi) {
    return ToR4(Call(Dispid::Getdistance, {korva::Variant(anxi)}));
}

std::int32_t CKORVAKT3002::Getradius(std::int16_t anxi) {
    return ToI4(Call(Dispid::Getradius, {korva::Variant(anxi)}));
}

bool CKORVAKT3002::GetIsOpen() {
    return ToBool(Call(Dispid::GetIsOpen, {}));
}

bool CKORVAKT3002::SetPortOutput(std::int16_t nValue) {
    return ToBool(Call(Dispid::SetPortOutput, {korva::Variant(nValue)}));
}

bool CKORVAKT3002::GetPortInput(std::int16_t* nValue) {
    return ToBool(Call(Dispid::GetPortInput, {korva::Variant::ByRef(nValue)}));
}

bool CKORVAKT3002::Stop(std::int16_t anxi) {
    return ToBool(Call(Dispid::Stop, {korva::Variant(anxi)}));
}

bool CKORVAKT3002::SetUnit(std::int16_t anxi, std::int16_t unit) {
    return ToBool(Call(Dispid::SetUnit, {korva::Variant(anxi), korva::Variant(unit)}));
}

bool CKORVAKT3002::Setsechhome(std::int16_t anxi, std::int16_t homemode) {
    return ToBool(Call(Dispid::Setsechhome, {korva::Variant(anxi), korva::Variant(homemode)}));
}

bool CKORVAKT3002::GetchroMode() {
    return ToBool(Call(Dispid::GetchroMode, {}));
}

bool CKORVAKT3002::SetchroMode(bool bmode) {
    return ToBool(Call(Dispid::SetchroMode, {korva::Variant(bmode)}));
}

std::int16_t CKORVAKT3002::Getsechhome(std::int16_t anxi) {
    return ToI2(Call(Dispid::Getsechhome, {korva::Variant(anxi)}));
}

bool CKORVAKT3002::SetAxisStyle(std::int16_t axis, std::int16_t AxisStyle) {
    return ToBool(Call(Dispid::SetAxisStyle, {korva::Variant(axis), korva::Variant(AxisStyle)}));
}

bool CKORVAKT3002::Setworkstate(std::int16_t axis, std::int16_t workstate) {
    return ToBool(Call(Dispid::Setworkstate, {korva::Variant(axis), korva::Variant(workstate)}));
}

bool CKORVAKT3002::SetStepAngle(std::int16_t axis, float StepAngle) {
    return ToBool(Call(Dispid::SetStepAngle, {korva::Variant(axis), korva::Variant(StepAngle)}));
}

bool CKORVAKT3002::SetPitch(std::int16_t axis, float Pitch) {
    return ToBool(Call(Dispid::SetPitch, {korva::Variant(axis), korva::Variant(Pitch)}));
}

bool CKORVAKT3002::SetMicroStep(std::int16_t axis, std::int32_t MicroStep) {
    return ToBool(Call(Dispid::SetMicroStep, {korva::Variant(axis), korva::Variant(MicroStep)}));
}

bool CKORVAKT3002::SetDriverRate(std::int16_t axis, std::int32_t DriverRate) {
    return ToBool(Call(Dispid::SetDriverRate, {korva::Variant(axis), korva::Variant(DriverRate)}));
}

bool CKORVAKT3002::Setdistance(std::int16_t axis, float distance) {
    return ToBool(Call(Dispid::Setdistance, {korva::Variant(axis), korva::Variant(distance)}));
}

bool CKORVAKT3002::Setradius(std::int16_t axis, std::int32_t radius) {
    return ToBool(Call(Dispid::Setradius, {korva::Variant(axis), korva::Variant(radius)}));
}

bool CKORVAKT3002::SetUserOrg(std::int16_t axis, float UserOrg) {
    return ToBool(Call(Dispid::SetUserOrg, {korva::Variant(axis), korva::Variant(UserOrg)}));
}

bool CKORVAKT3002::SetLimitPos(std::int16_t axis, float LimitPos) {
    return ToBool(Call(Dispid::SetLimitPos, {korva::Variant(axis), korva::Variant(LimitPos)}));
}

bool CKORVAKT3002::SetLimitNeg(std::int16_t axis, float LimitNeg) {
    return ToBool(Call(Dispid::SetLimitNeg, {korva::Variant(axis), korva::Variant(LimitNeg)}));
}

bool CKORVAKT3002::Setresolution(std::int16_t axis, float resolution) {
    return ToBool(Call(Dispid::Setresolution, {korva::Variant(axis), korva::Variant(resolution)}));
}

bool CKORVAKT3002::SetSpeed(std::int16_t axis, float Speed) {
    return ToBool(Call(Dispid::SetSpeed, {korva::Variant(axis), korva::Variant(Speed)}));
}

bool CKORVAKT3002::SetInitSpeed(std::int16_t axis, float InitSpeed) {
    return ToBool(Call(Dispid::SetInitSpeed, {korva::Variant(axis), korva::Variant(InitSpeed)}));
}

bool CKORVAKT3002::SetAccSpeed(std::int16_t axis, float AccSpeed) {
    return ToBool(Call(Dispid::SetAccSpeed, {korva::Variant(axis), korva::Variant(AccSpeed)}));
}

bool CKORVAKT3002::SetHomeSpeed(std::int16_t axis, float HomeSpeed) {
    return ToBool(Call(Dispid::SetHomeSpeed, {korva::Variant(axis), korva::Variant(HomeSpeed)}));
}

bool CKORVAKT3002::GonAxisHome(const QString& xYN, const QString& yYN, const QString& zYN,
                               const QString& tYN) {
    return ToBool(Call(Dispid::GonAxisHome,
                       {korva::Variant(xYN.toStdString()), korva::Variant(yYN.toStdString()),
                        korva::Variant(zYN.toStdString()), korva::Variant(tYN.toStdString())}));
}

bool CKORVAKT3002::SetEncoderStyle(std::int16_t anxi, const QString& style) {
    return ToBool(
        Call(Dispid::SetEncoderStyle, {korva::Variant(anxi), korva::Variant(style.toStdString())}));
}

QString CKORVAKT3002::GetEncoderStyle(std::int16_t anxi) {
    return ToQString(Call(Dispid::GetEncoderStyle, {korva::Variant(anxi)}));
}

bool CKORVAKT3002::Stopall() {
    return ToBool(Call(Dispid::Stopall, {}));
}

bool CKORVAKT3002::SetCommandPulses(std::int16_t axis, std::int32_t pulse) {
    return ToBool(Call(Dispid::SetCommandPulses, {korva::Variant(axis), korva::Variant(pulse)}));
}

std::int32_t CKORVAKT3002::GetCommandPulses(std::int16_t anxi) {
    return ToI4(Call(Dispid::GetCommandPulses, {korva::Variant(anxi)}));
}

float CKORVAKT3002::GetStageSteps(std::int16_t axis) {
    return ToR4(Call(Dispid::GetStageSteps, {korva::Variant(axis)}));
}

bool CKORVAKT3002::SetStageSteps(std::int16_t axis, float step) {
    return ToBool(Call(Dispid::SetStageSteps, {korva::Variant(axis), korva::Variant(step)}));
}

double CKORVAKT3002::GetPosition(std::int16_t anxi) {
    return ToR8(Call(Dispid::GetPosition, {korva::Variant(anxi)}));
}

bool CKORVAKT3002::SAVENAME(const QString& strname) {
    return ToBool(Call(Dispid::SAVENAME, {korva::Variant(strname.toStdString())}));
}

bool CKORVAKT3002::OVERSAVE() {
    return ToBool(Call(Dispid::OVERSAVE, {}));
}

bool CKORVAKT3002::STARTRUN(const QString& strname) {
    return ToBool(Call(Dispid::STARTRUN, {korva::Variant(strname.toStdString())}));
}

bool CKORVAKT3002::ENDRUN() {
    return ToBool(Call(Dispid::ENDRUN, {}));
}

bool CKORVAKT3002::BREAKRUN() {
    return ToBool(Call(Dispid::BREAKRUN, {}));
}

bool CKORVAKT3002::GETPLAN() {
    return ToBool(Call(Dispid::GETPLAN, {}));
}

bool CKORVAKT3002::DelayTime(std::int16_t DelayTime) {
    return ToBool(Call(Dispid::DelayTime, {korva::Variant(DelayTime)}));
}

bool CKORVAKT3002::Until(std::int16_t counter) {
    return ToBool(Call(Dispid::Until, {korva::Variant(counter)}));
}

bool CKORVAKT3002::Untilat(std::int16_t counter) {
    return ToBool(Call(Dispid::Untilat, {korva::Variant(counter)}));
}

bool CKORVAKT3002::Untilnon(std::int16_t counter) {
    return ToBool(Call(Dispid::Untilnon, {korva::Variant(counter)}));
}

bool CKORVAKT3002::Untilnonat(std::int16_t counter) {
    return ToBool(Call(Dispid::Untilnonat, {korva::Variant(counter)}));
}

bool CKORVAKT3002::FunctionLoop(std::int16_t counter) {
    return ToBool(Call(Dispid::FunctionLoop, {korva::Variant(counter)}));
}

bool CKORVAKT3002::EndLoop() {
    return ToBool(Call(Dispid::EndLoop, {}));
}

bool CKORVAKT3002::FunctionIf(std::int16_t counter) {
    return ToBool(Call(Dispid::FunctionIf, {korva::Variant(counter)}));
}

bool CKORVAKT3002::Functionifat(std::int16_t counter) {
    return ToBool(Call(Dispid::Functionifat, {korva::Variant(counter)}));
}

bool CKORVAKT3002::EndIf() {
    return ToBool(Call(Dispid::EndIf, {}));
}

bool CKORVAKT3002::FunctionIfnon(std::int16_t counter) {
    return ToBool(Call(Dispid::FunctionIfnon, {korva::Variant(counter)}));
}

bool CKORVAKT3002::FunctionIfnonat(std::int16_t counter) {
    return ToBool(Call(Dispid::FunctionIfnonat, {korva::Variant(counter)}));
}

bool CKORVAKT3002::Delname(const QString& strsavename) {
    return ToBool(Call(Dispid::Delname, {korva::Variant(strsavename.toStdString())}));
}

std::int32_t CKORVAKT3002::GetErrorCode() {
    return ToI4(Call(Dispid::GetErrorCode, {}));
}

bool CKORVAKT3002::Selectdev(std::int16_t ndev) {
    return ToBool(Call(Dispid::Selectdev, {korva::Variant(ndev)}));
}

bool CKORVAKT3002::GetSelectID(std::int16_t* ndev) {
    return ToBool(Call(Dispid::GetSelectID, {korva::Variant::ByRef(ndev)}));
}

bool CKORVAKT3002::ENDSelect() {
    return ToBool(Call(Dispid::ENDSelect, {}));
}

bool CKORVAKT3002::GetStopFlag(std::int16_t anxi) {
    return ToBool(Call(Dispid::GetStopFlag, {korva::Variant(anxi)}));
}

bool CKORVAKT3002::StopSlow(std::int16_t anxi) {
    return ToBool(Call(Dispid::StopSlow, {korva::Variant(anxi)}));
}

bool CKORVAKT3002::Go(std::int16_t anxi, std::int16_t dir) {
    return ToBool(Call(Dispid::Go, {korva::Variant(anxi), korva::Variant(dir)}));
}

bool CKORVAKT3002::GetLimitAble(std::int16_t anxi) {
    return ToBool(Call(Dispid::GetLimitAble, {korva::Variant(anxi)}));
}

bool CKORVAKT3002::SetLimitAble(std::int16_t anxi, std::int16_t limitable) {
    return ToBool(Call(Dispid::SetLimitAble, {korva::Variant(anxi), korva::Variant(limitable)}));
}

float CKORVAKT3002::GetOffset(std::int16_t anxi) {
    return ToR4(Call(Dispid::GetOffset, {korva::Variant(anxi)}));
}

bool CKORVAKT3002::SetOffset(std::int16_t anxi, float offset) {
    return ToBool(Call(Dispid::SetOffset, {korva::Variant(anxi), korva::Variant(offset)}));
}

bool CKORVAKT3002::Loaddefault() {
    return ToBool(Call(Dispid::Loaddefault, {}));
}

bool CKORVAKT3002::SetStopFlag(std::int16_t anxi, std::int16_t stopflag) {
    return ToBool(Call(Dispid::SetStopFlag, {korva::Variant(anxi), korva::Variant(stopflag)}));
}

std::int16_t CKORVAKT3002::GetSystemInfo() {
    return ToI2(Call(Dispid::GetSystemInfo, {}));
}

void CKORVAKT3002::AboutBox() {
    Call(Dispid::AboutBox, {});
}
}  // namespace stagedesk
