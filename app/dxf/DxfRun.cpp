#include "DxfRun.h"

#include <chrono>
#include <cmath>
#include <thread>

namespace stagedesk::dxf {

bool Invoke(MotionControl& control, const MotionCall& c) {
    switch (c.method) {
        case MotionCall::Method::kGoOrigion:
            return control.GoOrigion(c.axis1);
        case MotionCall::Method::kGoInterpolationline2:
            return control.GoInterpolationline2(c.axis1, c.axis2, c.x, c.y);
        case MotionCall::Method::kGoInterpolationArc:
            return control.GoInterpolationArc(c.axis1, c.axis2, c.x, c.y, c.cx, c.cy, c.direction);
    }
    return false;
}

std::size_t RunMotion(MotionControl& control, const std::vector<MotionCall>& calls,
                      const std::atomic<int>& stop, const std::function<void()>& wait,
                      const std::function<void(std::size_t)>& onCall) {
    std::size_t done = 0;
    for (std::size_t i = 0; i < calls.size() && stop.load() == 0; ++i) {
        if (onCall) onCall(i);
        Invoke(control, calls[i]);
        ++done;
        if (wait) wait();
    }
    return done;
}

namespace {

// Sleeps up to `ms`, in short steps, until `stop` is set; false when stopped.
bool Sleep(int ms, const std::atomic<int>& stop) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (stop.load() == 0) {
        const auto now = std::chrono::steady_clock::now();
        if (now >= end) return true;
        std::this_thread::sleep_for(std::min<std::chrono::steady_clock::duration>(
            end - now, std::chrono::milliseconds(10)));
    }
    return false;
}

// A move long enough that the axes' readings must change whatever the unit
// (a step, a micrometre, a degree, a millimetre): a whole circle comes back
// where it started, and the returns to the origin may find the axes there.
bool MustMove(const MotionCall& c) {
    if (c.method == MotionCall::Method::kGoOrigion) return false;
    return std::hypot(c.x, c.y) > 1.0;
}

std::string PortCall(std::int16_t value) {
    return "SetPortOutput(" + std::to_string(value) + ")";
}

}  // namespace

JobEnd RunJob(JobControl& control, const std::vector<JobStep>& steps, const JobOptions& options,
              const std::atomic<int>& stop, const std::atomic<int>& pause, const JobHooks& hooks) {
    JobEnd end;
    for (const JobStep& s : steps) end.moves += s.kind == JobStep::Kind::kMotion;
    float own[2] = {0, 0};
    bool ownRead = false, speedChanged = false, toolOn = false;
    const auto toolValue = static_cast<std::int16_t>(options.UsesTool() ? 1 << options.toolBit : 0);

    auto fail = [&](const std::string& call, bool beforeMove) {
        end.how = JobEnd::How::kFailed;
        end.call = call;
        end.beforeMove = beforeMove;
        end.code = control.LastErrorCode();
    };
    std::size_t nextMove = 1;
    for (std::size_t i = 0; i < steps.size(); ++i) {
        if (stop.load() != 0) {
            end.how = JobEnd::How::kStopped;
            break;
        }
        const JobStep& s = steps[i];
        bool ok = true;
        switch (s.kind) {
            case JobStep::Kind::kMotion: {
                if (pause.load() != 0) {
                    const bool wasOn = toolOn;
                    if (hooks.onHold) hooks.onHold(true);
                    if (wasOn && !control.SetPortOutput(0)) {
                        fail(PortCall(0), true);
                        break;
                    }
                    toolOn = false;
                    while (pause.load() != 0 && stop.load() == 0)
                        std::this_thread::sleep_for(std::chrono::milliseconds(10));
                    if (hooks.onHold) hooks.onHold(false);
                    if (stop.load() != 0) {
                        end.how = JobEnd::How::kStopped;
                        break;
                    }
                    if (wasOn) {
                        if (!control.SetPortOutput(toolValue)) {
                            fail(PortCall(toolValue), true);
                            break;
                        }
                        toolOn = true;
                        if (!Sleep(options.toolOnDelayMs, stop)) {
                            end.how = JobEnd::How::kStopped;
                            break;
                        }
                    }
                }
                end.move = s.move;
                nextMove = s.move + 1;
                if (hooks.onMove) hooks.onMove(i, s.move);
                double x0 = 0, y0 = 0, x1 = 0, y1 = 0;
                const bool before = hooks.position && hooks.position(&x0, &y0);
                ok = Invoke(control, s.motion);
                if (!ok) {
                    fail(FormatStep(s), false);
                    break;
                }
                if (hooks.wait) hooks.wait();
                if (before && stop.load() == 0 && MustMove(s.motion) && hooks.position(&x1, &y1) &&
                    x1 == x0 && y1 == y0) {
                    fail(FormatStep(s), false);
                    end.notMoved = true;
                    end.code = 0;  // the call itself succeeded
                }
                break;
            }
            case JobStep::Kind::kGetSpeed:
                ok = control.GetSpeed(s.axis, &own[s.axis == 1 ? 1 : 0]);
                ownRead = ownRead || (ok && s.axis == 1);
                break;
            case JobStep::Kind::kSetSpeed:
                ok = control.SetSpeed(s.axis, s.ownSpeed ? own[s.axis == 1 ? 1 : 0] : s.speed);
                if (ok) speedChanged = !s.ownSpeed;
                break;
            case JobStep::Kind::kPortOutput:
                ok = control.SetPortOutput(s.port);
                if (ok) toolOn = s.port != 0;
                break;
            case JobStep::Kind::kWait:
                if (!Sleep(s.ms, stop)) end.how = JobEnd::How::kStopped;
                break;
        }
        if (end.how != JobEnd::How::kCompleted) break;
        if (!ok) {
            end.move = nextMove;
            fail(FormatStep(s), true);
            break;
        }
    }
    // Every end leaves the tool off and the axes' speeds as they were; these
    // calls may fail too (the link may be gone), and nothing more can be done.
    if (end.how == JobEnd::How::kStopped) {
        if (hooks.stopAxes) {
            hooks.stopAxes();
        } else {
            control.StopSlow(0);
            control.StopSlow(1);
        }
    }
    if (options.UsesTool() && (toolOn || end.how != JobEnd::How::kCompleted))
        control.SetPortOutput(0);
    if (speedChanged && ownRead) {
        control.SetSpeed(0, own[0]);
        control.SetSpeed(1, own[1]);
    }
    return end;
}

std::string ControlErrorText(std::int32_t code) {
    static const char* const kController[] = {
        "unknown command or unusable line",
        "bad axis letter, or one axis named twice",
        "a missing or malformed argument, a value out of range or a degenerate arc",
        "the target or a point of the arc is outside the enabled user limits",
        "an axis of the motion is moving",
        "plan storage refused it",
        "plan not found",
        "refused while a plan runs or is recorded",
    };
    std::string text = "GetErrorCode " + std::to_string(code) + ": ";
    if (code >= 20040 && code <= 20047)
        return text + "the controller answered E0" + std::to_string(code - 20040) + " (" +
               kController[code - 20040] + ")";
    switch (code) {
        case 0:
            return text + "no error code was left";
        case 20004:
            return text + "the device is not open";
        case 20005:
            return text + "another exchange with the controller was in progress";
        case 20008:
            return text + "the command could not be sent";
        case 20010:
            return text + "the reply had no readable value";
        case 10121:
            return text + "the controller did not acknowledge in time";
        default:
            return text + "the link or the protocol failed";
    }
}

std::string DescribeEnd(const JobEnd& end) {
    const std::string where =
        "move " + std::to_string(end.move) + " of " + std::to_string(end.moves);
    switch (end.how) {
        case JobEnd::How::kCompleted:
            return {};
        case JobEnd::How::kStopped:
            return "Stopped at " + where + ".";
        case JobEnd::How::kFailed:
            if (end.notMoved)
                return "At " + where + ", " + end.call +
                       " was acknowledged but X and Y did not move: the controller refused "
                       "the move (a user limit, an axis still moving) or never received it. "
                       "The run has ended; the axes stay where they stopped.";
            return std::string(end.beforeMove ? "Before " : "At ") + where + ", " + end.call +
                   " failed: " + ControlErrorText(end.code) +
                   ". The run has ended; the axes stay where they stopped.";
    }
    return {};
}

}  // namespace stagedesk::dxf
