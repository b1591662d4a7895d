// An R12 ASCII DXF writer: layers, blocks and model space, numbers in the
// shortest form that reads back exactly, whatever the process locale.
#include <charconv>
#include <string>

#include "Drawing.h"
#include "Files.h"

namespace korva::cadio {
namespace {

class Writer {
  public:
    void Pair(int code, std::string_view value) {
        m_out += std::to_string(code);
        m_out += '\n';
        for (char c : value) m_out += (c == '\r' || c == '\n') ? ' ' : c;
        m_out += '\n';
    }
    void Pair(int code, double value) {
        char buf[64];
        auto [p, ec] = std::to_chars(buf, buf + sizeof buf, value);
        Pair(code, ec == std::errc() ? std::string_view(buf, p - buf) : std::string_view("0"));
    }
    void Pair(int code, int value) { Pair(code, std::string_view(std::to_string(value))); }
    void Point(int code, double x, double y, double z) {
        Pair(code, x);
        Pair(code + 10, y);
        Pair(code + 20, z);
    }
    std::string& Text() { return m_out; }

  private:
    std::string m_out;
};

void WriteEntity(Writer& w, const Entity& e) {
    const DrwEntityRecord& r = e.rec;
    auto head = [&](const char* type) {
        w.Pair(0, type);
        w.Pair(8, "0");
        w.Pair(62, e.color);
    };
    switch (r.kind) {
        case DRW_ENT_LINE:
            head("LINE");
            w.Point(10, r.x1, r.y1, r.z1);
            w.Point(11, r.x2, r.y2, r.z2);
            break;
        case DRW_ENT_POINT:
            head("POINT");
            w.Point(10, r.x1, r.y1, r.z1);
            break;
        case DRW_ENT_CIRCLE:
            head("CIRCLE");
            w.Point(10, r.circleX, r.circleY, r.circleZ);
            w.Pair(40, r.circleRadius);
            break;
        case DRW_ENT_ARC:
            head("ARC");
            w.Point(10, r.arcX, r.arcY, r.arcZ);
            w.Pair(40, r.arcRadius);
            w.Pair(50, r.arcStartAngle);
            w.Pair(51, r.arcEndAngle);
            break;
        case DRW_ENT_TEXT:
            head("TEXT");
            w.Point(10, r.x1, r.y1, r.z1);
            w.Pair(40, r.x2 > 0 ? r.x2 : 1.0);
            w.Pair(1, e.text);
            w.Pair(50, r.y2);
            break;
        case DRW_ENT_POLYLINE:
            head("POLYLINE");
            w.Pair(66, 1);
            w.Point(10, 0.0, 0.0, 0.0);
            w.Pair(70, (r.flags & DRW_POLYLINE_CLOSED) ? 1 : 0);
            for (const DrwVertex& v : e.vertices) {
                w.Pair(0, "VERTEX");
                w.Pair(8, "0");
                w.Point(10, v.x, v.y, v.z);
                if (v.bulge != 0) w.Pair(42, v.bulge);
            }
            w.Pair(0, "SEQEND");
            w.Pair(8, "0");
            break;
        default:
            break;
    }
}

}  // namespace

bool SaveDxfFile(const Model& model, const std::string& path, std::string* error,
                 const std::function<void(int)>& progress) {
    Writer w;
    const Box box = model.Extents();
    w.Pair(0, "SECTION");
    w.Pair(2, "HEADER");
    w.Pair(9, "$ACADVER");
    w.Pair(1, "AC1009");
    w.Pair(9, "$EXTMIN");
    w.Point(10, box.minX, box.minY, 0.0);
    w.Pair(9, "$EXTMAX");
    w.Point(10, box.maxX, box.maxY, 0.0);
    w.Pair(0, "ENDSEC");

    w.Pair(0, "SECTION");
    w.Pair(2, "TABLES");
    w.Pair(0, "TABLE");
    w.Pair(2, "LTYPE");
    w.Pair(70, 1);
    w.Pair(0, "LTYPE");
    w.Pair(2, "CONTINUOUS");
    w.Pair(70, 0);
    w.Pair(3, "Solid line");
    w.Pair(72, 65);
    w.Pair(73, 0);
    w.Pair(40, 0.0);
    w.Pair(0, "ENDTAB");
    w.Pair(0, "TABLE");
    w.Pair(2, "LAYER");
    int layers = 0;
    for (const TableEntry& t : model.tables) layers += t.type == DRW_TABLE_LAYER;
    w.Pair(70, layers);
    for (const TableEntry& t : model.tables) {
        if (t.type != DRW_TABLE_LAYER) continue;
        w.Pair(0, "LAYER");
        w.Pair(2, t.name);
        w.Pair(70, static_cast<int>(t.flags & 0xFF));
        w.Pair(62, t.color == 0 ? 7 : t.color);
        w.Pair(6, "CONTINUOUS");
    }
    w.Pair(0, "ENDTAB");
    w.Pair(0, "ENDSEC");
    if (progress) progress(10);

    w.Pair(0, "SECTION");
    w.Pair(2, "BLOCKS");
    for (const Block& b : model.blocks) {
        w.Pair(0, "BLOCK");
        w.Pair(8, "0");
        w.Pair(2, b.name);
        w.Pair(70, static_cast<int>(b.flags & 0x7F));
        w.Point(10, b.baseX, b.baseY, 0.0);
        w.Pair(3, b.name);
        for (const Entity& e : b.entities) WriteEntity(w, e);
        w.Pair(0, "ENDBLK");
        w.Pair(8, "0");
    }
    w.Pair(0, "ENDSEC");

    w.Pair(0, "SECTION");
    w.Pair(2, "ENTITIES");
    std::size_t done = 0;
    for (const Entity& e : model.entities) {
        WriteEntity(w, e);
        if (progress && ++done % 4096 == 0)
            progress(10 + static_cast<int>(80.0 * done / model.entities.size()));
    }
    w.Pair(0, "ENDSEC");
    w.Pair(0, "EOF");

    // Never half a drawing under the real name, never the old one lost.
    if (!ReplaceFile(path, w.Text(), error)) return false;
    if (progress) progress(100);
    return true;
}

}  // namespace korva::cadio
