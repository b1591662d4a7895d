#pragma once
// The plan panel's run: the whole plan repeated `repetitions` times; each row
// repeated run-count times with the unit and speed set before its motion, a
// wait for the moved axes to stand still, and the row's wait time after it.
// Home, optical home and origin rows run once. Every row is checked before
// the first command; the run ends at the first call the control refuses,
// leaving the axes where they stopped.
#include <atomic>
#include <functional>
#include <string>
#include <vector>

#include "CompletionWaiter.h"
#include "PlanControl.h"

namespace stagedesk::plan {

struct PanelRunEvents {
    std::function<void(int repetition)> repetition;  // 1, 2, ... as each begins
    // A row that cannot run: the plan does not start.
    std::function<void(int row, const std::string& why)> badRow;
    // The call the control refused (its name and error code): the run ends.
    std::function<void(int row, const std::string& call, int code)> refused;
};

// The first row (1-based) that cannot run, with the reason; 0 when all can.
int FirstBadRow(const std::vector<std::vector<std::string>>& rows, std::string* problem);

// Runs on the calling thread (the panel's run thread). Rows are cells 1..18.
// A bad row starts nothing (badRow); a refused call ends the run (refused).
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
