#pragma once
// The program's control wrapper (calls by dispatch id) as a PlanControl, for
// the plan panel and for any panel that waits with a CompletionWaiter.
#include <atomic>

#include "KORVAKT3002.h"
#include "PlanControl.h"

namespace stagedesk::plan {

// Each call keeps the wrapper's call lock for itself and its error code, so
// the code reported belongs to that call, not to another thread's.
class ControlAdapter : public PlanControl {
  public:
    explicit ControlAdapter(CKORVAKT3002& control) : m_control(control) {}

    int GetErrorCode() override { return m_nLastCode.load(); }

    bool Stop(std::int16_t axis) override { return m_control.Stop(axis); }
    double GetPosition(std::int16_t axis) override { return m_control.GetPosition(axis); }
    bool GoInterpolationArc(std::int16_t anxi1, std::int16_t anxi2, float targetX, float targetY,
                            float centreX, float centreY, std::int16_t dir) override {
        return Checked([&] {
            return m_control.GoInterpolationArc(anxi1, anxi2, targetX, targetY, centreX, centreY,
                                                dir);
        });
    }
    bool GoInterpolationline2(std::int16_t anxi1, std::int16_t anxi2, float x, float y) override {
        return Checked([&] { return m_control.GoInterpolationline2(anxi1, anxi2, x, y); });
    }
    bool GoInterpolationline3(std::int16_t anxi1, std::int16_t anxi2, std::int16_t anxi3, float x,
                              float y, float z) override {
        return Checked(
            [&] { return m_control.GoInterpolationline3(anxi1, anxi2, anxi3, x, y, z); });
    }
    bool GoHome(std::int16_t anxi) override {
        return Checked([&] { return m_control.GoHome(anxi); });
    }
    bool GoOrigion(std::int16_t anxi) override {
        return Checked([&] { return m_control.GoOrigion(anxi); });
    }
    bool GoPosition(std::int16_t anxi, std::int16_t workstate, std::int16_t state, std::int16_t dir,
                    float x) override {
        return Checked([&] { return m_control.GoPosition(anxi, workstate, state, dir, x); });
    }
    bool Setsechhome(std::int16_t anxi, std::int16_t homemode) override {
        return Checked([&] { return m_control.Setsechhome(anxi, homemode); });
    }
    bool SetUnit(std::int16_t anxi, std::int16_t unit) override {
        return Checked([&] { return m_control.SetUnit(anxi, unit); });
    }
    bool SetSpeed(std::int16_t axis, float speed) override {
        return Checked([&] { return m_control.SetSpeed(axis, speed); });
    }
    bool SetHomeSpeed(std::int16_t axis, float speed) override {
        return Checked([&] { return m_control.SetHomeSpeed(axis, speed); });
    }

  private:
    template <class F>
    bool Checked(F call) {
        auto hold = m_control.HoldCalls();
        const bool ok = call();
        m_nLastCode = ok ? 0 : m_control.GetErrorCode();
        return ok;
    }

    CKORVAKT3002& m_control;
    std::atomic<int> m_nLastCode{0};
};

}  // namespace stagedesk::plan
