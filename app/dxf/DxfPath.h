#pragma once
// A drawing's lines, circles, arcs and polylines as a path for axes X and Y:
// imported from the drawing library's records, ordered nearest first from the
// origin, joined by travel lines, polylines expanded into their segments, and
// turned into the automation calls a run makes. Qt-free.
#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "CadIO.h"

namespace stagedesk::dxf {

enum ElementKind : std::int32_t { kLine = 1, kCircle = 3, kArc = 8, kPolyline = 19 };

// Arc directions as the controller takes them: 1 counter-clockwise ("P"),
// 0 clockwise ("N"), seen with the first axis to the right and the second up.
enum ArcDirection : std::int16_t { kClockwise = 0, kCounterClockwise = 1 };

struct PathElement {
    std::int32_t kind = kLine;
    double startX = 0, startY = 0;  // first point in run direction
    double endX = 0, endY = 0;      // last point in run direction
    double dx = 0, dy = 0;          // the move: end minus where the previous move ended
    double centreX = 0, centreY = 0, radius = 0;
    // As recorded: the arc runs counter-clockwise from startAngle to endAngle.
    double startAngle = 0, endAngle = 0;
    double centreDx = 0, centreDy = 0;  // centre minus where the move starts
    std::vector<DrwVertex> vertices;    // a polyline's own copy
    std::int32_t further = 0;           // a polyline's flags (DRW_POLYLINE_CLOSED)
    bool drawn = true;
    bool reversed = false;  // runs from its recorded end to its recorded start
    // Beyond the record:
    std::int16_t direction = kCounterClockwise;  // arcs and circles, as run
    bool travel = false;                         // a travel line between two elements
    bool run = true;                             // false for a polyline: its segments run
};

// The data-copy messages of "drwGetData" become elements. Records of other
// sizes or kinds are ignored (text, points); a record with numbers that make
// no path (not finite, no radius, no vertices) is refused and counted.
class Importer {
  public:
    void OnData(const void* data, std::size_t size);
    std::vector<PathElement>& Elements() { return m_elements; }
    // Ignored records by kind.
    const std::map<std::int32_t, int>& Ignored() const { return m_ignored; }
    int Refused() const { return m_refused; }
    // A window for "drwSethwndMess" that feeds this importer.
    DrwReceiver Receiver();

  private:
    std::vector<PathElement> m_elements;
    std::map<std::int32_t, int> m_ignored;
    int m_refused = 0;
};

// One record as an element; false for a record that makes no element.
bool ElementOfRecord(const DrwEntityRecord& record, PathElement* out);

// Nearest-first order from the origin (see DxfOrder.h); `straightforward`
// uses the quadratic procedure, for comparison.
std::vector<PathElement> OrderPath(std::vector<PathElement> elements, bool straightforward = false);

// Gaps above this, in x or in y, get a travel line.
constexpr double kGapTolerance = 0.0001;

// Travel lines in front of the first element (unless it starts at the origin)
// and across gaps, the moves of every element, and each polyline's segments
// right after it (lines, and arcs for bulges, the closing one included).
// Moves are measured from where the previous move ends as the controller
// receives it (single precision), so neither skipped gaps nor rounding add up.
std::vector<PathElement> ConnectPath(std::vector<PathElement> ordered);

// Order and connect.
std::vector<PathElement> PreparePath(std::vector<PathElement> imported,
                                     bool straightforward = false);

// The automation calls of a run, in order: X and Y back to their origins,
// then one motion per element that runs.
struct MotionCall {
    enum class Method { kGoOrigion, kGoInterpolationline2, kGoInterpolationArc };
    Method method = Method::kGoOrigion;
    std::int16_t axis1 = 0, axis2 = 1;
    float x = 0, y = 0;    // line: distances; arc: target relative to the start
    float cx = 0, cy = 0;  // arc: centre relative to the start
    std::int16_t direction = kCounterClockwise;
    std::int32_t element = -1;  // its path element, or -1
    bool travel = false;        // a travel line (the tool is off)
};
std::vector<MotionCall> RunCalls(const std::vector<PathElement>& path);

// Where a drawing lands on the table: every drawing point p runs to
// scale * p + offset (user units of the axes). The ordering stays in drawing
// units; the moves, arc centres and the leading travel line are placed.
// `ccwValue` is the direction value that turns counter-clockwise on the
// machine (1 sends "P" for counter-clockwise, 0 sends "N").
struct Placement {
    double scale = 1.0;
    double offsetX = 0, offsetY = 0;
    std::int16_t ccwValue = kCounterClockwise;
    bool operator==(const Placement&) const = default;
};
// The calls with the placement. False with the reason (which move, which
// value) when a value sent would not be a finite 32-bit float.
bool PlacedCalls(const std::vector<PathElement>& path, const Placement& placement,
                 std::vector<MotionCall>* calls, std::string* error);

// "GoInterpolationline2(0, 1, 10.000000, 0.000000)": the automation method and
// its arguments, numbers with six decimals whatever the locale.
std::string FormatCall(const MotionCall& call);

}  // namespace stagedesk::dxf
