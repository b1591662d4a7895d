#pragma once
// Running a path: the motion calls one after another, each followed by the
// wait until the moved axes stand still. The wait is the plan panel's
// completion wait (app/plan/CompletionWaiter.h), handed in as a function, so
// this stays Qt-free and the completion rule lives in one place.
#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "DxfJob.h"
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

// What a job needs beyond the motion calls. Each call's result is its own;
// LastErrorCode is the control's GetErrorCode read right after the last call
// that failed (0 when none is known).
class JobControl : public MotionControl {
  public:
    virtual bool SetSpeed(std::int16_t axis, float speed) = 0;
    virtual bool GetSpeed(std::int16_t axis, float* speed) = 0;
    virtual bool SetPortOutput(std::int16_t value) = 0;
    virtual bool StopSlow(std::int16_t axis) = 0;
    virtual std::int32_t LastErrorCode() = 0;
};

struct JobEnd {
    enum class How { kCompleted, kStopped, kFailed };
    How how = How::kCompleted;
    std::size_t move = 0;     // the move reached (1..moves), or where the failure came
    std::size_t moves = 0;    // motion calls in the job
    std::string call;         // the call that failed
    bool beforeMove = false;  // the failed call prepared the move (speed, tool)
    bool notMoved = false;    // the call returned, but X and Y did not move
    std::int32_t code = 0;    // GetErrorCode after it
};

struct JobHooks {
    std::function<void()> wait;  // after each motion call: until X and Y stand still
    // X and Y as the last wait read them; false when there is no reading. A
    // move of some length after which they read exactly as before was not
    // carried out (a refused motion is acknowledged like any other when the
    // control does not wait for the controller).
    std::function<bool(double* x, double* y)> position;
    // Before the motion step `step` (its move number `move`) is called.
    std::function<void(std::size_t step, std::size_t move)> onMove;
    std::function<void(bool held)> onHold;  // a pause begins (true) or ends (false)
    // At a stopped end: sends the decelerating stop of X and Y unless it has
    // been sent already. Empty: StopSlow for X and Y through `control`.
    std::function<void()> stopAxes;
};

// Runs the job's steps in order on the calling (run) thread.
//  - A set `pause` is taken between moves: the move in progress ends, the
//    tool goes off while held and on again (with its on-delay) at resume.
//  - A set `stop` ends the run before the next step (a wait in progress is
//    ended by whoever stops the axes): the stop of X and Y (hooks.stopAxes),
//    the tool off.
//  - The first call that fails ends the run (the tool off, the axes left
//    where they stopped).
// At every end the tool is switched off when the job uses it and the axes'
// own speeds are sent back when the job changed them.
JobEnd RunJob(JobControl& control, const std::vector<JobStep>& steps, const JobOptions& options,
              const std::atomic<int>& stop, const std::atomic<int>& pause, const JobHooks& hooks);

// "GetErrorCode 20043: the controller answered E03 (...)": the code and what
// it means.
std::string ControlErrorText(std::int32_t code);
// The operator's message for a run that ended: empty when it completed.
std::string DescribeEnd(const JobEnd& end);

}  // namespace stagedesk::dxf
