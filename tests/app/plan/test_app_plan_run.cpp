// stagedesk's plan run and its completion wait against a recording fake of
// the control (no windows): the commands of every step kind in order, the
// unit mapping, repetitions, rows that cannot run, and stopping during a wait.
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <limits>
#include <thread>

#include "CompletionWaiter.h"
#include "FakeControl.h"
#include "PanelRun.h"
#include "PanelSteps.h"

using namespace stagedesk::plan;
using plantest::Call;
using plantest::FakeControl;

namespace {

// Short polls keep the tests fast; the counting is the same.
const CompletionTiming kFast{std::chrono::milliseconds(2), 5};

using Row = std::vector<std::string>;

// A row from its kind and the cells that matter, by grid column (1..18).
Row MakeRow(const char* kind, std::initializer_list<std::pair<int, const char*>> cells) {
    Row row(kPanelCells);
    row[kCellKind] = kind;
    for (const auto& [column, text] : cells) row[static_cast<std::size_t>(column - 1)] = text;
    return row;
}

TEST(PlanUnits, UnitTextsMapToTheControlsIndices) {
    const std::pair<const char*, int> cases[] = {{"deg", 0},   {"mm", 1},  {"PP", 2},  {"step", 2},
                                                 {"um", 3},    {"MM", -1}, {"pp", -1}, {"", -1},
                                                 {"inch", -1}, {"mm ", -1}};
    for (const auto& [text, index] : cases) EXPECT_EQ(UnitIndexOf(text), index) << text;
}

TEST(PlanRun, EveryKindSendsItsCommandsInOrder) {
    FakeControl control;
    std::atomic<int> stop{0};
    CompletionWaiter waiter(control, stop, {}, kFast);
    const std::vector<Row> rows = {
        MakeRow("GoArc", {{2, "2"},
                          {3, "X"},
                          {4, "Y"},
                          {10, "0"},
                          {12, "P"},
                          {13, "1.5"},
                          {14, "-2"},
                          {15, "3"},
                          {16, "4"},
                          {17, "PP"},
                          {18, "12.5"}}),
        MakeRow("GoHome", {{3, "Z"}, {18, "7"}}),
        MakeRow("GoOpticsHome", {{3, "T"}}),
        MakeRow("GoOrigion", {{3, "Y"}}),
        MakeRow("GoPosition", {{2, "1"},
                               {3, "X"},
                               {6, "2.5"},
                               {9, "R"},
                               {10, "0"},
                               {11, "O"},
                               {12, "N"},
                               {17, "mm"},
                               {18, "3"}}),
        MakeRow("Goline3", {{2, "1"},
                            {3, "X"},
                            {4, "Y"},
                            {5, "Z"},
                            {6, "1"},
                            {7, "2"},
                            {8, "3"},
                            {10, "0"},
                            {17, "um"},
                            {18, "4"}}),
        MakeRow("Goline2", {{2, "1"},
                            {3, "Z"},
                            {4, "T"},
                            {6, "-1"},
                            {7, "0.5"},
                            {10, "0"},
                            {17, "step"},
                            {18, "9"}}),
    };
    EXPECT_EQ(RunPanelPlan(control, rows, 1, stop, waiter, {}), 1);
    const std::vector<Call> expected = {
        {"SetUnit", {0, 2}},
        {"SetUnit", {1, 2}},
        {"SetSpeed", {0, 12.5}},
        {"GoInterpolationArc", {0, 1, 3, 4, 1.5, -2, 1}},
        {"SetUnit", {0, 2}},
        {"SetUnit", {1, 2}},
        {"SetSpeed", {0, 12.5}},
        {"GoInterpolationArc", {0, 1, 3, 4, 1.5, -2, 1}},
        {"SetHomeSpeed", {2, 7}},
        {"Setsechhome", {2, 1}},
        {"GoHome", {2}},
        {"Setsechhome", {3, 2}},
        {"GoHome", {3}},
        {"GoOrigion", {1}},
        {"SetUnit", {0, 1}},
        {"SetSpeed", {0, 3}},
        {"GoPosition", {0, 1, 1, 0, 2.5}},
        {"SetUnit", {0, 3}},
        {"SetUnit", {1, 3}},
        {"SetUnit", {2, 3}},
        {"SetSpeed", {0, 4}},
        {"GoInterpolationline3", {0, 1, 2, 1, 2, 3}},
        {"SetUnit", {2, 2}},
        {"SetUnit", {3, 2}},
        {"SetSpeed", {2, 9}},
        {"GoInterpolationline2", {2, 3, -1, 0.5}},
    };
    EXPECT_EQ(control.Calls(), expected);
    for (int axis = 0; axis < 4; ++axis) EXPECT_TRUE(waiter.Used(axis)) << axis;
    EXPECT_TRUE(control.Stops().empty());
    EXPECT_FALSE(waiter.Busy());
}

TEST(PlanRun, RepetitionsAreCountedAndAnEmptyPlanStillShowsThem) {
    FakeControl control;
    std::atomic<int> stop{0};
    CompletionWaiter waiter(control, stop, {}, kFast);
    for (int repetitions : {3, 0, -2}) {
        std::vector<int> shown;
        PanelRunEvents events;
        events.repetition = [&shown](int r) { shown.push_back(r); };
        EXPECT_EQ(RunPanelPlan(control, {}, repetitions, stop, waiter, events),
                  std::max(repetitions, 0));
        std::vector<int> expected;
        for (int r = 1; r <= repetitions; ++r) expected.push_back(r);
        EXPECT_EQ(shown, expected) << repetitions;
    }
    // Two repetitions of a home step: once each.
    const std::vector<Row> home = {MakeRow("GoHome", {{2, "9"}, {3, "X"}, {18, "5"}})};
    RunPanelPlan(control, home, 2, stop, waiter, {});
    EXPECT_EQ(control.Names(), (std::vector<std::string>{"SetHomeSpeed", "Setsechhome", "GoHome",
                                                         "SetHomeSpeed", "Setsechhome", "GoHome"}));
}

TEST(PlanRun, ARowThatCannotRunIsNamedAndNothingMoves) {
    // Skipping a row would start every later relative move from a place
    // nobody planned: the first bad row is named and no call is made.
    const Row good = MakeRow("GoOrigion", {{3, "Z"}});
    const std::pair<Row, const char*> cases[] = {
        {MakeRow("Goline2", {{2, "1"}, {3, "X"}, {4, "Y"}, {17, "inch"}, {18, "1"}}),
         "unit \"inch\""},
        {MakeRow("GoPosition", {{2, "1"}, {3, "W"}, {9, "A"}, {11, "C"}, {12, "P"}, {17, "mm"}}),
         "axis \"W\""},
        {MakeRow("GoPosition", {{2, "1"}, {3, "X"}, {9, "A"}, {11, "C"}, {12, "Q"}, {17, "mm"}}),
         "direction \"Q\""},
        {MakeRow("GoSideways", {{3, "X"}}), ""},
    };
    for (const auto& [bad, why] : cases) {
        FakeControl control;
        std::atomic<int> stop{0};
        CompletionWaiter waiter(control, stop, {}, kFast);
        // The bad row comes second: the good row before it must not run either.
        const std::vector<Row> rows = {good, bad, good};
        std::vector<std::pair<int, std::string>> reported;
        PanelRunEvents events;
        events.badRow = [&reported](int row, const std::string& text) {
            reported.emplace_back(row, text);
        };
        EXPECT_EQ(RunPanelPlan(control, rows, 1, stop, waiter, events), 0);
        ASSERT_EQ(reported.size(), 1u) << why;
        EXPECT_EQ(reported[0].first, 2);
        EXPECT_NE(reported[0].second.find(why), std::string::npos) << reported[0].second;
        EXPECT_TRUE(control.Calls().empty()) << why;
        std::string problem;
        EXPECT_EQ(FirstBadRow(rows, &problem), 2);
    }
}

TEST(PlanRun, TheRunEndsAtTheFirstRefusedCallAndNamesIt) {
    // Rows: GoPosition (SetUnit, SetSpeed, GoPosition) twice, then a home.
    const Row move = MakeRow("GoPosition", {{2, "2"},
                                            {3, "X"},
                                            {7, "5"},
                                            {9, "R"},
                                            {10, "0"},
                                            {11, "O"},
                                            {12, "P"},
                                            {17, "mm"},
                                            {18, "10"}});
    const Row home = MakeRow("GoHome", {{3, "Y"}, {18, "7"}});
    struct Case {
        int refuse;  // the nth call is refused
        int row;
        const char* call;
        std::size_t calls;  // calls made, the refused one included
    };
    const Case cases[] = {
        {1, 1, "SetUnit", 1},    {2, 1, "SetSpeed", 2},     {3, 1, "GoPosition", 3},
        {6, 1, "GoPosition", 6}, {7, 2, "SetHomeSpeed", 7}, {9, 2, "GoHome", 9},
    };
    for (const Case& c : cases) {
        FakeControl control;
        control.refuseCall = c.refuse;
        std::atomic<int> stop{0};
        CompletionWaiter waiter(control, stop, {}, kFast);
        int row = 0;
        std::string call;
        int code = 0;
        PanelRunEvents events;
        events.refused = [&](int r, const std::string& name, int errorCode) {
            row = r;
            call = name;
            code = errorCode;
        };
        RunPanelPlan(control, {move, home}, 3, stop, waiter, events);
        EXPECT_EQ(row, c.row) << c.refuse;
        EXPECT_EQ(call, c.call) << c.refuse;
        EXPECT_EQ(code, 20041) << c.refuse;
        EXPECT_EQ(control.Calls().size(), c.calls) << c.refuse;
    }
}

TEST(PlanRun, StopDuringAWaitStopsEveryUsedAxisAndSkipsTheRest) {
    FakeControl control;
    std::atomic<int> stop{0};
    CompletionWaiter waiter(control, stop, {}, kFast);
    control.onMotion = [&control, &stop](const Call& call) {
        if (call.name == "GoInterpolationline2") {
            control.MoveUntilStopped(true);  // Y and Z would move for ever
            stop = 1;                        // the operator presses Stop meanwhile
        }
    };
    const std::vector<Row> rows = {
        MakeRow(
            "GoPosition",
            {{2, "1"}, {3, "X"}, {6, "1"}, {9, "A"}, {11, "C"}, {12, "P"}, {17, "mm"}, {18, "1"}}),
        MakeRow("Goline2", {{2, "5"}, {3, "Y"}, {4, "Z"}, {10, "100000"}, {17, "mm"}, {18, "1"}}),
        MakeRow("GoHome", {{3, "T"}}),
    };
    EXPECT_EQ(RunPanelPlan(control, rows, 3, stop, waiter, {}), 1);
    std::vector<int> stops = control.Stops();
    std::sort(stops.begin(), stops.end());
    stops.erase(std::unique(stops.begin(), stops.end()), stops.end());
    EXPECT_EQ(stops, (std::vector<int>{0, 1, 2}));  // X from the first step, Y and Z
    const std::vector<std::string> names = control.Names();
    EXPECT_EQ(std::count(names.begin(), names.end(), "GoInterpolationline2"), 1);
    EXPECT_EQ(std::count(names.begin(), names.end(), "GoHome"), 0);
}

// A poller that answers a fixed sequence of readings for axis X.
class ScriptedPoller : public AxisPoller {
  public:
    explicit ScriptedPoller(std::vector<double> readings) : m_readings(std::move(readings)) {}
    bool Stop(std::int16_t axis) override {
        std::lock_guard<std::mutex> hold(m_lock);
        m_stops.push_back(axis);
        return true;
    }
    double GetPosition(std::int16_t) override {
        std::lock_guard<std::mutex> hold(m_lock);
        const double v = m_next < m_readings.size() ? m_readings[m_next] : m_readings.back();
        ++m_next;
        return v;
    }
    std::size_t Count() {
        std::lock_guard<std::mutex> hold(m_lock);
        return m_next;
    }
    std::vector<int> Stops() {
        std::lock_guard<std::mutex> hold(m_lock);
        return m_stops;
    }

  private:
    std::mutex m_lock;
    std::vector<double> m_readings;
    std::size_t m_next = 0;
    std::vector<int> m_stops;
};

TEST(CompletionWait, AnAxisIsDoneAfterMoreThanFiveEqualReadingsCountedAcrossMoves) {
    struct Case {
        std::vector<double> readings;
        std::size_t passes;
    };
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const Case cases[] = {
        {{1, 2, 3, 3}, 9},            // three moving readings, then six equal ones
        {{0, 0, 0, 1, 1}, 8},         // equal readings before a move still count
        {{nan, nan}, 7},              // readings that are no number do not keep it going
        {{5, 6, 5, 6, 5, 6, 5}, 13},  // back and forth: only equal neighbours of a change count
    };
    for (const Case& c : cases) {
        ScriptedPoller poller(c.readings);
        std::atomic<int> stop{0};
        std::vector<float> seen;
        CompletionWaiter waiter(
            poller, stop, [&seen](const AxisPositions& p) { seen.push_back(p.position[0]); },
            kFast);
        waiter.MarkUsed(0);
        waiter.Wait();
        EXPECT_EQ(poller.Count(), c.passes) << c.readings.size();
        EXPECT_EQ(seen.size(), c.passes);
        EXPECT_TRUE(poller.Stops().empty());
    }
}

TEST(CompletionWait, WithoutUsedAxesTheWaitEndsAtOnce) {
    ScriptedPoller poller({1, 2, 3});
    std::atomic<int> stop{1};
    int passes = 0;
    CompletionWaiter waiter(
        poller, stop, [&passes](const AxisPositions&) { ++passes; }, kFast);
    waiter.MarkUsed(7);  // no such axis
    waiter.Wait();
    EXPECT_EQ(passes, 1);
    EXPECT_EQ(poller.Count(), 0u);
    EXPECT_TRUE(poller.Stops().empty());
}

TEST(CompletionWait, AbortEndsAWaitThatWouldNeverEndAndStillStopsTheAxes) {
    std::vector<double> endless(100000);
    for (std::size_t i = 0; i < endless.size(); ++i) endless[i] = double(i);
    ScriptedPoller poller(endless);
    std::atomic<int> stop{0};
    CompletionWaiter waiter(poller, stop, {}, kFast);
    waiter.MarkUsed(0);
    waiter.MarkUsed(3);
    std::thread run([&waiter] { waiter.Wait(); });
    while (poller.Count() < 10) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    stop = 1;
    waiter.Abort();
    run.join();
    const std::vector<int> stops = poller.Stops();
    EXPECT_NE(std::find(stops.begin(), stops.end(), 0), stops.end());
    EXPECT_NE(std::find(stops.begin(), stops.end(), 3), stops.end());
    // Later waits return at once until the abort is reset.
    const std::size_t before = poller.Count();
    waiter.Wait();
    EXPECT_EQ(poller.Count(), before);
}

}  // namespace
