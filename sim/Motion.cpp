#include "Motion.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace korva::sim {

namespace {
constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kPi = 3.14159265358979323846;
}  // namespace

Profile Profile::Make(double distance, double v0, double vmax, double vend, double acc,
                      double dcc) {
    Profile p;
    p.distance_ = std::max(0.0, distance);
    p.acc_ = acc > 0 ? acc : 1e-9;
    p.dcc_ = dcc > 0 ? dcc : 1e-9;
    vmax = std::max(vmax, 1e-9);
    p.v0_ = std::clamp(v0, 0.0, vmax);
    p.vend_ = std::clamp(vend, 0.0, vmax);
    if (p.distance_ == 0) {
        p.vp_ = p.v0_;
        return p;
    }
    if (std::isinf(p.distance_)) {
        p.vp_ = vmax;
        p.t1_ = (vmax - p.v0_) / p.acc_;
        p.d1_ = (vmax * vmax - p.v0_ * p.v0_) / (2 * p.acc_);
        p.t2_ = kInf;
        p.total_ = kInf;
        return p;
    }
    double da = (vmax * vmax - p.v0_ * p.v0_) / (2 * p.acc_);
    double dd = (vmax * vmax - p.vend_ * p.vend_) / (2 * p.dcc_);
    double vp = vmax;
    if (da + dd > p.distance_) {
        // Triangular: the speed where the acceleration and deceleration ramps meet.
        double num = p.distance_ + p.v0_ * p.v0_ / (2 * p.acc_) + p.vend_ * p.vend_ / (2 * p.dcc_);
        double den = 1 / (2 * p.acc_) + 1 / (2 * p.dcc_);
        vp = std::sqrt(num / den);
        vp = std::clamp(vp, std::max(p.v0_, p.vend_), vmax);
    }
    p.vp_ = vp;
    p.d1_ = (vp * vp - p.v0_ * p.v0_) / (2 * p.acc_);
    double d3 = (vp * vp - p.vend_ * p.vend_) / (2 * p.dcc_);
    if (p.d1_ + d3 > p.distance_) {
        // Only reachable through rounding, or when a stop ramp is longer than the
        // remaining way: scale the ramps onto the distance.
        double f = p.distance_ / (p.d1_ + d3);
        p.d1_ *= f;
        d3 *= f;
    }
    p.cruise_ = std::max(0.0, p.distance_ - p.d1_ - d3);
    p.t1_ = p.d1_ > 0 ? 2 * p.d1_ / (p.v0_ + vp) : 0;
    p.t2_ = p.cruise_ / vp;
    p.t3_ = d3 > 0 ? 2 * d3 / (vp + p.vend_) : 0;
    p.total_ = p.t1_ + p.t2_ + p.t3_;
    return p;
}

bool Profile::Endless() const {
    return std::isinf(distance_);
}

double Profile::S(double t) const {
    if (t <= 0) return 0;
    if (t >= total_) return distance_;
    if (t < t1_) {
        double a = t1_ > 0 ? (vp_ - v0_) / t1_ : 0;
        return v0_ * t + 0.5 * a * t * t;
    }
    if (t < t1_ + t2_) return d1_ + vp_ * (t - t1_);
    double tau = t - t1_ - t2_;
    double d = t3_ > 0 ? (vp_ - vend_) / t3_ : 0;
    return std::min(distance_, d1_ + cruise_ + vp_ * tau - 0.5 * d * tau * tau);
}

double Profile::V(double t) const {
    if (t < 0 || t >= total_) return 0;
    if (t < t1_) return v0_ + (t1_ > 0 ? (vp_ - v0_) / t1_ : 0) * t;
    if (t < t1_ + t2_) return vp_;
    double tau = t - t1_ - t2_;
    return vp_ - (t3_ > 0 ? (vp_ - vend_) / t3_ : 0) * tau;
}

Path Path::Line(int count, const int* axes, const double* startSteps, const double* stepsPerUnit,
                const double* deltaUnits) {
    Path p;
    p.kind = Kind::kLine;
    p.count = count;
    double sum = 0;
    for (int i = 0; i < count; ++i) sum += deltaUnits[i] * deltaUnits[i];
    p.length = std::sqrt(sum);
    for (int i = 0; i < count; ++i) {
        p.axis[i] = axes[i];
        p.start[i] = startSteps[i];
        p.coef[i] = p.length > 0 ? deltaUnits[i] / p.length * stepsPerUnit[i] : 0;
        p.end[i] = startSteps[i] + deltaUnits[i] * stepsPerUnit[i];
    }
    return p;
}

Path Path::Endless(int axis, double startSteps, int direction) {
    Path p;
    p.kind = Kind::kLine;
    p.count = 1;
    p.axis[0] = axis;
    p.start[0] = startSteps;
    p.coef[0] = direction >= 0 ? 1.0 : -1.0;
    p.length = kInf;
    return p;
}

bool Path::Arc(const int* axes, const double* startSteps, const double* stepsPerUnit, double tx,
               double ty, double cx, double cy, bool ccw, Path* out) {
    Path p;
    p.kind = Kind::kArc;
    p.count = 2;
    for (int i = 0; i < 2; ++i) {
        p.axis[i] = axes[i];
        p.start[i] = startSteps[i];
        p.coef[i] = stepsPerUnit[i];
    }
    p.end[0] = startSteps[0] + tx * stepsPerUnit[0];
    p.end[1] = startSteps[1] + ty * stepsPerUnit[1];
    p.cx = cx;
    p.cy = cy;
    p.tx = tx;
    p.ty = ty;
    p.r0 = std::hypot(cx, cy);
    p.r1 = std::hypot(tx - cx, ty - cy);
    if (!(p.r0 > 1e-9) || !(p.r1 > 1e-9)) return false;
    p.a0 = std::atan2(-cy, -cx);
    double a1 = std::atan2(ty - cy, tx - cx);
    double turn = ccw ? a1 - p.a0 : p.a0 - a1;  // in the direction of travel
    turn = std::fmod(turn, 2 * kPi);
    if (turn < 0) turn += 2 * kPi;
    // A target on the start point means a full circle.
    if (turn < 1e-9 && std::hypot(tx, ty) < 1e-9) turn = 2 * kPi;
    p.sweep = ccw ? turn : -turn;
    p.length = turn * 0.5 * (p.r0 + p.r1);
    *out = p;
    return true;
}

void Path::At(double s, double* steps) const {
    if (s >= length && !std::isinf(length)) {
        for (int i = 0; i < count; ++i) steps[i] = end[i];
        return;
    }
    if (kind == Kind::kLine) {
        double u = std::clamp(s, 0.0, length);
        for (int i = 0; i < count; ++i) steps[i] = start[i] + coef[i] * u;
        return;
    }
    double f = std::max(0.0, s) / length;
    double a = a0 + sweep * f;
    double r = r0 + (r1 - r0) * f;
    double ox = cx + r * std::cos(a);
    double oy = cy + r * std::sin(a);
    steps[0] = start[0] + ox * coef[0];
    steps[1] = start[1] + oy * coef[1];
}

}  // namespace korva::sim
