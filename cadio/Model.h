#pragma once
// What a drawing holds: table entries, block definitions and the model space,
// each object with its handle. Entities are kept as the records the library
// hands out, with the vertices and text that a record only points to.
#include <cstdint>
#include <string>
#include <vector>

#include "CadIO.h"
#include "Geometry.h"

namespace korva::cadio {

struct Entity {
    DrwEntityRecord rec{};  // rec.vertices stays null here; set when handed out
    std::vector<DrwVertex> vertices;
    std::string text;  // text entities
    int color = 7;     // colour number 1..255 (7: white on the black view)
};

struct Block {
    OBJHANDLE handle = 0;
    std::uint32_t flags = 0;
    std::string name;
    double baseX = 0, baseY = 0;
    std::vector<Entity> entities;  // in the block's own coordinates, inserts left out
};

struct TableEntry {
    OBJHANDLE handle = 0;
    std::uint32_t type = 0;
    std::string name;
    std::int32_t color = 7;
    std::uint32_t flags = 0;
};

// Objects are appended with increasing handles and never reordered, so each
// list stays sorted by handle.
struct Model {
    std::vector<TableEntry> tables;
    std::vector<Block> blocks;
    std::vector<Entity> entities;  // model space, block inserts expanded
    OBJHANDLE lastHandle = 0;
    std::string notes;  // what a load left out

    OBJHANDLE NextHandle() { return ++lastHandle; }
    Box Extents() const;
};

// The box around an entity (empty for one without geometry).
void AddToBox(const Entity& e, Box* box);

// Checks an entity record coming from a caller: a known kind with finite
// numbers, a vertex array that matches its count. False with a reason.
bool ValidRecord(const DrwEntityRecord& rec, std::string* why);

}  // namespace korva::cadio
