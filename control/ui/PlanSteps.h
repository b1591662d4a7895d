#pragma once
// The steps of the plan editor: the six kinds, the editor's fields of one step,
// and how a step is written into and read back from the 16 cells of its grid
// row (the same cells a plan file stores). Free of Qt so the run logic and the
// tests need no widgets.
#include <string>
#include <string_view>
#include <vector>

namespace korva::ui {

// Kinds in the order of the sorted "Run Mode" list and of the tabs.
enum StepKind : int {
    kKindArc = 0,
    kKindHome = 1,
    kKindLine2 = 2,
    kKindLine3 = 3,
    kKindOrigin = 4,
    kKindPosition = 5,
    kKindUnknown = 10,  // a name that is none of the six; the run skips it
};
inline constexpr int kStepKinds = 6;

// "GoArc", "GoHome", "Goline2", "Goline3", "GoOrigion", "GoPosition"; "" otherwise.
const char* StepKindName(int kind);
// The tab text: "ArcParam" ... "PositionParam"; "" otherwise.
const char* StepTabText(int kind);
// The kind of a grid name (exact, case-sensitive); kKindUnknown otherwise.
int StepKindOf(std::string_view name);

// The step dialogs' axis lists hold "X", "Y", "Z", "T" sorted, so list index
// 0 is T, 1 X, 2 Y, 3 Z. -1 for anything outside.
int AxisFromListIndex(int index);
int ListIndexFromAxis(int axis);

// The editor's fields of one step (initial values as the editor starts).
struct PlanStep {
    int axis1 = 0;  // axis indices 0 X, 1 Y, 2 Z, 3 T
    int axis2 = 0;
    int axis3 = 0;
    float distance1 = 0;
    float distance2 = 0;
    float distance3 = 0;
    int state = 0;      // 0 "A" absolute, 1 "R" relative
    int workState = 0;  // 0 "C" closed loop, 1 "O" open loop
    int runCount = 1;   // repetitions of the step
    int waitTime = 1;   // ms after each repetition
    int direction = 0;  // 0 "N", 1 "P"
    float centreX = 0;
    float centreY = 0;
    float targetX = 0;
    float targetY = 0;

    bool operator==(const PlanStep&) const = default;
};

// Cell positions in a row (cell n of the file is index n-1 here; grid column n).
enum PlanCell : int {
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
    kPlanCells  // 16
};

// The cells a kind writes (and reads back), kCellKind first.
const std::vector<int>& StepCells(int kind);

// Writes the kind's name and its cells into cells (resized to 16 when
// shorter); the cells the kind does not use keep their text.
void WriteStepCells(int kind, const PlanStep& step, std::vector<std::string>& cells);

// Reads the cells a row's kind uses into step (numbers as atoi/atof read
// them). Returns the kind (kKindUnknown for an unknown name, step untouched).
// A cell that cannot be a value (an axis other than X, Y, Z, T, a letter
// other than its two) leaves its field as it was and is described in
// *problem; the run skips such a row.
int ReadStepCells(const std::vector<std::string>& cells, PlanStep& step, std::string* problem);

}  // namespace korva::ui
