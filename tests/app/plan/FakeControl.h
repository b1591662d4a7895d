#pragma once
// A recording fake of the control for stagedesk's plan runs. Motion calls mark
// their axes moving; a moving axis's position advances on every reading until
// `Stop` reaches it or it has moved `travel` readings; then it stands still.
#include <array>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "PlanControl.h"

namespace plantest {

struct Call {
    std::string name;
    std::vector<double> args;
    bool operator==(const Call&) const = default;
};

inline std::ostream& operator<<(std::ostream& out, const Call& c) {
    out << c.name << "(";
    for (std::size_t i = 0; i < c.args.size(); ++i) out << (i ? "," : "") << c.args[i];
    return out << ")";
}

class FakeControl : public stagedesk::plan::PlanControl {
  public:
    int travel = 3;  // readings a started axis keeps moving
    // Called as each motion call arrives, before it is recorded (on the
    // caller's thread).
    std::function<void(const Call&)> onMotion;
    // The nth call (1-based, counting every recorded call) is refused with
    // this error code; 0 refuses nothing.
    int refuseCall = 0;
    int refuseCode = 20041;

    int GetErrorCode() override {
        std::lock_guard<std::mutex> hold(m_lock);
        return m_lastCode;
    }

    bool Stop(std::int16_t axis) override {
        std::lock_guard<std::mutex> hold(m_lock);
        m_stops.push_back(axis);
        if (Valid(axis)) m_left[static_cast<std::size_t>(axis)] = 0;
        return true;
    }
    double GetPosition(std::int16_t axis) override {
        std::lock_guard<std::mutex> hold(m_lock);
        ++m_readings;
        if (!Valid(axis)) return 0;
        const auto i = static_cast<std::size_t>(axis);
        if (m_left[i] < 0) {
            m_position[i] += 1;  // moves until stopped
        } else if (m_left[i] > 0) {
            --m_left[i];
            m_position[i] += 1;
        }
        return m_position[i];
    }
    bool GoInterpolationArc(std::int16_t a1, std::int16_t a2, float tx, float ty, float cx,
                            float cy, std::int16_t dir) override {
        return Motion({"GoInterpolationArc", {double(a1), double(a2), tx, ty, cx, cy, double(dir)}},
                      {a1, a2});
    }
    bool GoInterpolationline2(std::int16_t a1, std::int16_t a2, float x, float y) override {
        return Motion({"GoInterpolationline2", {double(a1), double(a2), x, y}}, {a1, a2});
    }
    bool GoInterpolationline3(std::int16_t a1, std::int16_t a2, std::int16_t a3, float x, float y,
                              float z) override {
        return Motion({"GoInterpolationline3", {double(a1), double(a2), double(a3), x, y, z}},
                      {a1, a2, a3});
    }
    bool GoHome(std::int16_t a) override { return Motion({"GoHome", {double(a)}}, {a}); }
    bool GoOrigion(std::int16_t a) override { return Motion({"GoOrigion", {double(a)}}, {a}); }
    bool GoPosition(std::int16_t a, std::int16_t ws, std::int16_t st, std::int16_t dir,
                    float x) override {
        return Motion({"GoPosition", {double(a), double(ws), double(st), double(dir), x}}, {a});
    }
    bool Setsechhome(std::int16_t a, std::int16_t mode) override {
        return Record({"Setsechhome", {double(a), double(mode)}});
    }
    bool SetUnit(std::int16_t a, std::int16_t unit) override {
        return Record({"SetUnit", {double(a), double(unit)}});
    }
    bool SetSpeed(std::int16_t a, float speed) override {
        return Record({"SetSpeed", {double(a), speed}});
    }
    bool SetHomeSpeed(std::int16_t a, float speed) override {
        return Record({"SetHomeSpeed", {double(a), speed}});
    }

    // Makes the axes of the next motion calls move until stopped.
    void MoveUntilStopped(bool endless) {
        std::lock_guard<std::mutex> hold(m_lock);
        m_endless = endless;
    }
    std::vector<Call> Calls() const {
        std::lock_guard<std::mutex> hold(m_lock);
        return m_calls;
    }
    std::vector<std::string> Names() const {
        std::vector<std::string> names;
        for (const Call& c : Calls()) names.push_back(c.name);
        return names;
    }
    std::vector<int> Stops() const {
        std::lock_guard<std::mutex> hold(m_lock);
        return m_stops;
    }
    int Readings() const {
        std::lock_guard<std::mutex> hold(m_lock);
        return m_readings;
    }

  private:
    static bool Valid(int axis) { return axis >= 0 && axis < 4; }
    // Records the call; false when it is the one to refuse.
    bool Take(Call call) {
        m_calls.push_back(std::move(call));
        const bool refused = refuseCall != 0 && static_cast<int>(m_calls.size()) == refuseCall;
        m_lastCode = refused ? refuseCode : 0;
        return !refused;
    }
    bool Record(Call call) {
        std::lock_guard<std::mutex> hold(m_lock);
        return Take(std::move(call));
    }
    bool Motion(Call call, std::initializer_list<std::int16_t> axes) {
        if (onMotion) onMotion(call);
        std::lock_guard<std::mutex> hold(m_lock);
        if (!Take(call)) return false;  // refused: nothing moves
        for (std::int16_t a : axes) {
            if (Valid(a)) m_left[static_cast<std::size_t>(a)] = m_endless ? -1 : travel;
        }
        return true;
    }

    mutable std::mutex m_lock;
    std::vector<Call> m_calls;
    std::vector<int> m_stops;
    std::array<double, 4> m_position{};
    std::array<int, 4> m_left{};
    bool m_endless = false;
    int m_readings = 0;
    int m_lastCode = 0;
};

}  // namespace plantest
