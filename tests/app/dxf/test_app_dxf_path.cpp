// The path rules: from records to elements, travel lines, polyline segments
// (closing segment and bulges included), arc directions, and the calls a run
// makes, as the operator sees them in the dry run.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "DxfPath.h"
#include "DxfTestRecords.h"

namespace stagedesk::dxf {
namespace {

using test::Arc;
using test::Circle;
using test::Line;

struct V {
    double x, y, bulge = 0;
};

// Polylines point at vertices the test keeps alive while it imports.
struct Drawing {
    std::vector<DrwEntityRecord> records;
    std::vector<std::vector<DrwVertex>> vertexStore;

    Drawing& Add(const DrwEntityRecord& r) {
        records.push_back(r);
        return *this;
    }
    Drawing& Polyline(std::vector<V> vertices, bool closed = false) {
        std::vector<DrwVertex> v;
        for (const V& p : vertices) {
            DrwVertex d{};
            d.x = p.x;
            d.y = p.y;
            d.bulge = p.bulge;
            v.push_back(d);
        }
        vertexStore.push_back(std::move(v));
        DrwEntityRecord r{};
        r.kind = DRW_ENT_POLYLINE;
        r.flags = closed ? DRW_POLYLINE_CLOSED : 0;
        r.vertexCount = static_cast<int32_t>(vertexStore.back().size());
        records.push_back(r);
        return *this;
    }
    Importer Import() {
        Importer imp;
        std::size_t poly = 0;
        for (DrwEntityRecord r : records) {
            if (r.kind == DRW_ENT_POLYLINE) r.vertices = vertexStore[poly++].data();
            imp.OnData(&r, sizeof r);
        }
        return imp;
    }
    std::vector<PathElement> Path() { return PreparePath(std::move(Import().Elements())); }
    // The motion calls after the two returns to the origin, as printed.
    std::vector<std::string> Moves() {
        const std::vector<MotionCall> calls = RunCalls(Path());
        std::vector<std::string> out;
        for (std::size_t i = 2; i < calls.size(); ++i) out.push_back(FormatCall(calls[i]));
        return out;
    }
};

std::string L(const char* x, const char* y) {
    return std::string("GoInterpolationline2(0, 1, ") + x + ", " + y + ")";
}

TEST(DxfPath, TheRulesOfTheRunAsCalls) {
    struct Case {
        const char* what;
        Drawing drawing;
        std::vector<std::string> moves;
    } cases[] = {
        {"first element at the origin: no travel line",
         Drawing().Add(Line(0, 0, 10, 0)),
         {L("10.000000", "0.000000")}},
        {"first element elsewhere: a travel line from the origin",
         Drawing().Add(Line(2, 3, 10, 3)),
         {L("2.000000", "3.000000"), L("8.000000", "0.000000")}},
        {"a gap only in y",
         Drawing().Add(Line(0, 0, 10, 0)).Add(Line(10, 0.5, 20, 0.5)),
         {L("10.000000", "0.000000"), L("0.000000", "0.500000"), L("10.000000", "0.000000")}},
        {"a gap within the tolerance: no travel line, the next move takes it up",
         Drawing().Add(Line(0, 0, 10, 0)).Add(Line(10, 0.00005, 20, 0.00005)),
         {L("10.000000", "0.000000"), L("10.000000", "0.000050")}},
        {"an end as near as the start: turned round",
         Drawing().Add(Line(5, 1, -5, 1)),
         {L("-5.000000", "1.000000"), L("10.000000", "0.000000")}},
        {"the circle at (10, 5) with radius 3 starts at (7, 5)",
         Drawing().Add(Circle(10, 5, 3)),
         {L("7.000000", "5.000000"),
          "GoInterpolationArc(0, 1, 0.000000, 0.000000, 3.000000, 0.000000, 1)"}},
        {"a circle left of the origin starts on its side nearer to 0",
         Drawing().Add(Circle(-10, 5, 3)),
         {L("-7.000000", "5.000000"),
          "GoInterpolationArc(0, 1, 0.000000, 0.000000, -3.000000, 0.000000, 1)"}},
        {"whole parts equally near to 0: the plus side",
         Drawing().Add(Circle(0, 2, 0.5)),
         {L("0.500000", "2.000000"),
          "GoInterpolationArc(0, 1, 0.000000, 0.000000, -0.500000, 0.000000, 1)"}},
        {"a polyline turned round runs its segments from the last vertex",
         Drawing().Polyline({{9, 3}, {9, 0}, {1, 0}}),
         {L("1.000000", "0.000000"), L("8.000000", "0.000000"), L("0.000000", "3.000000")}},
        {"a closed polyline keeps its closing segment",
         Drawing().Polyline({{0, 0}, {4, 0}, {4, 4}, {0, 4}}, true),
         {L("4.000000", "0.000000"), L("0.000000", "4.000000"), L("-4.000000", "0.000000"),
          L("0.000000", "-4.000000")}},
        {"a closed polyline that repeats its first vertex adds no empty segment",
         Drawing().Polyline({{0, 0}, {4, 0}, {4, 4}, {0, 0}}, true),
         {L("4.000000", "0.000000"), L("0.000000", "4.000000"), L("-4.000000", "-4.000000")}},
        {"a bulge is a circular arc: +1 a half circle counter-clockwise",
         Drawing().Polyline({{0, 0, 1}, {4, 0}}),
         {"GoInterpolationArc(0, 1, 4.000000, 0.000000, 2.000000, 0.000000, 1)"}},
        {"a negative bulge turns clockwise",
         Drawing().Polyline({{0, 0, -1}, {4, 0}}),
         {"GoInterpolationArc(0, 1, 4.000000, 0.000000, 2.000000, 0.000000, 0)"}},
        {"a bulge of a polyline turned round turns the other way",
         Drawing().Polyline({{4, 0, 1}, {0, 0}}),
         {"GoInterpolationArc(0, 1, 4.000000, 0.000000, 2.000000, 0.000000, 0)"}},
        {"the closing segment carries the last vertex's bulge",
         Drawing().Polyline({{0, 0}, {4, 0}, {4, 4, 1}}, true),
         {L("4.000000", "0.000000"), L("0.000000", "4.000000"),
          "GoInterpolationArc(0, 1, -4.000000, -4.000000, -2.000000, -2.000000, 1)"}},
        {"an arc turned round by the ordering runs clockwise",
         Drawing().Add(Arc(10, 0, 5, 0, 90)),  // (15, 0) to (10, 5): the end is nearer
         {L("10.000000", "5.000000"),
          "GoInterpolationArc(0, 1, 5.000000, -5.000000, 0.000000, -5.000000, 0)"}},
    };
    for (Case& c : cases) EXPECT_EQ(c.drawing.Moves(), c.moves) << c.what;
}

// Every recorded arc runs counter-clockwise from its start angle, whichever
// angle is the larger: both arcs below are cut the way they are drawn.
TEST(DxfPath, ArcsRunTheWayTheyAreDrawnWhateverTheirAngles) {
    struct Case {
        const char* what;
        DrwEntityRecord arc;
    } cases[] = {
        {"start angle above the end angle, across 0", Arc(10, 3, 5, 350, 10)},
        {"start angle below the end angle, nearly whole", Arc(10, -3, 5, 10, 350)},
        {"a plain quarter", Arc(0, 10, 5, 270, 0)},
    };
    for (const Case& c : cases) {
        const std::vector<PathElement> path = Drawing().Add(c.arc).Path();
        ASSERT_EQ(path.size(), 2u) << c.what;  // travel line, arc
        const PathElement& a = path[1];
        EXPECT_FALSE(a.reversed) << c.what;
        EXPECT_EQ(a.direction, kCounterClockwise) << c.what;
        const std::vector<MotionCall> calls = RunCalls(path);
        EXPECT_EQ(calls.back().direction, 1) << c.what;
        // The target is the recorded end relative to the recorded start.
        const double k = 0.017453292519444445;
        const double sx = c.arc.arcX + c.arc.arcRadius * std::cos(c.arc.arcStartAngle * k);
        const double ex = c.arc.arcX + c.arc.arcRadius * std::cos(c.arc.arcEndAngle * k);
        EXPECT_NEAR(calls.back().x, ex - sx, 1e-5) << c.what;
    }
}

TEST(DxfPath, PolylinesStayInThePathAheadOfTheirSegments) {
    const std::vector<PathElement> path = Drawing().Polyline({{0, 0}, {3, 0}, {3, 3}}).Path();
    ASSERT_EQ(path.size(), 3u);
    EXPECT_EQ(path[0].kind, kPolyline);
    EXPECT_FALSE(path[0].run);
    EXPECT_EQ(path[0].vertices.size(), 3u);
    EXPECT_EQ(path[1].kind, kLine);
    EXPECT_EQ(path[2].kind, kLine);
    EXPECT_EQ(RunCalls(path).size(), 4u);
}

TEST(DxfPath, RecordsThatMakeNoPathAreIgnoredOrRefused) {
    Drawing d;
    DrwEntityRecord text{};
    text.kind = DRW_ENT_TEXT;
    DrwEntityRecord point{};
    point.kind = DRW_ENT_POINT;
    DrwEntityRecord other{};
    other.kind = 42;
    d.Add(text).Add(point).Add(other).Add(Line(0, 0, 1, 0));
    d.Add(Arc(0, 0, 0, 0, 90)).Add(Circle(0, 0, -1)).Add(Line(0, 0, std::nan(""), 1));
    d.Polyline({});
    Importer imp = d.Import();
    const DrwEntityRecord line = Line(5, 5, 6, 6);
    imp.OnData(&line, 100);  // not a whole record
    imp.OnData(nullptr, 152);
    ASSERT_EQ(imp.Elements().size(), 1u);
    EXPECT_EQ(imp.Elements()[0].kind, kLine);
    EXPECT_EQ(imp.Ignored(), (std::map<std::int32_t, int>{{2, 1}, {7, 1}, {42, 1}}));
    EXPECT_EQ(imp.Refused(), 4);
}

TEST(DxfPath, AnEmptyPathOnlyReturnsToTheOrigins) {
    const std::vector<MotionCall> calls = RunCalls(Drawing().Path());
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(FormatCall(calls[0]), "GoOrigion(0)");
    EXPECT_EQ(FormatCall(calls[1]), "GoOrigion(1)");
}

// Gaps below the tolerance get no travel line; were each move measured from
// its own element's start, every such gap would shift the rest of the run.
TEST(DxfPath, SmallGapsAndRoundingDoNotAddUp) {
    Drawing d;
    double x = 0;
    for (int i = 0; i < 1000; ++i) {
        d.Add(Line(x, 0, x + 0.1, 0));
        x += 0.1 + 0.00009;
    }
    const std::vector<MotionCall> calls = RunCalls(d.Path());
    ASSERT_EQ(calls.size(), 1002u);  // no travel line at all
    double machine = 0;
    for (std::size_t i = 2; i < calls.size(); ++i) machine += static_cast<double>(calls[i].x);
    EXPECT_NEAR(machine, x - 0.00009, 1e-5);
}

// Each move is measured from where the values sent so far (single precision)
// have taken the axes, in optimised builds too: every move then ends exactly
// at its element's end as far as doubles tell.
TEST(DxfPath, EachMoveEndsWhereTheSentValuesTakeTheAxes) {
    Drawing d;
    d.Add(Line(0, 0, 0.1, 0.7)).Add(Arc(3, 0.7, 2.9, 180, 270)).Add(Line(5.3, 5.3, 6.1, 6.7));
    const std::vector<PathElement> path = d.Path();
    double x = 0, y = 0;
    for (const PathElement& e : path) {
        if (!e.run || e.kind == kCircle) continue;
        EXPECT_DOUBLE_EQ(x + e.dx, e.endX);
        EXPECT_DOUBLE_EQ(y + e.dy, e.endY);
        x += static_cast<double>(static_cast<float>(e.dx));
        y += static_cast<double>(static_cast<float>(e.dy));
        EXPECT_NE(x, e.endX) << "the values chosen are not exact floats";
    }
}

TEST(DxfPath, CallsArePrintedWithSixDecimalsAndNoNegativeZero) {
    MotionCall c;
    c.method = MotionCall::Method::kGoInterpolationArc;
    c.x = -0.0f;
    c.y = -0.0000001f;
    c.cx = 0.1f;
    c.cy = -12345.5f;
    c.direction = 0;
    EXPECT_EQ(FormatCall(c),
              "GoInterpolationArc(0, 1, 0.000000, 0.000000, 0.100000, -12345.500000, 0)");
}

}  // namespace
}  // namespace stagedesk::dxf
