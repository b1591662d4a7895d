#include "ControllerLink.h"

#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>

#include "PortMap.h"
#include "PtySimulator.h"

namespace kt300ds {
namespace {

long long NowNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

constexpr long long kMs = 1000000;
// A stop that meets an exchange in flight (a control without stop preemption
// answers it "busy") is tried again this long.
constexpr int kStopRetryMs = 3000;
// An axis whose position stays the same this many polls and this long counts
// as standing even when no stop report reached us.
constexpr int kStillPolls = 10;
constexpr long long kStillNs = 500 * kMs;

// The port map reads KORVA_COM<n> when a link opens; a device path is served
// through it. One lock for every environment change and every open, so two
// controllers never race on it.
std::mutex& EnvLock() {
    static std::mutex lock;
    return lock;
}
int AllocatePort() {
    static int next = 255;
    std::lock_guard lock(EnvLock());
    return next > 1 ? next-- : 1;
}

const char* ControllerErrorMeaning(int digit) {
    switch (digit) {
        case 0:
            return "unknown command or unusable line";
        case 1:
            return "bad axis letter";
        case 2:
            return "missing or out-of-range argument";
        case 3:
            return "target outside the enabled user limits";
        case 4:
            return "an axis of the motion is moving";
        case 5:
            return "plan storage refused (name, size or nesting)";
        case 6:
            return "plan not found, or no plan run to break";
        case 7:
            return "refused while a plan runs or is being recorded";
        default:
            return "unknown controller error";
    }
}

// "E03" at the start of the reply (after stray line ends), else -1.
int ControllerErrorDigit(const std::string& reply) {
    std::size_t i = reply.find_first_not_of("\r\n");
    if (i == std::string::npos || reply.size() < i + 3) return -1;
    if (reply[i] == 'E' && reply[i + 1] == '0' && reply[i + 2] >= '0' && reply[i + 2] <= '7')
        return reply[i + 2] - '0';
    return -1;
}

std::string Printable(const std::string& text) {
    std::string out;
    for (unsigned char c : text) {
        if (c == '\r')
            out += "\\r";
        else if (c < 32 || c > 126) {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\x%02X", c);
            out += buf;
        } else
            out += static_cast<char>(c);
    }
    return out;
}

bool IsControllerRefusal(long code) {
    return code >= KT300Protocol::kErrController && code <= KT300Protocol::kErrController + 7;
}

}  // namespace

std::string FirstReplyLine(const std::string& reply) {
    std::size_t b = reply.find_first_not_of("\r\n");
    if (b == std::string::npos) return {};
    std::size_t e = reply.find_first_of("\r\n", b);
    return reply.substr(b, e == std::string::npos ? std::string::npos : e - b);
}

std::string DescribeCode(long code) {
    if (IsControllerRefusal(code)) {
        int d = static_cast<int>(code - KT300Protocol::kErrController);
        return "the controller answered E0" + std::to_string(d) + " (" + ControllerErrorMeaning(d) +
               ", code " + std::to_string(code) + ")";
    }
    std::string c = " (code " + std::to_string(code) + ")";
    switch (code) {
        case 0:
            return "no error";
        case KT300Protocol::kErrLinkClosed:
            return "the link is not open" + c;
        case KT300Protocol::kErrBusy:
            return "another exchange was in progress" + c;
        case KT300Protocol::kErrSendNoWait:
            return "the command could not be sent" + c;
        case KT300Protocol::kErrPortInput:
            return "the port input reply held no value" + c;
        case KT300Protocol::kErrBadReply:
            return "the reply held no valid value for the query" + c;
        case KT300Protocol::kErrInterrupted:
            return "interrupted by a stop" + c;
        case KorvaComPort::kErrWriteIncomplete:
            return "the command line could not be written whole" + c;
        case KorvaComPort::kErrWaitInterrupted:
            return "the wait for the reply was interrupted" + c;
        case KorvaComPort::kErrChannelGone:
            return "the link hung up (device gone)" + c;
        case KorvaComPort::kErrNoFlag:
        case KorvaComPort::kErrWaitTimeout:
            return "the controller did not answer in time" + c;
        case KorvaComPort::kErrOpenCom:
            return "the serial port cannot be opened" + c;
        case KorvaComPort::kErrNotOpen:
            return "the serial port is not open" + c;
        case KorvaComPort::kErrOpenUsb:
            return "the USB device cannot be opened" + c;
        case KT300Protocol::kLinkErrHandshake:
            return "the controller failed the handshake" + c;
        default:
            return "link error" + c;
    }
}

const char* UnitName(int unit) {
    static constexpr const char* kNames[] = {"deg", "mm", "step", "um"};
    return unit >= 0 && unit < 4 ? kNames[unit] : "";
}

int UnitFromName(const std::string& name) {
    for (int u = 0; u < 4; ++u)
        if (name == UnitName(u)) return u;
    return -1;
}

int AxisFromName(const std::string& name) {
    std::string t;
    for (char c : name)
        if (!std::isspace(static_cast<unsigned char>(c)))
            t += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    if (t.size() != 1) return -1;
    switch (t[0]) {
        case 'X':
            return 0;
        case 'Y':
            return 1;
        case 'Z':
            return 2;
        case 'T':
            return 3;
        default:
            return -1;
    }
}

// --- request queue ---

ControllerLink::Turn::Turn(ControllerLink& link) : link_(link) {
    std::unique_lock lock(link_.queueLock_);
    unsigned long long ticket = link_.nextTicket_++;
    link_.queueCv_.wait(lock,
                        [&] { return link_.serving_ == ticket && link_.stopsInFlight_ == 0; });
}

ControllerLink::Turn::~Turn() {
    std::lock_guard lock(link_.queueLock_);
    ++link_.serving_;
    link_.queueCv_.notify_all();
}

struct ControllerLink::StopScope {
    explicit StopScope(ControllerLink& l) : link(l) {
        std::lock_guard lock(link.queueLock_);
        ++link.stopsInFlight_;
    }
    ~StopScope() {
        std::lock_guard lock(link.queueLock_);
        --link.stopsInFlight_;
        link.queueCv_.notify_all();
    }
    ControllerLink& link;
};

// --- life ---

ControllerLink::ControllerLink() {
    StartPoller();
}

ControllerLink::~ControllerLink() {
    StopPoller();
    ctrl_.DisConnect();
    if (sim_) sim_->Stop();
}

void ControllerLink::Configure(const LinkSettings& settings) {
    {
        Turn turn(*this);
        ctrl_.DisConnect();
        std::lock_guard lock(stateLock_);
        settings_ = settings;
        connected_ = false;
        fault_ = false;
        disableText_ = "not connected";
        planRunning_ = false;
        for (auto& t : track_) t = AxisTrack{};
    }
    if ((settings.simulator || !settings.devicePath.empty()) && mappedPort_ == 0)
        mappedPort_ = AllocatePort();
    if (sim_) {
        sim_->Stop();
        sim_.reset();
    }
    Kick();
}

Result ControllerLink::OpenSimulator() {
    if (!sim_) {
        korva::sim::SimOptions opt;
        opt.model = settings_.simulatorModel;
        sim_ = std::make_unique<korva::sim::PtySimulator>(opt);
    }
    // After a hang-up the pty is gone: serve the same engine on a new one.
    sim_->Stop();
    sim_->SetBaud(settings_.simulatorBaud);
    if (!sim_->Start())
        return Result::Fail("KT300_SimulatorFailed",
                            "the built-in simulator cannot start on a pseudo-terminal");
    return Result::Ok();
}

Result ControllerLink::Connect() {
    Result result;
    {
        Turn turn(*this);
        ctrl_.DisConnect();  // a link left open by a fault is closed first
        std::string path = settings_.devicePath;
        if (settings_.simulator) {
            result = OpenSimulator();
            if (result.ok) path = sim_->SlavePath();
        }
        if (result.ok) {
            std::lock_guard env(EnvLock());
            bool usb = !settings_.usbSerial.empty() && !settings_.simulator;
            ctrl_.SetUSBMODE(usb);
            if (usb) {
                ctrl_.SetUSBSerials(settings_.usbSerial);
            } else if (!path.empty()) {
                setenv(("KORVA_COM" + std::to_string(mappedPort_)).c_str(), path.c_str(), 1);
                ctrl_.SetComPort(static_cast<short>(mappedPort_));
            } else {
                ctrl_.SetComPort(static_cast<short>(settings_.port));
            }
            ctrl_.Selectdev(static_cast<short>(settings_.select));
            if (!ctrl_.Connect()) {
                KT300Protocol& p = ctrl_.Protocol();
                std::string where = usb             ? "USB device " + settings_.usbSerial
                                    : !path.empty() ? path
                                                    : "COM" + std::to_string(settings_.port);
                std::string why;
                int linkCode = p.GetLinkErrorCode();
                if (linkCode == KT300Protocol::kLinkErrHandshake)
                    why = "no valid answer to the handshake: " + DescribeCode(p.GetErrorCode());
                else
                    why = DescribeCode(linkCode);
                std::string linkText = p.GetLinkErrorText();
                std::string device =
                    usb            ? std::string()
                    : path.empty() ? korva::PortDevicePath(static_cast<unsigned>(settings_.port))
                                   : path;
                if (linkCode == KorvaComPort::kErrOpenCom && !device.empty() &&
                    ::access(device.c_str(), R_OK | W_OK) != 0) {
                    // The link's text guesses "in use"; the device's own reason is better.
                    why += ": " + device + ": " + std::strerror(errno);
                } else if (!linkText.empty() && linkCode != KT300Protocol::kLinkErrHandshake) {
                    why += ": " + linkText;
                }
                result =
                    Result::Fail("KT300_ConnectFailed", "Connect to " + where + " failed: " + why);
            }
        }
        std::lock_guard lock(stateLock_);
        for (auto& t : track_) {
            // The controller may have gone on moving while we were away.
            t.moving = false;
            t.stopSeen = false;
            t.verifying = result.ok;
            t.positionKnown = false;
        }
        planRunning_ = false;
        connected_ = result.ok;
        fault_ = !result.ok;
        faultText_ = result.ok ? std::string() : result.text;
        lastRefusal_.clear();
    }
    if (result.ok) {
        for (int a = 0; a < kAxes; ++a) {
            RefreshLimits(a);
            double pos = 0;
            ReadPosition(a, &pos);
        }
    }
    Kick();
    return result;
}

void ControllerLink::SetUnusable(const std::string& reason) {
    {
        std::lock_guard lock(stateLock_);
        fault_ = true;
        faultText_ = reason;
    }
    Kick();
}

void ControllerLink::Disconnect() {
    {
        Turn turn(*this);
        ctrl_.DisConnect();
        std::lock_guard lock(stateLock_);
        connected_ = false;
        fault_ = false;
        disableText_ = "disconnected by a client";
        planRunning_ = false;
        for (auto& t : track_) {
            t.moving = false;
            t.stopSeen = false;
            t.verifying = false;
        }
    }
    Kick();
}

bool ControllerLink::Connected() const {
    std::lock_guard lock(stateLock_);
    return connected_ && !fault_;
}

Result ControllerLink::CheckUsable() const {
    std::lock_guard lock(stateLock_);
    if (fault_) return Result::Fail("KT300_Fault", faultText_ + "; run Connect to recover");
    if (!connected_)
        return Result::Fail("KT300_NotConnected",
                            "the controller is not connected (" + disableText_ + "); run Connect");
    return Result::Ok();
}

void ControllerLink::EnterFault(const std::string& text) {
    {
        std::lock_guard lock(stateLock_);
        if (!connected_) return;  // a closed link is not a fault
        fault_ = true;
        faultText_ = text;
        planRunning_ = false;
        for (auto& t : track_) {
            t.moving = false;
            t.stopSeen = false;
            t.verifying = false;
        }
    }
    Kick();
}

Result ControllerLink::FailFromCode(const std::string& what, long code,
                                    const std::string& linkText) {
    std::string text = what + " failed: " + DescribeCode(code);
    if (IsControllerRefusal(code)) {
        std::lock_guard lock(stateLock_);
        lastRefusal_ = text;
        return Result::Fail("KT300_ControllerError", text);
    }
    // Neither a stop that cut the exchange short nor a reply without its
    // value says that the link failed.
    if (code == KT300Protocol::kErrBusy) return Result::Fail("KT300_Busy", text);
    if (code == KT300Protocol::kErrInterrupted) return Result::Fail("KT300_Interrupted", text);
    if (code == KT300Protocol::kErrBadReply || code == KT300Protocol::kErrPortInput)
        return Result::Fail("KT300_BadReply", text);
    if (!linkText.empty() && code != KT300Protocol::kErrLinkClosed) text += ": " + linkText;
    EnterFault(text);
    return Result::Fail("KT300_LinkFailure", text);
}

Result ControllerLink::Exchange(const std::string& what,
                                const std::function<bool(KT300Protocol&)>& fn) {
    Turn turn(*this);
    Result r = CheckUsable();
    if (!r.ok) return r;
    KT300Protocol& p = ctrl_.Protocol();
    // A stop that goes out meanwhile may cut the exchange short: it runs
    // again after the stop, so the client never sees the interruption.
    for (int attempt = 0;; ++attempt) {
        unsigned long long gen = stopGeneration_.load();
        if (fn(p)) return Result::Ok();
        if (stopGeneration_.load() == gen || attempt >= 20) break;
        WaitForStops();
    }
    long code = p.GetErrorCode();
    if (code == 0) {
        // The exchange went through but the reply lacked the value.
        return Result::Fail("KT300_BadReply", what + " failed: the reply held no readable value (" +
                                                  Printable(FirstReplyLine(p.GetReply())) + ")");
    }
    return FailFromCode(what, code, p.GetLinkErrorText());
}

// --- motion ---

Result ControllerLink::Motion(int axis, const std::string& what,
                              const std::function<bool()>& send) {
    Result r;
    {
        Turn turn(*this);
        r = CheckUsable();
        if (!r.ok) return r;
        KT300Protocol& p = ctrl_.Protocol();
        if (axis >= 0) p.SetStopFlag(axis, 0);  // the poller waits for a new stop report
        unsigned long long gen = stopGeneration_.load();
        bool ok = send();
        std::string reply = p.GetReply();
        long code = p.GetErrorCode();
        int digit = ControllerErrorDigit(reply);
        if (digit >= 0) return FailFromCode(what, KT300Protocol::kErrController + digit, {});
        if (!ok) {
            if (stopGeneration_.load() != gen)
                return Result::Fail("KT300_Interrupted", what + " was interrupted by a stop");
            if (code == 0)
                return Result::Fail("KT300_BadReply", what + " failed: unexpected reply \"" +
                                                          Printable(reply) + "\"");
            return FailFromCode(what, code, p.GetLinkErrorText());
        }
        std::lock_guard lock(stateLock_);
        lastRefusal_.clear();
        if (axis >= 0) {
            AxisTrack& t = track_[static_cast<std::size_t>(axis)];
            t.moving = true;
            t.stopSeen = false;
            t.samePolls = 0;
            t.sameSinceNs = NowNs();
        }
    }
    Kick();
    return r;
}

namespace {
Result CheckTarget(const std::string& what, double value) {
    if (!std::isfinite(value))
        return Result::Fail("KT300_BadValue", what + ": " + std::to_string(value) +
                                                  " is not a finite number; nothing was sent");
    if (std::fabs(value) > 1e9)
        return Result::Fail("KT300_BadValue", what + ": " + std::to_string(value) +
                                                  " is beyond +-1e9; nothing was sent");
    return Result::Ok();
}
}  // namespace

Result ControllerLink::MoveAbsolute(int axis, double position) {
    std::string what =
        std::string("Move ") + KT300Protocol::AxisLetter(axis) + " to " + std::to_string(position);
    Result r = CheckTarget(what, position);
    if (!r.ok) return r;
    return Motion(axis, what, [&] {
        // Work state as the axis has it stored; absolute; direction P with a signed target.
        return ctrl_.GoPosition(static_cast<short>(axis), WorkState(axis), 0, 1,
                                static_cast<float>(position));
    });
}

Result ControllerLink::MoveRelative(int axis, double distance) {
    std::string what =
        std::string("Move ") + KT300Protocol::AxisLetter(axis) + " by " + std::to_string(distance);
    Result r = CheckTarget(what, distance);
    if (!r.ok) return r;
    return Motion(axis, what, [&] {
        return ctrl_.GoPosition(static_cast<short>(axis), WorkState(axis), 1, distance < 0 ? 0 : 1,
                                static_cast<float>(std::fabs(distance)));
    });
}

Result ControllerLink::Home(int axis, bool optical) {
    std::string what =
        std::string(optical ? "Home (optical switch) " : "Home ") + KT300Protocol::AxisLetter(axis);
    return Motion(axis, what, [&] {
        // The home mode is a stored parameter: set it for this homing.
        if (!ctrl_.Setsechhome(static_cast<short>(axis), optical ? 2 : 1)) return false;
        return ctrl_.GoHome(static_cast<short>(axis));
    });
}

Result ControllerLink::GoUserOrigin(int axis) {
    std::string what = std::string("Go to the user origin of ") + KT300Protocol::AxisLetter(axis);
    return Motion(axis, what, [&] { return ctrl_.GoOrigion(static_cast<short>(axis)); });
}

Result ControllerLink::StartPlan(const std::string& name) {
    if (name.empty() || name.find_first_of("\r\n") != std::string::npos)
        return Result::Fail("KT300_BadValue",
                            "StartPlan: the plan name is empty or holds a line break");
    Result r = Motion(-1, "StartPlan " + name, [&] { return ctrl_.STARTRUN(name); });
    if (r.ok) {
        {
            std::lock_guard lock(stateLock_);
            planRunning_ = true;
            planStillSinceNs_ = NowNs();
        }
        Kick();
    }
    return r;
}

Result ControllerLink::EndPlan() {
    Result r = Exchange("EndPlan", [](KT300Protocol& p) { return p.EndRun(); });
    {
        std::lock_guard lock(stateLock_);
        planRunning_ = false;
    }
    Kick();
    return r;
}

// --- stops ---

void ControllerLink::WaitForStops() {
    std::unique_lock lock(queueLock_);
    queueCv_.wait(lock, [&] { return stopsInFlight_ == 0; });
}

Result ControllerLink::RunStop(const std::string& what, const std::function<bool()>& send) {
    StopScope scope(*this);
    unsigned long long mine = ++stopGeneration_;
    {
        std::lock_guard lock(stateLock_);
        if (!connected_)
            return Result::Fail("KT300_NotConnected",
                                what + ": the controller is not connected (" + disableText_ + ")");
        // A stop is worth trying on a faulty link too: it may still get through.
    }
    KT300Protocol& p = ctrl_.Protocol();
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kStopRetryMs);
    for (;;) {
        if (send()) return Result::Ok();
        // A later stop cut this one short: the axes are being stopped.
        if (stopGeneration_.load() != mine) return Result::Ok();
        long code = p.GetErrorCode();
        if (code != KT300Protocol::kErrBusy || std::chrono::steady_clock::now() > deadline)
            return FailFromCode(what, code, p.GetLinkErrorText());
        // An exchange is still in flight on a control that cannot preempt it.
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

Result ControllerLink::Stop(int axis, bool slow) {
    std::string what = std::string(slow ? "Stop " : "Abort ") + KT300Protocol::AxisLetter(axis);
    Result r = RunStop(what, [&] {
        return slow ? ctrl_.StopSlow(static_cast<short>(axis))
                    : ctrl_.Stop(static_cast<short>(axis));
    });
    if (r.ok) {
        std::lock_guard lock(stateLock_);
        track_[static_cast<std::size_t>(axis)].stopSeen = true;
    }
    Kick();
    return r;
}

Result ControllerLink::StopAll() {
    Result r = RunStop("StopAll", [&] { return ctrl_.Stopall(); });
    if (r.ok) {
        std::lock_guard lock(stateLock_);
        for (auto& t : track_) t.stopSeen = true;
        planRunning_ = false;
    }
    Kick();
    return r;
}

// --- reads ---

Result ControllerLink::ReadPosition(int axis, double* position) {
    {
        std::lock_guard lock(stateLock_);
        const AxisTrack& t = track_[static_cast<std::size_t>(axis)];
        if ((t.moving || planRunning_) && t.positionKnown && connected_ && !fault_) {
            *position = t.position;
            return Result::Ok();
        }
    }
    double pos = 0;
    Result r = Exchange(std::string("Read the position of ") + KT300Protocol::AxisLetter(axis),
                        [&](KT300Protocol& p) { return p.GetPosition(axis, &pos); });
    if (!r.ok) return r;
    std::lock_guard lock(stateLock_);
    AxisTrack& t = track_[static_cast<std::size_t>(axis)];
    t.position = pos;
    t.positionKnown = true;
    *position = pos;
    return r;
}

Result ControllerLink::RefreshLimits(int axis) {
    int able = -1, ws = 1;
    float pos = 0, neg = 0;
    Result r = Exchange("Read the user limits", [&](KT300Protocol& p) {
        return p.GetUserLimitAble(axis, &able) && p.GetUserPositiveLimit(axis, &pos) &&
               p.GetUserNegativeLimit(axis, &neg) && p.GetWorkState(axis, &ws);
    });
    if (!r.ok) return r;
    std::lock_guard lock(stateLock_);
    AxisTrack& t = track_[static_cast<std::size_t>(axis)];
    t.workState = ws == 0 ? 0 : 1;
    t.limitsEnabled = able == 0;  // "E" (0) enabled, "D" (1) disabled
    t.limitPos = pos;
    t.limitNeg = neg;
    return r;
}

int ControllerLink::WorkState(int axis) const {
    std::lock_guard lock(stateLock_);
    return track_[static_cast<std::size_t>(axis)].workState;
}

Result ControllerLink::SimulatorHangUp() {
    Turn turn(*this);
    if (!sim_)
        return Result::Fail("KT300_NoSimulator",
                            "SimulatorHangUp: this controller is not the built-in simulator");
    sim_->HangUp();
    return Result::Ok();
}

// --- state ---

Snapshot ControllerLink::MakeSnapshot() const {
    Snapshot s;
    std::lock_guard lock(stateLock_);
    s.planRunning = planRunning_;
    s.archivePeriodMs = settings_.archivePeriodMs;
    bool anyMoving = planRunning_;
    for (int a = 0; a < kAxes; ++a) {
        const AxisTrack& t = track_[static_cast<std::size_t>(a)];
        AxisSnapshot& x = s.axes[static_cast<std::size_t>(a)];
        x.position = t.position;
        x.positionKnown = t.positionKnown;
        x.moving = connected_ && !fault_ && (t.moving || (planRunning_ && t.samePolls == 0));
        anyMoving = anyMoving || x.moving;
        if (fault_) {
            x.state = AxisState::kFault;
            x.status = "The controller is unusable: " + faultText_;
        } else if (!connected_) {
            x.state = AxisState::kDisable;
            x.status = "The controller is not connected (" + disableText_ + ").";
        } else if (x.moving) {
            x.state = AxisState::kMoving;
            x.status = planRunning_ ? "The axis moves in a plan run." : "The axis is moving.";
        } else if (t.limitsEnabled && t.positionKnown &&
                   (t.position >= t.limitPos || t.position <= t.limitNeg)) {
            x.state = AxisState::kAlarm;
            x.status = "The axis stands at its " +
                       std::string(t.position >= t.limitPos ? "positive" : "negative") +
                       " user limit (" +
                       std::to_string(t.position >= t.limitPos ? t.limitPos : t.limitNeg) + ").";
        } else {
            x.state = AxisState::kOn;
            x.status = "The axis stands.";
        }
    }
    if (fault_) {
        s.state = LinkState::kFault;
        s.status = faultText_ + ". Run Connect to recover.";
    } else if (!connected_) {
        s.state = LinkState::kDisable;
        s.status = "Not connected (" + disableText_ + ").";
    } else {
        s.state = anyMoving ? LinkState::kMoving : LinkState::kOn;
        s.status = planRunning_ ? "Connected; a plan runs."
                   : anyMoving  ? "Connected; axes are moving."
                                : "Connected; all axes stand.";
        if (!lastRefusal_.empty()) s.status += " Last refusal: " + lastRefusal_ + ".";
    }
    return s;
}

Snapshot ControllerLink::State() const {
    return MakeSnapshot();
}

// --- poller ---

void ControllerLink::StartPoller() {
    poller_ = std::thread([this] { PollLoop(); });
}

void ControllerLink::StopPoller() {
    {
        std::lock_guard lock(pollLock_);
        pollQuit_ = true;
    }
    pollCv_.notify_all();
    if (poller_.joinable()) poller_.join();
}

void ControllerLink::Kick() {
    {
        std::lock_guard lock(pollLock_);
        pollKick_ = true;
    }
    pollCv_.notify_all();
}

void ControllerLink::PollLoop() {
    auto active = [this] {
        std::lock_guard lock(stateLock_);
        if (!connected_ || fault_) return false;
        if (planRunning_) return true;
        return std::any_of(track_.begin(), track_.end(),
                           [](const AxisTrack& t) { return t.moving || t.verifying; });
    };
    std::unique_lock lock(pollLock_);
    for (;;) {
        // Nothing moves: no line traffic until a request kicks us.
        pollCv_.wait(lock, [&] { return pollQuit_ || pollKick_ || active(); });
        if (pollQuit_) return;
        pollKick_ = false;
        lock.unlock();
        for (int a = 0; a < kAxes; ++a) {
            bool poll;
            {
                std::lock_guard s(stateLock_);
                const AxisTrack& t = track_[static_cast<std::size_t>(a)];
                poll = connected_ && !fault_ && (planRunning_ || t.moving || t.verifying);
            }
            if (poll) PollAxis(a);
        }
        Notify();
        lock.lock();
        if (pollQuit_) return;
        if (active()) {
            int period;
            {
                std::lock_guard s(stateLock_);
                period = std::max(0, settings_.pollPeriodMs);
            }
            pollCv_.wait_for(lock, std::chrono::milliseconds(period), [&] { return pollQuit_; });
        }
    }
}

bool ControllerLink::PollAxis(int axis) {
    double pos = 0;
    bool ok;
    long code;
    std::string linkText;
    std::array<bool, kAxes> flags{};
    unsigned long long gen = stopGeneration_.load();
    {
        Turn turn(*this);
        KT300Protocol& p = ctrl_.Protocol();
        ok = p.GetPosition(axis, &pos);
        code = p.GetErrorCode();
        if (!ok) linkText = p.GetLinkErrorText();
        for (int a = 0; a < kAxes; ++a) flags[static_cast<std::size_t>(a)] = p.GetStopFlag(a);
    }
    if (!ok) {
        // A stop that preempted this query, or a refusal, is no link failure.
        if (code == KT300Protocol::kErrBusy || code == KT300Protocol::kErrInterrupted ||
            code == KT300Protocol::kErrBadReply || IsControllerRefusal(code) || code == 0)
            return false;
        if (stopGeneration_.load() != gen) return false;
        FailFromCode(std::string("Polling the position of ") + KT300Protocol::AxisLetter(axis),
                     code, linkText);
        return false;
    }
    long long now = NowNs();
    std::lock_guard s(stateLock_);
    for (int a = 0; a < kAxes; ++a)
        if (flags[static_cast<std::size_t>(a)] && track_[static_cast<std::size_t>(a)].moving)
            track_[static_cast<std::size_t>(a)].stopSeen = true;
    AxisTrack& t = track_[static_cast<std::size_t>(axis)];
    bool same = t.positionKnown && t.position == pos;
    if (same) {
        ++t.samePolls;
    } else {
        t.samePolls = 0;
        t.sameSinceNs = now;
    }
    if (t.verifying && t.positionKnown) {
        // Second reading since Connect: a change means a move we did not command.
        t.verifying = false;
        if (!same) {
            t.moving = true;
            t.stopSeen = true;  // no stop report to wait for: standing still ends it
        }
    }
    t.position = pos;
    t.positionKnown = true;
    if (t.moving && same &&
        (t.stopSeen || (t.samePolls >= kStillPolls && now - t.sameSinceNs >= kStillNs))) {
        t.moving = false;
        t.stopSeen = false;
    }
    if (planRunning_) {
        bool allStill = std::all_of(track_.begin(), track_.end(),
                                    [](const AxisTrack& x) { return x.samePolls > 0; });
        if (!allStill)
            planStillSinceNs_ = now;
        else if (now - planStillSinceNs_ >= settings_.planIdleMs * kMs)
            planRunning_ = false;
    }
    return true;
}

void ControllerLink::Notify() {
    Snapshot snap = MakeSnapshot();
    std::vector<Listener*> copy;
    {
        std::lock_guard lock(listenerLock_);
        copy = listeners_;
        ++notifying_;
    }
    for (Listener* l : copy) l->OnSnapshot(snap);
    {
        std::lock_guard lock(listenerLock_);
        --notifying_;
    }
    listenerCv_.notify_all();
}

void ControllerLink::AddListener(Listener* listener) {
    {
        std::lock_guard lock(listenerLock_);
        listeners_.push_back(listener);
    }
    Kick();
}

void ControllerLink::RemoveListener(Listener* listener, bool wait) {
    std::unique_lock lock(listenerLock_);
    std::erase(listeners_, listener);
    if (wait) listenerCv_.wait(lock, [&] { return notifying_ == 0; });
}

}  // namespace kt300ds
