#pragma once
// Running a plan of the control's editor from the PC: every step row becomes
// calls of the control's motion methods, repeated run-count times with a wait
// after each, and the whole list is repeated total-count times. The run works
// on a copy of the rows, so the editor's grid is never read from the worker.
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

class CKORVAKT3002Ctrl;

namespace korva::ui {

// The control methods a plan run calls, with the automation argument order.
class PlanMotion {
  public:
    virtual ~PlanMotion() = default;
    virtual bool GoInterpolationArc(std::int16_t anxi1, std::int16_t anxi2, float targetX,
                                    float targetY, float centreX, float centreY,
                                    std::int16_t dir) = 0;
    virtual bool GoInterpolationline2(std::int16_t anxi1, std::int16_t anxi2, float x, float y) = 0;
    virtual bool GoInterpolationline3(std::int16_t anxi1, std::int16_t anxi2, std::int16_t anxi3,
                                      float x, float y, float z) = 0;
    virtual bool GoHome(std::int16_t anxi) = 0;
    virtual bool GoOrigion(std::int16_t anxi) = 0;
    virtual bool GoPosition(std::int16_t anxi, std::int16_t workstate, std::int16_t state,
                            std::int16_t dir, float x) = 0;
    // Stop every axis now (the editor's Stop). Any thread, also while a
    // motion call of the run is in progress.
    virtual bool StopAxes() { return false; }
    // The control's code of the last failed call (0: none known).
    virtual int ErrorCode() { return 0; }
};

// The control itself as a PlanMotion.
class ControlPlanMotion : public PlanMotion {
  public:
    explicit ControlPlanMotion(CKORVAKT3002Ctrl& control) : m_control(control) {}
    bool GoInterpolationArc(std::int16_t anxi1, std::int16_t anxi2, float targetX, float targetY,
                            float centreX, float centreY, std::int16_t dir) override;
    bool GoInterpolationline2(std::int16_t anxi1, std::int16_t anxi2, float x, float y) override;
    bool GoInterpolationline3(std::int16_t anxi1, std::int16_t anxi2, std::int16_t anxi3, float x,
                              float y, float z) override;
    bool GoHome(std::int16_t anxi) override;
    bool GoOrigion(std::int16_t anxi) override;
    bool GoPosition(std::int16_t anxi, std::int16_t workstate, std::int16_t state, std::int16_t dir,
                    float x) override;
    bool StopAxes() override;
    int ErrorCode() override;

  private:
    CKORVAKT3002Ctrl& m_control;
};

// A stop request that also cuts a wait short, so a run with long waits ends
// promptly (and a window can close) once a stop is asked for.
class StopSignal {
  public:
    void Request();
    void Clear();
    bool Requested() const { return m_requested.load(); }
    // Sleeps ms milliseconds (nothing for ms <= 0) or until a stop is
    // requested. False when a stop was requested.
    bool SleepFor(int ms);

  private:
    std::atomic<bool> m_requested{false};
    std::mutex m_lock;
    std::condition_variable m_wake;
};

enum class PlanRunEnd {
    kCompleted,     // every pass ran
    kStopped,       // a stop request was seen
    kMotionFailed,  // a motion method returned FALSE
    kBadRow,        // a row holds a cell that is no value: nothing was run
};

struct PlanRunResult {
    PlanRunEnd end = PlanRunEnd::kCompleted;
    int row = 0;      // 1-based row of the failed motion or of the bad row
    int code = 0;     // the control's error code of the failed motion
    std::string why;  // what is wrong with the bad row
};

// The first row (1-based) with a cell that is no value, and why; 0 if none.
int FirstBadPlanRow(const std::vector<std::vector<std::string>>& rows, std::string* why);

// What the run reports while it goes; every callback runs on the run's thread.
struct PlanRunEvents {
    std::function<void(int position)> progress;                   // 0..10000
    std::function<void(int row, const std::string& why)> badRow;  // the run does not start
    std::function<void(int ms)> waiting;                          // before each wait
};

// Runs the rows (cells 1..16 each) totalCount times. Progress reads 0 at the
// start and 10000 * pass / totalCount after each pass. Before each row and
// each repetition a stop request ends the run; a FALSE from a motion method
// ends it at once. Rows of an unknown kind are skipped silently. A row with a
// cell that is not a value (an axis letter, a Dir/State/Workstate letter)
// ends the run before the first motion (kBadRow): skipping it would start
// every later relative move from an unplanned place.
PlanRunResult RunPlan(PlanMotion& motion, const std::vector<std::vector<std::string>>& rows,
                      int totalCount, StopSignal& stop, const PlanRunEvents& events);

}  // namespace korva::ui
