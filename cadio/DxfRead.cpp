// The second stage: checked text read into records, by dxflib and, for
// the plain entities most drawings consist of, by a faster decoder here.
#include <dxflib/dl_creationadapter.h>
#include <dxflib/dl_dxf.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <istream>
#include <new>
#include <optional>
#include <streambuf>
#include <string>
#include <vector>

#include "DxfRecords.h"
#include "LargeBuffers.h"

namespace korva::cadio::dxf {
namespace {

constexpr const char* kOutsidePlane = "outside the XY plane";

class Reader : public DL_CreationAdapter {
  public:
    Reader(std::size_t size, ProgressSink& sink, int from, int to)
        : m_size(size), m_sink(sink), m_from(from), m_to(to) {}

    // The stream dxflib reads now and where it starts in the whole text.
    void Reading(std::istream* stream, std::size_t base) {
        m_stream = stream;
        m_base = base;
    }
    void ReportAt(std::size_t at) {
        if (m_size == 0) return;
        m_sink.Report(m_from + static_cast<int>((m_to - m_from) * static_cast<double>(at) /
                                                static_cast<double>(m_size)));
    }

    std::vector<TableEntry> tables;
    std::vector<RawBlock> blocks;
    std::vector<Item> model;
    int paperSpace = 0;

    void Finish() { FlushPolyline(); }

    void processCodeValuePair(unsigned int, const std::string&) override {
        if (++m_pairs % 4096 != 0 || m_stream == nullptr) return;
        const auto at = m_stream->tellg();
        if (at < 0) return;
        ReportAt(m_base + static_cast<std::size_t>(at));
    }

    void addLayer(const DL_LayerData& d) override {
        FlushPolyline();
        AddTable(DRW_TABLE_LAYER, d.name, attributes.getColor(),
                 static_cast<std::uint32_t>(d.flags));
    }
    void addLinetype(const DL_LinetypeData& d) override {
        FlushPolyline();
        AddTable(DRW_TABLE_LINETYPE, d.name, 0, static_cast<std::uint32_t>(d.flags));
    }
    void addTextStyle(const DL_StyleData& d) override {
        FlushPolyline();
        AddTable(DRW_TABLE_STYLE, d.name, 0, static_cast<std::uint32_t>(d.flags));
    }

    void addBlock(const DL_BlockData& d) override {
        FlushPolyline();
        RawBlock b;
        b.name = d.name;
        b.baseX = d.bpx;
        b.baseY = d.bpy;
        b.flags = static_cast<std::uint32_t>(d.flags);
        blocks.push_back(std::move(b));
        m_inBlock = true;
    }
    void endBlock() override {
        FlushPolyline();
        m_inBlock = false;
    }

    void addPoint(const DL_PointData& d) override {
        Entity e;
        e.rec.kind = DRW_ENT_POINT;
        e.rec.x1 = d.x;
        e.rec.y1 = d.y;
        e.rec.z1 = d.z;
        Add(std::move(e), Plane::kWorld);
    }
    void addLine(const DL_LineData& d) override {
        Entity e;
        e.rec.kind = DRW_ENT_LINE;
        e.rec.x1 = d.x1;
        e.rec.y1 = d.y1;
        e.rec.z1 = d.z1;
        e.rec.x2 = d.x2;
        e.rec.y2 = d.y2;
        e.rec.z2 = d.z2;
        Add(std::move(e), Plane::kWorld);
    }
    void addCircle(const DL_CircleData& d) override {
        if (!(d.radius > 0)) return Skip("CIRCLE without a radius");
        Entity e;
        e.rec.kind = DRW_ENT_CIRCLE;
        e.rec.circleX = d.cx;
        e.rec.circleY = d.cy;
        e.rec.circleZ = d.cz;
        e.rec.circleRadius = d.radius;
        Add(std::move(e), Plane::kObject);
    }
    void addArc(const DL_ArcData& d) override {
        if (!(d.radius > 0)) return Skip("ARC without a radius");
        Entity e;
        e.rec.kind = DRW_ENT_ARC;
        e.rec.arcX = d.cx;
        e.rec.arcY = d.cy;
        e.rec.arcZ = d.cz;
        e.rec.arcRadius = d.radius;
        e.rec.arcStartAngle = d.angle1;
        e.rec.arcEndAngle = d.angle2;
        Add(std::move(e), Plane::kObject);
    }
    void addEllipse(const DL_EllipseData& d) override {
        if (!(d.ratio > 0) || !(std::hypot(d.mx, d.my) > 0)) return Skip("ELLIPSE without axes");
        // Centre and major axis are world coordinates; the extrusion says on
        // which side the minor axis lies (it is the extrusion times the major
        // axis) and so in which sense the parameter runs.
        Entity e;
        e.rec.kind = kEllipse;
        e.rec.circleX = d.cx;
        e.rec.circleY = d.cy;
        e.rec.x2 = d.mx;
        e.rec.y2 = d.my;
        e.rec.circleRadius = d.ratio;
        e.rec.arcStartAngle = d.angle1 * 180.0 / kPi;
        e.rec.arcEndAngle = d.angle2 * 180.0 / kPi;
        const int side = ExtrusionSide();
        if (side == 0) {
            Skip(kOutsidePlane);
            return;
        }
        e.rec.flags = side < 0 ? 1 : 0;
        Add(std::move(e), Plane::kWorld);
    }
    void addPolyline(const DL_PolylineData& d) override {
        FlushPolyline();
        Pending p;
        p.closed = (d.flags & 1) != 0;
        // Polygon and polyface meshes are surfaces, not paths.
        if (d.flags & (16 | 64)) {
            Skip("POLYLINE mesh");
            p.skip = true;
        }
        // 3D polylines have world vertices; 2D ones lie in their object plane.
        p.plane = (d.flags & 8) ? Plane::kWorld : Plane::kObject;
        p.side = ExtrusionSide();
        p.layer = attributes.getLayer();
        p.color = attributes.getColor();
        p.paper = attributes.isInPaperSpace();
        // A LWPOLYLINE's count has been checked against the rest of the file.
        if (d.number > 0)
            p.vertices.reserve(std::min<std::size_t>(static_cast<std::size_t>(d.number), 4096));
        m_pending = std::move(p);
    }
    void addVertex(const DL_VertexData& d) override {
        if (!m_pending) return;
        DrwVertex v{};
        v.x = d.x;
        v.y = d.y;
        v.z = d.z;
        v.bulge = d.bulge;
        m_pending->vertices.push_back(v);
    }
    void endEntity() override { FlushPolyline(); }
    void endSequence() override { FlushPolyline(); }

    void addInsert(const DL_InsertData& d) override {
        FlushPolyline();
        if (Paper()) return;
        const int side = ExtrusionSide();
        if (side == 0) {
            Skip(kOutsidePlane);
            return;
        }
        Item item;
        item.isInsert = true;
        item.insert.name = d.name;
        item.insert.ipx = d.ipx;
        item.insert.ipy = d.ipy;
        item.insert.sx = d.sx;
        item.insert.sy = d.sy;
        item.insert.angle = d.angle;
        item.insert.cols = std::max(1, d.cols);
        item.insert.rows = std::max(1, d.rows);
        item.insert.colSp = d.colSp;
        item.insert.rowSp = d.rowSp;
        item.insert.mirror = side < 0;
        item.layer = attributes.getLayer();
        item.colorNumber = attributes.getColor();
        Container().push_back(std::move(item));
    }

    void addText(const DL_TextData& d) override {
        Entity e;
        e.rec.kind = DRW_ENT_TEXT;
        e.rec.x1 = d.ipx;
        e.rec.y1 = d.ipy;
        e.rec.z1 = d.ipz;
        e.rec.x2 = d.height;
        e.rec.y2 = d.angle * 180.0 / kPi;
        e.text = d.text;
        Add(std::move(e), Plane::kObject);
    }
    void addAttribute(const DL_AttributeData& d) override { addText(d); }
    void addMText(const DL_MTextData& d) override {
        Entity e;
        e.rec.kind = DRW_ENT_TEXT;
        e.rec.x1 = d.ipx;
        e.rec.y1 = d.ipy;
        e.rec.z1 = d.ipz;
        e.rec.x2 = d.height;
        e.rec.y2 = d.angle * 180.0 / kPi;
        e.text = m_mtextChunks + d.text;
        m_mtextChunks.clear();
        Add(std::move(e), Plane::kWorld);
    }
    void addMTextChunk(const std::string& text) override { m_mtextChunks += text; }

    void addXLine(const DL_XLineData&) override { Skip("XLINE"); }
    void addRay(const DL_RayData&) override { Skip("RAY"); }
    void addSpline(const DL_SplineData&) override { Skip("SPLINE"); }
    void addTrace(const DL_TraceData&) override { Skip("TRACE"); }
    void add3dFace(const DL_3dFaceData&) override { Skip("3DFACE"); }
    void addSolid(const DL_SolidData&) override { Skip("SOLID"); }
    void addArcAlignedText(const DL_ArcAlignedTextData&) override { Skip("ARCALIGNEDTEXT"); }
    void addDimAlign(const DL_DimensionData&, const DL_DimAlignedData&) override {
        Skip("DIMENSION");
    }
    void addDimLinear(const DL_DimensionData&, const DL_DimLinearData&) override {
        Skip("DIMENSION");
    }
    void addDimRadial(const DL_DimensionData&, const DL_DimRadialData&) override {
        Skip("DIMENSION");
    }
    void addDimDiametric(const DL_DimensionData&, const DL_DimDiametricData&) override {
        Skip("DIMENSION");
    }
    void addDimAngular(const DL_DimensionData&, const DL_DimAngular2LData&) override {
        Skip("DIMENSION");
    }
    void addDimAngular3P(const DL_DimensionData&, const DL_DimAngular3PData&) override {
        Skip("DIMENSION");
    }
    void addDimOrdinate(const DL_DimensionData&, const DL_DimOrdinateData&) override {
        Skip("DIMENSION");
    }
    void addLeader(const DL_LeaderData&) override { Skip("LEADER"); }
    void addHatch(const DL_HatchData&) override { Skip("HATCH"); }
    void addImage(const DL_ImageData&) override { Skip("IMAGE"); }

  private:
    enum class Plane { kWorld, kObject };
    struct Pending {
        bool closed = false, skip = false, paper = false;
        Plane plane = Plane::kObject;
        int side = 1;
        std::string layer;
        int color = 256;
        std::vector<DrwVertex> vertices;
    };

    std::vector<Item>& Container() { return m_inBlock ? blocks.back().items : model; }

    // Entities of blocks belong to the block, whatever their space flag says.
    bool Paper() {
        if (!m_inBlock && attributes.isInPaperSpace()) {
            ++paperSpace;
            return true;
        }
        return false;
    }

    // +1 for extrusion (0, 0, 1), -1 for (0, 0, -1), 0 for any other.
    int ExtrusionSide() {
        double dir[3] = {0, 0, 1};
        if (DL_Extrusion* ex = getExtrusion()) ex->getDirection(dir);
        const double len = std::sqrt(dir[0] * dir[0] + dir[1] * dir[1] + dir[2] * dir[2]);
        if (!(len > 0)) return 1;  // no direction given: the default
        if (std::fabs(dir[0]) > 1e-9 * len || std::fabs(dir[1]) > 1e-9 * len) return 0;
        return dir[2] > 0 ? 1 : -1;
    }

    void Skip(const char* kind) {
        FlushPolyline();
        if (Paper()) return;
        Item item;
        item.skipped = kind;
        Container().push_back(std::move(item));
    }

    void Add(Entity e, Plane plane) {
        FlushPolyline();
        if (Paper()) return;
        if (plane == Plane::kObject) {
            const int side = ExtrusionSide();
            if (side == 0) {
                Skip(kOutsidePlane);
                return;
            }
            if (side < 0) e = MirrorObject(std::move(e));
        }
        Item item;
        item.entity = std::move(e);
        item.layer = attributes.getLayer();
        item.colorNumber = attributes.getColor();
        Container().push_back(std::move(item));
    }

    // An object plane seen from -Z: x turns to -x, arcs run the other way.
    static Entity MirrorObject(Entity e) {
        DrwEntityRecord& r = e.rec;
        r.x1 = -r.x1;
        r.x2 = -r.x2;
        r.circleX = -r.circleX;
        r.arcX = -r.arcX;
        if (r.kind == DRW_ENT_ARC) {
            const double a1 = r.arcStartAngle, a2 = r.arcEndAngle;
            r.arcStartAngle = NormalizeDegrees(180.0 - a2);
            r.arcEndAngle = NormalizeDegrees(180.0 - a1);
        }
        if (r.kind == DRW_ENT_TEXT) r.y2 = 180.0 - r.y2;
        for (DrwVertex& v : e.vertices) {
            v.x = -v.x;
            v.bulge = -v.bulge;
        }
        return e;
    }

    void FlushPolyline() {
        if (!m_pending) return;
        Pending p = std::move(*m_pending);
        m_pending.reset();
        if (p.skip || p.vertices.empty()) return;
        if (!m_inBlock && p.paper) {
            ++paperSpace;
            return;
        }
        Entity e;
        e.rec.kind = DRW_ENT_POLYLINE;
        e.rec.flags = p.closed ? DRW_POLYLINE_CLOSED : 0;
        e.vertices = std::move(p.vertices);
        if (p.plane == Plane::kObject) {
            if (p.side == 0) {
                Item item;
                item.skipped = kOutsidePlane;
                Container().push_back(std::move(item));
                return;
            }
            if (p.side < 0) e = MirrorObject(std::move(e));
        }
        Item item;
        item.entity = std::move(e);
        item.layer = p.layer;
        item.colorNumber = p.color;
        Container().push_back(std::move(item));
    }

    void AddTable(std::uint32_t type, const std::string& name, int color, std::uint32_t flags) {
        TableEntry t;
        t.type = type;
        t.name = name;
        t.color = color;
        t.flags = flags;
        tables.push_back(std::move(t));
    }

    std::istream* m_stream = nullptr;
    std::size_t m_base = 0;
    std::size_t m_size;
    ProgressSink& m_sink;
    int m_from, m_to;
    std::size_t m_pairs = 0;
    bool m_inBlock = false;
    std::optional<Pending> m_pending;
    std::string m_mtextChunks;
};

// ---------------------------------------------------------------- plain entities
//
// dxflib turns every number into a double through a string stream of its own
// and keeps the groups of an entity in a map; on large drawings that is most
// of the reading time. The plain entities most drawings consist of (LINE,
// ARC, CIRCLE, POINT, LWPOLYLINE) are decoded here instead and handed to the
// reader exactly as dxflib would hand them: the same attributes, extrusion
// and data, through the same calls, in file order. dxflib reads everything
// else. Before each run of ours, a group "0" of a kind dxflib does not know
// makes it hand over the entity it is collecting and then wait for the next.

struct Group {
    int code;
    std::string_view value;
};

// One entity's groups, looked up the way dxflib looks them up: the last
// group with a code wins; integers as strtol reads them, reals as numbers.
class PlainEntity {
  public:
    std::string_view kind;
    std::vector<Group> groups;

    bool Has(int code) const { return Find(code) != nullptr; }
    std::string String(int code, const char* def) const {
        const Group* g = Find(code);
        return g ? std::string(g->value) : std::string(def);
    }
    int Int(int code, int def) const {
        const Group* g = Find(code);
        if (g == nullptr) return def;
        char buf[kMaxLine + 1];
        const std::size_t n = std::min(g->value.size(), kMaxLine);
        std::memcpy(buf, g->value.data(), n);
        buf[n] = '\0';
        char* end = nullptr;
        return static_cast<int>(std::strtol(buf, &end, 10));
    }
    double Real(int code, double def) const {
        const Group* g = Find(code);
        return g ? Number(g->value) : def;
    }
    // The check has made sure that a real group holds a finite number.
    static double Number(std::string_view value) {
        double v = 0;
        ParseReal(value, &v);
        return v;
    }

  private:
    const Group* Find(int code) const {
        for (auto it = groups.rbegin(); it != groups.rend(); ++it)
            if (it->code == code) return &*it;
        return nullptr;
    }
};

// Groups dxflib only keeps: anything but a new entity (0, 9), a comment and
// extended data, which it hands on as they come.
bool KeptGroup(int code) {
    return code >= 1 && code < 999 && code != 9;
}

// A plain LWPOLYLINE: one count (90) before any vertex group, each vertex
// opened by its x (10), no more vertices than counted; anything else could
// make dxflib's own bookkeeping give something else. `visit`, when given, gets
// each group of the vertices in order (10 opening a vertex).
template <typename Visit>
bool PlainVertices(const PlainEntity& e, int* count, std::size_t* vertices, Visit visit) {
    *count = -1;
    *vertices = 0;
    for (const Group& g : e.groups) {
        switch (g.code) {
            case 90: {
                long long n = 0;
                if (*count >= 0 || *vertices > 0 || !ParseInt(g.value, &n) || n < 1 ||
                    n > INT32_MAX)
                    return false;
                *count = static_cast<int>(n);
                break;
            }
            case 10:
                if (*count < 0 || *vertices >= static_cast<std::size_t>(*count)) return false;
                ++*vertices;
                visit(g);
                break;
            case 20:
            case 30:
            case 42:
                if (*vertices == 0) return false;
                visit(g);
                break;
            default:
                break;
        }
    }
    return *count >= 1;
}

bool PlainPolyline(const PlainEntity& e) {
    int count = 0;
    std::size_t vertices = 0;
    return PlainVertices(e, &count, &vertices, [](const Group&) {});
}

bool PlainKind(std::string_view kind) {
    return kind == "LINE" || kind == "ARC" || kind == "CIRCLE" || kind == "POINT" ||
           kind == "LWPOLYLINE";
}

// Hands one plain entity to the reader as dxflib does when the group that
// ends it arrives.
void HandOver(const PlainEntity& e, DL_CreationInterface& reader) {
    int width = -1;
    if (e.Has(39) && !e.Has(370))
        width = e.Int(39, -1);
    else if (e.Has(370))
        width = e.Int(370, -1);
    DL_Attributes attributes(e.String(8, "0"), e.Int(62, 256), e.Int(420, -1), width,
                             e.String(6, "BYLAYER"), e.Int(5, -1));
    attributes.setInPaperSpace(static_cast<bool>(e.Int(67, 0)));
    attributes.setLinetypeScale(e.Real(48, 1.0));
    reader.setAttributes(attributes);
    const bool lw = e.kind == "LWPOLYLINE";
    reader.setExtrusion(e.Real(210, 0.0), e.Real(220, 0.0), e.Real(230, 1.0),
                        e.Real(lw ? 38 : 30, 0.0));
    if (e.kind == "LINE") {
        reader.addLine(DL_LineData(e.Real(10, 0.0), e.Real(20, 0.0), e.Real(30, 0.0),
                                   e.Real(11, 0.0), e.Real(21, 0.0), e.Real(31, 0.0)));
    } else if (e.kind == "ARC") {
        reader.addArc(DL_ArcData(e.Real(10, 0.0), e.Real(20, 0.0), e.Real(30, 0.0), e.Real(40, 0.0),
                                 e.Real(50, 0.0), e.Real(51, 0.0)));
    } else if (e.kind == "CIRCLE") {
        reader.addCircle(
            DL_CircleData(e.Real(10, 0.0), e.Real(20, 0.0), e.Real(30, 0.0), e.Real(40, 0.0)));
    } else if (e.kind == "POINT") {
        reader.addPoint(DL_PointData(e.Real(10, 0.0), e.Real(20, 0.0), e.Real(30, 0.0)));
    } else {
        int count = 0;
        std::size_t vertices = 0;
        PlainVertices(e, &count, &vertices, [](const Group&) {});
        reader.addPolyline(DL_PolylineData(count, e.Int(71, 0), e.Int(72, 0), e.Int(70, 0)));
        // Each vertex is handed over when the next one opens, as dxflib
        // hands over its array.
        DrwVertex v{};
        bool open = false;
        PlainVertices(e, &count, &vertices, [&](const Group& g) {
            const double value = PlainEntity::Number(g.value);
            if (g.code == 10) {
                if (open) reader.addVertex(DL_VertexData(v.x, v.y, v.z, v.bulge));
                v = DrwVertex{};
                v.x = value;
                open = true;
            } else {
                (g.code == 20 ? v.y : g.code == 30 ? v.z : v.bulge) = value;
            }
        });
        if (open) reader.addVertex(DL_VertexData(v.x, v.y, v.z, v.bulge));
        reader.endEntity();
    }
    reader.endSection();
}

// The checked text cut into what dxflib reads and what is decoded here: each
// part is a stretch of the text for dxflib (ending with the marker when plain
// entities follow) and the plain entities after it.
struct Part {
    std::size_t begin = 0, end = 0;  // in `forDxflib`
    std::size_t at = 0;              // where the stretch starts in the checked text
    std::vector<PlainEntity> plain;
};

constexpr std::string_view kMarker = "0\nKORVA_PLAIN_ENTITIES\n";

// Returns the number of entities and other objects (groups 0) in the text.
std::size_t SplitPlain(std::string_view text, std::string* forDxflib, std::vector<Part>* parts) {
    std::size_t objects = 0;
    forDxflib->clear();
    parts->clear();
    // A LWPOLYLINE that dxflib reads depends on the last one it read (it keeps
    // the vertex count between entities): when any of them is not plain,
    // dxflib reads them all.
    bool polylines = true;
    std::size_t pos = 0;
    auto next = [&](Group* g, std::size_t* start) {
        if (pos >= text.size()) return false;
        *start = pos;
        const std::size_t codeEnd = text.find('\n', pos);
        const std::size_t valueEnd = text.find('\n', codeEnd + 1);
        long long code = 0;
        ParseInt(text.substr(pos, codeEnd - pos), &code);
        g->code = static_cast<int>(code);
        g->value = text.substr(codeEnd + 1, valueEnd - codeEnd - 1);
        pos = valueEnd + 1;
        return true;
    };
    // First pass: are all LWPOLYLINEs plain?
    {
        Group g{};
        std::size_t start = 0;
        PlainEntity e;
        bool inPolyline = false;
        auto finish = [&] {
            if (inPolyline && !PlainPolyline(e)) polylines = false;
            inPolyline = false;
        };
        while (next(&g, &start)) {
            objects += g.code == 0;
            if (!polylines) continue;
            if (g.code == 0 || g.code == 9) {
                finish();
                inPolyline = g.code == 0 && g.value == "LWPOLYLINE";
                e.groups.clear();
                continue;
            }
            if (inPolyline) {
                if (!KeptGroup(g.code)) {
                    polylines = false;
                    continue;
                }
                e.groups.push_back(g);
            }
        }
        finish();
        pos = 0;
    }

    forDxflib->reserve(text.size() / 8);
    Part part;
    std::size_t runStart = 0;  // of the text not yet copied for dxflib
    Group g{};
    std::size_t start = 0;
    bool have = next(&g, &start);
    while (have) {
        const bool candidate =
            g.code == 0 && PlainKind(g.value) && (polylines || g.value != "LWPOLYLINE");
        if (!candidate) {
            have = next(&g, &start);
            continue;
        }
        const std::size_t entityStart = start;
        PlainEntity e;
        e.kind = g.value;
        bool plain = true;
        while ((have = next(&g, &start)) && g.code != 0 && g.code != 9) {
            plain = plain && KeptGroup(g.code);
            e.groups.push_back(g);
        }
        if (plain && e.kind == "LWPOLYLINE") plain = PlainPolyline(e);
        if (!plain) continue;  // dxflib reads it with the text around it
        if (entityStart > runStart || part.plain.empty()) {
            // A new stretch for dxflib, closed by the marker.
            if (!part.plain.empty()) parts->push_back(std::move(part));
            part = Part{};
            part.at = runStart;
            part.begin = forDxflib->size();
            forDxflib->append(text.substr(runStart, entityStart - runStart));
            forDxflib->append(kMarker);
            part.end = forDxflib->size();
        }
        part.plain.push_back(std::move(e));
        runStart = have ? start : text.size();
    }
    if (!part.plain.empty()) parts->push_back(std::move(part));
    Part rest;
    rest.at = runStart;
    rest.begin = forDxflib->size();
    forDxflib->append(text.substr(runStart));
    rest.end = forDxflib->size();
    parts->push_back(std::move(rest));
    return objects;
}

// A stream over part of a text, without a copy; tellg works.
class TextBuffer : public std::streambuf {
  public:
    TextBuffer(const char* begin, const char* end) {
        char* b = const_cast<char*>(begin);
        setg(b, b, const_cast<char*>(end));
    }

  protected:
    pos_type seekoff(off_type off, std::ios_base::seekdir dir, std::ios_base::openmode) override {
        if (off != 0 || dir != std::ios_base::cur) return pos_type(off_type(-1));
        return pos_type(gptr() - eback());
    }
};

}  // namespace

bool ReadRecords(std::string_view checked, bool plainEntities, ProgressSink& sink, int from, int to,
                 Records* out, std::string* error) {
    std::string forDxflib;
    std::vector<Part> parts;
    std::size_t objects = 0;
    std::string_view source = checked;
    if (plainEntities) {
        objects = SplitPlain(checked, &forDxflib, &parts);
        source = forDxflib;
    } else {
        parts.push_back(Part{0, checked.size(), 0, {}});
    }
    Reader reader(checked.size(), sink, from, to);
    reader.model.reserve(objects);
    AdviseLargeCapacity(reader.model);
    try {
        DL_Dxf dxf;
        for (const Part& part : parts) {
            TextBuffer buffer(source.data() + part.begin, source.data() + part.end);
            std::istream stream(&buffer);
            reader.Reading(&stream, part.at);
            if (!dxf.in(stream, &reader)) {
                *error = "the file could not be read";
                return false;
            }
            reader.Reading(nullptr, 0);
            for (const PlainEntity& e : part.plain) HandOver(e, reader);
        }
    } catch (const std::bad_alloc&) {
        *error = "not enough memory to read the file";
        return false;
    } catch (...) {
        *error = "the file could not be read";
        return false;
    }
    reader.Finish();
    out->tables = std::move(reader.tables);
    out->blocks = std::move(reader.blocks);
    out->model = std::move(reader.model);
    out->paperSpace = reader.paperSpace;
    return true;
}

}  // namespace korva::cadio::dxf
