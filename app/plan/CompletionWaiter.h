#pragma once
// Waiting until the axes a run has used stand still, for the plan and DXF
// panels' run threads:
//
//   CompletionWaiter waiter(control, stopFlag, [](const AxisPositions& p) {
//       // on the completion thread: hand p to the GUI with a queued call
//   });
//   waiter.ClearUsed();              // a new repetition of the plan
//   waiter.MarkUsed(0);              // every axis a step names
//   control.GoInterpolationline2(...);
//   waiter.Wait();                   // returns once every used axis stands still
//
// Wait starts one completion thread per call and joins it before it returns.
// That thread sleeps one poll interval, then per pass: sends Stop to every
// used axis while the stop flag is set, reads every used axis's position,
// sleeps one interval, and (from the second pass on) compares each reading
// with the last differing one; an axis whose equal readings number more than
// settlePasses is finished (the count is not reset when it moves again).
// After each pass the callback gets the positions. Unused axes count as
// finished, so a wait with no used axis ends after its first pass.
//
// Abort (shutdown) ends a wait after at most one more pass, which still sends
// Stop to the used axes when the stop flag is set; every later Wait returns
// at once until ResetAbort.
#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>

#include "PlanControl.h"

namespace stagedesk::plan {

inline constexpr int kPlanAxes = 4;

struct AxisPositions {
    std::array<float, kPlanAxes> position{};  // last reading of each used axis
    std::array<bool, kPlanAxes> used{};
};

struct CompletionTiming {
    std::chrono::milliseconds poll{100};
    int settlePasses = 5;
};

class CompletionWaiter {
  public:
    using PassFn = std::function<void(const AxisPositions& positions)>;

    // The poller and the stop flag must outlive the waiter.
    CompletionWaiter(AxisPoller& control, const std::atomic<int>& stopFlag, PassFn onPass = {},
                     CompletionTiming timing = {});
    ~CompletionWaiter();  // aborts a wait in progress (from another thread) and waits for it
    CompletionWaiter(const CompletionWaiter&) = delete;
    CompletionWaiter& operator=(const CompletionWaiter&) = delete;

    // Axis 0..3; other values are ignored.
    void MarkUsed(int axis);
    void ClearUsed();
    bool Used(int axis) const;
    AxisPositions Positions() const;

    // Blocks the calling (run) thread until the used axes stand still. Call
    // from one thread at a time.
    void Wait();
    bool Busy() const { return m_bBusy.load(); }

    void Abort();
    // Abort for a run whose axes have already been sent the stop (Stop all):
    // the pass in progress sends no Stop of its own. On a controller that
    // does not answer, each of those would wait out the stop's time limit
    // and hold the run, and with it every other motion, for minutes.
    void AbortStopped();
    void ResetAbort();

  private:
    void Complete();
    // Sleeps one poll interval; false when aborted meanwhile.
    bool Pause();

    AxisPoller& m_control;
    const std::atomic<int>& m_stop;
    PassFn m_onPass;
    CompletionTiming m_timing;
    std::array<std::atomic<bool>, kPlanAxes> m_used{};
    std::array<std::atomic<float>, kPlanAxes> m_position{};
    std::atomic<bool> m_bBusy{false};
    std::atomic<bool> m_bAbort{false};
    std::atomic<bool> m_bStopsSent{false};
    std::atomic<int> m_nWaiting{0};
    mutable std::mutex m_lock;
    std::condition_variable m_wake;
};

}  // namespace stagedesk::plan
