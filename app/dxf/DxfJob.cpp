#include "DxfJob.h"

#include <cmath>
#include <limits>

#include "NumText.h"

namespace stagedesk::dxf {
namespace {

std::string Number(double v) {
    std::string s = korva::FormatFixed(v, 6);
    if (s == "-0.000000") s = "0.000000";
    return s;
}

constexpr double kPi = 3.14159265358979323846;

}  // namespace

std::string CheckOptions(const JobOptions& o) {
    const Placement& p = o.placement;
    if (!(std::isfinite(p.scale) && p.scale > 0)) return "the scale must be a positive number";
    if (!std::isfinite(p.offsetX) || !std::isfinite(p.offsetY)) return "the offset must be finite";
    for (const auto& speed : {o.drawSpeed, o.travelSpeed}) {
        if (speed && !(std::isfinite(*speed) && *speed > 0 &&
                       *speed <= static_cast<double>(std::numeric_limits<float>::max())))
            return "a speed must be a positive number";
    }
    if (o.toolBit < -1 || o.toolBit > 7) return "the tool bit must be 0 to 7";
    if (o.toolOnDelayMs < 0 || o.toolOffDelayMs < 0 || o.toolOnDelayMs > 600000 ||
        o.toolOffDelayMs > 600000)
        return "the tool delays must be 0 to 600000 ms";
    if (p.ccwValue != 0 && p.ccwValue != 1) return "the counter-clockwise value must be 0 or 1";
    return {};
}

bool BuildJob(const std::vector<PathElement>& path, const JobOptions& o,
              std::vector<JobStep>* steps, std::string* error) {
    steps->clear();
    if (std::string why = CheckOptions(o); !why.empty()) {
        *error = why;
        return false;
    }
    std::vector<MotionCall> calls;
    if (!PlacedCalls(path, o.placement, &calls, error)) return false;

    auto add = [&](JobStep s) { steps->push_back(std::move(s)); };
    auto setSpeed = [&](const std::optional<double>& speed) {
        for (std::int16_t axis : {0, 1}) {
            JobStep s;
            s.kind = JobStep::Kind::kSetSpeed;
            s.axis = axis;
            s.ownSpeed = !speed.has_value();
            s.speed = speed ? static_cast<float>(*speed) : 0.0f;
            add(s);
        }
    };
    auto port = [&](std::int16_t value, int delay) {
        JobStep s;
        s.kind = JobStep::Kind::kPortOutput;
        s.port = value;
        add(s);
        if (delay > 0) {
            JobStep w;
            w.kind = JobStep::Kind::kWait;
            w.ms = delay;
            add(w);
        }
    };

    steps->reserve(calls.size() + 8);
    if (o.UsesSpeeds()) {
        for (std::int16_t axis : {0, 1}) {
            JobStep s;
            s.kind = JobStep::Kind::kGetSpeed;
            s.axis = axis;
            add(s);
        }
    }
    std::optional<double> inForce;  // none: the axes' own speed
    bool toolOn = false;
    const auto toolValue = static_cast<std::int16_t>(o.UsesTool() ? 1 << o.toolBit : 0);
    std::size_t move = 0;
    for (const MotionCall& c : calls) {
        JobStep m;
        m.kind = JobStep::Kind::kMotion;
        m.motion = c;
        m.move = ++move;
        if (c.method != MotionCall::Method::kGoOrigion) {
            if (m.Drawing()) {
                if (o.UsesSpeeds() && o.drawSpeed != inForce) {
                    setSpeed(o.drawSpeed);
                    inForce = o.drawSpeed;
                }
                if (o.UsesTool() && !toolOn) {
                    port(toolValue, o.toolOnDelayMs);
                    toolOn = true;
                }
            } else {
                if (toolOn) {
                    port(0, o.toolOffDelayMs);
                    toolOn = false;
                }
                if (o.UsesSpeeds() && o.travelSpeed != inForce) {
                    setSpeed(o.travelSpeed);
                    inForce = o.travelSpeed;
                }
            }
        }
        add(m);
    }
    if (toolOn) port(0, 0);
    if (inForce) setSpeed(std::nullopt);
    return true;
}

std::string FormatStep(const JobStep& s) {
    const std::string axis = std::to_string(s.axis);
    switch (s.kind) {
        case JobStep::Kind::kMotion:
            return FormatCall(s.motion);
        case JobStep::Kind::kGetSpeed:
            return "GetSpeed(" + axis + ")";
        case JobStep::Kind::kSetSpeed:
            return "SetSpeed(" + axis + ", " +
                   (s.ownSpeed ? "GetSpeed(" + axis + ")" : Number(static_cast<double>(s.speed))) +
                   ")";
        case JobStep::Kind::kPortOutput:
            return "SetPortOutput(" + std::to_string(s.port) + ")";
        case JobStep::Kind::kWait:
            return "wait " + std::to_string(s.ms);
    }
    return {};
}

double MoveLength(const MotionCall& c) {
    const double x = c.x, y = c.y, cx = c.cx, cy = c.cy;
    switch (c.method) {
        case MotionCall::Method::kGoOrigion:
            return 0;
        case MotionCall::Method::kGoInterpolationline2:
            return std::hypot(x, y);
        case MotionCall::Method::kGoInterpolationArc: {
            const double r = std::hypot(cx, cy);
            if (x == 0 && y == 0) return 2 * kPi * r;  // a whole circle
            // From the start (-cx, -cy) to the target (x - cx, y - cy) about
            // the centre, counter-clockwise for the value 1 (the default
            // convention; only an estimate needs this).
            const double a0 = std::atan2(-cy, -cx), a1 = std::atan2(y - cy, x - cx);
            double sweep = c.direction == kCounterClockwise ? a1 - a0 : a0 - a1;
            while (sweep <= 0) sweep += 2 * kPi;
            return r * sweep;
        }
    }
    return 0;
}

JobSummary Summarize(const std::vector<JobStep>& steps) {
    JobSummary s;
    for (const JobStep& step : steps) {
        if (step.kind != JobStep::Kind::kMotion) continue;
        ++s.moves;
        const double length = MoveLength(step.motion);
        (step.Drawing() ? s.drawLength : s.travelLength) += length;
    }
    return s;
}

namespace {

// A move of the given length from standstill to standstill.
double MoveSeconds(double length, double v, double a, double d) {
    if (length <= 0) return 0;
    if (!(a > 0) || !(d > 0)) return length / v;
    const double ramps = v * v / (2 * a) + v * v / (2 * d);
    if (length >= ramps) return length / v + v / (2 * a) + v / (2 * d);
    const double peak = std::sqrt(2 * length * a * d / (a + d));
    return peak / a + peak / d;
}

}  // namespace

std::vector<double> EstimateRemaining(const std::vector<JobStep>& steps, const AxisDynamics& own,
                                      double perMove) {
    std::vector<double> seconds(steps.size() + 1, 0.0);
    std::vector<double> take(steps.size(), 0.0);
    double speed = own.speed;
    for (std::size_t i = 0; i < steps.size(); ++i) {
        const JobStep& s = steps[i];
        switch (s.kind) {
            case JobStep::Kind::kSetSpeed:
                speed = s.ownSpeed ? own.speed : static_cast<double>(s.speed);
                break;
            case JobStep::Kind::kWait:
                take[i] = s.ms / 1000.0;
                break;
            case JobStep::Kind::kMotion:
                take[i] = perMove;  // the returns to the origin: distance unknown here
                if (s.motion.method == MotionCall::Method::kGoOrigion) break;
                if (!(speed > 0)) return {};
                take[i] +=
                    MoveSeconds(MoveLength(s.motion), speed, own.acceleration, own.deceleration);
                break;
            default:
                break;
        }
    }
    for (std::size_t i = steps.size(); i-- > 0;) seconds[i] = seconds[i + 1] + take[i];
    return seconds;
}

}  // namespace stagedesk::dxf
