// Expanding block inserts, on records built here rather than read from DXF
// text: where nested, scaled, rotated and arrayed copies land, the colour a
// copy takes, the limits on nesting and size, and what is left out.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "DxfRecords.h"

namespace korva::cadio::dxf {
namespace {

Item LineItem(double x1, double y1, double x2, double y2, int color = 256) {
    Item item;
    item.entity.rec.kind = DRW_ENT_LINE;
    item.entity.rec.x1 = x1;
    item.entity.rec.y1 = y1;
    item.entity.rec.x2 = x2;
    item.entity.rec.y2 = y2;
    item.layer = "0";
    item.colorNumber = color;
    return item;
}

Item CircleItem(double x, double y, double r) {
    Item item;
    item.entity.rec.kind = DRW_ENT_CIRCLE;
    item.entity.rec.circleX = x;
    item.entity.rec.circleY = y;
    item.entity.rec.circleRadius = r;
    item.layer = "0";
    return item;
}

Item PointItem(double x, double y) {
    Item item;
    item.entity.rec.kind = DRW_ENT_POINT;
    item.entity.rec.x1 = x;
    item.entity.rec.y1 = y;
    item.layer = "0";
    return item;
}

Item InsertItem(const std::string& name, double x, double y, double sx = 1, double sy = 1,
                double angle = 0, int color = 256) {
    Item item;
    item.isInsert = true;
    item.insert.name = name;
    item.insert.ipx = x;
    item.insert.ipy = y;
    item.insert.sx = sx;
    item.insert.sy = sy;
    item.insert.angle = angle;
    item.layer = "0";
    item.colorNumber = color;
    return item;
}

RawBlock MakeBlock(const std::string& name, double baseX, double baseY, std::vector<Item> items) {
    RawBlock b;
    b.name = name;
    b.baseX = baseX;
    b.baseY = baseY;
    b.items = std::move(items);
    return b;
}

constexpr double kEps = 1e-9;

// A block inside a block, each placed with its own base point, scale,
// rotation and array: every copy lands where the composed placement puts it,
// in order, with increasing handles after the tables and blocks.
TEST(CadioExpand, NestedInsertsComposeBasePointScaleRotationAndArray) {
    Records records;
    TableEntry layer;
    layer.type = DRW_TABLE_LAYER;
    layer.name = "0";
    layer.color = 5;
    records.tables.push_back(layer);
    // INNER: a unit line and a small circle once its base (0.5, 0) is taken off.
    records.blocks.push_back(
        MakeBlock("INNER", 0.5, 0, {LineItem(0.5, 0, 1.5, 0, 0), CircleItem(1.5, 0, 0.25)}));
    // OUTER: INNER at (1, 0) twice the size, then a point. Named in another
    // case than the insert that uses it.
    records.blocks.push_back(
        MakeBlock("Outer", 0, 0, {InsertItem("inner", 1, 0, 2, 2, 0, 3), PointItem(0, 1)}));
    // Model space: OUTER at (10, 10) turned by 90 degrees, two columns 5 apart.
    Item outer = InsertItem("OUTER", 10, 10, 1, 1, 90);
    outer.insert.cols = 2;
    outer.insert.colSp = 5;
    records.model.push_back(outer);

    Model model;
    std::string error;
    ASSERT_TRUE(ExpandRecords(records, &model, &error)) << error;
    EXPECT_EQ(model.notes, "");
    ASSERT_EQ(model.tables.size(), 1u);
    ASSERT_EQ(model.blocks.size(), 2u);
    // Blocks keep their own entities, inserts left out.
    EXPECT_EQ(model.blocks[0].entities.size(), 2u);
    EXPECT_EQ(model.blocks[1].entities.size(), 1u);
    ASSERT_EQ(model.entities.size(), 6u);

    struct Expected {
        int kind;
        double x1, y1, x2, y2;  // line ends; point; circle centre and radius in x2
        int color;
    };
    // The line's colour is "by block" (0): it takes the inner insert's 3;
    // the others are "by layer" and take layer 0's 5.
    const Expected expected[] = {
        {DRW_ENT_LINE, 10, 11, 10, 13, 3},   {DRW_ENT_CIRCLE, 10, 13, 0.5, 0, 5},
        {DRW_ENT_POINT, 9, 10, 0, 0, 5},     {DRW_ENT_LINE, 10, 16, 10, 18, 3},
        {DRW_ENT_CIRCLE, 10, 18, 0.5, 0, 5}, {DRW_ENT_POINT, 9, 15, 0, 0, 5},
    };
    OBJHANDLE lastHandle = model.blocks.back().entities.back().rec.handle;
    for (std::size_t i = 0; i < model.entities.size(); ++i) {
        SCOPED_TRACE(i);
        const DrwEntityRecord& r = model.entities[i].rec;
        const Expected& x = expected[i];
        ASSERT_EQ(r.kind, x.kind);
        EXPECT_EQ(model.entities[i].color, x.color);
        EXPECT_GT(r.handle, lastHandle);
        lastHandle = r.handle;
        if (r.kind == DRW_ENT_CIRCLE) {
            EXPECT_NEAR(r.circleX, x.x1, kEps);
            EXPECT_NEAR(r.circleY, x.y1, kEps);
            EXPECT_NEAR(r.circleRadius, x.x2, kEps);
            continue;
        }
        EXPECT_NEAR(r.x1, x.x1, kEps);
        EXPECT_NEAR(r.y1, x.y1, kEps);
        if (r.kind == DRW_ENT_LINE) {
            EXPECT_NEAR(r.x2, x.x2, kEps);
            EXPECT_NEAR(r.y2, x.y2, kEps);
        }
    }
}

// Scaled differently in x and y a circle cannot stay a circle: it becomes a
// closed path on the ellipse; a mirrored insert turns x to -x.
TEST(CadioExpand, UnevenScaleAndMirrorKeepTheShape) {
    Records records;
    records.blocks.push_back(MakeBlock("C", 0, 0, {CircleItem(0, 0, 1), PointItem(2, 1)}));
    records.model.push_back(InsertItem("C", 0, 0, 3, 1));
    Item mirrored = InsertItem("C", 0, 0);
    mirrored.insert.mirror = true;
    records.model.push_back(mirrored);

    Model model;
    std::string error;
    ASSERT_TRUE(ExpandRecords(records, &model, &error)) << error;
    ASSERT_EQ(model.entities.size(), 4u);
    const Entity& path = model.entities[0];
    ASSERT_EQ(path.rec.kind, DRW_ENT_POLYLINE);
    EXPECT_EQ(path.rec.flags & DRW_POLYLINE_CLOSED, DRW_POLYLINE_CLOSED);
    ASSERT_GE(path.vertices.size(), 16u);
    for (const DrwVertex& v : path.vertices) {
        EXPECT_NEAR(v.x * v.x / 9 + v.y * v.y, 1.0, 1e-9) << v.x << " " << v.y;
    }
    EXPECT_EQ(model.entities[1].rec.kind, DRW_ENT_POINT);
    EXPECT_NEAR(model.entities[1].rec.x1, 6, kEps);
    EXPECT_NEAR(model.entities[1].rec.y1, 1, kEps);
    EXPECT_EQ(model.entities[2].rec.kind, DRW_ENT_CIRCLE);
    EXPECT_NEAR(model.entities[3].rec.x1, -2, kEps);
    EXPECT_NEAR(model.entities[3].rec.y1, 1, kEps);
}

// Nesting as deep as the limit loads; one level more, a block that inserts
// itself (also through another, in another case) or an array beyond the
// entity limit is refused with a reason and leaves the model alone.
TEST(CadioExpand, RecursionAndSizeLimitsRefuseWithAReason) {
    auto chain = [](int levels) {
        Records r;
        for (int i = 0; i < levels; ++i) {
            std::vector<Item> items;
            if (i + 1 < levels)
                items.push_back(InsertItem("B" + std::to_string(i + 1), 1, 0));
            else
                items.push_back(LineItem(0, 0, 1, 0));
            r.blocks.push_back(MakeBlock("B" + std::to_string(i), 0, 0, std::move(items)));
        }
        r.model.push_back(InsertItem("B0", 0, 0));
        return r;
    };
    {
        Model model;
        std::string error;
        ASSERT_TRUE(ExpandRecords(chain(kMaxInsertDepth), &model, &error)) << error;
        ASSERT_EQ(model.entities.size(), 1u);
        EXPECT_NEAR(model.entities[0].rec.x1, kMaxInsertDepth - 1, kEps);
    }

    Records self;
    self.blocks.push_back(MakeBlock("A", 0, 0, {LineItem(0, 0, 1, 0), InsertItem("a", 1, 1)}));
    self.model.push_back(InsertItem("A", 0, 0));
    Records cycle;
    cycle.blocks.push_back(MakeBlock("A", 0, 0, {InsertItem("B", 0, 0)}));
    cycle.blocks.push_back(MakeBlock("B", 0, 0, {InsertItem("A", 0, 0)}));
    cycle.model.push_back(InsertItem("B", 0, 0));
    Records huge;
    huge.blocks.push_back(MakeBlock("L", 0, 0, {LineItem(0, 0, 1, 0)}));
    Item array = InsertItem("L", 0, 0);
    array.insert.cols = 2000;
    array.insert.rows = 2000;
    huge.model.push_back(array);

    struct Case {
        const char* name;
        Records records;
        std::string reason;
    };
    const Case cases[] = {
        {"one level too deep", chain(kMaxInsertDepth + 1),
         "blocks are nested deeper than " + std::to_string(kMaxInsertDepth)},
        {"a block inserting itself", self, "block 'a' inserts itself"},
        {"two blocks inserting each other", cycle, "block 'B' inserts itself"},
        {"an array beyond the entity limit", huge,
         "the drawing expands to more than " + std::to_string(kMaxEntities) + " entities"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Model model;
        model.notes = "untouched";
        std::string error;
        EXPECT_FALSE(ExpandRecords(c.records, &model, &error));
        EXPECT_EQ(error, c.reason);
        EXPECT_EQ(model.notes, "untouched");
        EXPECT_TRUE(model.entities.empty());
    }
}

// An insert of a block that does not exist, or scaled to nothing, places
// nothing and is counted in the notes with what the reader left out.
TEST(CadioExpand, MissingBlocksAreLeftOutAndNoted) {
    Records records;
    records.blocks.push_back(MakeBlock("REAL", 0, 0, {LineItem(0, 0, 1, 0)}));
    records.model.push_back(InsertItem("MISSING", 0, 0));
    records.model.push_back(InsertItem("REAL", 5, 0, 0, 1));
    records.model.push_back(InsertItem("REAL", 5, 0));
    Item skipped;
    skipped.skipped = "SPLINE";
    records.model.push_back(skipped);
    records.paperSpace = 2;

    Model model;
    std::string error;
    ASSERT_TRUE(ExpandRecords(records, &model, &error)) << error;
    ASSERT_EQ(model.entities.size(), 1u);
    EXPECT_NEAR(model.entities[0].rec.x1, 5, kEps);
    EXPECT_EQ(model.notes,
              "not loaded: 1 INSERT of an undefined block, 1 INSERT scaled to 0, 1 SPLINE, "
              "2 on paper space");
}

}  // namespace
}  // namespace korva::cadio::dxf
