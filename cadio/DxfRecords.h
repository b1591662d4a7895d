#pragma once
// The stages after the check of a DXF file: reading it into records as they
// stand in the file, then expanding them into a Model. The records can be
// built by hand, so the expansion of block inserts is testable without
// DXF text.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "DxfText.h"
#include "Model.h"

namespace korva::cadio::dxf {

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

// What the reader found, in file order.
struct Records {
    std::vector<TableEntry> tables;  // without handles
    std::vector<RawBlock> blocks;
    std::vector<Item> model;  // model space
    int paperSpace = 0;       // entities left out because they lie on paper space
};

// Reads checked text (NormalizeDxf's output) into records, reporting
// progress from `from` to `to` percent. `plainEntities` as for LoadDxfText.
bool ReadRecords(std::string_view checked, bool plainEntities, ProgressSink& sink, int from, int to,
                 Records* out, std::string* error);

// Builds the model: table entries and blocks with their handles, then model
// space with every block insert expanded (nested, scaled, rotated, arrayed,
// mirrored) and notes on what was left out. False with a reason, and *out
// untouched, when a block inserts itself, blocks nest deeper than
// kMaxInsertDepth, or the drawing expands beyond kMaxEntities or
// kMaxVertices.
bool ExpandRecords(const Records& records, Model* out, std::string* error);

}  // namespace korva::cadio::dxf
