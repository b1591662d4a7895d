// The second stage after the check: block inserts expanded into model space.
#include <algorithm>
#include <cmath>
#include <map>
#include <string>
#include <vector>

#include "DxfRecords.h"
#include "LargeBuffers.h"

namespace korva::cadio::dxf {
namespace {

std::string Upper(std::string s) {
    for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return s;
}

// Places the items of one container under a map, inserts recursively.
class Expander {
  public:
    Expander(const Records& reader, Model* model) : m_reader(reader), m_model(model) {
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

    const Records& m_reader;
    Model* m_model;
    std::map<std::string, std::size_t> m_blocks;
    std::map<std::string, int> m_layerColors;
    std::size_t m_vertices = 0;
};

std::string Notes(const Records& r, const Expander& x) {
    std::string notes;
    for (const auto& [what, count] : x.skipped)
        notes += (notes.empty() ? "" : ", ") + std::to_string(count) + " " + what;
    if (r.paperSpace)
        notes += (notes.empty() ? "" : ", ") + std::to_string(r.paperSpace) + " on paper space";
    return notes.empty() ? notes : "not loaded: " + notes;
}

}  // namespace

bool ExpandRecords(const Records& records, Model* out, std::string* error) {
    Model model;
    for (const TableEntry& t : records.tables) {
        TableEntry copy = t;
        copy.handle = model.NextHandle();
        model.tables.push_back(std::move(copy));
    }
    for (const RawBlock& rb : records.blocks) {
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
    Expander expander(records, &model);
    if (!expander.Run(error)) return false;
    model.notes = Notes(records, expander);
    *out = std::move(model);
    return true;
}

}  // namespace korva::cadio::dxf
