#include "DxfRun.h"

namespace stagedesk::dxf {

bool Invoke(MotionControl& control, const MotionCall& c) {
    switch (c.method) {
        case MotionCall::Method::kGoOrigion:
            return control.GoOrigion(c.axis1);
        case MotionCall::Method::kGoInterpolationline2:
            return control.GoInterpolationline2(c.axis1, c.axis2, c.x, c.y);
        case MotionCall::Method::kGoInterpolationArc:
            return control.GoInterpolationArc(c.axis1, c.axis2, c.x, c.y, c.cx, c.cy, c.direction);
    }
    return false;
}

std::size_t RunMotion(MotionControl& control, const std::vector<MotionCall>& calls,
                      const std::atomic<int>& stop, const std::function<void()>& wait,
                      const std::function<void(std::size_t)>& onCall) {
    std::size_t done = 0;
    for (std::size_t i = 0; i < calls.size() && stop.load() == 0; ++i) {
        if (onCall) onCall(i);
        Invoke(control, calls[i]);
        ++done;
        if (wait) wait();
    }
    return done;
}

}  // namespace stagedesk::dxf
