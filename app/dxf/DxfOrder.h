#pragma once
// Nearest-first ordering of the path's elements, starting at the origin.
//
// The procedure: for position i = 0, 1, ... every element from i on is
// examined from the current point; an element whose end is not farther than
// its start is turned round (whether it is chosen or not); the element with
// the smallest distance, the first on a tie, is swapped into position i and
// the current point becomes its end.
//
// OrderStraightforward does exactly that and takes quadratic time.
// OrderNearest gives the same order and the same turns (ties included) from a
// spatial index, in about n log n.
//
// Distances are compared as squared distances, computed the same way in both.
// An element whose start and end are the same point (a circle, a closed
// polyline) is never turned: there is nothing to bring nearer, and turning it
// at every examination would only flip its direction at random.
#include <cstdint>
#include <vector>

namespace stagedesk::dxf {

struct Endpoints {
    double sx = 0, sy = 0;  // start as imported
    double ex = 0, ey = 0;  // end as imported
};

struct Ordering {
    std::vector<std::uint32_t> order;  // element indexes in run order
    std::vector<bool> reversed;        // per position: the element runs from its end
};

Ordering OrderStraightforward(const std::vector<Endpoints>& elements);
Ordering OrderNearest(const std::vector<Endpoints>& elements);

// The squared distance both orderings compare.
inline double Distance2(double ax, double ay, double bx, double by) {
    const double dx = bx - ax, dy = by - ay;
    return dx * dx + dy * dy;
}

}  // namespace stagedesk::dxf
