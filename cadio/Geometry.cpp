#include "Geometry.h"

#include <algorithm>
#include <cmath>

namespace korva::cadio {

Affine Affine::RotateDegrees(double degrees) {
    const double r = degrees * kPi / 180.0;
    const double cs = std::cos(r), sn = std::sin(r);
    return {cs, -sn, sn, cs, 0, 0};
}

Affine Affine::operator*(const Affine& o) const {
    Affine m;
    m.a = a * o.a + b * o.c;
    m.b = a * o.b + b * o.d;
    m.c = c * o.a + d * o.c;
    m.d = c * o.b + d * o.d;
    m.e = a * o.e + b * o.f + e;
    m.f = c * o.e + d * o.f + f;
    return m;
}

bool Affine::Conformal() const {
    const double size = std::max({std::fabs(a), std::fabs(b), std::fabs(c), std::fabs(d)});
    if (!(size > 0)) return false;
    const double tol = 1e-9 * size;
    const bool rotation = std::fabs(a - d) <= tol && std::fabs(b + c) <= tol;
    const bool mirrored = std::fabs(a + d) <= tol && std::fabs(b - c) <= tol;
    return rotation || mirrored;
}

double Affine::ScaleFactor() const {
    return std::hypot(a, c);
}

double Affine::AngleDegrees() const {
    return std::atan2(c, a) * 180.0 / kPi;
}

double NormalizeDegrees(double degrees) {
    double r = std::fmod(degrees, 360.0);
    if (r < 0) r += 360.0;
    if (r >= 360.0) r = 0;  // -1e-17 + 360 rounds to 360
    return r;
}

double SweepDegrees(double a1, double a2) {
    double s = NormalizeDegrees(a2) - NormalizeDegrees(a1);
    if (s <= 0) s += 360.0;
    return s;
}

bool ArcOfBulge(double x1, double y1, double x2, double y2, double bulge, BulgeArc* out) {
    const double dx = x2 - x1, dy = y2 - y1;
    const double chord = std::hypot(dx, dy);
    if (bulge == 0 || !(chord > 0) || !std::isfinite(bulge)) return false;
    // The centre lies on the chord's perpendicular bisector, on the left for
    // a counter-clockwise (positive) bulge when it is less than a half circle.
    const double k = (1 - bulge * bulge) / (4 * bulge);
    out->cx = (x1 + x2) / 2 - dy * k;
    out->cy = (y1 + y2) / 2 + dx * k;
    out->radius = chord * (1 + bulge * bulge) / (4 * std::fabs(bulge));
    out->startDegrees = std::atan2(y1 - out->cy, x1 - out->cx) * 180.0 / kPi;
    out->sweepDegrees = 4 * std::atan(bulge) * 180.0 / kPi;
    return true;
}

void SampleArc(double cx, double cy, double r, double startDegrees, double sweepDegrees,
               const Affine& m, double tolerance, std::vector<DrwVertex>* out) {
    // The largest stretch of the map bounds the mapped radius.
    const double s = m.a * m.a + m.b * m.b + m.c * m.c + m.d * m.d;
    const double det = m.Det();
    const double stretch =
        std::sqrt(std::max(0.0, (s + std::sqrt(std::max(0.0, s * s - 4 * det * det))) / 2));
    const double big = r * stretch;
    const double sweep = std::fabs(sweepDegrees) * kPi / 180.0;
    int n = std::max(1, static_cast<int>(std::ceil(sweep / (kPi / 4))));
    if (big > tolerance) {
        const double step = 2 * std::acos(1 - tolerance / big);
        if (step > 0) n = std::max(n, static_cast<int>(std::min(1e5, std::ceil(sweep / step))));
    }
    for (int i = 0; i <= n; ++i) {
        const double t = (startDegrees + sweepDegrees * i / n) * kPi / 180.0;
        DrwVertex v{};
        m.Apply(cx + r * std::cos(t), cy + r * std::sin(t), &v.x, &v.y);
        out->push_back(v);
    }
}

void Box::Add(double x, double y) {
    if (!std::isfinite(x) || !std::isfinite(y)) return;
    if (empty) {
        minX = maxX = x;
        minY = maxY = y;
        empty = false;
        return;
    }
    minX = std::min(minX, x);
    maxX = std::max(maxX, x);
    minY = std::min(minY, y);
    maxY = std::max(maxY, y);
}

void Box::AddArc(double cx, double cy, double r, double startDegrees, double sweepDegrees) {
    startDegrees = NormalizeDegrees(startDegrees);
    sweepDegrees = std::clamp(sweepDegrees, -360.0, 360.0);
    const double a0 = startDegrees * kPi / 180.0;
    const double a1 = (startDegrees + sweepDegrees) * kPi / 180.0;
    Add(cx + r * std::cos(a0), cy + r * std::sin(a0));
    Add(cx + r * std::cos(a1), cy + r * std::sin(a1));
    // The quadrant points the arc passes.
    const double lo = std::min(startDegrees, startDegrees + sweepDegrees);
    const double hi = std::max(startDegrees, startDegrees + sweepDegrees);
    for (double q = std::ceil(lo / 90.0) * 90.0; q <= hi; q += 90.0) {
        const double t = q * kPi / 180.0;
        Add(cx + r * std::cos(t), cy + r * std::sin(t));
    }
}

}  // namespace korva::cadio
