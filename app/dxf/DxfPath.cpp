#include "DxfPath.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <string>
#include <utility>

#include "DxfOrder.h"
#include "LargeBuffers.h"
#include "NumText.h"

namespace stagedesk::dxf {
namespace {

// Degrees to radians as the recorded angles have always been turned.
constexpr double kDegree = 0.017453292519444445;

// Finite, and within what the run sends (32-bit floats).
bool Finite(std::initializer_list<double> values) {
    for (double v : values)
        if (!std::isfinite(v) ||
            std::fabs(v) > static_cast<double>(std::numeric_limits<float>::max()))
            return false;
    return true;
}

void CopyData(void* context, uint32_t, const void* data, size_t size) {
    static_cast<Importer*>(context)->OnData(data, size);
}

}  // namespace

bool ElementOfRecord(const DrwEntityRecord& r, PathElement* out) {
    PathElement e;
    e.kind = r.kind;
    switch (r.kind) {
        case kLine:
            if (!Finite({r.x1, r.y1, r.x2, r.y2})) return false;
            e.startX = r.x1;
            e.startY = r.y1;
            e.endX = r.x2;
            e.endY = r.y2;
            break;
        case kCircle: {
            if (!Finite({r.circleX, r.circleY, r.circleRadius}) || !(r.circleRadius > 0))
                return false;
            e.centreX = r.circleX;
            e.centreY = r.circleY;
            e.radius = r.circleRadius;
            // Start on the side whose whole part is nearer to 0 (the plus
            // side on a tie): the circle at (10, 5) with radius 3 starts at (7, 5).
            const double minus = r.circleX - r.circleRadius;
            const double plus = r.circleX + r.circleRadius;
            const double x0 =
                std::fabs(std::trunc(minus)) < std::fabs(std::trunc(plus)) ? minus : plus;
            e.startX = e.endX = x0;
            e.startY = e.endY = r.circleY;
            break;
        }
        case kArc:
            if (!Finite({r.arcX, r.arcY, r.arcRadius, r.arcStartAngle, r.arcEndAngle}) ||
                !(r.arcRadius > 0))
                return false;
            e.centreX = r.arcX;
            e.centreY = r.arcY;
            e.radius = r.arcRadius;
            e.startAngle = r.arcStartAngle;
            e.endAngle = r.arcEndAngle;
            e.startX = r.arcX + r.arcRadius * std::cos(r.arcStartAngle * kDegree);
            e.startY = r.arcY + r.arcRadius * std::sin(r.arcStartAngle * kDegree);
            e.endX = r.arcX + r.arcRadius * std::cos(r.arcEndAngle * kDegree);
            e.endY = r.arcY + r.arcRadius * std::sin(r.arcEndAngle * kDegree);
            // A recorded arc always runs counter-clockwise from its start angle.
            e.direction = kCounterClockwise;
            break;
        case kPolyline: {
            if (r.vertices == nullptr || r.vertexCount < 1) return false;
            e.vertices.assign(r.vertices, r.vertices + r.vertexCount);
            for (const DrwVertex& v : e.vertices)
                if (!Finite({v.x, v.y, v.bulge})) return false;
            e.further = r.flags;
            e.run = false;
            e.startX = e.vertices.front().x;
            e.startY = e.vertices.front().y;
            // A closed polyline comes back to its first vertex.
            const DrwVertex& last =
                (r.flags & DRW_POLYLINE_CLOSED) ? e.vertices.front() : e.vertices.back();
            e.endX = last.x;
            e.endY = last.y;
            break;
        }
        default:
            return false;
    }
    *out = std::move(e);
    return true;
}

void Importer::OnData(const void* data, std::size_t size) {
    if (data == nullptr || size != sizeof(DrwEntityRecord)) return;
    DrwEntityRecord r;
    std::memcpy(&r, data, sizeof r);
    if (r.kind != kLine && r.kind != kCircle && r.kind != kArc && r.kind != kPolyline) {
        ++m_ignored[r.kind];
        return;
    }
    PathElement e;
    if (!ElementOfRecord(r, &e)) {
        ++m_refused;
        return;
    }
    if (m_elements.size() == m_elements.capacity()) {
        m_elements.reserve(std::max<std::size_t>(1024, 2 * m_elements.capacity()));
        korva::AdviseLargeCapacity(m_elements);
    }
    m_elements.push_back(std::move(e));
}

DrwReceiver Importer::Receiver() {
    return DrwReceiver{this, nullptr, &CopyData};
}

namespace {

Ordering OrderOf(const std::vector<PathElement>& elements, bool straightforward) {
    std::vector<Endpoints> ends;
    ends.reserve(elements.size());
    for (const PathElement& e : elements) ends.push_back({e.startX, e.startY, e.endX, e.endY});
    return straightforward ? OrderStraightforward(ends) : OrderNearest(ends);
}

// Run the other way round: an arc turns the other way too.
void TurnRound(PathElement& e) {
    std::swap(e.startX, e.endX);
    std::swap(e.startY, e.endY);
    e.reversed = true;
    if (e.kind == kArc) e.direction = kClockwise;
}

}  // namespace

std::vector<PathElement> OrderPath(std::vector<PathElement> elements, bool straightforward) {
    const Ordering o = OrderOf(elements, straightforward);
    std::vector<PathElement> ordered;
    ordered.reserve(elements.size());
    for (std::size_t i = 0; i < o.order.size(); ++i) {
        ordered.push_back(std::move(elements[o.order[i]]));
        if (o.reversed[i]) TurnRound(ordered.back());
    }
    return ordered;
}

namespace {

// A value as the controller receives it (a 32-bit float). Kept out of line:
// g++ 12 at -O2 merged the two conversions of a move into vector code that
// dropped the narrowing, so optimised builds summed the exact values and
// printed other calls than debug builds.
[[gnu::noinline]] double AsSent(double value) {
    return static_cast<double>(static_cast<float>(value));
}

class Connector {
  public:
    explicit Connector(std::vector<PathElement>* out) : m_out(out) {}

    // Where the last move ends in the drawing, for the gap test.
    double LastX() const { return m_lastX; }
    double LastY() const { return m_lastY; }

    void Travel(double x, double y) {
        PathElement t;
        t.kind = kLine;
        t.travel = true;
        t.startX = m_lastX;
        t.startY = m_lastY;
        t.endX = x;
        t.endY = y;
        Add(std::move(t));
    }

    // Sets the element's moves from where the controller stands and appends it.
    void Add(PathElement e) {
        if (e.run) {
            e.dx = e.endX - m_machineX;
            e.dy = e.endY - m_machineY;
            if (e.kind == kCircle) {
                e.dx = e.dy = 0;  // a whole turn ends where it starts
            }
            if (e.kind == kCircle || e.kind == kArc) {
                e.centreDx = e.centreX - m_machineX;
                e.centreDy = e.centreY - m_machineY;
            }
            // The controller receives single precision and moves by that.
            m_machineX += AsSent(e.dx);
            m_machineY += AsSent(e.dy);
        } else {
            e.dx = e.endX - e.startX;
            e.dy = e.endY - e.startY;
        }
        m_lastX = e.endX;
        m_lastY = e.endY;
        m_out->push_back(std::move(e));
    }

    // Continues from a polyline's start: its first segment begins there.
    void ContinueAt(double x, double y) {
        m_lastX = x;
        m_lastY = y;
    }

  private:
    std::vector<PathElement>* m_out;
    double m_lastX = 0, m_lastY = 0;
    double m_machineX = 0, m_machineY = 0;
};

// One polyline segment from vertex a to vertex b, with a's bulge; `back`
// runs it from b to a.
PathElement Segment(const DrwVertex& a, const DrwVertex& b, bool back) {
    PathElement s;
    const DrwVertex& from = back ? b : a;
    const DrwVertex& to = back ? a : b;
    s.startX = from.x;
    s.startY = from.y;
    s.endX = to.x;
    s.endY = to.y;
    s.reversed = back;
    const double chordX = b.x - a.x, chordY = b.y - a.y;
    const double chord = std::hypot(chordX, chordY);
    if (a.bulge == 0 || !(chord > 0)) {
        s.kind = kLine;
        return s;
    }
    // The bulge is the tangent of a quarter of the included angle, positive
    // when the arc turns counter-clockwise from a to b.
    const double k = (1 - a.bulge * a.bulge) / (4 * a.bulge);
    s.kind = kArc;
    s.centreX = (a.x + b.x) / 2 - chordY * k;
    s.centreY = (a.y + b.y) / 2 + chordX * k;
    s.radius = chord * (1 + a.bulge * a.bulge) / (4 * std::fabs(a.bulge));
    const bool ccw = a.bulge > 0;
    const double angleA = std::atan2(a.y - s.centreY, a.x - s.centreX) / kDegree;
    const double angleB = std::atan2(b.y - s.centreY, b.x - s.centreX) / kDegree;
    // Recorded the way an arc entity is: counter-clockwise from start to end.
    s.startAngle = ccw ? angleA : angleB;
    s.endAngle = ccw ? angleB : angleA;
    s.direction = (ccw != back) ? kCounterClockwise : kClockwise;
    return s;
}

}  // namespace

namespace {

std::size_t SegmentCount(const PathElement& e) {
    const std::size_t n = e.vertices.size();
    if (e.kind != kPolyline || n == 0) return 0;
    return (e.further & DRW_POLYLINE_CLOSED) ? n : n - 1;
}

}  // namespace

namespace {

// Joins the elements in the given order (their own order without one), each
// turned round where the ordering says so; moves them out of `elements`.
std::vector<PathElement> Connect(std::vector<PathElement>& elements, const Ordering* o) {
    auto elementAt = [&](std::size_t i) -> PathElement& {
        return o ? elements[o->order[i]] : elements[i];
    };
    // Sized once: elements, a travel line in front of each at most, segments.
    std::size_t size = 2 * elements.size();
    for (const PathElement& e : elements) size += SegmentCount(e);
    std::vector<PathElement> out;
    out.reserve(size);
    korva::AdviseLargeCapacity(out);
    Connector c(&out);
    for (std::size_t i = 0; i < elements.size(); ++i) {
        PathElement& e = elementAt(i);
        if (o && o->reversed[i]) TurnRound(e);
        if (i == 0) {
            if (e.startX != 0 || e.startY != 0) c.Travel(e.startX, e.startY);
        } else if (std::fabs(e.startX - c.LastX()) > kGapTolerance ||
                   std::fabs(e.startY - c.LastY()) > kGapTolerance) {
            c.Travel(e.startX, e.startY);
        }
        const std::size_t segments = SegmentCount(e);
        const double startX = e.startX, startY = e.startY, endX = e.endX, endY = e.endY;
        const bool back = e.reversed;
        const std::size_t at = out.size();
        c.Add(std::move(e));
        if (out[at].kind != kPolyline) continue;
        c.ContinueAt(startX, startY);
        // Segment k joins vertex k and the next one (the closing segment the
        // last vertex and the first); turned round, they run from the last.
        const std::size_t n = out[at].vertices.size();
        for (std::size_t s = 0; s < segments; ++s) {
            const std::size_t k = back ? segments - 1 - s : s;
            const DrwVertex a = out[at].vertices[k];
            const DrwVertex b = out[at].vertices[(k + 1) % n];
            if (a.x == b.x && a.y == b.y) continue;  // nothing to move
            c.Add(Segment(a, b, back));
        }
        c.ContinueAt(endX, endY);
    }
    return out;
}

}  // namespace

std::vector<PathElement> ConnectPath(std::vector<PathElement> ordered) {
    return Connect(ordered, nullptr);
}

std::vector<PathElement> PreparePath(std::vector<PathElement> imported, bool straightforward) {
    const Ordering o = OrderOf(imported, straightforward);
    return Connect(imported, &o);
}

std::vector<MotionCall> RunCalls(const std::vector<PathElement>& path) {
    std::vector<MotionCall> calls;
    calls.reserve(path.size() + 2);
    korva::AdviseLargeCapacity(calls);
    for (std::int16_t axis : {0, 1}) {
        MotionCall origin;
        origin.method = MotionCall::Method::kGoOrigion;
        origin.axis1 = axis;
        calls.push_back(origin);
    }
    for (std::size_t i = 0; i < path.size(); ++i) {
        const PathElement& e = path[i];
        if (!e.run) continue;
        MotionCall c;
        c.element = static_cast<std::int32_t>(i);
        c.travel = e.travel;
        switch (e.kind) {
            case kLine:
                c.method = MotionCall::Method::kGoInterpolationline2;
                c.x = static_cast<float>(e.dx);
                c.y = static_cast<float>(e.dy);
                break;
            case kCircle:
                c.method = MotionCall::Method::kGoInterpolationArc;
                c.cx = static_cast<float>(e.centreDx);
                c.cy = static_cast<float>(e.centreDy);
                c.direction = kCounterClockwise;
                break;
            case kArc:
                c.method = MotionCall::Method::kGoInterpolationArc;
                c.x = static_cast<float>(e.dx);
                c.y = static_cast<float>(e.dy);
                c.cx = static_cast<float>(e.centreDx);
                c.cy = static_cast<float>(e.centreDy);
                c.direction = e.direction;
                break;
            default:
                continue;
        }
        calls.push_back(c);
    }
    return calls;
}

namespace {

bool FitsFloat(double v) {
    return std::isfinite(v) &&
           std::fabs(v) <= static_cast<double>(std::numeric_limits<float>::max());
}

}  // namespace

bool PlacedCalls(const std::vector<PathElement>& path, const Placement& p,
                 std::vector<MotionCall>* out, std::string* error) {
    std::vector<MotionCall>& calls = *out;
    if (p.scale == 1.0 && p.offsetX == 0 && p.offsetY == 0) {
        // At the drawing's own coordinates the moves are the path's own.
        calls = RunCalls(path);
        for (MotionCall& c : calls) {
            if (c.method == MotionCall::Method::kGoInterpolationArc &&
                p.ccwValue != kCounterClockwise)
                c.direction = static_cast<std::int16_t>(1 - c.direction);
            for (float v : {c.x, c.y, c.cx, c.cy}) {
                if (!FitsFloat(v)) {
                    *error = "a distance does not fit the 32-bit numbers sent";
                    return false;
                }
            }
        }
        return true;
    }
    calls.clear();
    calls.reserve(path.size() + 3);
    korva::AdviseLargeCapacity(calls);
    for (std::int16_t axis : {0, 1}) {
        MotionCall origin;
        origin.method = MotionCall::Method::kGoOrigion;
        origin.axis1 = axis;
        calls.push_back(origin);
    }
    auto placeX = [&](double x) { return p.scale * x + p.offsetX; };
    auto placeY = [&](double y) { return p.scale * y + p.offsetY; };
    auto direction = [&](std::int16_t d) {
        return d == kCounterClockwise ? p.ccwValue : static_cast<std::int16_t>(1 - p.ccwValue);
    };
    // Moves are measured from where the controller stands, as the sum of the
    // single-precision values it received, so rounding does not add up.
    double machineX = 0, machineY = 0;
    bool first = true;
    for (std::size_t i = 0; i < path.size(); ++i) {
        const PathElement& e = path[i];
        if (!e.run) continue;
        MotionCall c;
        c.element = static_cast<std::int32_t>(i);
        c.travel = e.travel;
        if (first) {
            first = false;
            // The leading travel line runs from the axes' origin to where the
            // drawing starts on the table, whenever that is not the origin.
            const double startX = e.travel ? e.endX : e.startX;
            const double startY = e.travel ? e.endY : e.startY;
            const double x = placeX(startX), y = placeY(startY);
            if (x != 0 || y != 0) {
                MotionCall lead;
                lead.method = MotionCall::Method::kGoInterpolationline2;
                lead.travel = true;
                lead.element = e.travel ? c.element : -1;
                lead.x = static_cast<float>(x);
                lead.y = static_cast<float>(y);
                if (!FitsFloat(x) || !FitsFloat(y)) {
                    *error =
                        "the start of the drawing on the table does not fit the 32-bit numbers "
                        "sent";
                    return false;
                }
                calls.push_back(lead);
                machineX += static_cast<double>(lead.x);
                machineY += static_cast<double>(lead.y);
            }
            if (e.travel) continue;
        }
        const double tx = placeX(e.endX) - machineX, ty = placeY(e.endY) - machineY;
        double values[4] = {tx, ty, 0, 0};
        switch (e.kind) {
            case kLine:
                c.method = MotionCall::Method::kGoInterpolationline2;
                break;
            case kCircle:
                c.method = MotionCall::Method::kGoInterpolationArc;
                values[0] = values[1] = 0;  // a whole turn ends where it starts
                values[2] = placeX(e.centreX) - machineX;
                values[3] = placeY(e.centreY) - machineY;
                c.direction = direction(kCounterClockwise);
                break;
            case kArc:
                c.method = MotionCall::Method::kGoInterpolationArc;
                values[2] = placeX(e.centreX) - machineX;
                values[3] = placeY(e.centreY) - machineY;
                c.direction = direction(e.direction);
                break;
            default:
                continue;
        }
        for (double v : values) {
            if (!FitsFloat(v)) {
                *error = "move " + std::to_string(calls.size() - 1) +
                         ": a distance does not fit the 32-bit numbers sent (" +
                         korva::FormatFixed(v, 6) + ")";
                return false;
            }
        }
        c.x = static_cast<float>(values[0]);
        c.y = static_cast<float>(values[1]);
        c.cx = static_cast<float>(values[2]);
        c.cy = static_cast<float>(values[3]);
        machineX += static_cast<double>(c.x);
        machineY += static_cast<double>(c.y);
        calls.push_back(c);
    }
    return true;
}

namespace {

std::string Number(float v) {
    std::string s = korva::FormatFixed(static_cast<double>(v), 6);
    // A value that rounds to zero is printed without a sign.
    if (s == "-0.000000") s = "0.000000";
    return s;
}

}  // namespace

std::string FormatCall(const MotionCall& c) {
    const std::string a1 = std::to_string(c.axis1), a2 = std::to_string(c.axis2);
    switch (c.method) {
        case MotionCall::Method::kGoOrigion:
            return "GoOrigion(" + a1 + ")";
        case MotionCall::Method::kGoInterpolationline2:
            return "GoInterpolationline2(" + a1 + ", " + a2 + ", " + Number(c.x) + ", " +
                   Number(c.y) + ")";
        case MotionCall::Method::kGoInterpolationArc:
            return "GoInterpolationArc(" + a1 + ", " + a2 + ", " + Number(c.x) + ", " +
                   Number(c.y) + ", " + Number(c.cx) + ", " + Number(c.cy) + ", " +
                   std::to_string(c.direction) + ")";
    }
    return {};
}

}  // namespace stagedesk::dxf
