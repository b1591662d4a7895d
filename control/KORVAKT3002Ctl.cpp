#include "KORVAKT3002Ctl.h"

#include <array>
#include <atomic>
#include <cctype>
#include <cmath>
#include <limits>
#include <mutex>
#include <vector>

#include "DialogProvider.h"
#include "KT300Protocol.h"
#include "Trace.h"

namespace {

std::string TrimWhite(const std::string& text) {
    std::size_t begin = 0;
    std::size_t end = text.size();
    while (begin < end && std::isspace(static_cast<unsigned char>(text[begin]))) ++begin;
    while (end > begin && std::isspace(static_cast<unsigned char>(text[end - 1]))) --end;
    return text.substr(begin, end - begin);
}

}  // namespace

struct CKORVAKT3002Ctrl::Impl {
    KT300Protocol m_Protocol;
    mutable std::mutex m_StateLock;  // guards the members below it up to m_Cache
    std::vector<std::string> m_USBSerialList;
    std::string m_Language{"English"};
    std::array<AxisCache, kAxes> m_Cache{};
    // Connect, DisConnect and the link settings (port, USB mode and serial,
    // select number), one at a time.
    mutable std::mutex m_LinkLock;
    std::atomic<bool> m_bConnected{false};
    std::atomic<bool> m_bModified{false};
    std::atomic<korva::DialogProvider*> m_pDialogs{nullptr};
};

CKORVAKT3002Ctrl::CKORVAKT3002Ctrl() : m_p(std::make_unique<Impl>()) {}

// The protocol member closes a link that is still open.
CKORVAKT3002Ctrl::~CKORVAKT3002Ctrl() = default;

KT300Protocol& CKORVAKT3002Ctrl::Protocol() {
    return m_p->m_Protocol;
}

CKORVAKT3002Ctrl::BOOL CKORVAKT3002Ctrl::Abort(std::uint32_t axes) {
    return m_p->m_Protocol.Abort(axes);
}

bool CKORVAKT3002Ctrl::IsModified() const {
    return m_p->m_bModified.load();
}

void CKORVAKT3002Ctrl::SetModifiedFlag(bool modified) {
    m_p->m_bModified.store(modified);
}

// ---------------------------------------------------------------- properties

CKORVAKT3002Ctrl::BSTR CKORVAKT3002Ctrl::GetLangenge() const {
    std::lock_guard lock(m_p->m_StateLock);
    return m_p->m_Language;
}

void CKORVAKT3002Ctrl::SetLangenge(const BSTR& value) {
    {
        std::lock_guard lock(m_p->m_StateLock);
        m_p->m_Language = value;
    }
    SetModifiedFlag();
}

// The link settings are read and written under the link lock: Connect reads
// them on whichever thread calls it.
CKORVAKT3002Ctrl::BOOL CKORVAKT3002Ctrl::GetUSBMODE() const {
    std::lock_guard lock(m_p->m_LinkLock);
    return m_p->m_Protocol.GetUSBMode();
}

void CKORVAKT3002Ctrl::SetUSBMODE(BOOL value) {
    {
        std::lock_guard lock(m_p->m_LinkLock);
        if (m_p->m_Protocol.SetUSBMode(value))
            m_p->m_Protocol.ClearErrorCode();  // refused while open
    }
    SetModifiedFlag();
}

CKORVAKT3002Ctrl::BSTR CKORVAKT3002Ctrl::GetUSBSerials() const {
    std::lock_guard lock(m_p->m_LinkLock);
    return m_p->m_Protocol.GetUSBSerial();
}

void CKORVAKT3002Ctrl::SetUSBSerials(const BSTR& value) {
    {
        std::lock_guard lock(m_p->m_LinkLock);
        m_p->m_Protocol.SetUSBSerial(value);
        m_p->m_Protocol.ClearErrorCode();
    }
    SetModifiedFlag();
}

CKORVAKT3002Ctrl::SHORT CKORVAKT3002Ctrl::GetComPort() const {
    std::lock_guard lock(m_p->m_LinkLock);
    return m_p->m_Protocol.GetPortNumber();
}

void CKORVAKT3002Ctrl::SetComPort(SHORT value) {
    {
        std::lock_guard lock(m_p->m_LinkLock);
        if (value < 1 || value > 255) {
            m_p->m_Protocol.SetErrorCode(KorvaComPort::kErrPortRange,
                                         "COM port number " + std::to_string(value) +
                                             " is outside 1..255; ComPort stays " +
                                             std::to_string(m_p->m_Protocol.GetPortNumber()));
            return;
        }
        // Refused while open, with link error 10102.
        if (m_p->m_Protocol.SetPortNumber(value)) m_p->m_Protocol.ClearErrorCode();
    }
    SetModifiedFlag();
}

// ---------------------------------------------------------------- link

CKORVAKT3002Ctrl::BOOL CKORVAKT3002Ctrl::Connect() {
    std::lock_guard lock(m_p->m_LinkLock);
    if (!m_p->m_Protocol.Connect()) return false;
    m_p->m_bConnected = true;
    return true;
}

void CKORVAKT3002Ctrl::DisConnect() {
    std::lock_guard lock(m_p->m_LinkLock);
    // A link that fails to close still counts as connected.
    m_p->m_bConnected = !m_p->m_Protocol.Disconnect();
}

// Under the link lock: the protocol's own connected flag is written by
// Connect and DisConnect, possibly on another thread.
CKORVAKT3002Ctrl::BOOL CKORVAKT3002Ctrl::GetIsOpen() {
    std::lock_guard lock(m_p->m_LinkLock);
    return m_p->m_bConnected.load() && m_p->m_Protocol.IsConnected();
}

CKORVAKT3002Ctrl::LONG CKORVAKT3002Ctrl::SearchKorvaUSBDevice() {
    std::vector<std::string> found;
    int count = 0;
    if (m_p->m_Protocol.GetUSBDeviceCount(&count)) {
        for (int i = 0; i < count; ++i) {
            std::string serial;
            m_p->m_Protocol.GetUSBDeviceSerial(i, serial);
            serial = TrimWhite(serial);
            if (serial.size() > 1) found.push_back(std::move(serial));
        }
    }
    std::lock_guard lock(m_p->m_StateLock);
    m_p->m_USBSerialList = std::move(found);
    return static_cast<LONG>(m_p->m_USBSerialList.size());
}

CKORVAKT3002Ctrl::BSTR CKORVAKT3002Ctrl::GetKorvaUSBSerial(LONG index) {
    std::lock_guard lock(m_p->m_StateLock);
    if (index < 0 || static_cast<std::size_t>(index) >= m_p->m_USBSerialList.size()) return {};
    return m_p->m_USBSerialList[static_cast<std::size_t>(index)];
}

// ---------------------------------------------------------------- dialogs

korva::DialogProvider& CKORVAKT3002Ctrl::Dialogs() {
    korva::DialogProvider* provider = m_p->m_pDialogs.load();
    return provider ? *provider : korva::DefaultDialogProvider();
}

void CKORVAKT3002Ctrl::SetDialogProvider(korva::DialogProvider* provider) {
    m_p->m_pDialogs.store(provider);
}

void CKORVAKT3002Ctrl::ShowSettingDialog() {
    Dialogs().ShowSettingDialog(*this);
}
void CKORVAKT3002Ctrl::ShowPlanRunWindow() {
    Dialogs().ShowPlanRunWindow(*this);
}
void CKORVAKT3002Ctrl::AboutBox() {
    Dialogs().AboutBox(*this);
}

// ---------------------------------------------------------------- cache helpers

bool CKORVAKT3002Ctrl::GetCachedParams(int axis, AxisCache& out) const {
    if (!ValidAxis(axis)) return false;
    std::lock_guard lock(m_p->m_StateLock);
    out = m_p->m_Cache[static_cast<std::size_t>(axis)];
    return true;
}

// The fresh value when the controller answered, else the last known one. An
// axis outside 0..3 has no cache entry: the call is refused with 0.
template <typename Value, typename Query>
Value CKORVAKT3002Ctrl::CachedGet(SHORT axis, Value AxisCache::*entry, Query query) {
    if (!ValidAxis(axis)) return Value{};
    Value local{};
    const bool ok = (m_p->m_Protocol.*query)(axis, &local);
    std::lock_guard lock(m_p->m_StateLock);
    Value& cached = m_p->m_Cache[static_cast<std::size_t>(axis)].*entry;
    if (ok) cached = local;
    return cached;
}

template <typename Value, typename Setter>
CKORVAKT3002Ctrl::BOOL CKORVAKT3002Ctrl::CachedSet(SHORT axis, Value AxisCache::*entry, Value value,
                                                   Setter setter) {
    if (!ValidAxis(axis)) return false;
    const bool ok = (m_p->m_Protocol.*setter)(axis, value);
    if (ok) {
        std::lock_guard lock(m_p->m_StateLock);
        m_p->m_Cache[static_cast<std::size_t>(axis)].*entry = value;
    }
    return ok;
}

// ---------------------------------------------------------------- groups

CKORVAKT3002Ctrl::BOOL CKORVAKT3002Ctrl::ReloadBasicParam(SHORT axis) {
    if (!ValidAxis(axis)) return false;
    AxisCache v;  // locals: 0, the secondary home mode 1
    v.secondHome = 1;
    // Every query runs even after a failure; the cache changes only if all succeeded.
    bool ok = m_p->m_Protocol.GetStagePitch(axis, &v.pitch);
    ok &= m_p->m_Protocol.GetStageStyle(axis, &v.axisStyle);
    ok &= m_p->m_Protocol.GetWorkState(axis, &v.workState);
    ok &= m_p->m_Protocol.GetStepAngle(axis, &v.stepAngle);
    ok &= m_p->m_Protocol.GetMicroStep(axis, &v.microStep);
    ok &= m_p->m_Protocol.GetDriveRatio(axis, &v.driveRatio);
    ok &= m_p->m_Protocol.GetDistance(axis, &v.distance);
    ok &= m_p->m_Protocol.GetRadius(axis, &v.radius);
    ok &= m_p->m_Protocol.GetSecondHomeMode(axis, &v.secondHome);
    if (ok) {
        std::lock_guard lock(m_p->m_StateLock);
        AxisCache& c = m_p->m_Cache[static_cast<std::size_t>(axis)];
        c.pitch = v.pitch;
        c.axisStyle = v.axisStyle;
        c.workState = v.workState;
        c.stepAngle = v.stepAngle;
        c.microStep = v.microStep;
        c.driveRatio = v.driveRatio;
        c.distance = v.distance;
        c.radius = v.radius;
        c.secondHome = v.secondHome;
    }
    return ok;
}

CKORVAKT3002Ctrl::BOOL CKORVAKT3002Ctrl::SetBaseParam(SHORT axis, SHORT AxisStyle, SHORT workstate,
                                                      float StepAngle, float Pitch, LONG MicroStep,
                                                      LONG DriverRate, float distance,
                                                      LONG radius) {
    if (!ValidAxis(axis)) return false;
    bool ok = m_p->m_Protocol.SetStagePitch(axis, Pitch);
    ok &= m_p->m_Protocol.SetStageStyle(axis, AxisStyle);
    ok &= m_p->m_Protocol.SetWorkState(axis, workstate);
    ok &= m_p->m_Protocol.SetStepAngle(axis, StepAngle);
    ok &= m_p->m_Protocol.SetMicroStep(axis, MicroStep);
    ok &= m_p->m_Protocol.SetDriveRatio(axis, DriverRate);
    ok &= m_p->m_Protocol.SetDistance(axis, distance);
    ok &= m_p->m_Protocol.SetRadius(axis, radius);
    if (ok) {
        std::lock_guard lock(m_p->m_StateLock);
        AxisCache& c = m_p->m_Cache[static_cast<std::size_t>(axis)];
        c.pitch = Pitch;
        c.axisStyle = AxisStyle;
        c.workState = workstate;
        c.stepAngle = StepAngle;
        c.microStep = MicroStep;
        c.driveRatio = DriverRate;
        c.distance = distance;
        c.radius = radius;
    }
    return ok;
}

CKORVAKT3002Ctrl::BOOL CKORVAKT3002Ctrl::ReloadPosParam(SHORT axis) {
    if (!ValidAxis(axis)) return false;
    AxisCache v;
    bool ok = m_p->m_Protocol.GetUserOrigin(axis, &v.userOrigin);
    ok &= m_p->m_Protocol.GetUserPositiveLimit(axis, &v.limitPos);
    ok &= m_p->m_Protocol.GetUserNegativeLimit(axis, &v.limitNeg);
    ok &= m_p->m_Protocol.GetEncoderResolution(axis, &v.resolution);
    if (ok) {
        std::lock_guard lock(m_p->m_StateLock);
        AxisCache& c = m_p->m_Cache[static_cast<std::size_t>(axis)];
        c.userOrigin = v.userOrigin;
        c.limitPos = v.limitPos;
        c.limitNeg = v.limitNeg;
        c.resolution = v.resolution;
    }
    return ok;
}

CKORVAKT3002Ctrl::BOOL CKORVAKT3002Ctrl::SetPosParam(SHORT axis, float UserOrg, float LimitPos,
                                                     float LimitNeg, float resolution) {
    if (!ValidAxis(axis)) return false;
    bool ok = m_p->m_Protocol.SetUserOrigin(axis, UserOrg);
    ok &= m_p->m_Protocol.SetUserPositiveLimit(axis, LimitPos);
    ok &= m_p->m_Protocol.SetUserNegativeLimit(axis, LimitNeg);
    ok &= m_p->m_Protocol.SetEncoderResolution(axis, resolution);
    if (ok) {
        std::lock_guard lock(m_p->m_StateLock);
        AxisCache& c = m_p->m_Cache[static_cast<std::size_t>(axis)];
        c.userOrigin = UserOrg;
        c.limitPos = LimitPos;
        c.limitNeg = LimitNeg;
        c.resolution = resolution;
    }
    return ok;
}

CKORVAKT3002Ctrl::BOOL CKORVAKT3002Ctrl::ReloadRunParam(SHORT axis) {
    if (!ValidAxis(axis)) return false;
    AxisCache v;
    bool ok = m_p->m_Protocol.GetSpeed(axis, &v.speed);
    ok &= m_p->m_Protocol.GetInitSpeed(axis, &v.initSpeed);
    ok &= m_p->m_Protocol.GetAccSpeed(axis, &v.accSpeed);
    ok &= m_p->m_Protocol.GetDccSpeed(axis, &v.dccSpeed);
    ok &= m_p->m_Protocol.GetHomeSpeed(axis, &v.homeSpeed);
    ok &= m_p->m_Protocol.GetHomeSpeedFactor(axis, &v.homeSpeedFactor);
    ok &= m_p->m_Protocol.GetUnit(axis, &v.unit);
    ok &= m_p->m_Protocol.GetPosition(axis, &v.position);
    if (ok) {
        std::lock_guard lock(m_p->m_StateLock);
        AxisCache& c = m_p->m_Cache[static_cast<std::size_t>(axis)];
        c.speed = v.speed;
        c.initSpeed = v.initSpeed;
        c.accSpeed = v.accSpeed;
        c.dccSpeed = v.dccSpeed;
        c.homeSpeed = v.homeSpeed;
        c.homeSpeedFactor = v.homeSpeedFactor;
        c.unit = v.unit;
        c.position = v.position;
    }
    return ok;
}

CKORVAKT3002Ctrl::BOOL CKORVAKT3002Ctrl::SetRunParam(SHORT axis, float Speed, float InitSpeed,
                                                     float AccSpeed, float DccSpeed,
                                                     float HomeSpeed, float homespeedfactor,
                                                     SHORT unit) {
    if (!ValidAxis(axis)) return false;
    bool ok = m_p->m_Protocol.SetSpeed(axis, Speed);
    ok &= m_p->m_Protocol.SetInitSpeed(axis, InitSpeed);
    ok &= m_p->m_Protocol.SetAccSpeed(axis, AccSpeed);
    ok &= m_p->m_Protocol.SetDccSpeed(axis, DccSpeed);
    ok &= m_p->m_Protocol.SetHomeSpeed(axis, HomeSpeed);
    ok &= m_p->m_Protocol.SetHomeSpeedFactor(axis, homespeedfactor);
    ok &= m_p->m_Protocol.SetUnit(axis, unit);
    if (ok) {
        std::lock_guard lock(m_p->m_StateLock);
        AxisCache& c = m_p->m_Cache[static_cast<std::size_t>(axis)];
        c.speed = Speed;
        c.initSpeed = InitSpeed;
        c.accSpeed = AccSpeed;
        c.dccSpeed = DccSpeed;
        c.homeSpeed = HomeSpeed;
        c.homeSpeedFactor = homespeedfactor;
        c.unit = unit;
    }
    return ok;
}

// ---------------------------------------------------------------- motion

CKORVAKT3002Ctrl::BOOL CKORVAKT3002Ctrl::GoInterpolationArc(SHORT anxi1, SHORT anxi2,
                                                            float target_posx, float target_posy,
                                                            float cen_posx, float cen_posy,
                                                            SHORT arc_dir) {
    return m_p->m_Protocol.GoArc(anxi1, anxi2, target_posx, target_posy, cen_posx, cen_posy,
                                 arc_dir);
}

CKORVAKT3002Ctrl::BOOL CKORVAKT3002Ctrl::GoInterpolationline2(SHORT anxi1, SHORT anxi2, float x,
                                                              float y) {
    return m_p->m_Protocol.GoLine2(anxi1, x, anxi2, y);
}

CKORVAKT3002Ctrl::BOOL CKORVAKT3002Ctrl::GoInterpolationline3(SHORT anxi1, SHORT anxi2, SHORT anxi3,
                                                              float x, float y, float z) {
    return m_p->m_Protocol.GoLine3(anxi1, x, anxi2, y, anxi3, z);
}

CKORVAKT3002Ctrl::BOOL CKORVAKT3002Ctrl::GoHome(SHORT anxi) {
    return m_p->m_Protocol.GoHome(anxi);
}
CKORVAKT3002Ctrl::BOOL CKORVAKT3002Ctrl::GoOrigion(SHORT anxi) {
    return m_p->m_Protocol.GoOrigin(anxi);
}

CKORVAKT3002Ctrl::BOOL CKORVAKT3002Ctrl::GoPosition(SHORT anxi, SHORT workstate, SHORT state,
                                                    SHORT dir, float x) {
    return m_p->m_Protocol.GoPosition(anxi, workstate, state, dir, x);
}

CKORVAKT3002Ctrl::BOOL CKORVAKT3002Ctrl::Go(SHORT anxi, SHORT dir) {
    return m_p->m_Protocol.Go(anxi, dir);
}

CKORVAKT3002Ctrl::BOOL CKORVAKT3002Ctrl::GonAxisHome(const BSTR& xYN, const BSTR& yYN,
                                                     const BSTR& zYN, const BSTR& tYN) {
    return m_p->m_Protocol.GoMultiAxisHome(xYN, yYN, zYN, tYN);
}

CKORVAKT3002Ctrl::BOOL CKORVAKT3002Ctrl::Stop(SHORT anxi) {
    return m_p->m_Protocol.Stop(anxi);
}
CKORVAKT3002Ctrl::BOOL CKORVAKT3002Ctrl::StopSlow(SHORT anxi) {
    return m_p->m_Protocol.StopSlow(anxi);
}
CKORVAKT3002Ctrl::BOOL CKORVAKT3002Ctrl::Stopall() {
    return m_p->m_Protocol.StopAll();
}

// ---------------------------------------------------------------- getters

CKORVAKT3002Ctrl::BSTR CKORVAKT3002Ctrl::GetUnit(SHORT anxi) {
    if (!ValidAxis(anxi)) return {};
    const LONG unit = CachedGet(anxi, &AxisCache::unit, &KT300Protocol::GetUnit);
    const char letter = KT300Protocol::UnitLetter(unit);
    return letter ? BSTR(1, letter) : BSTR();  // an unknown unit has no letter
}

float CKORVAKT3002Ctrl::GetSpeed(SHORT anxi) {
    return CachedGet(anxi, &AxisCache::speed, &KT300Protocol::GetSpeed);
}
float CKORVAKT3002Ctrl::GetInitSpeed(SHORT anxi) {
    return CachedGet(anxi, &AxisCache::initSpeed, &KT300Protocol::GetInitSpeed);
}
float CKORVAKT3002Ctrl::GetAccSpeed(SHORT anxi) {
    return CachedGet(anxi, &AxisCache::accSpeed, &KT300Protocol::GetAccSpeed);
}
float CKORVAKT3002Ctrl::GetDccSpeed(SHORT anxi) {
    return CachedGet(anxi, &AxisCache::dccSpeed, &KT300Protocol::GetDccSpeed);
}
float CKORVAKT3002Ctrl::GetHomeSpeed(SHORT anxi) {
    return CachedGet(anxi, &AxisCache::homeSpeed, &KT300Protocol::GetHomeSpeed);
}

float CKORVAKT3002Ctrl::Gethomespeedfactor(SHORT anxi) {
    if (!ValidAxis(anxi)) return 0;
    m_p->m_Protocol.ClearErrorCode();  // a cached value: nothing can fail
    std::lock_guard lock(m_p->m_StateLock);
    return m_p->m_Cache[static_cast<std::size_t>(anxi)].homeSpeedFactor;
}

float CKORVAKT3002Ctrl::GetUserOrg(SHORT anxi) {
    return CachedGet(anxi, &AxisCache::userOrigin, &KT300Protocol::GetUserOrigin);
}
float CKORVAKT3002Ctrl::GetLimitPos(SHORT anxi) {
    return CachedGet(anxi, &AxisCache::limitPos, &KT300Protocol::GetUserPositiveLimit);
}
float CKORVAKT3002Ctrl::GetLimitNeg(SHORT anxi) {
    return CachedGet(anxi, &AxisCache::limitNeg, &KT300Protocol::GetUserNegativeLimit);
}
float CKORVAKT3002Ctrl::Getresolution(SHORT anxi) {
    return CachedGet(anxi, &AxisCache::resolution, &KT300Protocol::GetEncoderResolution);
}
CKORVAKT3002Ctrl::SHORT CKORVAKT3002Ctrl::GetAxisStyle(SHORT anxi) {
    return static_cast<SHORT>(
        CachedGet(anxi, &AxisCache::axisStyle, &KT300Protocol::GetStageStyle));
}
float CKORVAKT3002Ctrl::GetStepAngle(SHORT anxi) {
    return CachedGet(anxi, &AxisCache::stepAngle, &KT300Protocol::GetStepAngle);
}
CKORVAKT3002Ctrl::LONG CKORVAKT3002Ctrl::GetMicroStep(SHORT anxi) {
    return CachedGet(anxi, &AxisCache::microStep, &KT300Protocol::GetMicroStep);
}
CKORVAKT3002Ctrl::LONG CKORVAKT3002Ctrl::GetDriveRat(SHORT anxi) {
    return CachedGet(anxi, &AxisCache::driveRatio, &KT300Protocol::GetDriveRatio);
}
float CKORVAKT3002Ctrl::GetPitch(SHORT anxi) {
    return CachedGet(anxi, &AxisCache::pitch, &KT300Protocol::GetStagePitch);
}
CKORVAKT3002Ctrl::SHORT CKORVAKT3002Ctrl::Getworkstate(SHORT anxi) {
    return static_cast<SHORT>(CachedGet(anxi, &AxisCache::workState, &KT300Protocol::GetWorkState));
}
float CKORVAKT3002Ctrl::Getdistance(SHORT anxi) {
    return CachedGet(anxi, &AxisCache::distance, &KT300Protocol::GetDistance);
}
CKORVAKT3002Ctrl::LONG CKORVAKT3002Ctrl::Getradius(SHORT anxi) {
    return CachedGet(anxi, &AxisCache::radius, &KT300Protocol::GetRadius);
}
CKORVAKT3002Ctrl::SHORT CKORVAKT3002Ctrl::Getsechhome(SHORT anxi) {
    return static_cast<SHORT>(
        CachedGet(anxi, &AxisCache::secondHome, &KT300Protocol::GetSecondHomeMode));
}
float CKORVAKT3002Ctrl::GetStageSteps(SHORT axis) {
    return CachedGet(axis, &AxisCache::stageSteps, &KT300Protocol::GetStageStepsRev);
}

CKORVAKT3002Ctrl::BOOL CKORVAKT3002Ctrl::GetLimitAble(SHORT anxi) {
    return CachedGet(anxi, &AxisCache::limitAble, &KT300Protocol::GetUserLimitAble) == 1;
}

float CKORVAKT3002Ctrl::GetOffset(SHORT anxi) {
    return CachedGet(anxi, &AxisCache::offset, &KT300Protocol::GetOffset);
}

double CKORVAKT3002Ctrl::GetPosition(SHORT anxi) {
    if (!ValidAxis(anxi)) return 0.0;
    const auto index = static_cast<std::size_t>(anxi);
    {
        std::lock_guard lock(m_p->m_StateLock);
        m_p->m_Cache[index].position = 0.0;  // a failed read leaves 0, not a stale position
    }
    double position = 0.0;
    m_p->m_Protocol.GetPosition(anxi, &position);  // leaves 0.0 when it fails
    std::lock_guard lock(m_p->m_StateLock);
    m_p->m_Cache[index].position = position;
    return position;
}

CKORVAKT3002Ctrl::BSTR CKORVAKT3002Ctrl::GetEncoderStyle(SHORT anxi) {
    if (!ValidAxis(anxi)) return {};
    std::string style;
    m_p->m_Protocol.GetEncoderStyle(anxi, &style);  // the text as read, even when the read failed
    return style;
}

CKORVAKT3002Ctrl::LONG CKORVAKT3002Ctrl::GetCommandPulses(SHORT anxi) {
    if (!ValidAxis(anxi)) return -1;
    int pulses = -1;
    m_p->m_Protocol.GetCommandPulses(anxi, &pulses);  // stays -1 when the read failed
    return pulses;
}

// ---------------------------------------------------------------- setters

CKORVAKT3002Ctrl::BOOL CKORVAKT3002Ctrl::SetUnit(SHORT anxi, SHORT unit) {
    return CachedSet(anxi, &AxisCache::unit, LONG{unit}, &KT300Protocol::SetUnit);
}
CKORVAKT3002Ctrl::BOOL CKORVAKT3002Ctrl::Setsechhome(SHORT anxi, SHORT homemode) {
    return CachedSet(anxi, &AxisCache::secondHome, LONG{homemode},
                     &KT300Protocol::SetSecondHomeMode);
}
CKORVAKT3002Ctrl::BOOL CKORVAKT3002Ctrl::SetAxisStyle(SHORT axis, SHORT AxisStyle) {
    return CachedSet(axis, &AxisCache::axisStyle, LONG{AxisStyle}, &KT300Protocol::SetStageStyle);
}
CKORVAKT3002Ctrl::BOOL CKORVAKT3002Ctrl::Setworkstate(SHORT axis, SHORT workstate) {
    return CachedSet(axis, &AxisCache::workState, LONG{workstate}, &KT300Protocol::SetWorkState);
}
CKORVAKT3002Ctrl::BOOL CKORVAKT3002Ctrl::SetStepAngle(SHORT axis, float StepAngle) {
    return CachedSet(axis, &AxisCache::stepAngle, StepAngle, &KT300Protocol::SetStepAngle);
}
CKORVAKT3002Ctrl::BOOL CKORVAKT3002Ctrl::SetPitch(SHORT axis, float Pitch) {
    return CachedSet(axis, &AxisCache::pitch, Pitch, &KT300Protocol::SetStagePitch);
}
CKORVAKT3002Ctrl::BOOL CKORVAKT3002Ctrl::SetMicroStep(SHORT axis, LONG MicroStep) {
    return CachedSet(axis, &AxisCache::microStep, MicroStep, &KT300Protocol::SetMicroStep);
}
CKORVAKT3002Ctrl::BOOL CKORVAKT3002Ctrl::SetDriverRate(SHORT axis, LONG DriverRate) {
    return CachedSet(axis, &AxisCache::driveRatio, DriverRate, &KT300Protocol::SetDriveRatio);
}
CKORVAKT3002Ctrl::BOOL CKORVAKT3002Ctrl::Setdistance(SHORT axis, float distance) {
    return CachedSet(axis, &AxisCache::distance, distance, &KT300Protocol::SetDistance);
}
CKORVAKT3002Ctrl::BOOL CKORVAKT3002Ctrl::Setradius(SHORT axis, LONG radius) {
    return CachedSet(axis, &AxisCache::radius, radius, &KT300Protocol::SetRadius);
}
CKORVAKT3002Ctrl::BOOL CKORVAKT3002Ctrl::SetUserOrg(SHORT axis, float UserOrg) {
    return CachedSet(axis, &AxisCache::userOrigin, UserOrg, &KT300Protocol::SetUserOrigin);
}
CKORVAKT3002Ctrl::BOOL CKORVAKT3002Ctrl::SetLimitPos(SHORT axis, float LimitPos) {
    return CachedSet(axis, &AxisCache::limitPos, LimitPos, &KT300Protocol::SetUserPositiveLimit);
}
CKORVAKT3002Ctrl::BOOL CKORVAKT3002Ctrl::SetLimitNeg(SHORT axis, float LimitNeg) {
    return CachedSet(axis, &AxisCache::limitNeg, LimitNeg, &KT300Protocol::SetUserNegativeLimit);
}
CKORVAKT3002Ctrl::BOOL CKORVAKT3002Ctrl::Setresolution(SHORT axis, float resolution) {
    return CachedSet(axis, &AxisCache::resolution, resolution,
                     &KT300Protocol::SetEncoderResolution);
}
CKORVAKT3002Ctrl::BOOL CKORVAKT3002Ctrl::SetSpeed(SHORT axis, float Speed) {
    return CachedSet(axis, &AxisCache::speed, Speed, &KT300Protocol::SetSpeed);
}
CKORVAKT3002Ctrl::BOOL CKORVAKT3002Ctrl::SetInitSpeed(SHORT axis, float InitSpeed) {
    return CachedSet(axis, &AxisCache::initSpeed, InitSpeed, &KT300Protocol::SetInitSpeed);
}
CKORVAKT3002Ctrl::BOOL CKORVAKT3002Ctrl::SetAccSpeed(SHORT axis, float AccSpeed) {
    return CachedSet(axis, &AxisCache::accSpeed, AccSpeed, &KT300Protocol::SetAccSpeed);
}
CKORVAKT3002Ctrl::BOOL CKORVAKT3002Ctrl::SetHomeSpeed(SHORT axis, float HomeSpeed) {
    return CachedSet(axis, &AxisCache::homeSpeed, HomeSpeed, &KT300Protocol::SetHomeSpeed);
}
CKORVAKT3002Ctrl::BOOL CKORVAKT3002Ctrl::SetStageSteps(SHORT axis, float step) {
    return CachedSet(axis, &AxisCache::stageSteps, step, &KT300Protocol::SetStageStepsRev);
}

CKORVAKT3002Ctrl::BOOL CKORVAKT3002Ctrl::SetLimitAble(SHORT anxi, SHORT limitable) {
    // The protocol sends this one for any axis; only a real axis has a cache entry.
    const bool ok = m_p->m_Protocol.SetUserLimitAble(anxi, limitable);
    if (ok && ValidAxis(anxi)) {
        std::lock_guard lock(m_p->m_StateLock);
        // What the controller now holds: 1 disables the limits ("D"), anything else enables them.
        m_p->m_Cache[static_cast<std::size_t>(anxi)].limitAble = (limitable == 1) ? 1 : 0;
    }
    return ok;
}

CKORVAKT3002Ctrl::BOOL CKORVAKT3002Ctrl::SetOffset(SHORT anxi, float offset) {
    if (!ValidAxis(anxi)) return false;
    // The controller takes a whole number: truncate toward zero. A value with
    // no whole-number form (NaN, beyond 32 bits) is refused.
    if (!std::isfinite(offset) || std::trunc(offset) < static_cast<float>(INT32_MIN) ||
        std::trunc(offset) >= static_cast<float>(INT32_MAX)) {
        korva::Trace("SetOffset: offset has no whole-number form, nothing sent\n");
        return false;
    }
    const bool ok = m_p->m_Protocol.SetOffset(anxi, static_cast<int>(offset));
    if (ok) {
        std::lock_guard lock(m_p->m_StateLock);
        m_p->m_Cache[static_cast<std::size_t>(anxi)].offset =
            offset;  // as passed, fraction and all
    }
    return ok;
}

CKORVAKT3002Ctrl::BOOL CKORVAKT3002Ctrl::SetEncoderStyle(SHORT anxi, const BSTR& style) {
    return m_p->m_Protocol.SetEncoderStyle(anxi, style);
}

CKORVAKT3002Ctrl::BOOL CKORVAKT3002Ctrl::SetCommandPulses(SHORT axis, LONG pulse) {
    return m_p->m_Protocol.SetCommandPulses(axis, pulse);
}

// ---------------------------------------------------------------- ports, modes, flags

CKORVAKT3002Ctrl::BOOL CKORVAKT3002Ctrl::SetPortOutput(SHORT nValue) {
    return m_p->m_Protocol.SetPortOutput(nValue);
}

CKORVAKT3002Ctrl::BOOL CKORVAKT3002Ctrl::GetPortInput(SHORT* nValue) {
    SHORT value = nValue ? *nValue : SHORT{0};
    const bool ok = m_p->m_Protocol.GetPortInput(&value);
    if (nValue) *nValue = value;
    return ok;
}

CKORVAKT3002Ctrl::BOOL CKORVAKT3002Ctrl::GetchroMode() {
    return m_p->m_Protocol.GetSyncMode();
}
CKORVAKT3002Ctrl::BOOL CKORVAKT3002Ctrl::SetchroMode(BOOL bmode) {
    m_p->m_Protocol.ClearErrorCode();
    return m_p->m_Protocol.SetSyncMode(bmode);
}

CKORVAKT3002Ctrl::BOOL CKORVAKT3002Ctrl::GetStopFlag(SHORT anxi) {
    return ValidAxis(anxi) && m_p->m_Protocol.GetStopFlag(anxi);
}

CKORVAKT3002Ctrl::BOOL CKORVAKT3002Ctrl::SetStopFlag(SHORT anxi, SHORT stopflag) {
    if (!ValidAxis(anxi)) return false;
    return m_p->m_Protocol.SetStopFlag(anxi, stopflag);  // FALSE by design, the flag is stored
}

// ---------------------------------------------------------------- plans

CKORVAKT3002Ctrl::BOOL CKORVAKT3002Ctrl::SAVENAME(const BSTR& strname) {
    return m_p->m_Protocol.SavePlan(strname);
}
CKORVAKT3002Ctrl::BOOL CKORVAKT3002Ctrl::OVERSAVE() {
    return m_p->m_Protocol.OverSave();
}
CKORVAKT3002Ctrl::BOOL CKORVAKT3002Ctrl::STARTRUN(const BSTR& strname) {
    return m_p->m_Protocol.StartPlan(strname);
}
CKORVAKT3002Ctrl::BOOL CKORVAKT3002Ctrl::ENDRUN() {
    return m_p->m_Protocol.EndRun();
}
CKORVAKT3002Ctrl::BOOL CKORVAKT3002Ctrl::BREAKRUN() {
    return m_p->m_Protocol.BreakRun();
}
// Inverted on purpose: hosts test GETPLAN for "no acknowledgement".
CKORVAKT3002Ctrl::BOOL CKORVAKT3002Ctrl::GETPLAN() {
    return !m_p->m_Protocol.GetPlan();
}
CKORVAKT3002Ctrl::BOOL CKORVAKT3002Ctrl::DelayTime(SHORT DelayTime) {
    return m_p->m_Protocol.PlanDelay(DelayTime);
}
CKORVAKT3002Ctrl::BOOL CKORVAKT3002Ctrl::Until(SHORT counter) {
    return m_p->m_Protocol.PlanUntil(counter);
}
CKORVAKT3002Ctrl::BOOL CKORVAKT3002Ctrl::Untilat(SHORT counter) {
    return m_p->m_Protocol.PlanUntilAt(counter);
}
CKORVAKT3002Ctrl::BOOL CKORVAKT3002Ctrl::Untilnon(SHORT counter) {
    return m_p->m_Protocol.PlanUntilNon(counter);
}
CKORVAKT3002Ctrl::BOOL CKORVAKT3002Ctrl::Untilnonat(SHORT counter) {
    return m_p->m_Protocol.PlanUntilNonAt(counter);
}
CKORVAKT3002Ctrl::BOOL CKORVAKT3002Ctrl::FunctionLoop(SHORT counter) {
    return m_p->m_Protocol.PlanLoop(counter);
}
CKORVAKT3002Ctrl::BOOL CKORVAKT3002Ctrl::EndLoop() {
    return m_p->m_Protocol.PlanEndLoop();
}
CKORVAKT3002Ctrl::BOOL CKORVAKT3002Ctrl::FunctionIf(SHORT counter) {
    return m_p->m_Protocol.PlanIf(counter);
}
CKORVAKT3002Ctrl::BOOL CKORVAKT3002Ctrl::Functionifat(SHORT counter) {
    return m_p->m_Protocol.PlanIfAt(counter);
}
CKORVAKT3002Ctrl::BOOL CKORVAKT3002Ctrl::EndIf() {
    return m_p->m_Protocol.PlanEndIf();
}
CKORVAKT3002Ctrl::BOOL CKORVAKT3002Ctrl::FunctionIfnon(SHORT counter) {
    return m_p->m_Protocol.PlanIfNon(counter);
}
CKORVAKT3002Ctrl::BOOL CKORVAKT3002Ctrl::FunctionIfnonat(SHORT counter) {
    return m_p->m_Protocol.PlanIfNonAt(counter);
}
CKORVAKT3002Ctrl::BOOL CKORVAKT3002Ctrl::Delname(const BSTR& strsavename) {
    return m_p->m_Protocol.DeletePlan(strsavename);
}

// ---------------------------------------------------------------- selection, system

CKORVAKT3002Ctrl::BOOL CKORVAKT3002Ctrl::Selectdev(SHORT ndev) {
    std::lock_guard lock(m_p->m_LinkLock);
    m_p->m_Protocol.SetSelectNumber(ndev);  // used by the next Connect
    m_p->m_Protocol.ClearErrorCode();
    return true;
}

CKORVAKT3002Ctrl::BOOL CKORVAKT3002Ctrl::GetSelectID(SHORT* ndev) {
    SHORT number = ndev ? *ndev : SHORT{0};
    if (!m_p->m_Protocol.GetSelectId(&number)) return false;
    {
        std::lock_guard lock(m_p->m_LinkLock);
        m_p->m_Protocol.SetSelectNumber(number);
    }
    if (ndev) *ndev = number;
    return true;
}

CKORVAKT3002Ctrl::BOOL CKORVAKT3002Ctrl::ENDSelect() {
    return m_p->m_Protocol.EndSelect();
}

CKORVAKT3002Ctrl::LONG CKORVAKT3002Ctrl::GetErrorCode() {
    return static_cast<LONG>(m_p->m_Protocol.GetErrorCode());
}

CKORVAKT3002Ctrl::BSTR CKORVAKT3002Ctrl::GetLastErrorText() const {
    return m_p->m_Protocol.GetLastErrorText();
}

CKORVAKT3002Ctrl::BOOL CKORVAKT3002Ctrl::Loaddefault() {
    return m_p->m_Protocol.LoadDefault();
}
CKORVAKT3002Ctrl::SHORT CKORVAKT3002Ctrl::GetSystemInfo() {
    return m_p->m_Protocol.GetModel();
}
