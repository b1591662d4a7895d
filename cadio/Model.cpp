#include "Model.h"

#include <cmath>

namespace korva::cadio {

void AddToBox(const Entity& e, Box* box) {
    const DrwEntityRecord& r = e.rec;
    switch (r.kind) {
        case DRW_ENT_LINE:
            box->Add(r.x1, r.y1);
            box->Add(r.x2, r.y2);
            break;
        case DRW_ENT_POINT:
        case DRW_ENT_TEXT:
            box->Add(r.x1, r.y1);
            break;
        case DRW_ENT_CIRCLE:
            box->Add(r.circleX - r.circleRadius, r.circleY - r.circleRadius);
            box->Add(r.circleX + r.circleRadius, r.circleY + r.circleRadius);
            break;
        case DRW_ENT_ARC:
            box->AddArc(r.arcX, r.arcY, r.arcRadius, r.arcStartAngle,
                        SweepDegrees(r.arcStartAngle, r.arcEndAngle));
            break;
        case DRW_ENT_POLYLINE: {
            const std::size_t n = e.vertices.size();
            const bool closed = (r.flags & DRW_POLYLINE_CLOSED) != 0;
            for (std::size_t i = 0; i < n; ++i) {
                const DrwVertex& p = e.vertices[i];
                box->Add(p.x, p.y);
                const DrwVertex* q =
                    i + 1 < n ? &e.vertices[i + 1] : (closed ? &e.vertices[0] : nullptr);
                BulgeArc arc;
                if (q != nullptr && ArcOfBulge(p.x, p.y, q->x, q->y, p.bulge, &arc))
                    box->AddArc(arc.cx, arc.cy, arc.radius, arc.startDegrees, arc.sweepDegrees);
            }
            break;
        }
        default:
            break;
    }
}

Box Model::Extents() const {
    Box box;
    for (const Entity& e : entities) AddToBox(e, &box);
    return box;
}

bool ValidRecord(const DrwEntityRecord& r, std::string* why) {
    const double numbers[] = {r.x1,         r.y1,      r.z1,      r.x2,        r.y2,
                              r.z2,         r.circleX, r.circleY, r.circleZ,   r.circleRadius,
                              r.arcX,       r.arcY,    r.arcZ,    r.arcRadius, r.arcStartAngle,
                              r.arcEndAngle};
    for (double v : numbers) {
        if (!std::isfinite(v)) {
            *why = "a number of the record is not finite";
            return false;
        }
    }
    switch (r.kind) {
        case DRW_ENT_LINE:
        case DRW_ENT_POINT:
        case DRW_ENT_TEXT:
            return true;
        case DRW_ENT_CIRCLE:
            if (!(r.circleRadius > 0)) *why = "a circle needs a positive radius";
            return r.circleRadius > 0;
        case DRW_ENT_ARC:
            if (!(r.arcRadius > 0)) *why = "an arc needs a positive radius";
            return r.arcRadius > 0;
        case DRW_ENT_POLYLINE:
            if (r.vertexCount < 1 || r.vertices == nullptr) {
                *why = "a polyline needs its vertices";
                return false;
            }
            for (int i = 0; i < r.vertexCount; ++i) {
                const DrwVertex& v = r.vertices[i];
                if (!std::isfinite(v.x) || !std::isfinite(v.y) || !std::isfinite(v.bulge)) {
                    *why = "a vertex is not finite";
                    return false;
                }
            }
            return true;
        default:
            *why = "unknown entity kind " + std::to_string(r.kind);
            return false;
    }
}

}  // namespace korva::cadio
