// Reading DXF text: what is refused (with a reason) before dxflib sees it,
// what is accepted, how ellipses and stretched circles become paths, and that
// no damaged copy of a real drawing can crash or hang the reader.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "ChildProcess.h"
#include "Drawing.h"
#include "DxfLoad.h"

namespace korva::cadio {
namespace {

std::string ReadFixture(const std::string& name) {
    std::ifstream in(std::string(CADIO_FIXTURES) + "/" + name, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

// A drawing with only an ENTITIES section (as R12 allows).
std::string Entities(const std::string& body) {
    return "0\nSECTION\n2\nENTITIES\n" + body + "0\nENDSEC\n0\nEOF\n";
}

std::string Line(double x1, double y1, double x2, double y2) {
    std::ostringstream s;
    s << "0\nLINE\n8\n0\n10\n" << x1 << "\n20\n" << y1 << "\n11\n" << x2 << "\n21\n" << y2 << "\n";
    return s.str();
}

std::string Blocks(const std::string& blocks, const std::string& entities) {
    return "0\nSECTION\n2\nBLOCKS\n" + blocks + "0\nENDSEC\n0\nSECTION\n2\nENTITIES\n" + entities +
           "0\nENDSEC\n0\nEOF\n";
}

std::string Block(const std::string& name, const std::string& body) {
    return "0\nBLOCK\n8\n0\n2\n" + name + "\n70\n0\n10\n0\n20\n0\n" + body + "0\nENDBLK\n8\n0\n";
}

std::string Insert(const std::string& name, double x = 0, double y = 0) {
    std::ostringstream s;
    s << "0\nINSERT\n8\n0\n2\n" << name << "\n10\n" << x << "\n20\n" << y << "\n";
    return s.str();
}

bool Load(const std::string& text, Model* model, std::string* error) {
    return LoadDxfText(text, model, error, {});
}

TEST(CadioLoad, RefusesMalformedFilesWithAReasonAndLeavesTheModelAlone) {
    std::string lwpolyline = "0\nLWPOLYLINE\n8\n0\n90\n%\n70\n0\n10\n0\n20\n0\n10\n1\n20\n0\n";
    auto withCount = [&](const char* count) {
        std::string s = lwpolyline;
        s.replace(s.find('%'), 1, count);
        return Entities(s);
    };
    // Ten nested levels of ten inserts each: 10^10 lines.
    std::string bomb;
    for (int level = 0; level < 10; ++level) {
        std::string body;
        for (int i = 0; i < 10; ++i) body += Insert("B" + std::to_string(level + 1), i, 0);
        bomb += Block("B" + std::to_string(level), body);
    }
    bomb += Block("B10", Line(0, 0, 1, 0));
    struct Case {
        const char* what;
        std::string text;
        const char* reason;
    } cases[] = {
        {"empty", "", "empty"},
        {"blank lines", "\n \n\n", "empty"},
        {"binary", std::string("AutoCAD Binary DXF\r\n\x1a\0\0\0", 25), "binary"},
        {"not a DXF file", "hello\nworld\n", "group code was expected"},
        {"NUL byte", Entities(Line(0, 0, 1, 0)).insert(30, 1, '\0'), "NUL"},
        {"no SECTION first", Line(0, 0, 1, 0) + "0\nEOF\n", "starts with a SECTION"},
        {"cut after a group code", "0\nSECTION\n2\nENTITIES\n0\nLINE\n10",
         "ends after a group code"},
        {"no EOF", "0\nSECTION\n2\nENTITIES\n" + Line(0, 0, 1, 0), "EOF"},
        {"cut inside an entity", Entities(Line(0, 0, 1, 0)).substr(0, 40), "incomplete"},
        {"bad coordinate", Entities("0\nLINE\n10\n1.2.3\n20\n0\n"), "not a finite number"},
        {"overflowing coordinate", Entities("0\nLINE\n10\n1e999\n20\n0\n"), "not a finite number"},
        {"nan coordinate", Entities("0\nLINE\n10\nnan\n20\n0\n"), "not a finite number"},
        {"NaN written out", Entities("0\nLINE\n10\n1\n20\nNaN\n"), "line 10 (group code 20)"},
        {"inf coordinate", Entities("0\nLINE\n10\ninf\n20\n0\n"), "line 8 (group code 10)"},
        {"coordinate beyond 32-bit floats", Entities("0\nLINE\n10\n1e39\n20\n0\n"),
         "line 8 (group code 10): '1e39' does not fit the 32-bit numbers"},
        {"radius beyond 32-bit floats", Entities("0\nCIRCLE\n10\n0\n20\n0\n40\n-4e38\n"),
         "line 12 (group code 40)"},
        {"bulge beyond 32-bit floats",
         Entities("0\nLWPOLYLINE\n90\n2\n10\n0\n20\n0\n42\n1e300\n10\n1\n20\n0\n"),
         "line 14 (group code 42)"},
        {"fraction as flag", Entities("0\nLINE\n70\n1.5\n"), "not a whole number"},
        {"flag beyond 32 bits", Entities("0\nLINE\n70\n99999999999\n"), "not a whole number"},
        {"group code out of range", Entities("5000\nx\n"), "group code was expected"},
        {"huge vertex count", withCount("2000000000"), "does not fit"},
        {"negative vertex count", withCount("-5"), "does not fit"},
        {"overlong number line", Entities("0\nLINE\n10\n" + std::string(1200, '1') + "\n"),
         "too long"},
        {"block inserting itself", Blocks(Block("A", Insert("A")), Insert("A")), "inserts itself"},
        {"blocks inserting each other",
         Blocks(Block("A", Insert("B")) + Block("B", Insert("a")), Insert("A")), "inserts itself"},
        {"insert bomb", Blocks(bomb, Insert("B0")), "expands to more than"},
    };
    for (const Case& c : cases) {
        Model model;
        model.notes = "untouched";
        std::string error;
        EXPECT_FALSE(Load(c.text, &model, &error)) << c.what;
        EXPECT_NE(error.find(c.reason), std::string::npos) << c.what << ": " << error;
        EXPECT_EQ(model.notes, "untouched") << c.what;
    }
}

TEST(CadioLoad, AcceptsTheVariationsWritersProduce) {
    struct Case {
        const char* what;
        std::string text;
    } cases[] = {
        {"CR LF line ends",
         "0\r\nSECTION\r\n2\r\nENTITIES\r\n0\r\nLINE\r\n10\r\n1.5\r\n20\r\n2\r\n11\r\n"
         "3\r\n21\r\n4\r\n0\r\nENDSEC\r\n0\r\nEOF\r\n"},
        {"indented codes, byte order mark",
         "\xEF\xBB\xBF  0\nSECTION\n  2\nENTITIES\n  0\nLINE\n 10\n1.5\n 20\n2\n 11\n3\n 21\n4\n"
         "  0\nENDSEC\n  0\nEOF\n"},
        {"decimal comma, comments, plus signs",
         "999\nwritten by hand\n0\nSECTION\n2\nENTITIES\n0\nLINE\n10\n1,5\n20\n+2\n11\n3.0\n21\n4\n"
         "0\nENDSEC\n0\nEOF\nanything after EOF\n"},
    };
    for (const Case& c : cases) {
        Model model;
        std::string error;
        ASSERT_TRUE(Load(c.text, &model, &error)) << c.what << ": " << error;
        ASSERT_EQ(model.entities.size(), 1u) << c.what;
        const DrwEntityRecord& r = model.entities[0].rec;
        EXPECT_EQ(r.kind, DRW_ENT_LINE);
        EXPECT_DOUBLE_EQ(r.x1, 1.5) << c.what;
        EXPECT_DOUBLE_EQ(r.y1, 2) << c.what;
        EXPECT_DOUBLE_EQ(r.x2, 3) << c.what;
        EXPECT_DOUBLE_EQ(r.y2, 4) << c.what;
    }
}

TEST(CadioLoad, AnOverlongTextIsCutNotTheDrawing) {
    const std::string text = Entities("0\nTEXT\n10\n1\n20\n2\n40\n1\n1\n" + std::string(3000, 'x') +
                                      "\n" + Line(0, 0, 5, 0));
    Model model;
    std::string error;
    ASSERT_TRUE(Load(text, &model, &error)) << error;
    ASSERT_EQ(model.entities.size(), 2u);
    EXPECT_EQ(model.entities[0].rec.kind, DRW_ENT_TEXT);
    EXPECT_LT(model.entities[0].text.size(), 1024u);
    EXPECT_EQ(model.entities[1].rec.kind, DRW_ENT_LINE);
    EXPECT_DOUBLE_EQ(model.entities[1].rec.x2, 5);
}

// Ellipses (and circles under a stretching insert) become chords within the
// tolerance; their direction follows the extrusion.
TEST(CadioLoad, EllipsesBecomePathsOnTheCurve) {
    auto ellipse = [](const char* extrusionZ, double ratio) {
        std::ostringstream s;
        s << "0\nELLIPSE\n8\n0\n10\n0\n20\n0\n30\n0\n11\n2\n21\n0\n31\n0\n210\n0\n220\n0\n230\n"
          << extrusionZ << "\n40\n"
          << ratio << "\n41\n0\n42\n3.141592653589793\n";
        return Entities(s.str());
    };
    for (const char* z : {"1", "-1"}) {
        Model model;
        std::string error;
        ASSERT_TRUE(Load(ellipse(z, 0.5), &model, &error)) << error;
        ASSERT_EQ(model.entities.size(), 1u);
        const Entity& e = model.entities[0];
        ASSERT_EQ(e.rec.kind, DRW_ENT_POLYLINE);
        ASSERT_GT(e.vertices.size(), 10u);
        EXPECT_NEAR(e.vertices.front().x, 2, 1e-12);
        EXPECT_NEAR(e.vertices.back().x, -2, 1e-12);
        const double side = std::string(z) == "1" ? 1 : -1;  // through (0, 1) or (0, -1)
        for (std::size_t i = 0; i < e.vertices.size(); ++i) {
            const DrwVertex& v = e.vertices[i];
            EXPECT_NEAR(v.x * v.x / 4 + v.y * v.y, 1, 1e-12);
            EXPECT_GE(v.y * side, -1e-12);
            if (i > 0) {
                // The chord's middle stays within the tolerance of the curve.
                const double mx = (v.x + e.vertices[i - 1].x) / 2;
                const double my = (v.y + e.vertices[i - 1].y) / 2;
                EXPECT_LT(1 - std::sqrt(mx * mx / 4 + my * my), kChordTolerance);
            }
        }
    }
    // A circular ellipse stays an exact arc.
    Model model;
    std::string error;
    ASSERT_TRUE(Load(ellipse("1", 1.0), &model, &error)) << error;
    ASSERT_EQ(model.entities.size(), 1u);
    EXPECT_EQ(model.entities[0].rec.kind, DRW_ENT_ARC);
    EXPECT_NEAR(model.entities[0].rec.arcRadius, 2, 1e-12);
    EXPECT_NEAR(model.entities[0].rec.arcStartAngle, 0, 1e-9);
    EXPECT_NEAR(model.entities[0].rec.arcEndAngle, 180, 1e-9);
}

TEST(CadioLoad, NotesSayWhatWasLeftOut) {
    const std::string text =
        Blocks(Block("SHOW", "0\nSPLINE\n8\n0\n70\n8\n71\n3\n72\n0\n73\n0\n74\n0\n") +
                   Block("UNUSED", "0\nSPLINE\n8\n0\n70\n8\n71\n3\n72\n0\n73\n0\n74\n0\n"),
               Insert("SHOW") + Insert("SHOW", 5, 0) + Insert("MISSING") + Line(0, 0, 1, 0) +
                   "0\nLINE\n8\n0\n67\n1\n10\n0\n20\n0\n11\n1\n21\n1\n" +
                   "0\nCIRCLE\n8\n0\n10\n0\n20\n0\n40\n0\n");
    Model model;
    std::string error;
    ASSERT_TRUE(Load(text, &model, &error)) << error;
    EXPECT_EQ(model.entities.size(), 1u);
    // Splines count where they are placed: twice, none for the unused block.
    EXPECT_EQ(model.notes,
              "not loaded: 1 CIRCLE without a radius, 1 INSERT of an undefined block, 2 SPLINE, "
              "1 on paper space");
}

// Damaged copies of the real drawings: cut anywhere, lines changed, removed or
// doubled. Each load must end with the drawing or with a reason.
TEST(CadioLoad, DamagedDrawingsNeverCrashTheReader) {
    const char* fixtures[] = {"r12_shapes.dxf", "r2000_lwpolyline.dxf", "r2000_blocks.dxf",
                              "r2000_mirrored.dxf", "r2000_ignored.dxf"};
    const char* replacements[] = {"-1",  "0",       "2147483647", "1e300", "-1e300", "",
                                  "abc", "SECTION", "EOF",        "BLOCK", "ENDBLK", "INSERT",
                                  "90",  "70",      "10",         "3",     "VERTEX", "SEQEND"};
    std::mt19937 rng(20261209);
    int loaded = 0, refused = 0;
    for (const char* name : fixtures) {
        const std::string text = ReadFixture(name);
        ASSERT_FALSE(text.empty()) << name;
        std::vector<std::string> lines;
        std::istringstream in(text);
        for (std::string l; std::getline(in, l);) lines.push_back(l);
        std::vector<std::string> variants;
        for (int i = 1; i <= 60; ++i) variants.push_back(text.substr(0, text.size() * i / 61));
        for (int i = 0; i < 250; ++i) {
            std::vector<std::string> l = lines;
            const int edits = 1 + static_cast<int>(rng() % 3);
            for (int k = 0; k < edits && !l.empty(); ++k) {
                const std::size_t at = rng() % l.size();
                switch (rng() % 4) {
                    case 0:
                        l[at] = replacements[rng() % std::size(replacements)];
                        break;
                    case 1:
                        l.erase(l.begin() + at, l.begin() + std::min(l.size(), at + 1 + rng() % 4));
                        break;
                    case 2:
                        l.insert(l.begin() + at, l[rng() % l.size()]);
                        break;
                    default:
                        std::swap(l[at], l[rng() % l.size()]);
                        break;
                }
            }
            std::string v;
            for (const std::string& s : l) v += s + "\n";
            variants.push_back(std::move(v));
        }
        for (const std::string& v : variants) {
            Model model;
            std::string error;
            if (Load(v, &model, &error)) {
                ++loaded;
                for (const Entity& e : model.entities) {
                    const DrwEntityRecord& r = e.rec;
                    for (double x : {r.x1, r.y1, r.x2, r.y2, r.circleX, r.circleY, r.circleRadius,
                                     r.arcX, r.arcY, r.arcRadius, r.arcStartAngle, r.arcEndAngle})
                        ASSERT_TRUE(std::isfinite(x)) << name;
                }
            } else {
                ++refused;
                EXPECT_FALSE(error.empty()) << name;
            }
        }
    }
    // Both outcomes occur, so the sweep really reaches the reader.
    EXPECT_GT(loaded, 50);
    EXPECT_GT(refused, 50);
}

TEST(CadioLoad, ProgressRisesToOneHundred) {
    // Enough entities for the parse to report on its way.
    std::string body;
    for (int i = 0; i < 3000; ++i) body += Line(i, 0, i, 1);
    std::vector<int> seen;
    Model model;
    std::string error;
    ASSERT_TRUE(LoadDxfText(Entities(body), &model, &error, [&](int p) { seen.push_back(p); }));
    ASSERT_GE(seen.size(), 4u);
    EXPECT_EQ(seen.back(), 100);
    for (std::size_t i = 1; i < seen.size(); ++i) EXPECT_GT(seen[i], seen[i - 1]);
    EXPECT_EQ(model.entities.size(), 3000u);
}

// Saving a drawing onto a full disk keeps the old file byte for byte; a FIFO
// given as a drawing is refused at once instead of waiting for a writer.
TEST(CadioFiles, FailedSaveKeepsTheOldDrawingAndAFifoIsRefused) {
    char pattern[] = "/tmp/korva-cadio-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    const std::string dir = pattern;
    const std::string target = dir + "/drawing.dxf";
    const std::string old = Entities(Line(0, 0, 1, 1));
    std::ofstream(target, std::ios::binary) << old;

    std::string body;
    for (int i = 0; i < 2000; ++i) body += Line(i, 0, i, 1);
    Model model;
    std::string error;
    ASSERT_TRUE(LoadDxfText(Entities(body), &model, &error, nullptr)) << error;
    EXPECT_TRUE(test::WithFullDisk(4096, [&] {
        std::string why;
        return !SaveDxfFile(model, target, &why, nullptr) && !why.empty();
    }));
    std::ifstream in(target, std::ios::binary);
    EXPECT_EQ(std::string((std::istreambuf_iterator<char>(in)), {}), old);
    ASSERT_TRUE(SaveDxfFile(model, target, &error, nullptr)) << error;

    const std::string fifo = dir + "/fifo.dxf";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    Model untouched;
    EXPECT_FALSE(LoadDxfFile(fifo, &untouched, &error, nullptr));
    EXPECT_NE(error.find("not a regular file"), std::string::npos) << error;
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
}

}  // namespace
}  // namespace korva::cadio

namespace korva::cadio {
namespace {

// Everything a load keeps, records with their vertices, text and colours.
std::string Dump(const Model& m) {
    std::ostringstream s;
    s.precision(17);
    auto entity = [&](const Entity& e) {
        const DrwEntityRecord& r = e.rec;
        s << r.kind << ' ' << r.handle << ' ' << r.x1 << ' ' << r.y1 << ' ' << r.z1 << ' ' << r.x2
          << ' ' << r.y2 << ' ' << r.z2 << ' ' << r.circleX << ' ' << r.circleY << ' '
          << r.circleRadius << ' ' << r.arcX << ' ' << r.arcY << ' ' << r.arcRadius << ' '
          << r.arcStartAngle << ' ' << r.arcEndAngle << ' ' << r.flags << ' ' << e.color << " '"
          << e.text << "'";
        for (const DrwVertex& v : e.vertices)
            s << " (" << v.x << ',' << v.y << ',' << v.z << ',' << v.bulge << ')';
        s << '\n';
    };
    for (const TableEntry& t : m.tables)
        s << "table " << t.type << ' ' << t.name << ' ' << t.color << '\n';
    for (const korva::cadio::Block& b : m.blocks) {
        s << "block " << b.name << '\n';
        for (const Entity& e : b.entities) entity(e);
    }
    for (const Entity& e : m.entities) entity(e);
    s << "notes " << m.notes << '\n';
    return s.str();
}

// The plain entities decoded by the library itself come out exactly as dxflib
// reads them: attributes (layer colours, by-block colours), mirrored planes,
// paper space, blocks, LWPOLYLINEs with extended data or odd counts (which
// dxflib must then read, all of them), groups repeated, decimal commas.
TEST(CadioLoad, PlainEntitiesReadWithoutDxflibGiveTheSameModel) {
    const std::string tricky =
        Blocks(Block("B", Line(0, 0, 1, 1) + "0\nCIRCLE\n8\nL1\n62\n0\n10\n1\n20\n2\n40\n3\n") +
                   Block("C", "0\nARC\n8\n0\n10\n0\n20\n0\n40\n2\n50\n10\n51\n80\n230\n-1\n"),
               Line(1, 2, 3, 4) +
                   "0\nLINE\n8\nL1\n62\n3\n10\n1,5\n20\n2\n20\n7\n11\n3\n21\n4\n370\n25\n39\n2\n" +
                   "0\nARC\n8\n0\n10\n5\n20\n5\n40\n2\n50\n350\n51\n20\n210\n0\n220\n0\n230\n-1\n" +
                   "0\nCIRCLE\n8\n0\n67\n1\n10\n1\n20\n1\n40\n1\n" +
                   "0\nCIRCLE\n8\n0\n10\n1\n20\n1\n40\n1\n210\n1\n220\n0\n230\n0\n" +
                   "0\nPOINT\n8\n0\n10\n4\n20\n5\n" +
                   "0\nLWPOLYLINE\n8\n0\n90\n3\n70\n1\n10\n0\n20\n0\n42\n0."
                   "5\n10\n1\n20\n0\n10\n1\n20\n1\n" +
                   "0\nLWPOLYLINE\n8\n0\n90\n5\n70\n0\n10\n0\n20\n0\n10\n2\n20\n0\n230\n-1\n" +
                   "0\nLINE\n8\n0\n10\n0\n20\n0\n11\n9\n21\n9\n1001\nAPP\n1000\nx\n" +
                   Insert("B", 10, 0) + Insert("C", 0, 10) +
                   "0\nTEXT\n8\n0\n10\n1\n20\n1\n40\n2\n1\nhello\n" + Line(5, 5, 6, 6));
    const std::string withXdataPolyline =
        Entities("0\nLWPOLYLINE\n8\n0\n90\n2\n70\n0\n10\n0\n20\n0\n10\n1\n20\n1\n1001\nAPP\n" +
                 std::string("0\nLWPOLYLINE\n8\n0\n90\n2\n70\n0\n10\n5\n20\n5\n10\n6\n20\n6\n") +
                 Line(0, 0, 1, 0));
    const std::string withoutCount =
        Entities("0\nLWPOLYLINE\n8\n0\n90\n3\n10\n0\n20\n0\n10\n1\n20\n0\n10\n1\n20\n1\n" +
                 std::string("0\nLWPOLYLINE\n8\n0\n10\n5\n20\n5\n10\n6\n20\n6\n") +
                 "0\nLWPOLYLINE\n8\n0\n90\n2\n10\n7\n20\n7\n10\n8\n20\n8\n10\n9\n20\n9\n");
    struct Case {
        const char* name;
        std::string text;
    };
    const Case cases[] = {{"tricky", tricky},
                          {"extended data on a polyline", withXdataPolyline},
                          {"a polyline without its count", withoutCount},
                          {"r12_shapes", ReadFixture("r12_shapes.dxf")},
                          {"r2000_blocks", ReadFixture("r2000_blocks.dxf")},
                          {"r2000_ignored", ReadFixture("r2000_ignored.dxf")},
                          {"r2000_lwpolyline", ReadFixture("r2000_lwpolyline.dxf")},
                          {"r2000_mirrored", ReadFixture("r2000_mirrored.dxf")},
                          {"run_small", ReadFixture("run_small.dxf")}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Model fast, slow;
        std::string e1, e2;
        ASSERT_TRUE(LoadDxfText(c.text, &fast, &e1, {}, true)) << e1;
        ASSERT_TRUE(LoadDxfText(c.text, &slow, &e2, {}, false)) << e2;
        EXPECT_FALSE(slow.entities.empty());
        EXPECT_EQ(Dump(fast), Dump(slow));
    }
}

}  // namespace
}  // namespace korva::cadio

namespace korva::cadio {
namespace {

// A path that is not a regular file is refused at once: a FIFO nobody
// writes to would otherwise block open() for good.
TEST(CadioLoad, RefusesPathsThatAreNotRegularFilesWithoutWaiting) {
    const std::string dir = testing::TempDir() + "cadio_paths_" + std::to_string(::getpid());
    ASSERT_EQ(::mkdir(dir.c_str(), 0700), 0);
    const std::string fifo = dir + "/drawing.dxf";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    for (const std::string& path : {fifo, dir, std::string("/dev/null")}) {
        Model model;
        std::string error;
        const auto start = std::chrono::steady_clock::now();
        EXPECT_FALSE(LoadDxfFile(path, &model, &error, {})) << path;
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5)) << path;
        EXPECT_NE(error.find("not a regular file"), std::string::npos) << path << ": " << error;
    }
    ::unlink(fifo.c_str());
    ::rmdir(dir.c_str());
}

}  // namespace
}  // namespace korva::cadio
