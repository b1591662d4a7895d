#pragma once
// Running a path: the motion calls one after another, each followed by a wait
// until the moved axes stand still, and the stop request honoured by that wait.
// Qt-free: the control is reached through MotionControl.
#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <vector>

#include "DxfPath.h"

namespace stagedesk::dxf {

// The control methods a run uses.
class MotionControl {
  public:
    virtual ~MotionControl() = default;
    virtual bool GoOrigion(std::int16_t axis) = 0;
    virtual bool GoInterpolationline2(std::int16_t axis1, std::int16_t axis2, float x, float y) = 0;
    virtual bool GoInterpolationArc(std::int16_t axis1, std::int16_t axis2, float targetX,
                                    float targetY, float centreX, float centreY,
                                    std::int16_t direction) = 0;
    virtual bool Stop(std::int16_t axis) = 0;
    virtual double GetPosition(std::int16_t axis) = 0;
};

// Shared by the thread that runs, the one that waits and the user interface.
struct RunState {
    std::atomic<bool> stop{false};
    std::atomic<bool> busy{false};  // a completion wait is in progress
    std::array<std::atomic<bool>, 4> used{};
    std::array<std::atomic<float>, 4> position{};
};

struct CompletionTiming {
    std::chrono::milliseconds pass{100};  // the sleep before and within each pass
    int stillPasses = 5;                  // an axis is done after more passes without change
};

// Waits until every used axis has stood still: after a first sleep, each pass
// sends Stop to every used axis while the stop flag is set, reads the
// position of every used axis, sleeps, and from the second pass on counts for
// each axis the readings equal to its last differing one; an axis is done
// when its count exceeds stillPasses (the count is not reset when it moves
// again). onPass runs after each pass (position display). Sets busy while it
// waits.
void WaitForCompletion(MotionControl& control, RunState& state, const std::function<void()>& onPass,
                       const CompletionTiming& timing = {});

// Runs the calls in order, each followed by WaitForCompletion, after marking
// X and Y as used and clearing the stop flag. A stop ends the run after the
// wait of the call in progress (the axes have been stopped by then). Returns
// the number of calls made; onCall(i) runs before call i.
std::size_t RunMotion(MotionControl& control, const std::vector<MotionCall>& calls, RunState& state,
                      const std::function<void()>& onPass,
                      const std::function<void(std::size_t)>& onCall = {},
                      const CompletionTiming& timing = {});

// Makes one call on the control.
bool Invoke(MotionControl& control, const MotionCall& call);

}  // namespace stagedesk::dxf
