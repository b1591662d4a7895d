// Drawing reader: never crashes or hangs on any bytes, stays within its
// limits, and the fast decoder of plain entities gives exactly what dxflib
// gives for the same text.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "DxfLoad.h"

namespace {

using korva::cadio::Entity;
using korva::cadio::Model;

bool SameVertices(const Entity& a, const Entity& b) {
    if (a.vertices.size() != b.vertices.size()) return false;
    for (std::size_t i = 0; i < a.vertices.size(); ++i) {
        const auto& p = a.vertices[i];
        const auto& q = b.vertices[i];
        if (p.x != q.x || p.y != q.y || p.z != q.z || p.bulge != q.bulge ||
            p.startWidth != q.startWidth || p.endWidth != q.endWidth) {
            return false;
        }
    }
    return true;
}

bool SameEntity(const Entity& a, const Entity& b) {
    const auto& r = a.rec;
    const auto& s = b.rec;
    return r.kind == s.kind && r.handle == s.handle && r.x1 == s.x1 && r.y1 == s.y1 &&
           r.z1 == s.z1 && r.x2 == s.x2 && r.y2 == s.y2 && r.z2 == s.z2 && r.circleX == s.circleX &&
           r.circleY == s.circleY && r.circleZ == s.circleZ && r.circleRadius == s.circleRadius &&
           r.arcX == s.arcX && r.arcY == s.arcY && r.arcZ == s.arcZ && r.arcRadius == s.arcRadius &&
           r.arcStartAngle == s.arcStartAngle && r.arcEndAngle == s.arcEndAngle &&
           r.vertexCount == s.vertexCount && r.flags == s.flags && a.text == b.text &&
           a.color == b.color && SameVertices(a, b);
}

bool SameModel(const Model& a, const Model& b) {
    if (a.entities.size() != b.entities.size() || a.blocks.size() != b.blocks.size() ||
        a.tables.size() != b.tables.size() || a.lastHandle != b.lastHandle || a.notes != b.notes) {
        return false;
    }
    for (std::size_t i = 0; i < a.entities.size(); ++i) {
        if (!SameEntity(a.entities[i], b.entities[i])) return false;
    }
    for (std::size_t i = 0; i < a.blocks.size(); ++i) {
        const auto& p = a.blocks[i];
        const auto& q = b.blocks[i];
        if (p.handle != q.handle || p.flags != q.flags || p.name != q.name || p.baseX != q.baseX ||
            p.baseY != q.baseY || p.entities.size() != q.entities.size()) {
            return false;
        }
        for (std::size_t k = 0; k < p.entities.size(); ++k) {
            if (!SameEntity(p.entities[k], q.entities[k])) return false;
        }
    }
    for (std::size_t i = 0; i < a.tables.size(); ++i) {
        const auto& p = a.tables[i];
        const auto& q = b.tables[i];
        if (p.handle != q.handle || p.type != q.type || p.name != q.name || p.color != q.color ||
            p.flags != q.flags) {
            return false;
        }
    }
    return true;
}

// Whatever is loaded is a record a caller could hand back: known kind,
// finite numbers, polylines with their vertices.
void CheckModel(const Model& m) {
    if (m.entities.size() > korva::cadio::kMaxEntities) std::abort();
    for (const Entity& e : m.entities) {
        DrwEntityRecord rec = e.rec;
        rec.vertices = const_cast<DrwVertex*>(e.vertices.data());
        rec.vertexCount = static_cast<std::int32_t>(e.vertices.size());
        std::string why;
        if (!korva::cadio::ValidRecord(rec, &why)) std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    Model fast, slow;
    std::string fastError, slowError;
    const bool fastOk = korva::cadio::LoadDxfText(text, &fast, &fastError, {}, true);
    const bool slowOk = korva::cadio::LoadDxfText(text, &slow, &slowError, {}, false);
    if (fastOk != slowOk) std::abort();
    if (!fastOk) {
        // A refused file always says why.
        if (fastError.empty() || fastError != slowError) std::abort();
        return 0;
    }
    CheckModel(fast);
    if (!SameModel(fast, slow)) std::abort();
    return 0;
}
