#pragma once
// Drawing records built by hand for the path and job tests.
#include "DxfPath.h"

namespace stagedesk::dxf::test {

inline DrwEntityRecord Line(double x1, double y1, double x2, double y2) {
    DrwEntityRecord r{};
    r.kind = DRW_ENT_LINE;
    r.x1 = x1;
    r.y1 = y1;
    r.x2 = x2;
    r.y2 = y2;
    return r;
}

inline DrwEntityRecord Circle(double cx, double cy, double radius) {
    DrwEntityRecord r{};
    r.kind = DRW_ENT_CIRCLE;
    r.circleX = cx;
    r.circleY = cy;
    r.circleRadius = radius;
    return r;
}

inline DrwEntityRecord Arc(double cx, double cy, double radius, double a1, double a2) {
    DrwEntityRecord r{};
    r.kind = DRW_ENT_ARC;
    r.arcX = cx;
    r.arcY = cy;
    r.arcRadius = radius;
    r.arcStartAngle = a1;
    r.arcEndAngle = a2;
    return r;
}

}  // namespace stagedesk::dxf::test
