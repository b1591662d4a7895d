#pragma once
// Running a path: the motion calls one after another, each followed by the
// wait until the moved axes stand still. The wait is the plan panel's
// completion wait (app/plan/CompletionWaiter.h), handed in as a function, so
// this stays Qt-free and the completion rule lives in one place.
#include <atomic>
#include <cstdint>
#include <functional>
#include <vector>

#include "DxfPath.h"

namespace stagedesk::dxf {

// The control methods a run calls.
class MotionControl {
  public:
    virtual ~MotionControl() = default;
    virtual bool GoOrigion(std::int16_t axis) = 0;
    virtual bool GoInterpolationline2(std::int16_t axis1, std::int16_t axis2, float x, float y) = 0;
    virtual bool GoInterpolationArc(std::int16_t axis1, std::int16_t axis2, float targetX,
                                    float targetY, float centreX, float centreY,
                                    std::int16_t direction) = 0;
};

// Makes one call on the control.
bool Invoke(MotionControl& control, const MotionCall& call);

// Runs the calls in order, each followed by wait(). A set stop flag ends the
// run before the next call: the wait in progress has stopped the axes by
// then, and nothing more may move. Results of the calls are not checked (a
// refused command moves nothing and its wait ends). Returns the number of
// calls made; onCall(i) runs before call i.
std::size_t RunMotion(MotionControl& control, const std::vector<MotionCall>& calls,
                      const std::atomic<int>& stop, const std::function<void()>& wait,
                      const std::function<void(std::size_t)>& onCall = {});

}  // namespace stagedesk::dxf
