#pragma once
// Plane geometry of the library: the affine maps that carry block contents to
// their inserts and mirrored entities into the XY plane, and what such a map
// does to circles, arcs and bulges.
#include <vector>

#include "CadIO.h"

namespace korva::cadio {

constexpr double kPi = 3.14159265358979323846;

// x' = a x + b y + e, y' = c x + d y + f.
struct Affine {
    double a = 1, b = 0, c = 0, d = 1, e = 0, f = 0;

    static Affine Translate(double x, double y) { return {1, 0, 0, 1, x, y}; }
    static Affine Scale(double sx, double sy) { return {sx, 0, 0, sy, 0, 0}; }
    static Affine RotateDegrees(double degrees);
    // The mirror that carries an object drawn with extrusion (0, 0, -1) into
    // the XY plane seen from +Z: x turns to -x.
    static Affine MirrorX() { return {-1, 0, 0, 1, 0, 0}; }

    // this after other: (this * other)(p) = this(other(p)).
    Affine operator*(const Affine& o) const;
    void Apply(double x, double y, double* ox, double* oy) const {
        *ox = a * x + b * y + e;
        *oy = c * x + d * y + f;
    }
    double Det() const { return a * d - b * c; }
    // Keeps circles circles: a rotation and a uniform scale, perhaps mirrored.
    bool Conformal() const;
    // For a conformal map: the length factor and the rotation angle (degrees)
    // of the image of the x axis.
    double ScaleFactor() const;
    double AngleDegrees() const;
};

// Angle in [0, 360).
double NormalizeDegrees(double degrees);
// Counter-clockwise sweep from a1 to a2 in (0, 360]; equal angles are a full turn.
double SweepDegrees(double a1, double a2);

// The circle through a bulge segment from (x1, y1) to (x2, y2). False for a
// straight segment (bulge 0 or the two points coincide).
struct BulgeArc {
    double cx, cy, radius;
    double startDegrees;  // angle of the first point
    double sweepDegrees;  // signed: positive counter-clockwise
};
bool ArcOfBulge(double x1, double y1, double x2, double y2, double bulge, BulgeArc* out);

// Points along a circular arc (centre, radius, start angle, signed sweep, in
// degrees) close enough that chords stay within `tolerance` of the arc after
// the map m; the first and last points are the arc's ends.
void SampleArc(double cx, double cy, double r, double startDegrees, double sweepDegrees,
               const Affine& m, double tolerance, std::vector<DrwVertex>* out);

// Bounding box helpers.
struct Box {
    double minX = 0, minY = 0, maxX = 0, maxY = 0;
    bool empty = true;
    void Add(double x, double y);
    // An arc counter-clockwise from a1 over sweep degrees (may be negative).
    void AddArc(double cx, double cy, double r, double startDegrees, double sweepDegrees);
};

}  // namespace korva::cadio
