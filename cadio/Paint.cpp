// Painting with QPainter: drawing units to view pixels (y up in the drawing,
// down on the screen), colours by colour number on a black ground.
#include <QColor>
#include <QFont>
#include <QPainter>
#include <QPainterPath>
#include <algorithm>
#include <cmath>

#include "Drawing.h"

namespace korva::cadio {
namespace {

// The raster engine keeps coordinates in fixed point; far beyond the view
// they wrap. Shapes that reach this far are drawn as clipped chords.
constexpr double kFar = 1e6;

QColor ColorOf(int n) {
    static const QColor base[] = {
        QColor(255, 255, 255), QColor(255, 0, 0),    QColor(255, 255, 0), QColor(0, 255, 0),
        QColor(0, 255, 255),   QColor(0, 0, 255),    QColor(255, 0, 255), QColor(255, 255, 255),
        QColor(128, 128, 128), QColor(192, 192, 192)};
    if (n >= 1 && n <= 9) return base[n];
    if (n >= 250 && n <= 255) {
        const int g = 51 + (n - 250) * 40;
        return QColor(g, g, g);
    }
    if (n >= 10 && n <= 249) {
        // Hue in steps of 15 degrees, then shade and saturation by the last digit.
        const int hue = ((n / 10) - 1) * 15;
        const int shade = n % 10;
        const int value = 255 - (shade / 2) * 45;
        const int sat = (shade % 2) ? 128 : 255;
        return QColor::fromHsv(hue % 360, sat, std::max(40, value));
    }
    return QColor(255, 255, 255);
}

class Mapper {
  public:
    explicit Mapper(const DrwViewProperties& v)
        : m_s(v.zoomLevel * v.pixelsPerUnit),
          m_ox(v.viewLeft + v.viewWidth / 2.0),
          m_oy(v.viewTop + v.viewHeight / 2.0),
          m_cx(v.centerX),
          m_cy(v.centerY),
          m_view(v.viewLeft, v.viewTop, v.viewWidth, v.viewHeight) {}
    QPointF Map(double x, double y) const {
        return QPointF(m_ox + (x - m_cx) * m_s, m_oy - (y - m_cy) * m_s);
    }
    double Scale() const { return m_s; }
    const QRectF& View() const { return m_view; }

  private:
    double m_s, m_ox, m_oy, m_cx, m_cy;
    QRectF m_view;
};

bool Far(const QPointF& p) {
    return std::fabs(p.x()) > kFar || std::fabs(p.y()) > kFar;
}

// Liang-Barsky: the part of a segment inside the rectangle.
bool Clip(QPointF* a, QPointF* b, const QRectF& r) {
    const double dx = b->x() - a->x(), dy = b->y() - a->y();
    double t0 = 0, t1 = 1;
    const double p[4] = {-dx, dx, -dy, dy};
    const double q[4] = {a->x() - r.left(), r.right() - a->x(), a->y() - r.top(),
                         r.bottom() - a->y()};
    for (int i = 0; i < 4; ++i) {
        if (p[i] == 0) {
            if (q[i] < 0) return false;
            continue;
        }
        const double t = q[i] / p[i];
        if (p[i] < 0) {
            t0 = std::max(t0, t);
        } else {
            t1 = std::min(t1, t);
        }
        if (t0 > t1) return false;
    }
    const QPointF s = *a;
    *a = QPointF(s.x() + t0 * dx, s.y() + t0 * dy);
    *b = QPointF(s.x() + t1 * dx, s.y() + t1 * dy);
    return true;
}

void Segment(QPainter& p, QPointF a, QPointF b, const QRectF& view) {
    if (!std::isfinite(a.x()) || !std::isfinite(a.y()) || !std::isfinite(b.x()) ||
        !std::isfinite(b.y()))
        return;
    if (Far(a) || Far(b)) {
        if (!Clip(&a, &b, view.adjusted(-2, -2, 2, 2))) return;
    }
    p.drawLine(a, b);
}

// A circular arc in drawing units, counter-clockwise for a positive sweep.
void Arc(QPainter& p, const Mapper& m, double cx, double cy, double r, double startDegrees,
         double sweepDegrees) {
    const QPointF c = m.Map(cx, cy);
    const double rp = r * m.Scale();
    if (!std::isfinite(rp) || !std::isfinite(c.x()) || !std::isfinite(c.y())) return;
    // Wholly outside the view: nothing to draw.
    const QRectF bound(c.x() - rp, c.y() - rp, 2 * rp, 2 * rp);
    if (!bound.intersects(m.View().adjusted(-2, -2, 2, 2))) return;
    if (rp < kFar && !Far(c)) {
        QPainterPath path;
        path.arcMoveTo(bound, startDegrees);
        path.arcTo(bound, startDegrees, sweepDegrees);
        p.drawPath(path);
        return;
    }
    const int n = 2048;
    QPointF prev;
    for (int i = 0; i <= n; ++i) {
        const double t = (startDegrees + sweepDegrees * i / n) * kPi / 180.0;
        const QPointF q = m.Map(cx + r * std::cos(t), cy + r * std::sin(t));
        if (i > 0) Segment(p, prev, q, m.View());
        prev = q;
    }
}

void PaintEntity(QPainter& p, const Mapper& m, const Entity& e) {
    const DrwEntityRecord& r = e.rec;
    switch (r.kind) {
        case DRW_ENT_LINE:
            Segment(p, m.Map(r.x1, r.y1), m.Map(r.x2, r.y2), m.View());
            break;
        case DRW_ENT_POINT: {
            const QPointF c = m.Map(r.x1, r.y1);
            if (!m.View().adjusted(-3, -3, 3, 3).contains(c)) break;
            p.drawLine(c + QPointF(-2, 0), c + QPointF(2, 0));
            p.drawLine(c + QPointF(0, -2), c + QPointF(0, 2));
            break;
        }
        case DRW_ENT_CIRCLE:
            Arc(p, m, r.circleX, r.circleY, r.circleRadius, 0, 360);
            break;
        case DRW_ENT_ARC:
            Arc(p, m, r.arcX, r.arcY, r.arcRadius, r.arcStartAngle,
                SweepDegrees(r.arcStartAngle, r.arcEndAngle));
            break;
        case DRW_ENT_POLYLINE: {
            const std::size_t n = e.vertices.size();
            const bool closed = (r.flags & DRW_POLYLINE_CLOSED) != 0;
            const std::size_t segments = closed ? n : (n > 0 ? n - 1 : 0);
            for (std::size_t i = 0; i < segments; ++i) {
                const DrwVertex& a = e.vertices[i];
                const DrwVertex& b = e.vertices[(i + 1) % n];
                BulgeArc arc;
                if (ArcOfBulge(a.x, a.y, b.x, b.y, a.bulge, &arc)) {
                    Arc(p, m, arc.cx, arc.cy, arc.radius, arc.startDegrees, arc.sweepDegrees);
                } else {
                    Segment(p, m.Map(a.x, a.y), m.Map(b.x, b.y), m.View());
                }
            }
            break;
        }
        case DRW_ENT_TEXT: {
            const double px = r.x2 * m.Scale();
            const QPointF at = m.Map(r.x1, r.y1);
            if (e.text.empty() || !(px >= 3) || px > 2000 || Far(at)) break;
            if (!m.View()
                     .adjusted(-px * e.text.size(), -px * e.text.size(), px * e.text.size(),
                               px * e.text.size())
                     .contains(at))
                break;
            p.save();
            QFont font = p.font();
            font.setPixelSize(static_cast<int>(px));
            p.setFont(font);
            p.translate(at);
            p.rotate(-r.y2);
            p.drawText(QPointF(0, 0), QString::fromUtf8(e.text.c_str()));
            p.restore();
            break;
        }
        default:
            break;
    }
}

}  // namespace

bool PaintDrawing(const Drawing& drawing, void* device) {
    QPainter& p = *static_cast<QPainter*>(device);
    const DrwViewProperties& v = drawing.view;
    if (!(v.zoomLevel * v.pixelsPerUnit > 0)) return false;
    const Mapper m(v);
    p.save();
    p.fillRect(m.View(), Qt::black);
    p.setClipRect(m.View());
    p.setRenderHint(QPainter::Antialiasing, true);
    p.setBrush(Qt::NoBrush);
    int color = -1;
    for (const Entity& e : drawing.model.entities) {
        if (e.color != color) {
            color = e.color;
            QPen pen(ColorOf(color));
            pen.setCosmetic(true);
            p.setPen(pen);
        }
        PaintEntity(p, m, e);
    }
    p.restore();
    return true;
}

}  // namespace korva::cadio
