#include "PlanRunner.h"

#include <chrono>

#include "KORVAKT3002Ctl.h"
#include "PlanSteps.h"

namespace korva::ui {

bool ControlPlanMotion::GoInterpolationArc(std::int16_t anxi1, std::int16_t anxi2, float targetX,
                                           float targetY, float centreX, float centreY,
                                           std::int16_t dir) {
    return m_control.GoInterpolationArc(anxi1, anxi2, targetX, targetY, centreX, centreY, dir);
}
bool ControlPlanMotion::GoInterpolationline2(std::int16_t anxi1, std::int16_t anxi2, float x,
                                             float y) {
    return m_control.GoInterpolationline2(anxi1, anxi2, x, y);
}
bool ControlPlanMotion::GoInterpolationline3(std::int16_t anxi1, std::int16_t anxi2,
                                             std::int16_t anxi3, float x, float y, float z) {
    return m_control.GoInterpolationline3(anxi1, anxi2, anxi3, x, y, z);
}
bool ControlPlanMotion::GoHome(std::int16_t anxi) {
    return m_control.GoHome(anxi);
}
bool ControlPlanMotion::GoOrigion(std::int16_t anxi) {
    return m_control.GoOrigion(anxi);
}
bool ControlPlanMotion::GoPosition(std::int16_t anxi, std::int16_t workstate, std::int16_t state,
                                   std::int16_t dir, float x) {
    return m_control.GoPosition(anxi, workstate, state, dir, x);
}

bool ControlPlanMotion::StopAxes() {
    return m_control.Stopall();
}
int ControlPlanMotion::ErrorCode() {
    return static_cast<int>(m_control.GetErrorCode());
}

void StopSignal::Request() {
    {
        std::lock_guard<std::mutex> hold(m_lock);
        m_requested = true;
    }
    m_wake.notify_all();
}

void StopSignal::Clear() {
    std::lock_guard<std::mutex> hold(m_lock);
    m_requested = false;
}

bool StopSignal::SleepFor(int ms) {
    std::unique_lock<std::mutex> hold(m_lock);
    if (ms > 0) {
        m_wake.wait_for(hold, std::chrono::milliseconds(ms), [this] { return m_requested.load(); });
    }
    return !m_requested.load();
}

namespace {

using I16 = std::int16_t;

I16 Short(int value) {
    return static_cast<I16>(value);
}

// One row: true to go on with the plan, false when a motion call failed.
bool RunRow(PlanMotion& motion, int kind, const PlanStep& s, StopSignal& stop,
            const PlanRunEvents& events, bool& stopped) {
    switch (kind) {
        case kKindHome:
            return motion.GoHome(Short(s.axis1));
        case kKindOrigin:
            return motion.GoOrigion(Short(s.axis1));
        case kKindArc:
        case kKindLine2:
        case kKindLine3:
        case kKindPosition:
            break;
        default:
            return true;
    }
    for (int i = 0; i < s.runCount; ++i) {
        if (stop.Requested()) {
            stopped = true;
            return true;
        }
        bool ok = false;
        switch (kind) {
            case kKindArc:
                ok = motion.GoInterpolationArc(Short(s.axis1), Short(s.axis2), s.targetX, s.targetY,
                                               s.centreX, s.centreY, Short(s.direction));
                break;
            case kKindLine2:
                ok = motion.GoInterpolationline2(Short(s.axis1), Short(s.axis2), s.distance1,
                                                 s.distance2);
                break;
            case kKindLine3:
                ok = motion.GoInterpolationline3(Short(s.axis1), Short(s.axis2), Short(s.axis3),
                                                 s.distance1, s.distance2, s.distance3);
                break;
            default:
                ok = motion.GoPosition(Short(s.axis1), Short(s.workState), Short(s.state),
                                       Short(s.direction), s.distance1);
                break;
        }
        if (!ok) return false;
        if (events.waiting) events.waiting(s.waitTime);
        // A negative wait from a file waits nothing.
        stop.SleepFor(s.waitTime);
    }
    return true;
}

}  // namespace

int FirstBadPlanRow(const std::vector<std::vector<std::string>>& rows, std::string* why) {
    for (std::size_t r = 0; r < rows.size(); ++r) {
        PlanStep step;
        std::string problem;
        ReadStepCells(rows[r], step, &problem);
        if (!problem.empty()) {
            if (why != nullptr) *why = problem;
            return static_cast<int>(r) + 1;
        }
    }
    return 0;
}

PlanRunResult RunPlan(PlanMotion& motion, const std::vector<std::vector<std::string>>& rows,
                      int totalCount, StopSignal& stop, const PlanRunEvents& events) {
    PlanRunResult result;
    if (const int bad = FirstBadPlanRow(rows, &result.why); bad != 0) {
        result.end = PlanRunEnd::kBadRow;
        result.row = bad;
        if (events.badRow) events.badRow(bad, result.why);
        return result;
    }
    if (events.progress) events.progress(0);
    for (int pass = 0; pass < totalCount; ++pass) {
        for (std::size_t r = 0; r < rows.size(); ++r) {
            const int row = static_cast<int>(r) + 1;
            if (stop.Requested()) {
                result.end = PlanRunEnd::kStopped;
                return result;
            }
            PlanStep step;
            std::string problem;
            const int kind = ReadStepCells(rows[r], step, &problem);
            if (!problem.empty()) continue;  // checked above: cannot happen
            bool stopped = false;
            if (!RunRow(motion, kind, step, stop, events, stopped)) {
                result.end = PlanRunEnd::kMotionFailed;
                result.row = row;
                result.code = motion.ErrorCode();
                return result;
            }
            if (stopped) {
                result.end = PlanRunEnd::kStopped;
                return result;
            }
        }
        const long long position = 10000LL * (pass + 1) / totalCount;
        if (events.progress) events.progress(static_cast<int>(position));
    }
    return result;
}

}  // namespace korva::ui
