#pragma once
// The plan panel's run: the whole plan repeated `repetitions` times; each row
// repeated run-count times with the unit and speed set before its motion, a
// wait for the moved axes to stand still, and the row's wait time after it.
// Home, optical home and origin rows run once. Command results are not
// checked: the completion wait ends every step once the axes stand still.
#include <atomic>
#include <functional>
#include <string>
#include <vector>

#include "CompletionWaiter.h"
#include "PlanControl.h"

namespace stagedesk::plan {

struct PanelRunEvents {
    std::function<void(int repetition)> repetition;                   // 1, 2, ... as each begins
    std::function<void(int row, const std::string& why)> rowSkipped;  // a row it cannot run
};

// Runs on the calling thread (the panel's run thread). Rows are cells 1..18.
// The stop flag ends the run before the next row, repetition of a row, or
// repetition of the plan, and cuts waits short; the completion wait sends
// Stop to the used axes while it is set. Returns the number of repetitions
// begun.
int RunPanelPlan(PlanControl& control, const std::vector<std::vector<std::string>>& rows,
                 int repetitions, const std::atomic<int>& stop, CompletionWaiter& waiter,
                 const PanelRunEvents& events);

// Sleeps ms milliseconds in short slices; false as soon as the flag is set.
bool SleepUnlessStopped(int ms, const std::atomic<int>& stop);

}  // namespace stagedesk::plan
