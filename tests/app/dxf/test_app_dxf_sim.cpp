// A drawing run against the simulator: the calls of the path through the
// control, each followed by the plan panel's completion wait. The axes must
// follow the drawing (arcs on the side they are drawn) and end where it ends;
// a stop ends the run where the axes are.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <mutex>
#include <thread>
#include <vector>

#include "CadIOBinding.h"
#include "CompletionWaiter.h"
#include "DxfJob.h"
#include "DxfPath.h"
#include "DxfRun.h"
#include "KORVAKT3002Ctl.h"
#include "PtySimulator.h"

namespace stagedesk::dxf {
namespace {

// libcadio.so paints with Qt, so builds without the GUI (the sanitizer passes)
// have no drawing library: the tests that load drawings are skipped there.
#ifdef CADIO_PATH
#define NEEDS_DRAWINGS()
#else
#define NEEDS_DRAWINGS() GTEST_SKIP() << "libcadio.so is built with the GUI only"
#endif

// The control as the run and the completion wait see it.
class Motion : public MotionControl, public plan::AxisPoller {
  public:
    explicit Motion(CKORVAKT3002Ctrl& c) : m_c(c) {}
    bool GoOrigion(std::int16_t a) override { return m_c.GoOrigion(a); }
    bool GoInterpolationline2(std::int16_t a1, std::int16_t a2, float x, float y) override {
        return m_c.GoInterpolationline2(a1, a2, x, y);
    }
    bool GoInterpolationArc(std::int16_t a1, std::int16_t a2, float tx, float ty, float cx,
                            float cy, std::int16_t d) override {
        return m_c.GoInterpolationArc(a1, a2, tx, ty, cx, cy, d);
    }
    bool Stop(std::int16_t a) override { return m_c.Stop(a); }
    double GetPosition(std::int16_t a) override { return m_c.GetPosition(a); }

  private:
    CKORVAKT3002Ctrl& m_c;
};

class DxfOnSimulator : public testing::Test {
  protected:
    void SetUp() override {
#ifdef CADIO_PATH
        setenv("KORVA_CADIO", CADIO_PATH, 1);
#endif
        sim.SetBaud(0);
        ASSERT_TRUE(sim.Start());
        setenv("KORVA_COM1", sim.SlavePath().c_str(), 1);
        control.SetComPort(1);
        ASSERT_TRUE(control.Connect());
        for (std::int16_t axis : {0, 1}) {
            control.SetSpeed(axis, 20);
            control.SetAccSpeed(axis, 400);
        }
    }
    void TearDown() override {
        control.DisConnect();
    }

    std::vector<MotionCall> CallsOf(const std::string& file) {
        CCadIO cad;
        Importer importer;
        const DrwReceiver window = importer.Receiver();
        EXPECT_TRUE(cad.Create());
        cad.SetWindow(&window, 1025);
        EXPECT_TRUE(cad.LoadFromFile(std::string(DXF_FIXTURES) + "/" + file, nullptr))
            << cad.LastError();
        cad.GetData();
        return RunCalls(PreparePath(std::move(importer.Elements())));
    }

    // Runs the calls as the panel does, X and Y used, and samples the
    // simulated axes every 2 ms meanwhile.
    std::size_t Run(const std::vector<MotionCall>& calls, std::atomic<int>& stop,
                    const std::function<void(double x, double y)>& whileRunning = {}) {
        Motion motion(control);
        plan::CompletionWaiter waiter(motion, stop, {},
                                      plan::CompletionTiming{std::chrono::milliseconds(20), 5});
        waiter.MarkUsed(0);
        waiter.MarkUsed(1);
        std::atomic<bool> done{false};
        std::thread sampler([&] {
            while (!done) {
                const double x = sim.engine().Position(1, 0), y = sim.engine().Position(1, 1);
                {
                    std::lock_guard<std::mutex> hold(lock);
                    samples.push_back({x, y});
                }
                if (whileRunning) whileRunning(x, y);
                std::this_thread::sleep_for(std::chrono::milliseconds(2));
            }
        });
        const std::size_t made = RunMotion(motion, calls, stop, [&] { waiter.Wait(); });
        done = true;
        sampler.join();
        return made;
    }

    korva::sim::PtySimulator sim;
    CKORVAKT3002Ctrl control;
    std::mutex lock;
    std::vector<std::pair<double, double>> samples;
};

double DistanceToSegment(double px, double py, double ax, double ay, double bx, double by) {
    const double dx = bx - ax, dy = by - ay;
    double t = ((px - ax) * dx + (py - ay) * dy) / (dx * dx + dy * dy);
    t = std::clamp(t, 0.0, 1.0);
    return std::hypot(px - (ax + t * dx), py - (ay + t * dy));
}

// Distance to the part of a circle on one side of a vertical or horizontal line.
double DistanceToHalfCircle(double px, double py, double cx, double cy, double r, char side) {
    const bool onSide = (side == 'R' && px >= cx) || (side == 'L' && px <= cx) ||
                        (side == 'B' && py <= cy) || (side == 'T' && py >= cy);
    if (onSide) return std::fabs(std::hypot(px - cx, py - cy) - r);
    // Off the half: the nearer end of it.
    const bool vertical = side == 'R' || side == 'L';
    const double e1x = vertical ? cx : cx - r, e1y = vertical ? cy - r : cy;
    const double e2x = vertical ? cx : cx + r, e2y = vertical ? cy + r : cy;
    return std::min(std::hypot(px - e1x, py - e1y), std::hypot(px - e2x, py - e2y));
}

// run_small.dxf: a line (0,0)-(10,0), the right half of the circle about
// (10, 4) up to (10, 8), a line to (12, 8), the upper half of the circle about
// (14, 8) to (16, 8) (a bulge of -1: clockwise).
double DistanceToRunSmall(double x, double y) {
    return std::min(
        {DistanceToSegment(x, y, 0, 0, 10, 0), DistanceToHalfCircle(x, y, 10, 4, 4, 'R'),
         DistanceToSegment(x, y, 10, 8, 12, 8), DistanceToHalfCircle(x, y, 14, 8, 2, 'T')});
}

TEST_F(DxfOnSimulator, TheAxesFollowTheDrawingAndEndWhereItEnds) {
    NEEDS_DRAWINGS();
    const std::vector<MotionCall> calls = CallsOf("run_small.dxf");
    ASSERT_EQ(calls.size(), 6u);
    std::atomic<int> stop{0};
    EXPECT_EQ(Run(calls, stop), calls.size());
    EXPECT_NEAR(sim.engine().Position(1, 0), 16, 1e-3);
    EXPECT_NEAR(sim.engine().Position(1, 1), 8, 1e-3);
    EXPECT_NEAR(control.GetPosition(0), 16, 1e-3);
    EXPECT_NEAR(control.GetPosition(1), 8, 1e-3);
    std::lock_guard<std::mutex> hold(lock);
    ASSERT_GT(samples.size(), 200u);
    double worst = 0, farthestRight = 0, highest = 0;
    for (const auto& [x, y] : samples) {
        worst = std::max(worst, DistanceToRunSmall(x, y));
        if (y > 0.5 && y < 7.5) farthestRight = std::max(farthestRight, x);
        if (x > 12.5 && x < 15.5 && y > 7.5) highest = std::max(highest, y);
    }
    EXPECT_LT(worst, 0.01) << "the axes left the drawing";
    // Both arcs went the way they are drawn: round (14, 4) and over (14, 10);
    // the other way round they would pass (6, 4) and (14, 6).
    EXPECT_NEAR(farthestRight, 14, 0.05);
    EXPECT_NEAR(highest, 10, 0.05);
}

TEST_F(DxfOnSimulator, StopEndsTheRunWhereTheAxesAre) {
    // Two long lines; Stop on the way along the first.
    std::vector<MotionCall> calls(2);  // the returns to the origins
    calls[1].axis1 = 1;
    MotionCall line;
    line.method = MotionCall::Method::kGoInterpolationline2;
    line.x = 60;
    calls.push_back(line);
    line.x = 0;
    line.y = 60;
    calls.push_back(line);
    std::atomic<int> stop{0};
    const std::size_t made = Run(calls, stop, [&](double x, double) {
        if (x > 5) stop = 1;
    });
    EXPECT_EQ(made, 3u) << "nothing after the stop";
    const double x = sim.engine().Position(1, 0);
    EXPECT_GT(x, 5);
    EXPECT_LT(x, 40);
    EXPECT_EQ(sim.engine().Position(1, 1), 0);
    EXPECT_FALSE(sim.engine().Moving(1, 0));
}

// The control as a job sees it, each failure with its GetErrorCode.
class JobMotion : public JobControl, public plan::AxisPoller {
  public:
    explicit JobMotion(CKORVAKT3002Ctrl& c) : m_c(c), m_motion(c) {}
    bool GoOrigion(std::int16_t a) override { return Checked(m_motion.GoOrigion(a)); }
    bool GoInterpolationline2(std::int16_t a1, std::int16_t a2, float x, float y) override {
        return Checked(m_motion.GoInterpolationline2(a1, a2, x, y));
    }
    bool GoInterpolationArc(std::int16_t a1, std::int16_t a2, float tx, float ty, float cx,
                            float cy, std::int16_t d) override {
        return Checked(m_motion.GoInterpolationArc(a1, a2, tx, ty, cx, cy, d));
    }
    bool SetSpeed(std::int16_t a, float v) override { return Checked(m_c.SetSpeed(a, v)); }
    bool GetSpeed(std::int16_t a, float* v) override {
        *v = m_c.GetSpeed(a);
        return Checked(m_c.GetErrorCode() == 0);
    }
    bool SetPortOutput(std::int16_t v) override { return Checked(m_c.SetPortOutput(v)); }
    bool StopSlow(std::int16_t a) override { return Checked(m_c.StopSlow(a)); }
    std::int32_t LastErrorCode() override { return m_code; }
    bool Stop(std::int16_t a) override { return m_c.Stop(a); }
    double GetPosition(std::int16_t a) override { return m_c.GetPosition(a); }

  private:
    bool Checked(bool ok) {
        if (!ok) m_code = m_c.GetErrorCode();
        return ok;
    }
    CKORVAKT3002Ctrl& m_c;
    Motion m_motion;
    std::int32_t m_code = 0;
};

class DxfJobOnSimulator : public DxfOnSimulator {
  protected:
    std::vector<JobStep> JobOf(const std::string& file, const JobOptions& o) {
        CCadIO cad;
        Importer importer;
        const DrwReceiver window = importer.Receiver();
        EXPECT_TRUE(cad.Create());
        cad.SetWindow(&window, 1025);
        EXPECT_TRUE(cad.LoadFromFile(std::string(DXF_FIXTURES) + "/" + file, nullptr));
        cad.GetData();
        std::vector<JobStep> steps;
        std::string error;
        EXPECT_TRUE(BuildJob(PreparePath(std::move(importer.Elements())), o, &steps, &error))
            << error;
        return steps;
    }

    // The job as the panel runs it: each move followed by the completion wait,
    // the waits' last readings telling whether a move happened.
    JobEnd RunOnSim(const std::vector<JobStep>& steps, const JobOptions& o, JobHooks hooks = {}) {
        JobMotion motion(control);
        const std::atomic<int> noHardStop{0};
        plan::CompletionWaiter waiter(motion, noHardStop, {},
                                      plan::CompletionTiming{std::chrono::milliseconds(20), 5});
        waiter.MarkUsed(0);
        waiter.MarkUsed(1);
        hooks.wait = [&] { waiter.Wait(); };
        hooks.position = [&](double* x, double* y) {
            *x = waiter.Positions().position[0];
            *y = waiter.Positions().position[1];
            return true;
        };
        return RunJob(motion, steps, o, stop, pause, hooks);
    }

    std::atomic<int> stop{0}, pause{0};
};

TEST_F(DxfJobOnSimulator, PauseHoldsTheAxesWithTheToolOffAndResumeFinishesTheDrawing) {
    NEEDS_DRAWINGS();
    JobOptions o;
    o.drawSpeed = 40;
    o.travelSpeed = 80;
    o.toolBit = 3;
    const std::vector<JobStep> steps = JobOf("run_small.dxf", o);
    double heldX = -1, heldY = -1;
    int heldOutputs = -1;
    bool movedWhileHeld = false;
    std::thread resumer;
    JobHooks hooks;
    hooks.onMove = [&](std::size_t, std::size_t move) {
        if (move == 3) pause = 1;  // the first line, (0,0) to (10,0)
    };
    hooks.onHold = [&](bool held) {
        if (!held) return;
        resumer = std::thread([&] {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            heldX = sim.engine().Position(1, 0);
            heldY = sim.engine().Position(1, 1);
            heldOutputs = sim.engine().Outputs();
            movedWhileHeld = sim.engine().Moving(1, 0) || sim.engine().Moving(1, 1);
            pause = 0;
        });
    };
    const JobEnd end = RunOnSim(steps, o, hooks);
    if (resumer.joinable()) resumer.join();
    EXPECT_EQ(end.how, JobEnd::How::kCompleted) << DescribeEnd(end);
    EXPECT_NEAR(heldX, 10, 1e-3) << "held where the move in progress ended";
    EXPECT_NEAR(heldY, 0, 1e-3);
    EXPECT_FALSE(movedWhileHeld);
    EXPECT_EQ(heldOutputs, 0) << "the tool is off while held";
    EXPECT_NEAR(sim.engine().Position(1, 0), 16, 1e-3);
    EXPECT_NEAR(sim.engine().Position(1, 1), 8, 1e-3);
    EXPECT_EQ(sim.engine().Outputs(), 0) << "the tool is off at the end";
    EXPECT_FLOAT_EQ(control.GetSpeed(0), 20) << "the axes' own speed is back";
}

TEST_F(DxfJobOnSimulator, AMoveTheControllerRefusesEndsTheRunWithTheAxesWhereTheyStopped) {
    NEEDS_DRAWINGS();
    // X may not pass 5: the first line, to (10, 0), is refused (E03).
    ASSERT_TRUE(control.SetLimitPos(0, 5));
    ASSERT_TRUE(control.SetLimitAble(0, 0));  // "E": enabled
    JobOptions o;
    o.toolBit = 0;
    const std::vector<JobStep> steps = JobOf("run_small.dxf", o);
    const JobEnd end = RunOnSim(steps, o);
    EXPECT_EQ(end.how, JobEnd::How::kFailed);
    EXPECT_EQ(end.move, 3u);
    EXPECT_EQ(end.moves, 6u);
    const std::string text = DescribeEnd(end);
    EXPECT_NE(text.find("move 3 of 6"), std::string::npos) << text;
    EXPECT_NE(text.find("GoInterpolationline2(0, 1, 10.000000, 0.000000)"), std::string::npos)
        << text;
    EXPECT_EQ(sim.engine().Position(1, 0), 0);
    EXPECT_EQ(sim.engine().Outputs(), 0) << "the tool is off";
}

}  // namespace
}  // namespace stagedesk::dxf
