#include "CompletionWaiter.h"

#include <cmath>
#include <limits>
#include <thread>

namespace stagedesk::plan {
namespace {

// A reading that is no number equals another such reading, so a controller
// answering garbage cannot keep a wait going for ever.
bool Same(double a, double b) {
    return a == b || (std::isnan(a) && std::isnan(b));
}

float ToFloat(double value) {
    constexpr double kMax = std::numeric_limits<float>::max();
    if (value > kMax) return std::numeric_limits<float>::infinity();
    if (value < -kMax) return -std::numeric_limits<float>::infinity();
    return static_cast<float>(value);
}

}  // namespace

CompletionWaiter::CompletionWaiter(AxisPoller& control, const std::atomic<int>& stopFlag,
                                   PassFn onPass, CompletionTiming timing)
    : m_control(control), m_stop(stopFlag), m_onPass(std::move(onPass)), m_timing(timing) {}

CompletionWaiter::~CompletionWaiter() {
    Abort();
    std::unique_lock<std::mutex> hold(m_lock);
    m_wake.wait(hold, [this] { return m_nWaiting.load() == 0; });
}

void CompletionWaiter::MarkUsed(int axis) {
    if (axis >= 0 && axis < kPlanAxes) m_used[static_cast<std::size_t>(axis)] = true;
}

void CompletionWaiter::ClearUsed() {
    for (auto& used : m_used) used = false;
}

bool CompletionWaiter::Used(int axis) const {
    return axis >= 0 && axis < kPlanAxes && m_used[static_cast<std::size_t>(axis)].load();
}

AxisPositions CompletionWaiter::Positions() const {
    AxisPositions p;
    for (int a = 0; a < kPlanAxes; ++a) {
        p.used[static_cast<std::size_t>(a)] = m_used[static_cast<std::size_t>(a)].load();
        p.position[static_cast<std::size_t>(a)] = m_position[static_cast<std::size_t>(a)].load();
    }
    return p;
}

void CompletionWaiter::Abort() {
    {
        std::lock_guard<std::mutex> hold(m_lock);
        m_bAbort = true;
    }
    m_wake.notify_all();
}

void CompletionWaiter::AbortStopped() {
    m_bStopsSent = true;
    Abort();
}

void CompletionWaiter::ResetAbort() {
    std::lock_guard<std::mutex> hold(m_lock);
    m_bAbort = false;
    m_bStopsSent = false;
}

bool CompletionWaiter::Pause() {
    std::unique_lock<std::mutex> hold(m_lock);
    m_wake.wait_for(hold, m_timing.poll, [this] { return m_bAbort.load(); });
    return !m_bAbort.load();
}

void CompletionWaiter::Wait() {
    {
        std::lock_guard<std::mutex> hold(m_lock);
        if (m_bAbort) return;
        ++m_nWaiting;
        m_bBusy = true;
    }
    std::thread completion([this] { Complete(); });
    {
        std::unique_lock<std::mutex> hold(m_lock);
        m_wake.wait(hold, [this] { return !m_bBusy.load(); });
    }
    completion.join();
    {
        std::lock_guard<std::mutex> hold(m_lock);
        --m_nWaiting;
    }
    m_wake.notify_all();
}

void CompletionWaiter::Complete() {
    std::array<bool, kPlanAxes> active{};
    std::array<bool, kPlanAxes> used{};
    std::array<double, kPlanAxes> last{};
    std::array<int, kPlanAxes> same{};
    Pause();
    for (int a = 0; a < kPlanAxes; ++a) {
        used[static_cast<std::size_t>(a)] = m_used[static_cast<std::size_t>(a)].load();
        active[static_cast<std::size_t>(a)] = used[static_cast<std::size_t>(a)];
    }
    for (int pass = 0;; ++pass) {
        if (m_stop.load() != 0 && !m_bStopsSent.load()) {
            for (int a = 0; a < kPlanAxes; ++a) {
                if (used[static_cast<std::size_t>(a)]) m_control.Stop(static_cast<std::int16_t>(a));
            }
        }
        if (m_bAbort.load()) break;
        std::array<double, kPlanAxes> reading{};
        for (int a = 0; a < kPlanAxes; ++a) {
            const auto i = static_cast<std::size_t>(a);
            if (!used[i]) continue;
            reading[i] = m_control.GetPosition(static_cast<std::int16_t>(a));
            m_position[i] = ToFloat(reading[i]);
        }
        Pause();
        bool anyActive = false;
        for (std::size_t i = 0; i < kPlanAxes; ++i) {
            if (!used[i]) continue;
            if (pass == 0 || !Same(reading[i], last[i])) {
                last[i] = reading[i];
            } else if (++same[i] > m_timing.settlePasses) {
                active[i] = false;
            }
            anyActive = anyActive || active[i];
        }
        if (m_onPass) m_onPass(Positions());
        if (!anyActive) break;
    }
    {
        std::lock_guard<std::mutex> hold(m_lock);
        m_bBusy = false;
    }
    m_wake.notify_all();
}

}  // namespace stagedesk::plan
