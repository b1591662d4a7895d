#include "DxfRun.h"

#include <thread>

namespace stagedesk::dxf {

void WaitForCompletion(MotionControl& control, RunState& state, const std::function<void()>& onPass,
                       const CompletionTiming& timing) {
    struct BusyScope {
        std::atomic<bool>& busy;
        explicit BusyScope(std::atomic<bool>& b) : busy(b) { busy = true; }
        ~BusyScope() { busy = false; }
    } scope(state.busy);

    std::this_thread::sleep_for(timing.pass);
    std::array<bool, 4> active{};
    std::array<int, 4> still{};
    std::array<float, 4> last{};
    for (int a = 0; a < 4; ++a) active[a] = state.used[a].load();
    bool first = true;
    bool any = true;
    while (any) {
        const bool stopping = state.stop.load();
        for (std::int16_t a = 0; a < 4; ++a) {
            if (!state.used[a]) continue;
            if (stopping) control.Stop(a);
        }
        std::array<float, 4> reading{};
        for (std::int16_t a = 0; a < 4; ++a) {
            if (!state.used[a]) continue;
            reading[a] = static_cast<float>(control.GetPosition(a));
            state.position[a] = reading[a];
        }
        std::this_thread::sleep_for(timing.pass);
        any = false;
        for (int a = 0; a < 4; ++a) {
            if (!state.used[a]) continue;
            if (first) {
                last[a] = reading[a];
            } else if (reading[a] != last[a]) {
                last[a] = reading[a];
            } else if (++still[a] > timing.stillPasses) {
                active[a] = false;
            }
            any = any || active[a];
        }
        first = false;
        if (onPass) onPass();
    }
}

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

std::size_t RunMotion(MotionControl& control, const std::vector<MotionCall>& calls, RunState& state,
                      const std::function<void()>& onPass,
                      const std::function<void(std::size_t)>& onCall,
                      const CompletionTiming& timing) {
    state.stop = false;
    state.used[0] = true;
    state.used[1] = true;
    std::size_t done = 0;
    for (std::size_t i = 0; i < calls.size(); ++i) {
        // A stop seen by the last wait has stopped the axes; nothing more moves.
        if (state.stop) break;
        if (onCall) onCall(i);
        Invoke(control, calls[i]);  // a refused command is not fatal: the wait ends
        ++done;
        WaitForCompletion(control, state, onPass, timing);
    }
    return done;
}

}  // namespace stagedesk::dxf
