#include "DxfLoad.h"

#include <dxflib/dl_creationadapter.h>
#include <dxflib/dl_dxf.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>
#include <locale>
#include <map>
#include <memory>
#include <new>
#include <optional>
#include <set>
#include <sstream>
#include <system_error>

#include "LargeBuffers.h"

namespace korva::cadio {
namespace {

// dxflib reads lines into a buffer of 1024 bytes; a longer line would end
// its parse early without a word.
constexpr std::size_t kMaxLine = 1000;

// Entities for which dxflib allocates arrays by a count read from the file.
bool CountsAllocate(std::string_view entity) {
    return entity == "LWPOLYLINE" || entity == "SPLINE" || entity == "LEADER" || entity == "HATCH";
}

enum class ValueKind { kString, kReal, kInt };

ValueKind KindOfCode(int code) {
    if ((code >= 10 && code <= 59) || (code >= 110 && code <= 149) ||
        (code >= 210 && code <= 239) || (code >= 460 && code <= 469) ||
        (code >= 1010 && code <= 1059))
        return ValueKind::kReal;
    if ((code >= 60 && code <= 79) || (code >= 90 && code <= 99) || (code >= 160 && code <= 179) ||
        (code >= 270 && code <= 299) || (code >= 370 && code <= 389) ||
        (code >= 400 && code <= 409) || (code >= 420 && code <= 429) ||
        (code >= 440 && code <= 459) || (code >= 1060 && code <= 1071))
        return ValueKind::kInt;
    return ValueKind::kString;
}

std::string_view Strip(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
    return s;
}

bool ParseInt(std::string_view s, long long* out) {
    if (!s.empty() && s.front() == '+') s.remove_prefix(1);
    if (s.empty()) return false;
    auto [p, ec] = std::from_chars(s.data(), s.data() + s.size(), *out);
    return ec == std::errc() && p == s.data() + s.size();
}

bool ParseReal(std::string_view s, double* out) {
    if (!s.empty() && s.front() == '+') s.remove_prefix(1);
    if (s.empty()) return false;
    // dxflib reads a decimal comma as a point; so do we.
    char buf[kMaxLine + 1];
    if (s.size() > kMaxLine) return false;
    std::memcpy(buf, s.data(), s.size());
    std::replace(buf, buf + s.size(), ',', '.');
    auto [p, ec] = std::from_chars(buf, buf + s.size(), *out);
    return ec == std::errc() && p == buf + s.size() && std::isfinite(*out);
}

std::string Quote(std::string_view s) {
    std::string q = "'";
    for (char c : s.substr(0, 40)) q += (static_cast<unsigned char>(c) < 0x20) ? '?' : c;
    if (s.size() > 40) q += "...";
    return q + "'";
}

// Cuts a UTF-8 text at a character boundary.
std::string_view CutUtf8(std::string_view s, std::size_t max) {
    if (s.size() <= max) return s;
    std::size_t n = max;
    while (n > 0 && (static_cast<unsigned char>(s[n]) & 0xC0) == 0x80) --n;
    return s.substr(0, n);
}

class ProgressSink {
  public:
    explicit ProgressSink(const Progress& p) : m_progress(p) {}
    void Report(int percent) {
        percent = std::clamp(percent, 0, 100);
        if (percent == m_last || !m_progress) return;
        m_last = percent;
        m_progress(percent);
    }

  private:
    const Progress& m_progress;
    int m_last = -1;
};

}  // namespace

bool NormalizeDxf(std::string_view content, std::string* normalized, std::string* error,
                  const Progress& progress, int progressEnd) {
    ProgressSink sink(progress);
    normalized->clear();
    if (content.size() >= 3 && content.substr(0, 3) == "\xEF\xBB\xBF") content.remove_prefix(3);
    if (content.substr(0, 18) == "AutoCAD Binary DXF") {
        *error = "binary DXF files are not supported; save the drawing as ASCII DXF";
        return false;
    }
    if (content.find_first_not_of(" \t\r\n") == std::string_view::npos) {
        *error = "the file is empty";
        return false;
    }
    if (content.find('\0') != std::string_view::npos) {
        *error = "the file contains NUL bytes: it is not a text DXF file";
        return false;
    }
    const std::size_t totalLines =
        static_cast<std::size_t>(std::count(content.begin(), content.end(), '\n')) + 1;
    normalized->reserve(content.size());
    AdviseLargeBuffer(normalized->data(), normalized->capacity());

    std::size_t pos = 0, lineNo = 0;
    auto nextLine = [&](std::string_view* line) {
        if (pos >= content.size()) return false;
        std::size_t end = content.find_first_of("\r\n", pos);
        if (end == std::string_view::npos) end = content.size();
        *line = content.substr(pos, end - pos);
        pos = end;
        if (pos < content.size() && content[pos] == '\r') ++pos;
        if (pos < content.size() && content[pos] == '\n') ++pos;
        ++lineNo;
        return true;
    };

    bool started = false, ended = false;
    std::string entity;
    std::size_t pairs = 0;
    std::string_view codeLine, value;
    while (nextLine(&codeLine)) {
        const std::size_t codeLineNo = lineNo;
        std::string_view codeText = Strip(codeLine);
        if (codeText.empty() && pos >= content.size()) break;  // a final empty line
        long long code = 0;
        if (!ParseInt(codeText, &code) || code < -5 || code > 1071) {
            *error = "line " + std::to_string(codeLineNo) + ": a group code was expected, not " +
                     Quote(codeText);
            return false;
        }
        if (!nextLine(&value)) {
            *error = "line " + std::to_string(codeLineNo) +
                     ": the file ends after a group code: it is incomplete";
            return false;
        }
        value = Strip(value);
        const auto where = [&] {
            return "line " + std::to_string(lineNo) + " (group code " + std::to_string(code) +
                   "): ";
        };
        if (value.size() > kMaxLine) {
            const bool text = code == 1 || code == 3 || code == 999 ||
                              (code >= 1000 && code <= 1009) || (code >= 300 && code <= 309);
            if (!text) {
                *error = where() + "the line is too long";
                return false;
            }
            value = CutUtf8(value, kMaxLine);  // text is only painted
        }
        switch (KindOfCode(static_cast<int>(code))) {
            case ValueKind::kReal: {
                double v;
                if (!ParseReal(value, &v)) {
                    *error = where() + Quote(value) + " is not a finite number";
                    return false;
                }
                // Coordinates, radii, bulges and angles reach the controller
                // as 32-bit floats.
                if (code >= 10 && code <= 59 &&
                    std::fabs(v) > static_cast<double>(std::numeric_limits<float>::max())) {
                    *error =
                        where() + Quote(value) + " does not fit the 32-bit numbers a run sends";
                    return false;
                }
                break;
            }
            case ValueKind::kInt: {
                long long v;
                const bool wide = (code >= 160 && code <= 169) || (code >= 450 && code <= 459);
                if (!ParseInt(value, &v) || (!wide && (v < INT32_MIN || v > INT32_MAX))) {
                    *error = where() + Quote(value) + " is not a whole number";
                    return false;
                }
                const bool count = (code >= 70 && code <= 79) || (code >= 90 && code <= 99);
                if (count && CountsAllocate(entity)) {
                    const std::size_t remaining = (totalLines - std::min(totalLines, lineNo)) / 2;
                    if (v < 0 || static_cast<unsigned long long>(v) > remaining) {
                        *error = where() + "the count " + std::string(value) + " in " + entity +
                                 " does not fit the rest of the file";
                        return false;
                    }
                }
                break;
            }
            case ValueKind::kString:
                break;
        }
        if (code == 999) continue;  // comments carry nothing
        if (!started) {
            if (code != 0 || value != "SECTION") {
                *error = "line " + std::to_string(codeLineNo) +
                         ": a DXF file starts with a SECTION, not " + Quote(value);
                return false;
            }
            started = true;
        }
        if (code == 0) entity.assign(value);
        normalized->append(std::to_string(code));
        normalized->push_back('\n');
        normalized->append(value);
        normalized->push_back('\n');
        if (++pairs % 4096 == 0)
            sink.Report(static_cast<int>(progressEnd * static_cast<double>(pos) / content.size()));
        if (code == 0 && value == "EOF") {
            ended = true;
            break;
        }
    }
    if (!ended) {
        *error = "the file ends without its EOF marker: it is incomplete";
        return false;
    }
    sink.Report(progressEnd);
    return true;
}

namespace {

struct Insert {
    std::string name;
    double ipx = 0, ipy = 0, sx = 1, sy = 1, angle = 0;
    int cols = 1, rows = 1;
    double colSp = 0, rowSp = 0;
    bool mirror = false;
};

// An entity or insert as read, in its container's plane coordinates.
struct Item {
    bool isInsert = false;
    std::string skipped;  // not kept: what it was, counted where it is placed
    Entity entity;
    Insert insert;
    std::string layer;
    int colorNumber = 256;  // 256 by layer, 0 by block
};

struct RawBlock {
    std::string name;
    double baseX = 0, baseY = 0;
    std::uint32_t flags = 0;
    std::vector<Item> items;
};

// Internal kind: an ellipse kept as its defining map until it is placed, so
// that the chords are fitted to its final size.
constexpr int kEllipse = -1;

constexpr const char* kOutsidePlane = "outside the XY plane";

std::string Upper(std::string s) {
    for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return s;
}

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

// Places the items of one container under a map, inserts recursively.
class Expander {
  public:
    Expander(const Reader& reader, Model* model) : m_reader(reader), m_model(model) {
        for (std::size_t i = 0; i < reader.blocks.size(); ++i)
            m_blocks.emplace(Upper(reader.blocks[i].name), i);
        for (const TableEntry& t : reader.tables)
            if (t.type == DRW_TABLE_LAYER) m_layerColors.emplace(Upper(t.name), t.color);
    }

    std::map<std::string, int> skipped;  // what was left out -> how often

    bool Run(std::string* error) {
        // Counted first, so a file whose inserts multiply beyond the limit is
        // refused before any of it is built.
        std::vector<std::string> stack;
        std::map<std::string, std::size_t> counts;
        const std::size_t total = Count(m_reader.model, &stack, &counts, error);
        if (total > kMaxEntities) {
            if (error->empty())
                *error = "the drawing expands to more than " + std::to_string(kMaxEntities) +
                         " entities";
            return false;
        }
        m_model->entities.reserve(total);
        AdviseLargeCapacity(m_model->entities);
        return Place(m_reader.model, Affine{}, 7, &stack, error);
    }

  private:
    // Entities the items expand to, saturated just above the limit; a cycle
    // or too deep a nesting sets *error and saturates too.
    std::size_t Count(const std::vector<Item>& items, std::vector<std::string>* stack,
                      std::map<std::string, std::size_t>* memo, std::string* error) const {
        constexpr std::size_t kOver = kMaxEntities + 1;
        std::size_t total = 0;
        for (const Item& item : items) {
            if (!item.skipped.empty()) continue;
            if (!item.isInsert) {
                ++total;
            } else {
                const std::string key = Upper(item.insert.name);
                auto it = m_blocks.find(key);
                if (it == m_blocks.end() || item.insert.sx == 0 || item.insert.sy == 0) continue;
                if (std::find(stack->begin(), stack->end(), key) != stack->end()) {
                    *error = "block '" + item.insert.name + "' inserts itself";
                    return kOver;
                }
                if (static_cast<int>(stack->size()) >= kMaxInsertDepth) {
                    *error = "blocks are nested deeper than " + std::to_string(kMaxInsertDepth);
                    return kOver;
                }
                auto known = memo->find(key);
                std::size_t each;
                if (known != memo->end()) {
                    each = known->second;
                } else {
                    stack->push_back(key);
                    each = Count(m_reader.blocks[it->second].items, stack, memo, error);
                    stack->pop_back();
                    if (!error->empty()) return kOver;
                    memo->emplace(key, each);
                }
                const double copies = static_cast<double>(item.insert.cols) * item.insert.rows;
                if (static_cast<double>(each) * copies >= kOver) return kOver;
                total += each * static_cast<std::size_t>(copies);
            }
            if (total >= kOver) return kOver;
        }
        return total;
    }

    int ColorOf(const Item& item, int blockColor) const {
        int c = item.colorNumber;
        if (c == 256) {
            auto it = m_layerColors.find(Upper(item.layer));
            c = it == m_layerColors.end() ? 7 : std::abs(it->second);
        } else if (c == 0) {
            c = blockColor;
        }
        return (c >= 1 && c <= 255) ? c : 7;
    }

    bool Place(const std::vector<Item>& items, const Affine& m, int blockColor,
               std::vector<std::string>* stack, std::string* error) {
        for (const Item& item : items) {
            if (!item.skipped.empty()) {
                ++skipped[item.skipped];
                continue;
            }
            const int color = ColorOf(item, blockColor);
            if (!item.isInsert) {
                if (!Emit(item.entity, m, color, error)) return false;
                continue;
            }
            const Insert& ins = item.insert;
            auto it = m_blocks.find(Upper(ins.name));
            if (it == m_blocks.end()) {
                ++skipped["INSERT of an undefined block"];
                continue;
            }
            if (ins.sx == 0 || ins.sy == 0) {
                ++skipped["INSERT scaled to 0"];
                continue;
            }
            const std::string key = Upper(ins.name);
            if (std::find(stack->begin(), stack->end(), key) != stack->end()) {
                *error = "block '" + ins.name + "' inserts itself";
                return false;
            }
            if (static_cast<int>(stack->size()) >= kMaxInsertDepth) {
                *error = "blocks are nested deeper than " + std::to_string(kMaxInsertDepth);
                return false;
            }
            const RawBlock& block = m_reader.blocks[it->second];
            const long long copies = static_cast<long long>(ins.cols) * ins.rows;
            if (copies > static_cast<long long>(kMaxEntities)) {
                *error = "an insert of block '" + ins.name + "' repeats it " +
                         std::to_string(copies) + " times";
                return false;
            }
            stack->push_back(key);
            for (int row = 0; row < ins.rows; ++row) {
                for (int col = 0; col < ins.cols; ++col) {
                    Affine place = Affine::Translate(ins.ipx, ins.ipy) *
                                   Affine::RotateDegrees(ins.angle) *
                                   Affine::Translate(col * ins.colSp, row * ins.rowSp) *
                                   Affine::Scale(ins.sx, ins.sy) *
                                   Affine::Translate(-block.baseX, -block.baseY);
                    if (ins.mirror) place = Affine::MirrorX() * place;
                    if (!Place(block.items, m * place, color, stack, error)) return false;
                }
            }
            stack->pop_back();
        }
        return true;
    }

    bool Emit(const Entity& src, const Affine& m, int color, std::string* error) {
        Entity e = Transform(src, m);
        e.color = color;
        m_vertices += e.vertices.size();
        if (m_model->entities.size() >= kMaxEntities || m_vertices > kMaxVertices) {
            *error = "the drawing expands to more than " + std::to_string(kMaxEntities) +
                     " entities or " + std::to_string(kMaxVertices) + " vertices";
            return false;
        }
        e.rec.handle = m_model->NextHandle();
        m_model->entities.push_back(std::move(e));
        return true;
    }

    static Entity Polyline(std::vector<DrwVertex> vertices, bool closed, const Entity& src) {
        Entity e;
        e.rec.kind = DRW_ENT_POLYLINE;
        e.rec.flags = closed ? DRW_POLYLINE_CLOSED : 0;
        e.vertices = std::move(vertices);
        e.text = src.text;
        return e;
    }

    static Entity Transform(const Entity& src, const Affine& m) {
        const bool identity = m.a == 1 && m.b == 0 && m.c == 0 && m.d == 1 && m.e == 0 && m.f == 0;
        if (identity && src.rec.kind != kEllipse) return src;
        Entity e = src;
        DrwEntityRecord& r = e.rec;
        const bool conformal = m.Conformal();
        const bool mirrored = m.Det() < 0;
        switch (r.kind) {
            case DRW_ENT_LINE:
                m.Apply(src.rec.x1, src.rec.y1, &r.x1, &r.y1);
                m.Apply(src.rec.x2, src.rec.y2, &r.x2, &r.y2);
                break;
            case DRW_ENT_POINT:
                m.Apply(src.rec.x1, src.rec.y1, &r.x1, &r.y1);
                break;
            case DRW_ENT_TEXT: {
                m.Apply(src.rec.x1, src.rec.y1, &r.x1, &r.y1);
                const double t = src.rec.y2 * kPi / 180.0;
                const double ux = m.a * std::cos(t) + m.b * std::sin(t);
                const double uy = m.c * std::cos(t) + m.d * std::sin(t);
                r.y2 = std::atan2(uy, ux) * 180.0 / kPi;
                r.x2 = src.rec.x2 * std::sqrt(std::fabs(m.Det()));
                break;
            }
            case DRW_ENT_CIRCLE:
                if (conformal) {
                    m.Apply(src.rec.circleX, src.rec.circleY, &r.circleX, &r.circleY);
                    r.circleRadius = src.rec.circleRadius * m.ScaleFactor();
                } else {
                    std::vector<DrwVertex> v;
                    SampleArc(src.rec.circleX, src.rec.circleY, src.rec.circleRadius, 0, 360, m,
                              kChordTolerance, &v);
                    v.pop_back();  // the closing segment returns to the first point
                    e = Polyline(std::move(v), true, src);
                }
                break;
            case DRW_ENT_ARC:
                if (conformal) {
                    m.Apply(src.rec.arcX, src.rec.arcY, &r.arcX, &r.arcY);
                    r.arcRadius = src.rec.arcRadius * m.ScaleFactor();
                    const double phi = m.AngleDegrees();
                    if (!mirrored) {
                        r.arcStartAngle = NormalizeDegrees(src.rec.arcStartAngle + phi);
                        r.arcEndAngle = NormalizeDegrees(src.rec.arcEndAngle + phi);
                    } else {
                        // A mirror turns the sense: the arc now runs from the
                        // image of its end to the image of its start.
                        r.arcStartAngle = NormalizeDegrees(phi - src.rec.arcEndAngle);
                        r.arcEndAngle = NormalizeDegrees(phi - src.rec.arcStartAngle);
                    }
                } else {
                    std::vector<DrwVertex> v;
                    SampleArc(src.rec.arcX, src.rec.arcY, src.rec.arcRadius, src.rec.arcStartAngle,
                              SweepDegrees(src.rec.arcStartAngle, src.rec.arcEndAngle), m,
                              kChordTolerance, &v);
                    e = Polyline(std::move(v), false, src);
                }
                break;
            case kEllipse: {
                // The unit circle mapped onto the ellipse, then placed.
                const double mx = src.rec.x2, my = src.rec.y2, ratio = src.rec.circleRadius;
                const double side = src.rec.flags ? -1.0 : 1.0;
                const Affine unit{mx,
                                  -side * ratio * my,
                                  my,
                                  side * ratio * mx,
                                  src.rec.circleX,
                                  src.rec.circleY};
                const Affine full = m * unit;
                const double sweep = src.rec.arcEndAngle - src.rec.arcStartAngle;
                const bool whole = std::fabs(std::fabs(sweep) - 360.0) < 1e-9 || sweep == 0;
                Entity circle;
                if (whole) {
                    circle.rec.kind = DRW_ENT_CIRCLE;
                    circle.rec.circleRadius = 1;
                } else {
                    circle.rec.kind = DRW_ENT_ARC;
                    circle.rec.arcRadius = 1;
                    circle.rec.arcStartAngle = NormalizeDegrees(src.rec.arcStartAngle);
                    circle.rec.arcEndAngle = NormalizeDegrees(src.rec.arcEndAngle);
                }
                e = Transform(circle, full);
                break;
            }
            case DRW_ENT_POLYLINE:
                e.vertices.clear();
                if (conformal) {
                    for (DrwVertex v : src.vertices) {
                        m.Apply(v.x, v.y, &v.x, &v.y);
                        if (mirrored) v.bulge = -v.bulge;
                        e.vertices.push_back(v);
                    }
                } else {
                    // Arcs cannot stay arcs: bulges become chords.
                    const std::size_t n = src.vertices.size();
                    const bool closed = (src.rec.flags & DRW_POLYLINE_CLOSED) != 0;
                    for (std::size_t i = 0; i < n; ++i) {
                        const DrwVertex& p = src.vertices[i];
                        const bool last = i + 1 == n;
                        const DrwVertex* q =
                            last ? (closed ? &src.vertices[0] : nullptr) : &src.vertices[i + 1];
                        BulgeArc arc;
                        if (q != nullptr && ArcOfBulge(p.x, p.y, q->x, q->y, p.bulge, &arc)) {
                            std::vector<DrwVertex> pts;
                            SampleArc(arc.cx, arc.cy, arc.radius, arc.startDegrees,
                                      arc.sweepDegrees, m, kChordTolerance, &pts);
                            pts.pop_back();  // the next vertex follows
                            e.vertices.insert(e.vertices.end(), pts.begin(), pts.end());
                        } else {
                            DrwVertex v{};
                            m.Apply(p.x, p.y, &v.x, &v.y);
                            e.vertices.push_back(v);
                        }
                    }
                }
                break;
            default:
                break;
        }
        return e;
    }

    const Reader& m_reader;
    Model* m_model;
    std::map<std::string, std::size_t> m_blocks;
    std::map<std::string, int> m_layerColors;
    std::size_t m_vertices = 0;
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

bool ReadWholeFile(const std::string& path, std::string* content, std::string* error) {
    // Not blocking in open(): a FIFO without a writer would wait for ever.
    // Anything but a regular file is refused before a byte is read.
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) {
        *error = "cannot open " + path + ": " + std::strerror(errno);
        return false;
    }
    struct Closer {
        int fd;
        ~Closer() { ::close(fd); }
    } closer{fd};
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        *error = "cannot read " + path + ": not a regular file";
        return false;
    }
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    if (st.st_size > 0) {
        content->reserve(static_cast<std::size_t>(st.st_size));
        AdviseLargeBuffer(content->data(), content->capacity());
    }
    char buf[65536];
    for (;;) {
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n == 0) break;
        if (n < 0) {
            if (errno == EINTR) continue;
            *error = "cannot read " + path + ": " + std::strerror(errno);
            return false;
        }
        content->append(buf, static_cast<std::size_t>(n));
    }
    return true;
}

std::string Notes(const Reader& r, const Expander& x) {
    std::string notes;
    for (const auto& [what, count] : x.skipped)
        notes += (notes.empty() ? "" : ", ") + std::to_string(count) + " " + what;
    if (r.paperSpace)
        notes += (notes.empty() ? "" : ", ") + std::to_string(r.paperSpace) + " on paper space";
    return notes.empty() ? notes : "not loaded: " + notes;
}

}  // namespace

bool LoadDxfText(std::string_view content, Model* out, std::string* error, const Progress& progress,
                 bool plainEntities) {
    // dxflib reads numbers with the global C++ locale; under a decimal comma it
    // would misread every coordinate.
    if (std::use_facet<std::numpunct<char>>(std::locale()).decimal_point() != '.') {
        *error = "the program's C++ locale does not use a decimal point";
        return false;
    }
    ProgressSink sink(progress);
    std::string normalized;
    if (!NormalizeDxf(content, &normalized, error, progress, 30)) return false;

    Model model;
    std::string forDxflib;
    std::vector<Part> parts;
    std::size_t objects = 0;
    if (plainEntities) {
        objects = SplitPlain(normalized, &forDxflib, &parts);
    } else {
        forDxflib = std::move(normalized);
        parts.push_back(Part{0, forDxflib.size(), 0, {}});
    }
    Reader reader(normalized.empty() ? forDxflib.size() : normalized.size(), sink, 30, 90);
    reader.model.reserve(objects);
    AdviseLargeCapacity(reader.model);
    try {
        DL_Dxf dxf;
        for (const Part& part : parts) {
            TextBuffer buffer(forDxflib.data() + part.begin, forDxflib.data() + part.end);
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

    for (const TableEntry& t : reader.tables) {
        TableEntry copy = t;
        copy.handle = model.NextHandle();
        model.tables.push_back(std::move(copy));
    }
    for (const RawBlock& rb : reader.blocks) {
        Block b;
        b.handle = model.NextHandle();
        b.name = rb.name;
        b.flags = rb.flags;
        b.baseX = rb.baseX;
        b.baseY = rb.baseY;
        for (const Item& item : rb.items) {
            if (item.isInsert || !item.skipped.empty() || item.entity.rec.kind == kEllipse)
                continue;
            Entity e = item.entity;
            e.rec.handle = model.NextHandle();
            b.entities.push_back(std::move(e));
        }
        model.blocks.push_back(std::move(b));
    }
    Expander expander(reader, &model);
    if (!expander.Run(error)) return false;
    model.notes = Notes(reader, expander);
    sink.Report(100);
    *out = std::move(model);
    return true;
}

bool LoadDxfFile(const std::string& path, Model* out, std::string* error,
                 const Progress& progress) {
    std::string content;
    if (!ReadWholeFile(path, &content, error)) return false;
    return LoadDxfText(content, out, error, progress);
}

}  // namespace korva::cadio
