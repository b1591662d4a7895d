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

// One repetition of a repeated step: unit and speed, the motion, the wait
// for the axes, the step's own wait.
void MoveOnce(PlanControl& c, const PanelStep& s, const std::atomic<int>& stop,
              CompletionWaiter& waiter) {
    const int axes = s.kind == kKindLine3 ? 3 : (s.kind == kKindPosition ? 1 : 2);
    for (int i = 0; i < axes; ++i)
        c.SetUnit(Short(s.axis[static_cast<std::size_t>(i)]), Short(s.unit));
    c.SetSpeed(Short(s.axis[0]), s.speed);
    switch (s.kind) {
        case kKindArc:
            c.GoInterpolationArc(Short(s.axis[0]), Short(s.axis[1]), s.targetX, s.targetY,
                                 s.centreX, s.centreY, Short(s.direction));
            break;
        case kKindLine3:
            c.GoInterpolationline3(Short(s.axis[0]), Short(s.axis[1]), Short(s.axis[2]),
                                   s.distance[0], s.distance[1], s.distance[2]);
            break;
        case kKindLine2:
            c.GoInterpolationline2(Short(s.axis[0]), Short(s.axis[1]), s.distance[0],
                                   s.distance[1]);
            break;
        default:
            c.GoPosition(Short(s.axis[0]), Short(s.workState), Short(s.state), Short(s.direction),
                         s.distance[0]);
            break;
    }
    waiter.Wait();
    SleepUnlessStopped(s.waitTime, stop);
}

void RunStep(PlanControl& c, const PanelStep& s, const std::atomic<int>& stop,
             CompletionWaiter& waiter) {
    const I16 axis = Short(s.axis[0]);
    switch (s.kind) {
        case kKindHome:
            c.SetHomeSpeed(axis, s.speed);
            c.Setsechhome(axis, 1);
            c.GoHome(axis);
            waiter.Wait();
            return;
        case kKindOpticsHome:
            c.Setsechhome(axis, 2);
            c.GoHome(axis);
            waiter.Wait();
            return;
        case kKindOrigin:
            c.GoOrigion(axis);
            waiter.Wait();
            return;
        default:
            break;
    }
    for (int i = 0; i < s.runCount && stop.load() == 0; ++i) MoveOnce(c, s, stop, waiter);
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

int RunPanelPlan(PlanControl& control, const std::vector<std::vector<std::string>>& rows,
                 int repetitions, const std::atomic<int>& stop, CompletionWaiter& waiter,
                 const PanelRunEvents& events) {
    int begun = 0;
    for (int r = 1; r <= repetitions && stop.load() == 0; ++r) {
        begun = r;
        if (events.repetition) events.repetition(r);
        waiter.ClearUsed();
        for (std::size_t i = 0; i < rows.size() && stop.load() == 0; ++i) {
            PanelStep step;
            std::string problem;
            if (!ReadPanelStep(rows[i], step, &problem)) {
                if (events.rowSkipped) events.rowSkipped(static_cast<int>(i) + 1, problem);
                continue;
            }
            // The axes stay marked until the next repetition of the plan.
            for (int a = 0; a < AxesOf(step.kind); ++a) {
                waiter.MarkUsed(step.axis[static_cast<std::size_t>(a)]);
            }
            RunStep(control, step, stop, waiter);
        }
    }
    return begun;
}

}  // namespace stagedesk::plan
