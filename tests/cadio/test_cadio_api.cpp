// libcadio.so as a host sees it: loaded with dlopen, called through its C
// entry points, records read at their byte offsets.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <QGuiApplication>
#include <QImage>
#include <QPainter>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "CadIO.h"

namespace {

const std::string kFixtures = CADIO_FIXTURES;

struct Lib {
    void* handle = nullptr;
    PFN_drwCreate create;
    PFN_drwDestroy destroy;
    PFN_drwAddTableType addTable;
    PFN_drwDeleteTableType deleteTable;
    PFN_drwFindTableType findTable;
    PFN_drwAddBlock addBlock;
    PFN_drwDeleteBlock deleteBlock;
    PFN_drwFindBlock findBlock;
    PFN_drwAddEntity addEntity;
    PFN_drwDeleteEntity deleteEntity;
    PFN_drwChangeEntity changeEntity;
    PFN_drwFindEntity findEntity;
    PFN_drwSaveDataToFile save;
    PFN_drwLoadDataFromFile load;
    PFN_drwInitView initView;
    PFN_drwPaint paint;
    PFN_drwGetViewProperties getView;
    PFN_drwSetViewProperties setView;
    PFN_drwGetDrawingBorder border;
    PFN_drwZoomExtents zoomExtents;
    PFN_drwSethwndMess setWindow;
    PFN_drwGetData getData;
    PFN_drwGetText lastError;
    PFN_drwGetText loadNotes;

    template <typename F>
    void Get(F* f, const char* name) {
        *f = reinterpret_cast<F>(dlsym(handle, name));
        ASSERT_NE(*f, nullptr) << name;
    }
    void Open() {
        handle = dlopen(CADIO_PATH, RTLD_NOW | RTLD_LOCAL);
        ASSERT_NE(handle, nullptr) << dlerror();
        Get(&create, "drwCreate");
        Get(&destroy, "drwDestroy");
        Get(&addTable, "drwAddTableType");
        Get(&deleteTable, "drwDeleteTableType");
        Get(&findTable, "drwFindTableType");
        Get(&addBlock, "drwAddBlock");
        Get(&deleteBlock, "drwDeleteBlock");
        Get(&findBlock, "drwFindBlock");
        Get(&addEntity, "drwAddEntity");
        Get(&deleteEntity, "drwDeleteEntity");
        Get(&changeEntity, "drwChangeEntity");
        Get(&findEntity, "drwFindEntity");
        Get(&save, "drwSaveDataToFile");
        Get(&load, "drwLoadDataFromFile");
        Get(&initView, "drwInitView");
        Get(&paint, "drwPaint");
        Get(&getView, "drwGetViewProperties");
        Get(&setView, "drwSetViewProperties");
        Get(&border, "drwGetDrawingBorder");
        Get(&zoomExtents, "drwZoomExtents");
        Get(&setWindow, "drwSethwndMess");
        Get(&getData, "drwGetData");
        Get(&lastError, "drwGetLastError");
        Get(&loadNotes, "drwGetLoadNotes");
    }
};

Lib g_lib;

// A window: keeps every data-copy message as raw bytes, and the progress.
struct Window {
    std::vector<std::vector<unsigned char>> records;
    std::vector<std::vector<DrwVertex>> vertices;  // copied while valid
    std::vector<uint32_t> messages;
    std::vector<intptr_t> progress;
    HDRAWING destroyDuringDelivery = 0;
    int destroyResult = -1;
    DrwReceiver receiver{this, &Window::OnMessage, &Window::OnCopyData};

    static void OnMessage(void* context, uint32_t message, intptr_t wParam, intptr_t) {
        auto* w = static_cast<Window*>(context);
        if (message == DRW_MSG_PROGRESS) w->progress.push_back(wParam);
    }
    static void OnCopyData(void* context, uint32_t message, const void* data, size_t size) {
        auto* w = static_cast<Window*>(context);
        const auto* bytes = static_cast<const unsigned char*>(data);
        w->records.emplace_back(bytes, bytes + size);
        w->messages.push_back(message);
        DrwEntityRecord r;
        std::memcpy(&r, data, sizeof r);
        w->vertices.emplace_back(r.vertices, r.vertices + (r.vertices ? r.vertexCount : 0));
        if (w->destroyDuringDelivery != 0) {
            w->destroyResult = g_lib.destroy(w->destroyDuringDelivery);
            w->destroyDuringDelivery = 0;
        }
    }
    template <typename T>
    T At(std::size_t record, std::size_t offset) const {
        T v;
        std::memcpy(&v, records.at(record).data() + offset, sizeof v);
        return v;
    }
    DrwEntityRecord Record(std::size_t i) const { return At<DrwEntityRecord>(i, 0); }
};

class CadioApi : public testing::Test {
  protected:
    void SetUp() override {
        drawing = g_lib.create();
        ASSERT_NE(drawing, 0u);
        ASSERT_TRUE(g_lib.setWindow(drawing, &window.receiver, 1025));
    }
    void TearDown() override {
        if (drawing != 0) g_lib.destroy(drawing);
    }
    bool Load(const std::string& path) {
        return g_lib.load(drawing, 0, 0, path.c_str(), &window.receiver) != 0;
    }
    void Fetch() {
        window.records.clear();
        window.vertices.clear();
        window.messages.clear();
        ASSERT_TRUE(g_lib.getData(drawing));
    }
    std::string Text(PFN_drwGetText f) {
        char buf[512];
        f(drawing, buf, sizeof buf);
        return buf;
    }
    std::vector<int> Kinds() const {
        std::vector<int> k;
        for (std::size_t i = 0; i < window.records.size(); ++i)
            k.push_back(window.At<int32_t>(i, 0));
        return k;
    }

    HDRAWING drawing = 0;
    Window window;
};

TEST_F(CadioApi, RecordsOfAnR12DrawingHaveTheirFieldsAtTheAgreedOffsets) {
    ASSERT_TRUE(Load(kFixtures + "/r12_shapes.dxf")) << Text(g_lib.lastError);
    Fetch();
    ASSERT_EQ(Kinds(), (std::vector<int>{DRW_ENT_LINE, DRW_ENT_LINE, DRW_ENT_CIRCLE, DRW_ENT_ARC,
                                         DRW_ENT_POLYLINE, DRW_ENT_TEXT, DRW_ENT_POINT}));
    for (std::size_t i = 0; i < window.records.size(); ++i) {
        EXPECT_EQ(window.records[i].size(), 152u);
        EXPECT_EQ(window.messages[i], 1025u);
    }
    // Line: start x at 8, start y at 16, end x at 32, end y at 40.
    EXPECT_EQ(window.At<double>(1, 8), 10);
    EXPECT_EQ(window.At<double>(1, 16), 0);
    EXPECT_EQ(window.At<double>(1, 32), 10);
    EXPECT_EQ(window.At<double>(1, 40), 10);
    // Circle: centre at 56 and 64, radius at 80.
    EXPECT_EQ(window.At<double>(2, 56), 10);
    EXPECT_EQ(window.At<double>(2, 64), 5);
    EXPECT_EQ(window.At<double>(2, 80), 3);
    // Arc: centre at 88 and 96, radius at 112, angles at 120 and 128.
    EXPECT_EQ(window.At<double>(3, 88), 20);
    EXPECT_EQ(window.At<double>(3, 96), 0);
    EXPECT_EQ(window.At<double>(3, 112), 5);
    EXPECT_EQ(window.At<double>(3, 120), 0);
    EXPECT_EQ(window.At<double>(3, 128), 90);
    // Polyline: vertex pointer at 136, count at 144, the closed flag at 148.
    EXPECT_NE(window.At<const void*>(4, 136), nullptr);
    EXPECT_EQ(window.At<int32_t>(4, 144), 3);
    EXPECT_EQ(window.At<int32_t>(4, 148), DRW_POLYLINE_CLOSED);
    ASSERT_EQ(window.vertices[4].size(), 3u);
    // A vertex: x, y, then the bulge.
    unsigned char v0[64];
    std::memcpy(v0, &window.vertices[4][0], 64);
    double x, y, bulge;
    std::memcpy(&x, v0, 8);
    std::memcpy(&y, v0 + 8, 8);
    std::memcpy(&bulge, v0 + 16, 8);
    EXPECT_EQ(x, 30);
    EXPECT_EQ(y, 0);
    EXPECT_EQ(bulge, 1);
    EXPECT_EQ(window.vertices[4][2].x, 34);
    EXPECT_EQ(window.vertices[4][2].y, 4);
    // Text and point keep their positions.
    EXPECT_EQ(window.Record(5).x1, 0);
    EXPECT_EQ(window.Record(5).y1, 12);
    EXPECT_EQ(window.Record(5).x2, 1.5);
    EXPECT_EQ(window.Record(6).x1, 5);
    EXPECT_EQ(window.Record(6).y1, 5);
}

TEST_F(CadioApi, LightweightPolylinesKeepBulgesAndTheClosedFlag) {
    ASSERT_TRUE(Load(kFixtures + "/r2000_lwpolyline.dxf")) << Text(g_lib.lastError);
    Fetch();
    ASSERT_EQ(Kinds(), (std::vector<int>{DRW_ENT_POLYLINE, DRW_ENT_POLYLINE, DRW_ENT_POLYLINE,
                                         DRW_ENT_TEXT}));
    EXPECT_EQ(window.Record(0).flags, 0);
    ASSERT_EQ(window.vertices[0].size(), 3u);
    EXPECT_DOUBLE_EQ(window.vertices[0][0].bulge, -0.41421356237309503);
    EXPECT_EQ(window.Record(1).flags, DRW_POLYLINE_CLOSED);
    EXPECT_EQ(window.vertices[1].size(), 4u);
    EXPECT_EQ(window.Record(2).flags, DRW_POLYLINE_CLOSED);
    ASSERT_EQ(window.vertices[2].size(), 3u);
    EXPECT_EQ(window.vertices[2][2].bulge, 1);
}

TEST_F(CadioApi, BlocksAreExpandedAtTheirInserts) {
    ASSERT_TRUE(Load(kFixtures + "/r2000_blocks.dxf")) << Text(g_lib.lastError);
    Fetch();
    // PART (a line, an arc, a polyline) four times over, a 2 x 3 array of
    // circles, and one circle stretched into an ellipse.
    ASSERT_EQ(window.records.size(), 22u);
    struct Line {
        std::size_t record;
        double x1, y1, x2, y2;
    } lines[] = {
        {0, 10, 0, 12, 0},   // moved to (10, 0)
        {3, 0, 10, 0, 14},   // twice the size, turned a quarter
        {6, 20, 0, 18, 0},   // mirrored
        {9, 30, 0, 32, 0},   // nested, first
        {12, 30, 5, 32, 5},  // nested, second
    };
    for (const Line& l : lines) {
        const DrwEntityRecord r = window.Record(l.record);
        ASSERT_EQ(r.kind, DRW_ENT_LINE) << l.record;
        EXPECT_NEAR(r.x1, l.x1, 1e-12) << l.record;
        EXPECT_NEAR(r.y1, l.y1, 1e-12) << l.record;
        EXPECT_NEAR(r.x2, l.x2, 1e-12) << l.record;
        EXPECT_NEAR(r.y2, l.y2, 1e-12) << l.record;
    }
    struct Arc {
        std::size_t record;
        double cx, cy, r, a1, a2;
    } arcs[] = {
        {1, 12, 1, 1, 270, 90},
        {4, -2, 14, 2, 0, 180},
        {7, 18, 1, 1, 90, 270},  // the mirror turns the half circle to the left
    };
    for (const Arc& a : arcs) {
        const DrwEntityRecord r = window.Record(a.record);
        ASSERT_EQ(r.kind, DRW_ENT_ARC) << a.record;
        EXPECT_NEAR(r.arcX, a.cx, 1e-12) << a.record;
        EXPECT_NEAR(r.arcY, a.cy, 1e-12) << a.record;
        EXPECT_NEAR(r.arcRadius, a.r, 1e-12) << a.record;
        EXPECT_NEAR(r.arcStartAngle, a.a1, 1e-9) << a.record;
        EXPECT_NEAR(r.arcEndAngle, a.a2, 1e-9) << a.record;
    }
    for (int i = 0; i < 6; ++i) {
        const DrwEntityRecord r = window.Record(15 + i);
        ASSERT_EQ(r.kind, DRW_ENT_CIRCLE);
        EXPECT_NEAR(r.circleX, 40 + 4 * (i % 3), 1e-12);
        EXPECT_NEAR(r.circleY, 5 * (i / 3), 1e-12);
    }
    const DrwEntityRecord ellipse = window.Record(21);
    ASSERT_EQ(ellipse.kind, DRW_ENT_POLYLINE);
    EXPECT_EQ(ellipse.flags, DRW_POLYLINE_CLOSED);
    for (const DrwVertex& v : window.vertices[21])
        EXPECT_NEAR((v.x - 60) * (v.x - 60) / 4 + v.y * v.y, 1, 1e-12);
    // The block definitions stay, in their own coordinates.
    DrwBlockHeader header{};
    std::strcpy(header.name, "part");
    ASSERT_NE(g_lib.findBlock(drawing, DRW_FIND_NAME, &header), 0u);
    EXPECT_STREQ(header.name, "PART");
    EXPECT_EQ(header.baseX, 1);
    DrwEntityRecord first{};
    ASSERT_NE(g_lib.findEntity(drawing, header.handle, DRW_FIND_FIRST, &first), 0u);
    EXPECT_EQ(first.kind, DRW_ENT_LINE);
    EXPECT_EQ(first.x1, 1);
}

TEST_F(CadioApi, MirroredExtrusionsAreCarriedIntoThePlane) {
    ASSERT_TRUE(Load(kFixtures + "/r2000_mirrored.dxf")) << Text(g_lib.lastError);
    Fetch();
    ASSERT_EQ(Kinds(),
              (std::vector<int>{DRW_ENT_ARC, DRW_ENT_CIRCLE, DRW_ENT_POLYLINE, DRW_ENT_LINE}));
    // Seen from +Z the arc (5,5) r2 0..90 lies at x = -5 and runs clockwise,
    // that is counter-clockwise from 90 to 180 degrees.
    const DrwEntityRecord arc = window.Record(0);
    EXPECT_EQ(arc.arcX, -5);
    EXPECT_EQ(arc.arcY, 5);
    EXPECT_EQ(arc.arcStartAngle, 90);
    EXPECT_EQ(arc.arcEndAngle, 180);
    EXPECT_EQ(window.Record(1).circleX, -10);
    ASSERT_EQ(window.vertices[2].size(), 2u);
    EXPECT_EQ(window.vertices[2][0].x, -1);
    EXPECT_EQ(window.vertices[2][0].bulge, -1);  // a counter-clockwise bulge turns clockwise
    EXPECT_EQ(window.vertices[2][1].x, -3);
    const DrwEntityRecord tick = window.Record(3);  // a block inserted from below
    EXPECT_EQ(tick.x1, -4);
    EXPECT_EQ(tick.y1, 4);
    EXPECT_EQ(tick.x2, -5);
    EXPECT_EQ(tick.y2, 4);
}

TEST_F(CadioApi, TextAndPointsStayForPaintingOtherKindsAreNamed) {
    ASSERT_TRUE(Load(kFixtures + "/r2000_ignored.dxf")) << Text(g_lib.lastError);
    Fetch();
    EXPECT_EQ(Kinds(), (std::vector<int>{DRW_ENT_LINE, DRW_ENT_TEXT, DRW_ENT_TEXT, DRW_ENT_POINT}));
    EXPECT_EQ(Text(g_lib.loadNotes), "not loaded: 1 HATCH, 1 SPLINE");
}

TEST_F(CadioApi, AFailedLoadSaysWhyAndKeepsTheDrawing) {
    ASSERT_TRUE(Load(kFixtures + "/r12_shapes.dxf"));
    ASSERT_FALSE(window.progress.empty());
    EXPECT_EQ(window.progress.back(), 100);
    for (std::size_t i = 1; i < window.progress.size(); ++i)
        EXPECT_GT(window.progress[i], window.progress[i - 1]);

    const std::string dir = testing::TempDir();
    std::ifstream in(kFixtures + "/r12_shapes.dxf", std::ios::binary);
    std::ostringstream all;
    all << in.rdbuf();
    const std::string cut = dir + "/cadio_cut.dxf";
    std::ofstream(cut, std::ios::binary) << all.str().substr(0, all.str().size() / 2);
    const std::string garbage = dir + "/cadio_garbage.dxf";
    std::ofstream(garbage, std::ios::binary) << "PK\x03\x04 this is a zip file\n";
    struct Case {
        std::string path;
        const char* reason;
    } cases[] = {
        {dir + "/no_such_drawing.dxf", "cannot open"},
        {dir, "not a regular file"},
        {cut, "incomplete"},
        {garbage, "group code was expected"},
    };
    for (const Case& c : cases) {
        EXPECT_FALSE(Load(c.path)) << c.path;
        EXPECT_NE(Text(g_lib.lastError).find(c.reason), std::string::npos)
            << c.path << ": " << Text(g_lib.lastError);
        Fetch();
        EXPECT_EQ(window.records.size(), 7u) << "the drawing loaded before stays";
    }
    EXPECT_FALSE(g_lib.load(drawing, 0, 0, nullptr, nullptr));
    std::filesystem::remove(cut);
    std::filesystem::remove(garbage);
}

TEST_F(CadioApi, HandlesAreChecked) {
    EXPECT_FALSE(g_lib.getData(0));
    EXPECT_FALSE(g_lib.getData(drawing + 12345));
    EXPECT_FALSE(g_lib.zoomExtents(0));
    EXPECT_FALSE(g_lib.load(0, 0, 0, (kFixtures + "/r12_shapes.dxf").c_str(), nullptr));

    // No window registered: nothing to deliver to.
    const HDRAWING other = g_lib.create();
    ASSERT_NE(other, 0u);
    EXPECT_NE(other, drawing);
    EXPECT_FALSE(g_lib.getData(other));
    EXPECT_TRUE(g_lib.destroy(other));
    EXPECT_FALSE(g_lib.destroy(other));
    EXPECT_FALSE(g_lib.setWindow(other, &window.receiver, 1025));

    // A window that destroys the drawing while it receives its records is
    // refused, and the delivery completes.
    ASSERT_TRUE(Load(kFixtures + "/r12_shapes.dxf"));
    window.destroyDuringDelivery = drawing;
    Fetch();
    EXPECT_EQ(window.destroyResult, 0);
    EXPECT_EQ(window.records.size(), 7u);
}

TEST_F(CadioApi, TheViewZoomsToTheExtentsAndTakesACentre) {
    ASSERT_TRUE(Load(kFixtures + "/r12_shapes.dxf"));
    DrwRect border{};
    ASSERT_TRUE(g_lib.border(drawing, &border));
    // From the line at x = 0 to the polyline's half circle below (30..34, 0).
    EXPECT_NEAR(border.left, 0, 1e-12);
    EXPECT_NEAR(border.right, 34, 1e-12);
    EXPECT_NEAR(border.bottom, -2, 1e-12);
    EXPECT_NEAR(border.top, 12, 1e-12);
    ASSERT_TRUE(g_lib.initView(drawing, 0, 0, 340, 280));
    ASSERT_TRUE(g_lib.zoomExtents(drawing));
    DrwViewProperties view{};
    ASSERT_TRUE(g_lib.getView(drawing, &view));
    EXPECT_NEAR(view.centerX, 17, 1e-12);
    EXPECT_NEAR(view.centerY, 5, 1e-12);
    EXPECT_EQ(view.viewWidth, 340);
    // The width decides: 340 px over 34 units (280 over 14 would allow 20), with a margin.
    EXPECT_NEAR(view.zoomLevel * view.pixelsPerUnit, 10 * 0.95, 1e-9);

    view.centerX = -3;
    EXPECT_TRUE(g_lib.setView(drawing, &view));
    DrwViewProperties back{};
    g_lib.getView(drawing, &back);
    EXPECT_EQ(back.centerX, -3);
    for (double zoom : {0.0, -1.0, std::nan("")}) {
        DrwViewProperties bad = view;
        bad.zoomLevel = zoom;
        EXPECT_FALSE(g_lib.setView(drawing, &bad)) << zoom;
    }
    EXPECT_FALSE(g_lib.border(g_lib.create(), &border)) << "an empty drawing has no border";
}

TEST_F(CadioApi, PaintingDrawsTheEntitiesOnBlack) {
    DrwEntityRecord line{};
    line.kind = DRW_ENT_LINE;
    line.x2 = 10;
    ASSERT_NE(g_lib.addEntity(drawing, 0, &line), 0u);
    ASSERT_TRUE(g_lib.initView(drawing, 0, 0, 200, 200));
    DrwViewProperties view{};
    g_lib.getView(drawing, &view);
    view.centerX = 5;
    view.centerY = 0;
    view.zoomLevel = 2;
    view.pixelsPerUnit = 5;  // 10 px per unit: the line spans x 50..150 at y 100
    ASSERT_TRUE(g_lib.setView(drawing, &view));
    QImage image(200, 200, QImage::Format_RGB32);
    image.fill(Qt::blue);
    {
        QPainter painter(&image);
        ASSERT_TRUE(g_lib.paint(drawing, &painter));
    }
    EXPECT_EQ(image.pixelColor(20, 20), QColor(Qt::black));
    EXPECT_EQ(image.pixelColor(100, 50), QColor(Qt::black));
    EXPECT_GT(image.pixelColor(100, 100).lightness(), 100);
    EXPECT_GT(image.pixelColor(60, 100).lightness(), 100);
    EXPECT_EQ(image.pixelColor(30, 100), QColor(Qt::black));

    // A whole drawing with text, zoomed far in and out, paints without harm.
    ASSERT_TRUE(Load(kFixtures + "/r12_shapes.dxf"));
    for (double zoom : {1.0, 1e-9, 1e9}) {
        g_lib.zoomExtents(drawing);
        g_lib.getView(drawing, &view);
        view.zoomLevel = zoom;
        ASSERT_TRUE(g_lib.setView(drawing, &view));
        QPainter painter(&image);
        EXPECT_TRUE(g_lib.paint(drawing, &painter));
    }
}

TEST_F(CadioApi, EntitiesTablesAndBlocksAreEditedAndSavedAsR12) {
    DrwTableRecord layer{};
    layer.tableType = DRW_TABLE_LAYER;
    std::strcpy(layer.name, "CUT");
    layer.color = 1;
    const OBJHANDLE layerHandle = g_lib.addTable(drawing, &layer);
    ASSERT_NE(layerHandle, 0u);
    EXPECT_EQ(g_lib.addTable(drawing, &layer), 0u) << "names are unique";
    DrwTableRecord found{};
    std::strcpy(found.name, "cut");
    EXPECT_EQ(g_lib.findTable(drawing, DRW_TABLE_LAYER, DRW_FIND_NAME, &found), layerHandle);
    EXPECT_EQ(found.color, 1);

    DrwBlockHeader block{};
    std::strcpy(block.name, "MARK");
    const OBJHANDLE blockHandle = g_lib.addBlock(drawing, &block);
    ASSERT_NE(blockHandle, 0u);
    DrwEntityRecord point{};
    point.kind = DRW_ENT_POINT;
    point.x1 = 1;
    EXPECT_NE(g_lib.addEntity(drawing, blockHandle, &point), 0u);

    DrwEntityRecord line{};
    line.kind = DRW_ENT_LINE;
    line.x2 = 1;
    DrwEntityRecord arc{};
    arc.kind = DRW_ENT_ARC;
    arc.arcRadius = 2;
    arc.arcEndAngle = 45;
    DrwVertex v[3] = {};
    v[0].x = 0.1;  // not a binary fraction: the writer must keep every digit
    v[0].bulge = 0.5;
    v[1].x = 4;
    v[2].y = 4;
    DrwEntityRecord poly{};
    poly.kind = DRW_ENT_POLYLINE;
    poly.vertices = v;
    poly.vertexCount = 3;
    poly.flags = DRW_POLYLINE_CLOSED;
    const OBJHANDLE hLine = g_lib.addEntity(drawing, 0, &line);
    const OBJHANDLE hArc = g_lib.addEntity(drawing, 0, &arc);
    const OBJHANDLE hPoly = g_lib.addEntity(drawing, 0, &poly);
    ASSERT_TRUE(hLine && hArc && hPoly);

    DrwEntityRecord bad = poly;
    bad.vertices = nullptr;
    EXPECT_EQ(g_lib.addEntity(drawing, 0, &bad), 0u);
    bad = line;
    bad.y2 = NAN;
    EXPECT_EQ(g_lib.addEntity(drawing, 0, &bad), 0u);
    bad = line;
    bad.kind = 42;
    EXPECT_EQ(g_lib.addEntity(drawing, 0, &bad), 0u);

    DrwEntityRecord rec{};
    rec.handle = hLine;
    ASSERT_EQ(g_lib.findEntity(drawing, 0, DRW_FIND_HANDLE, &rec), hLine);
    rec.y2 = 7;
    EXPECT_TRUE(g_lib.changeEntity(drawing, 0, &rec));
    rec.kind = DRW_ENT_POINT;
    EXPECT_FALSE(g_lib.changeEntity(drawing, 0, &rec)) << "the kind stays";
    EXPECT_TRUE(g_lib.deleteEntity(drawing, 0, hArc));
    EXPECT_FALSE(g_lib.deleteEntity(drawing, 0, hArc));

    std::vector<OBJHANDLE> walk;
    for (OBJHANDLE h = g_lib.findEntity(drawing, 0, DRW_FIND_FIRST, &rec); h != 0;
         h = g_lib.findEntity(drawing, 0, DRW_FIND_NEXT, &rec))
        walk.push_back(h);
    EXPECT_EQ(walk, (std::vector<OBJHANDLE>{hLine, hPoly}));

    const std::string path = testing::TempDir() + "/cadio_saved.dxf";
    ASSERT_TRUE(g_lib.save(drawing, 0, path.c_str(), nullptr)) << Text(g_lib.lastError);
    const HDRAWING copy = g_lib.create();
    ASSERT_TRUE(g_lib.setWindow(copy, &window.receiver, 7));
    ASSERT_TRUE(g_lib.load(copy, 0, 0, path.c_str(), nullptr));
    window.records.clear();
    window.vertices.clear();
    ASSERT_TRUE(g_lib.getData(copy));
    ASSERT_EQ(window.records.size(), 2u);
    EXPECT_EQ(window.Record(0).kind, DRW_ENT_LINE);
    EXPECT_EQ(window.Record(0).y2, 7);
    EXPECT_EQ(window.Record(1).flags, DRW_POLYLINE_CLOSED);
    ASSERT_EQ(window.vertices[1].size(), 3u);
    EXPECT_EQ(window.vertices[1][0].x, 0.1);
    EXPECT_EQ(window.vertices[1][0].bulge, 0.5);
    EXPECT_EQ(window.vertices[1][2].y, 4);
    DrwTableRecord copied{};
    std::strcpy(copied.name, "CUT");
    EXPECT_NE(g_lib.findTable(copy, DRW_TABLE_LAYER, DRW_FIND_NAME, &copied), 0u);
    DrwBlockHeader copiedBlock{};
    std::strcpy(copiedBlock.name, "MARK");
    EXPECT_NE(g_lib.findBlock(copy, DRW_FIND_NAME, &copiedBlock), 0u);
    g_lib.destroy(copy);
    std::filesystem::remove(path);

    EXPECT_FALSE(g_lib.save(drawing, 0, "/nonexistent-dir/x.dxf", nullptr));
    EXPECT_NE(Text(g_lib.lastError).find("cannot"), std::string::npos);
}

}  // namespace

int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    // Painting needs no display (test discovery runs without the test's
    // environment); fonts for text need the application object.
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    g_lib.Open();
    if (g_lib.handle == nullptr) return 1;
    return RUN_ALL_TESTS();
}
