#include "PanelRun.h"

#include <algorithm>
#include <chrono>
#include <thread>

#include "PanelSteps.h"

namespace stagedesk::plan {
namespace {

using I16 = std::int16_t;

I16 Short(int value) {
    return static_cast<I16>(value);
}

// The name of the first call that failed, empty while all succeed.
struct Refusal {
    std::string call;
    bool Failed() const { return !call.empty(); }
    // Records the call's name when it failed; true when it succeeded.
    bool Check(bool ok, const char* name) {
        if (!ok && call.empty()) call = name;
        return ok;
    }
};

// One repetition of a repeated step: unit and speed, the motion, the wait
// for the axes, the step's own wait. Stops at the first refused call.
void MoveOnce(PlanControl& c, const PanelStep& s, const std::atomic<int>& stop,
              CompletionWaiter& waiter, Refusal& refusal) {
    const int axes = s.kind == kKindLine3 ? 3 : (s.kind == kKindPosition ? 1 : 2);
    for (int i = 0; i < axes; ++i) {
        if (!refusal.Check(c.SetUnit(Short(s.axis[static_cast<std::size_t>(i)]), Short(s.unit)),
                           "SetUnit"))
            return;
    }
    if (!refusal.Check(c.SetSpeed(Short(s.axis[0]), s.speed), "SetSpeed")) return;
    bool moved = false;
    switch (s.kind) {
        case kKindArc:
            moved = refusal.Check(
                c.GoInterpolationArc(Short(s.axis[0]), Short(s.axis[1]), s.targetX, s.targetY,
                                     s.centreX, s.centreY, Short(s.direction)),
                "GoInterpolationArc");
            break;
        case kKindLine3:
            moved = refusal.Check(
                c.GoInterpolationline3(Short(s.axis[0]), Short(s.axis[1]), Short(s.axis[2]),
                                       s.distance[0], s.distance[1], s.distance[2]),
                "GoInterpolationline3");
            break;
        case kKindLine2:
            moved = refusal.Check(c.GoInterpolationline2(Short(s.axis[0]), Short(s.axis[1]),
                                                         s.distance[0], s.distance[1]),
                                  "GoInterpolationline2");
            break;
        default:
            moved = refusal.Check(c.GoPosition(Short(s.axis[0]), Short(s.workState), Short(s.state),
                                               Short(s.direction), s.distance[0]),
                                  "GoPosition");
            break;
    }
    if (!moved) return;
    waiter.Wait();
    SleepUnlessStopped(s.waitTime, stop);
}

void RunStep(PlanControl& c, const PanelStep& s, const std::atomic<int>& stop,
             CompletionWaiter& waiter, Refusal& refusal) {
    const I16 axis = Short(s.axis[0]);
    switch (s.kind) {
        case kKindHome:
            if (refusal.Check(c.SetHomeSpeed(axis, s.speed), "SetHomeSpeed") &&
                refusal.Check(c.Setsechhome(axis, 1), "Setsechhome") &&
                refusal.Check(c.GoHome(axis), "GoHome"))
                waiter.Wait();
            return;
        case kKindOpticsHome:
            if (refusal.Check(c.Setsechhome(axis, 2), "Setsechhome") &&
                refusal.Check(c.GoHome(axis), "GoHome"))
                waiter.Wait();
            return;
        case kKindOrigin:
            if (refusal.Check(c.GoOrigion(axis), "GoOrigion")) waiter.Wait();
            return;
        default:
            break;
    }
    for (int i = 0; i < s.runCount && stop.load() == 0 && !refusal.Failed(); ++i)
        MoveOnce(c, s, stop, waiter, refusal);
}

int AxesOf(int kind) {
    switch (kind) {
        case kKindLine3:
            return 3;
        case kKindArc:
        case kKindLine2:
            return 2;
        default:
            return 1;
    }
}

}  // namespace

bool SleepUnlessStopped(int ms, const std::atomic<int>& stop) {
    using namespace std::chrono;
    const auto end = steady_clock::now() + milliseconds(std::max(ms, 0));
    while (stop.load() == 0) {
        const auto now = steady_clock::now();
        if (now >= end) return true;
        std::this_thread::sleep_for(std::min<steady_clock::duration>(end - now, milliseconds(10)));
    }
    return false;
}

int FirstBadRow(const std::vector<std::vector<std::string>>& rows, std::string* problem) {
    for (std::size_t i = 0; i < rows.size(); ++i) {
        PanelStep step;
        if (!ReadPanelStep(rows[i], step, problem)) return static_cast<int>(i) + 1;
    }
    return 0;
}

int RunPanelPlan(PlanControl& control, const std::vector<std::vector<std::string>>& rows,
                 int repetitions, const std::atomic<int>& stop, CompletionWaiter& waiter,
                 const PanelRunEvents& events) {
    // A plan that skipped a row would start every later relative move from
    // a place nobody planned: a bad row starts nothing.
    std::string problem;
    if (const int bad = FirstBadRow(rows, &problem); bad != 0) {
        if (events.badRow) events.badRow(bad, problem);
        return 0;
    }
    std::vector<PanelStep> steps(rows.size());
    for (std::size_t i = 0; i < rows.size(); ++i) ReadPanelStep(rows[i], steps[i], nullptr);
    int begun = 0;
    for (int r = 1; r <= repetitions && stop.load() == 0; ++r) {
        begun = r;
        if (events.repetition) events.repetition(r);
        waiter.ClearUsed();
        for (std::size_t i = 0; i < steps.size() && stop.load() == 0; ++i) {
            const PanelStep& step = steps[i];
            // The axes stay marked until the next repetition of the plan.
            for (int a = 0; a < AxesOf(step.kind); ++a) {
                waiter.MarkUsed(step.axis[static_cast<std::size_t>(a)]);
            }
            Refusal refusal;
            RunStep(control, step, stop, waiter, refusal);
            if (refusal.Failed()) {
                // The axes stay where they stopped; the run goes no further.
                if (events.refused)
                    events.refused(static_cast<int>(i) + 1, refusal.call, control.GetErrorCode());
                return begun;
            }
        }
    }
    return begun;
}

}  // namespace stagedesk::plan
