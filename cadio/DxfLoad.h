#pragma once
// Reading a DXF file into a Model: a check of the file's group structure and
// numbers (dxflib trusts its input), parsing by dxflib, then the expansion of
// block inserts and the carrying of mirrored entities into the XY plane.
#include <functional>
#include <string>
#include <string_view>

#include "Model.h"

namespace korva::cadio {

// Percentage 0..100, called only when it changes.
using Progress = std::function<void(int)>;

// Limits that keep a hostile file from exhausting memory.
constexpr std::size_t kMaxEntities = 2'000'000;  // after expanding inserts
constexpr std::size_t kMaxVertices = 20'000'000;
constexpr int kMaxInsertDepth = 32;
// Chord tolerance (drawing units) where an arc cannot stay an arc: a
// circle, arc or bulge under an insert scaled differently in x and y, and
// ellipses that are not circles.
constexpr double kChordTolerance = 1e-3;

bool LoadDxfFile(const std::string& path, Model* out, std::string* error, const Progress& progress);
// `plainEntities` false lets dxflib read every entity (the plain ones are
// otherwise decoded by the library itself, with the same result, faster).
bool LoadDxfText(std::string_view content, Model* out, std::string* error, const Progress& progress,
                 bool plainEntities = true);

// The first step alone: checks the pairs of group code and value lines and
// writes them again in the form dxflib reads safely (stripped lines, no line
// longer than it accepts). `progressEnd` is the percentage reached at the end.
bool NormalizeDxf(std::string_view content, std::string* normalized, std::string* error,
                  const Progress& progress, int progressEnd);

}  // namespace korva::cadio
