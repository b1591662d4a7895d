#pragma once
// What stagedesk's plan runs need of the control, as small interfaces so the
// run logic and the completion wait can be driven by a recording fake in
// tests. ControlAdapter.h adapts the program's control wrapper.
#include <cstdint>

namespace stagedesk::plan {

// Enough for waiting until axes stand still: read a position, stop an axis.
class AxisPoller {
  public:
    virtual ~AxisPoller() = default;
    virtual bool Stop(std::int16_t axis) = 0;
    virtual double GetPosition(std::int16_t axis) = 0;
};

// The control methods a plan run calls, with the automation argument order.
class PlanControl : public AxisPoller {
  public:
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
    virtual bool Setsechhome(std::int16_t anxi, std::int16_t homemode) = 0;
    virtual bool SetUnit(std::int16_t anxi, std::int16_t unit) = 0;
    virtual bool SetSpeed(std::int16_t axis, float speed) = 0;
    virtual bool SetHomeSpeed(std::int16_t axis, float speed) = 0;
    // The control's code for the last call of this object that failed (0:
    // none known).
    virtual int GetErrorCode() { return 0; }
};

}  // namespace stagedesk::plan
