// A drawing as a job: placement, speeds and tool output as the sequence of
// calls a run makes (what the dry run prints), the run's pause, stop and
// failure handling against a recording control, and the dry run's options.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "DxfDryRun.h"
#include "DxfJob.h"
#include "DxfPath.h"
#include "DxfRun.h"
#include "DxfTestRecords.h"

namespace stagedesk::dxf {
namespace {

using test::Arc;
using test::Circle;
using test::Line;

// A path as the panel prepares it.
std::vector<PathElement> PathOf(const std::vector<DrwEntityRecord>& records) {
    Importer importer;
    for (const DrwEntityRecord& r : records) importer.OnData(&r, sizeof r);
    return PreparePath(std::move(importer.Elements()));
}

std::vector<std::string> StepsOf(const std::vector<PathElement>& path, const JobOptions& o) {
    std::vector<JobStep> steps;
    std::string error;
    EXPECT_TRUE(BuildJob(path, o, &steps, &error)) << error;
    std::vector<std::string> lines;
    for (const JobStep& s : steps) lines.push_back(FormatStep(s));
    return lines;
}

JobOptions Placed(double scale, double ox, double oy) {
    JobOptions o;
    o.placement.scale = scale;
    o.placement.offsetX = ox;
    o.placement.offsetY = oy;
    return o;
}

TEST(DxfJob, PlacementSpeedsAndToolGiveTheseCalls) {
    std::vector<DrwVertex> repeated = {{5, 0, 0, 0, 0, 0, {}}, {5, 0, 0, 0, 0, 0, {}}};
    DrwEntityRecord stub{};
    stub.kind = DRW_ENT_POLYLINE;
    stub.vertices = repeated.data();
    stub.vertexCount = 2;

    JobOptions speeds;
    speeds.drawSpeed = 5;
    speeds.travelSpeed = 50;
    speeds.toolBit = 2;
    speeds.toolOnDelayMs = 100;
    speeds.toolOffDelayMs = 50;
    JobOptions drawOnly;
    drawOnly.drawSpeed = 2;
    JobOptions tool0;
    tool0.toolBit = 0;
    JobOptions clockwise;
    clockwise.placement.ccwValue = 0;

    struct Row {
        const char* name;
        std::vector<DrwEntityRecord> records;
        JobOptions options;
        std::vector<std::string> calls;
    };
    const Row rows[] = {
        {"a scaled arc, its origin placed: the leading travel goes to the placed start",
         {Arc(10, 0, 10, 180, 360)},
         Placed(2, 5, 5),
         {"GoOrigion(0)", "GoOrigion(1)", "GoInterpolationline2(0, 1, 5.000000, 5.000000)",
          "GoInterpolationArc(0, 1, 40.000000, 0.000000, 20.000000, 0.000000, 1)"}},
        {"a first element at the origin, no offset: no travel line",
         {Line(0, 0, 10, 0)},
         Placed(1, 0, 0),
         {"GoOrigion(0)", "GoOrigion(1)", "GoInterpolationline2(0, 1, 10.000000, 0.000000)"}},
        {"a first element at the origin with an offset: a travel line to the offset",
         {Line(0, 0, 10, 0)},
         Placed(0.5, -2, 3),
         {"GoOrigion(0)", "GoOrigion(1)", "GoInterpolationline2(0, 1, -2.000000, 3.000000)",
          "GoInterpolationline2(0, 1, 5.000000, 0.000000)"}},
        {"an offset that puts the start on the origin: no travel line",
         {Line(3, 4, 10, 4)},
         Placed(1, -3, -4),
         {"GoOrigion(0)", "GoOrigion(1)", "GoInterpolationline2(0, 1, 7.000000, 0.000000)"}},
        {"speeds and a tool with delays: set where they change, restored at the end",
         {Line(0, 0, 10, 0), Line(20, 0, 30, 0)},
         speeds,
         {"GetSpeed(0)",
          "GetSpeed(1)",
          "GoOrigion(0)",
          "GoOrigion(1)",
          "SetSpeed(0, 5.000000)",
          "SetSpeed(1, 5.000000)",
          "SetPortOutput(4)",
          "wait 100",
          "GoInterpolationline2(0, 1, 10.000000, 0.000000)",
          "SetPortOutput(0)",
          "wait 50",
          "SetSpeed(0, 50.000000)",
          "SetSpeed(1, 50.000000)",
          "GoInterpolationline2(0, 1, 10.000000, 0.000000)",
          "SetSpeed(0, 5.000000)",
          "SetSpeed(1, 5.000000)",
          "SetPortOutput(4)",
          "wait 100",
          "GoInterpolationline2(0, 1, 10.000000, 0.000000)",
          "SetPortOutput(0)",
          "SetSpeed(0, GetSpeed(0))",
          "SetSpeed(1, GetSpeed(1))"}},
        {"a drawing speed alone: travel at the axes' own speed",
         {Line(5, 0, 10, 0)},
         drawOnly,
         {"GetSpeed(0)", "GetSpeed(1)", "GoOrigion(0)", "GoOrigion(1)",
          "GoInterpolationline2(0, 1, 5.000000, 0.000000)", "SetSpeed(0, 2.000000)",
          "SetSpeed(1, 2.000000)", "GoInterpolationline2(0, 1, 5.000000, 0.000000)",
          "SetSpeed(0, GetSpeed(0))", "SetSpeed(1, GetSpeed(1))"}},
        {"a drawing that ends with a travel line: the tool goes off before it, once",
         {Line(0, 0, 1, 0), stub},
         tool0,
         {"GoOrigion(0)", "GoOrigion(1)", "SetPortOutput(1)",
          "GoInterpolationline2(0, 1, 1.000000, 0.000000)", "SetPortOutput(0)",
          "GoInterpolationline2(0, 1, 4.000000, 0.000000)"}},
        {"counter-clockwise sent as 0: circles and arcs take the other value",
         {Circle(10, 5, 3)},
         clockwise,
         {"GoOrigion(0)", "GoOrigion(1)", "GoInterpolationline2(0, 1, 7.000000, 5.000000)",
          "GoInterpolationArc(0, 1, 0.000000, 0.000000, 3.000000, 0.000000, 0)"}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(StepsOf(PathOf(row.records), row.options), row.calls);
    }
}

TEST(DxfJob, OptionsAndPlacementsThatCannotBeSentAreRefused) {
    const std::vector<PathElement> path = PathOf({Line(0, 0, 1e30, 0)});
    struct Row {
        const char* name;
        JobOptions options;
        const char* why;
    };
    JobOptions zero = Placed(0, 0, 0), negative = Placed(-1, 0, 0), huge = Placed(1e10, 0, 0);
    JobOptions bit8;
    bit8.toolBit = 8;
    JobOptions slow;
    slow.drawSpeed = 0;
    const Row rows[] = {{"scale 0", zero, "scale"},
                        {"negative scale", negative, "scale"},
                        {"bit 8", bit8, "bit"},
                        {"speed 0", slow, "speed"},
                        {"beyond 32-bit floats once scaled", huge, "does not fit"}};
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        std::vector<JobStep> steps;
        std::string error;
        EXPECT_FALSE(BuildJob(path, row.options, &steps, &error));
        EXPECT_NE(error.find(row.why), std::string::npos) << error;
    }
}

// Records every call; `failAt` makes the call with that number (1..) fail
// with `code`; GetSpeed answers 7.5.
class Recorder : public JobControl {
  public:
    std::vector<std::string> calls;
    int failAt = 0;
    std::int32_t code = 0;

    bool GoOrigion(std::int16_t a) override { return Call("GoOrigion(" + std::to_string(a) + ")"); }
    bool GoInterpolationline2(std::int16_t a1, std::int16_t a2, float x, float y) override {
        MotionCall c;
        c.method = MotionCall::Method::kGoInterpolationline2;
        c.axis1 = a1;
        c.axis2 = a2;
        c.x = x;
        c.y = y;
        return Call(FormatCall(c));
    }
    bool GoInterpolationArc(std::int16_t, std::int16_t, float, float, float, float,
                            std::int16_t) override {
        return Call("GoInterpolationArc");
    }
    bool SetSpeed(std::int16_t a, float v) override {
        return Call("SetSpeed(" + std::to_string(a) + ", " + std::to_string(v) + ")");
    }
    bool GetSpeed(std::int16_t a, float* v) override {
        *v = 7.5f;
        return Call("GetSpeed(" + std::to_string(a) + ")");
    }
    bool SetPortOutput(std::int16_t v) override {
        return Call("SetPortOutput(" + std::to_string(v) + ")");
    }
    bool StopSlow(std::int16_t a) override { return Call("StopSlow(" + std::to_string(a) + ")"); }
    std::int32_t LastErrorCode() override { return code; }

  private:
    bool Call(const std::string& text) {
        calls.push_back(text);
        return static_cast<int>(calls.size()) != failAt;
    }
};

std::vector<JobStep> JobOf(const std::vector<DrwEntityRecord>& records, const JobOptions& o) {
    std::vector<JobStep> steps;
    std::string error;
    EXPECT_TRUE(BuildJob(PathOf(records), o, &steps, &error)) << error;
    return steps;
}

JobOptions SpeedsAndTool() {
    JobOptions o;
    o.drawSpeed = 5;
    o.travelSpeed = 50;
    o.toolBit = 2;
    return o;
}

TEST(DxfJob, StopWhileTheToolIsOnStopsGentlySwitchesItOffAndRestoresTheSpeeds) {
    const JobOptions o = SpeedsAndTool();
    const auto steps = JobOf({Line(0, 0, 10, 0), Line(20, 0, 30, 0)}, o);
    Recorder control;
    std::atomic<int> stop{0}, pause{0};
    JobHooks hooks;
    hooks.onMove = [&](std::size_t, std::size_t move) {
        if (move == 3) stop = 1;  // during the first drawn line
    };
    const JobEnd end = RunJob(control, steps, o, stop, pause, hooks);
    EXPECT_EQ(end.how, JobEnd::How::kStopped);
    EXPECT_EQ(end.move, 3u);
    const std::vector<std::string> expected = {
        "GetSpeed(0)",           "GetSpeed(1)",
        "GoOrigion(0)",          "GoOrigion(1)",
        "SetSpeed(0, 5.000000)", "SetSpeed(1, 5.000000)",
        "SetPortOutput(4)",      "GoInterpolationline2(0, 1, 10.000000, 0.000000)",
        "StopSlow(0)",           "StopSlow(1)",
        "SetPortOutput(0)",      "SetSpeed(0, 7.500000)",
        "SetSpeed(1, 7.500000)"};
    EXPECT_EQ(control.calls, expected);
    EXPECT_NE(DescribeEnd(end).find("move 3 of 5"), std::string::npos) << DescribeEnd(end);

    // With a stop hook (the panel's: the stop went out already, by the stop
    // line) the run sends no stop of its own and still leaves things as they were.
    Recorder hooked;
    stop = 0;
    int stopsAsked = 0;
    hooks.stopAxes = [&] { ++stopsAsked; };
    EXPECT_EQ(RunJob(hooked, steps, o, stop, pause, hooks).how, JobEnd::How::kStopped);
    EXPECT_EQ(stopsAsked, 1);
    std::vector<std::string> withoutStops = expected;
    std::erase_if(withoutStops, [](const std::string& c) { return c.starts_with("StopSlow"); });
    EXPECT_EQ(hooked.calls, withoutStops);
}

TEST(DxfJob, TheFirstFailingCallEndsTheRunAndSaysWhichMoveAndWhy) {
    const JobOptions o = SpeedsAndTool();
    const auto steps = JobOf({Line(0, 0, 10, 0), Line(20, 0, 30, 0)}, o);
    struct Row {
        const char* name;
        int failAt;
        std::int32_t code;
        std::size_t move;
        const char* says;
    };
    const Row rows[] = {
        // Call 8 is the first line; 7 the tool switched on before it.
        {"a motion the controller refuses", 8, 20043, 3, "At move 3 of 5, GoInterpolationline2"},
        {"the tool output before a move", 7, 20004, 3, "Before move 3 of 5, SetPortOutput(4)"},
        {"reading the speeds at the start", 1, 10121, 1, "GetSpeed(0) failed"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        Recorder control;
        control.failAt = row.failAt;
        control.code = row.code;
        std::atomic<int> stop{0}, pause{0};
        const JobEnd end = RunJob(control, steps, o, stop, pause, {});
        EXPECT_EQ(end.how, JobEnd::How::kFailed);
        EXPECT_EQ(end.move, row.move);
        EXPECT_EQ(end.code, row.code);
        const std::string text = DescribeEnd(end);
        EXPECT_NE(text.find(row.says), std::string::npos) << text;
        EXPECT_NE(text.find(std::to_string(row.code)), std::string::npos) << text;
        // Nothing moves after it; the tool is switched off.
        ASSERT_GE(control.calls.size(), static_cast<std::size_t>(row.failAt));
        for (std::size_t i = static_cast<std::size_t>(row.failAt); i < control.calls.size(); ++i)
            EXPECT_EQ(control.calls[i].find("Go"), std::string::npos) << control.calls[i];
        EXPECT_NE(
            std::find(control.calls.begin() + row.failAt, control.calls.end(), "SetPortOutput(0)"),
            control.calls.end());
    }
    EXPECT_NE(ControlErrorText(20043).find("E03"), std::string::npos);
}

TEST(DxfJob, AMoveAfterWhichTheAxesReadAsBeforeEndsTheRun) {
    const auto steps = JobOf({Line(0, 0, 10, 0)}, {});
    Recorder control;
    std::atomic<int> stop{0}, pause{0};
    JobHooks hooks;
    hooks.position = [](double* x, double* y) {
        *x = *y = 0;  // nothing ever moves
        return true;
    };
    const JobEnd end = RunJob(control, steps, {}, stop, pause, hooks);
    EXPECT_EQ(end.how, JobEnd::How::kFailed);
    EXPECT_TRUE(end.notMoved);
    EXPECT_EQ(end.move, 3u);
    EXPECT_NE(DescribeEnd(end).find("did not move"), std::string::npos);
}

TEST(DxfJob, PauseHoldsBetweenMovesWithTheToolOffAndResumesWithIt) {
    JobOptions o;
    o.toolBit = 2;
    o.toolOnDelayMs = 20;
    const auto steps = JobOf({Line(0, 0, 10, 0), Line(10, 0, 10, 10)}, o);
    Recorder control;
    std::atomic<int> stop{0}, pause{0};
    std::vector<bool> holds;
    std::size_t callsWhenHeld = 0;
    std::thread resumer;
    JobHooks hooks;
    hooks.onMove = [&](std::size_t, std::size_t move) {
        if (move == 3) pause = 1;
    };
    hooks.onHold = [&](bool held) {
        holds.push_back(held);
        if (held) {
            callsWhenHeld = control.calls.size();
            resumer = std::thread([&] {
                std::this_thread::sleep_for(std::chrono::milliseconds(50));
                pause = 0;
            });
        }
    };
    const JobEnd end = RunJob(control, steps, o, stop, pause, hooks);
    if (resumer.joinable()) resumer.join();
    EXPECT_EQ(end.how, JobEnd::How::kCompleted);
    EXPECT_EQ(holds, (std::vector<bool>{true, false}));
    const std::vector<std::string> expected = {"GoOrigion(0)",
                                               "GoOrigion(1)",
                                               "SetPortOutput(4)",
                                               "GoInterpolationline2(0, 1, 10.000000, 0.000000)",
                                               "SetPortOutput(0)",  // held
                                               "SetPortOutput(4)",  // resumed
                                               "GoInterpolationline2(0, 1, 0.000000, 10.000000)",
                                               "SetPortOutput(0)"};
    EXPECT_EQ(control.calls, expected);
    EXPECT_EQ(callsWhenHeld, 4u);  // the move in progress had ended
}

TEST(DxfJob, DryRunOptionsAreCheckedAndRead) {
    struct Row {
        std::vector<std::string> args;
        const char* error;  // nullptr: accepted
    };
    const Row rows[] = {
        {{"--scale", "0"}, "positive"},
        {{"--scale=-2"}, "positive"},
        {{"--scale", "1,5"}, "positive"},
        {{"--tool-bit", "8"}, "0 to 7"},
        {{"--tool-bit=-1"}, "0 to 7"},
        {{"--offset", "5"}, "two numbers"},
        {{"--offset=5,"}, "two numbers"},
        {{"--tool-delays", "100"}, "ON_MS,OFF_MS"},
        {{"--draw-speed", "fast"}, "positive speed"},
        {{"--travel-speed", "inf"}, "positive speed"},
        {{"--arc-ccw", "2"}, "0 or 1"},
        {{"--scale"}, "needs a value"},
        {{"--scalefactor", "0"}, nullptr},  // not one of ours
    };
    for (const Row& row : rows) {
        std::vector<std::string> args = {"stagedesk", "--dxf-path", "a.dxf"};
        args.insert(args.end(), row.args.begin(), row.args.end());
        std::vector<char*> argv;
        for (std::string& a : args) argv.push_back(a.data());
        SCOPED_TRACE(args.back());
        JobOptions o;
        std::string error;
        const bool ok = ParseJobOptions(static_cast<int>(argv.size()), argv.data(), &o, &error);
        EXPECT_EQ(ok, row.error == nullptr) << error;
        if (row.error != nullptr) {
            EXPECT_NE(error.find(row.error), std::string::npos) << error;
        }
    }
    std::vector<std::string> args = {"stagedesk",    "--dxf-path", "a.dxf",
                                     "--scale",      "2.5",        "--offset=-1,3",
                                     "--draw-speed", "10",         "--travel-speed=40",
                                     "--tool-bit",   "3",          "--tool-delays",
                                     "200,100",      "--arc-ccw",  "0"};
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    JobOptions o;
    std::string error;
    ASSERT_TRUE(ParseJobOptions(static_cast<int>(argv.size()), argv.data(), &o, &error)) << error;
    EXPECT_EQ(o.placement.scale, 2.5);
    EXPECT_EQ(o.placement.offsetX, -1);
    EXPECT_EQ(o.placement.offsetY, 3);
    EXPECT_EQ(o.drawSpeed, 10);
    EXPECT_EQ(o.travelSpeed, 40);
    EXPECT_EQ(o.toolBit, 3);
    EXPECT_EQ(o.toolOnDelayMs, 200);
    EXPECT_EQ(o.toolOffDelayMs, 100);
    EXPECT_EQ(o.placement.ccwValue, 0);
}

}  // namespace
}  // namespace stagedesk::dxf
