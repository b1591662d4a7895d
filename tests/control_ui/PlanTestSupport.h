#pragma once
// Shared by the plan editor tests: a recording fake of the motion methods a
// plan run calls, and event pumping for the offscreen GUI.
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QThread>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "PlanRunner.h"

namespace plantest {

struct Call {
    std::string name;
    std::vector<double> args;
    std::chrono::steady_clock::time_point at;
};

// Records every motion call in order; Answer decides each call's result
// (true by default) and may block the run's thread.
class RecordingMotion : public korva::ui::PlanMotion {
  public:
    std::function<bool(const Call& call, std::size_t index)> answer;

    bool GoInterpolationArc(std::int16_t a1, std::int16_t a2, float tx, float ty, float cx,
                            float cy, std::int16_t dir) override {
        return Record("GoInterpolationArc", {double(a1), double(a2), tx, ty, cx, cy, double(dir)});
    }
    bool GoInterpolationline2(std::int16_t a1, std::int16_t a2, float x, float y) override {
        return Record("GoInterpolationline2", {double(a1), double(a2), x, y});
    }
    bool GoInterpolationline3(std::int16_t a1, std::int16_t a2, std::int16_t a3, float x, float y,
                              float z) override {
        return Record("GoInterpolationline3", {double(a1), double(a2), double(a3), x, y, z});
    }
    bool GoHome(std::int16_t a) override { return Record("GoHome", {double(a)}); }
    bool GoOrigion(std::int16_t a) override { return Record("GoOrigion", {double(a)}); }
    bool GoPosition(std::int16_t a, std::int16_t ws, std::int16_t st, std::int16_t dir,
                    float x) override {
        return Record("GoPosition", {double(a), double(ws), double(st), double(dir), x});
    }

    bool StopAxes() override {
        ++stops;
        return true;
    }
    int ErrorCode() override { return errorCode; }
    std::atomic<int> stops{0};
    int errorCode = 0;

    std::vector<Call> Calls() const {
        std::lock_guard<std::mutex> hold(m_lock);
        return m_calls;
    }
    std::size_t Count() const {
        std::lock_guard<std::mutex> hold(m_lock);
        return m_calls.size();
    }

  private:
    bool Record(const char* name, std::vector<double> args) {
        Call call{name, std::move(args), std::chrono::steady_clock::now()};
        std::size_t index = 0;
        {
            std::lock_guard<std::mutex> hold(m_lock);
            index = m_calls.size();
            m_calls.push_back(call);
        }
        return answer ? answer(call, index) : true;
    }

    mutable std::mutex m_lock;
    std::vector<Call> m_calls;
};

// A gate the fake's answer can wait at until the test opens it.
class Gate {
  public:
    void Arrive() {
        std::unique_lock<std::mutex> hold(m_lock);
        m_arrived = true;
        m_cv.notify_all();
        m_cv.wait(hold, [this] { return m_open; });
    }
    bool Arrived() {
        std::lock_guard<std::mutex> hold(m_lock);
        return m_arrived;
    }
    void Open() {
        std::lock_guard<std::mutex> hold(m_lock);
        m_open = true;
        m_cv.notify_all();
    }

  private:
    std::mutex m_lock;
    std::condition_variable m_cv;
    bool m_arrived = false;
    bool m_open = false;
};

inline bool WaitFor(const std::function<bool()>& done, int timeoutMs = 10000) {
    QElapsedTimer clock;
    clock.start();
    while (!done()) {
        if (clock.elapsed() > timeoutMs) return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        QThread::msleep(2);
    }
    return true;
}

}  // namespace plantest
