#pragma once
// The seven step kinds of stagedesk's plan panel and the 18 cells of a plan
// row (the grid's columns 1 to 18, the cells of a plan file row): how the run
// reads them back into command arguments.
#include <array>
#include <string>
#include <string_view>
#include <vector>

namespace stagedesk::plan {

// In the order of the panel's kind radios.
enum PanelKind : int {
    kKindArc = 0,
    kKindLine3 = 1,
    kKindHome = 2,
    kKindLine2 = 3,
    kKindPosition = 4,
    kKindOrigin = 5,
    kKindOpticsHome = 6,
    kKindUnknown = -1,
};
inline constexpr int kPanelKinds = 7;

// "GoArc", "Goline3", "GoHome", "Goline2", "GoPosition", "GoOrigion",
// "GoOpticsHome"; "" for anything else.
const char* PanelKindName(int kind);
// Exact, case-sensitive; kKindUnknown otherwise.
int PanelKindOf(std::string_view name);

// Unit texts of the panel: "deg" 0, "mm" 1, "PP" (also "step") 2, "um" 3;
// -1 for any other text.
int UnitIndexOf(std::string_view text);
// True when a kind's row carries a unit cell.
bool KindUsesUnit(int kind);

// Cell positions in a row (grid column n is index n-1 here).
enum PanelCell : int {
    kCellKind = 0,
    kCellRunCount,
    kCellAxis1,
    kCellAxis2,
    kCellAxis3,
    kCellDistance1,
    kCellDistance2,
    kCellDistance3,
    kCellState,
    kCellWait,
    kCellWorkState,
    kCellDir,
    kCellCentreX,
    kCellCentreY,
    kCellTargetX,
    kCellTargetY,
    kCellUnit,
    kCellSpeed,
    kPanelCells  // 18
};

// One row as the run uses it.
struct PanelStep {
    int kind = kKindUnknown;
    int runCount = 0;
    std::array<int, 3> axis{};  // 0 X .. 3 T
    std::array<float, 3> distance{};
    int state = 0;      // "A" 0, "R" 1
    int workState = 0;  // "C" 0, "O" 1
    int direction = 0;  // "N" 0, "P" 1
    float centreX = 0;
    float centreY = 0;
    float targetX = 0;
    float targetY = 0;
    int waitTime = 0;
    int unit = 0;
    float speed = 0;
};

// Reads the cells the row's kind uses (numbers as atoi/atof read them).
// False, with the reason in *problem, for an unknown kind name or a cell that
// cannot be a value: an axis other than X/Y/Z/T, a letter other than its two,
// a unit text other than the listed ones.
bool ReadPanelStep(const std::vector<std::string>& cells, PanelStep& step, std::string* problem);

}  // namespace stagedesk::plan
