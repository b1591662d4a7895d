#pragma once
// Motion arithmetic of the simulated controller: a scalar speed profile along a
// path and the path geometry that maps the travelled distance to axis positions.
#include <array>
#include <cstdint>

namespace korva::sim {

// Speed profile of a stepper move along a path: it starts at v0 (the start
// speed, no ramp needed below it), accelerates at acc up to vmax, cruises, and
// decelerates at dcc to vend, where it stops at once. A short move never reaches
// vmax (triangular profile). An infinite distance cruises forever.
class Profile {
  public:
    static Profile Make(double distance, double v0, double vmax, double vend, double acc,
                        double dcc);
    double Distance() const { return distance_; }
    double Duration() const { return total_; }  // infinity for endless motion
    bool Endless() const;
    double S(double t) const;  // travelled distance t seconds after the start
    double V(double t) const;  // speed t seconds after the start (0 once finished)
    double PeakSpeed() const { return vp_; }

  private:
    double distance_ = 0, v0_ = 0, vp_ = 0, vend_ = 0, acc_ = 1, dcc_ = 1;
    double t1_ = 0, t2_ = 0, t3_ = 0, d1_ = 0, cruise_ = 0, total_ = 0;
};

// Maps a path parameter (distance travelled) to positions in steps of up to
// three axes. Lines are straight in the axes' own units; arcs are circles in
// the units of their two axes (a spiral blends a start and end radius that
// differ, so the target is always reached exactly).
struct Path {
    enum class Kind { kLine, kArc };
    Kind kind = Kind::kLine;
    int count = 1;                     // axes used
    std::array<int, 3> axis{0, 0, 0};  // axis indexes
    std::array<double, 3> start{};     // start positions, steps
    std::array<double, 3> coef{};      // line: steps per path unit; arc: steps per user unit
    std::array<double, 3> end{};       // exact end positions, steps (finite paths)
    double length = 0;                 // path length, may be infinity for a line
    // Arc, in user units relative to the start point.
    double cx = 0, cy = 0, tx = 0, ty = 0, r0 = 0, r1 = 0, a0 = 0, sweep = 0;

    static Path Line(int count, const int* axes, const double* startSteps,
                     const double* stepsPerUnit, const double* deltaUnits);
    static Path Endless(int axis, double startSteps, int direction);
    // Target and centre relative to the start; ccw true turns counter-clockwise.
    // False when the start or the target coincides with the centre.
    static bool Arc(const int* axes, const double* startSteps, const double* stepsPerUnit,
                    double tx, double ty, double cx, double cy, bool ccw, Path* out);

    // Positions (steps) at path parameter s, clamped to [0, length].
    void At(double s, double* steps) const;
};

}  // namespace korva::sim
