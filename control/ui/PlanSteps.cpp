#include "PlanSteps.h"

#include <array>
#include <cmath>
#include <limits>

#include "KT300Protocol.h"
#include "NumText.h"

namespace korva::ui {
namespace {

constexpr std::array<const char*, kStepKinds> kNames = {"GoArc",   "GoHome",    "Goline2",
                                                        "Goline3", "GoOrigion", "GoPosition"};
constexpr std::array<const char*, kStepKinds> kTabs = {
    "ArcParam", "HomeParam", "Line2Param", "Line3Param", "OrigionParam", "PositionParam"};

std::string AxisText(int axis) {
    const char letter = KT300Protocol::AxisLetter(axis);
    return letter != '\0' ? std::string(1, letter) : std::string();
}

const std::string& Cell(const std::vector<std::string>& cells, int index) {
    static const std::string empty;
    return index < static_cast<int>(cells.size()) ? cells[static_cast<std::size_t>(index)] : empty;
}

const char* CellTitle(int cell) {
    static constexpr std::array<const char*, kPlanCells> kTitles = {
        "RunMode",   "RunCounts", "Anxi1",      "Anxi2",     "Anxi3",     "Distance1",
        "Distance2", "Distance3", "State",      "WaitTime",  "Workstate", "Dir",
        "CenPosx",   "CenPosy",   "TargetPosx", "TargetPosy"};
    return kTitles[static_cast<std::size_t>(cell)];
}

// A distance cell as a float; beyond the float range it is an infinity (which
// the controller refuses) rather than an undefined conversion.
float CellFloat(const std::string& text) {
    const double value = AtoF(text);
    if (std::fabs(value) > std::numeric_limits<float>::max()) {
        return value > 0 ? std::numeric_limits<float>::infinity()
                         : -std::numeric_limits<float>::infinity();
    }
    return static_cast<float>(value);
}

void Problem(std::string* problem, int cell, const std::string& text) {
    if (problem == nullptr || !problem->empty()) return;
    *problem = std::string(CellTitle(cell)) + " \"" + text + "\" is not valid";
}

// A letter cell: first letter gives 0, second 1; anything else is a problem.
void ReadLetter(const std::vector<std::string>& cells, int cell, const char* zero, const char* one,
                int& field, std::string* problem) {
    const std::string& text = Cell(cells, cell);
    if (text == zero) {
        field = 0;
    } else if (text == one) {
        field = 1;
    } else {
        Problem(problem, cell, text);
    }
}

void ReadAxis(const std::vector<std::string>& cells, int cell, int& field, std::string* problem) {
    const std::string& text = Cell(cells, cell);
    const int axis = KT300Protocol::AxisIndex(text);
    if (axis < 0) {
        Problem(problem, cell, text);
    } else {
        field = axis;
    }
}

}  // namespace

const char* StepKindName(int kind) {
    return kind >= 0 && kind < kStepKinds ? kNames[static_cast<std::size_t>(kind)] : "";
}

const char* StepTabText(int kind) {
    return kind >= 0 && kind < kStepKinds ? kTabs[static_cast<std::size_t>(kind)] : "";
}

int StepKindOf(std::string_view name) {
    for (int k = 0; k < kStepKinds; ++k) {
        if (name == kNames[static_cast<std::size_t>(k)]) return k;
    }
    return kKindUnknown;
}

int AxisFromListIndex(int index) {
    static constexpr std::array<int, 4> kAxis = {3, 0, 1, 2};
    return index >= 0 && index < 4 ? kAxis[static_cast<std::size_t>(index)] : -1;
}

int ListIndexFromAxis(int axis) {
    static constexpr std::array<int, 4> kIndex = {1, 2, 3, 0};
    return axis >= 0 && axis < 4 ? kIndex[static_cast<std::size_t>(axis)] : -1;
}

const std::vector<int>& StepCells(int kind) {
    static const std::array<std::vector<int>, kStepKinds> kCells = {{
        // GoArc
        {kCellKind, kCellRunCount, kCellAxis1, kCellAxis2, kCellWait, kCellDir, kCellCentreX,
         kCellCentreY, kCellTargetX, kCellTargetY},
        // GoHome
        {kCellKind, kCellAxis1},
        // Goline2
        {kCellKind, kCellRunCount, kCellAxis1, kCellAxis2, kCellDistance1, kCellDistance2,
         kCellWait},
        // Goline3
        {kCellKind, kCellRunCount, kCellAxis1, kCellAxis2, kCellAxis3, kCellDistance1,
         kCellDistance2, kCellDistance3, kCellWait},
        // GoOrigion
        {kCellKind, kCellAxis1},
        // GoPosition
        {kCellKind, kCellRunCount, kCellAxis1, kCellDistance1, kCellState, kCellWait,
         kCellWorkState, kCellDir},
    }};
    static const std::vector<int> kNone;
    return kind >= 0 && kind < kStepKinds ? kCells[static_cast<std::size_t>(kind)] : kNone;
}

void WriteStepCells(int kind, const PlanStep& step, std::vector<std::string>& cells) {
    if (cells.size() < kPlanCells) cells.resize(kPlanCells);
    for (int cell : StepCells(kind)) {
        std::string text;
        switch (cell) {
            case kCellKind:
                text = StepKindName(kind);
                break;
            case kCellRunCount:
                text = std::to_string(step.runCount);
                break;
            case kCellAxis1:
                text = AxisText(step.axis1);
                break;
            case kCellAxis2:
                text = AxisText(step.axis2);
                break;
            case kCellAxis3:
                text = AxisText(step.axis3);
                break;
            case kCellDistance1:
                text = FormatFixed(step.distance1);
                break;
            case kCellDistance2:
                text = FormatFixed(step.distance2);
                break;
            case kCellDistance3:
                text = FormatFixed(step.distance3);
                break;
            case kCellState:
                text = step.state == 0 ? "A" : "R";
                break;
            case kCellWait:
                text = std::to_string(step.waitTime);
                break;
            case kCellWorkState:
                text = step.workState == 1 ? "O" : "C";
                break;
            case kCellDir:
                text = step.direction == 1 ? "P" : "N";
                break;
            case kCellCentreX:
                text = FormatFixed(step.centreX);
                break;
            case kCellCentreY:
                text = FormatFixed(step.centreY);
                break;
            case kCellTargetX:
                text = FormatFixed(step.targetX);
                break;
            case kCellTargetY:
                text = FormatFixed(step.targetY);
                break;
            default:
                break;
        }
        cells[static_cast<std::size_t>(cell)] = text;
    }
}

int ReadStepCells(const std::vector<std::string>& cells, PlanStep& step, std::string* problem) {
    const int kind = StepKindOf(Cell(cells, kCellKind));
    for (int cell : StepCells(kind)) {
        const std::string& text = Cell(cells, cell);
        switch (cell) {
            case kCellRunCount:
                step.runCount = AtoI(text);
                break;
            case kCellAxis1:
                ReadAxis(cells, cell, step.axis1, problem);
                break;
            case kCellAxis2:
                ReadAxis(cells, cell, step.axis2, problem);
                break;
            case kCellAxis3:
                ReadAxis(cells, cell, step.axis3, problem);
                break;
            case kCellDistance1:
                step.distance1 = CellFloat(text);
                break;
            case kCellDistance2:
                step.distance2 = CellFloat(text);
                break;
            case kCellDistance3:
                step.distance3 = CellFloat(text);
                break;
            case kCellState:
                ReadLetter(cells, cell, "A", "R", step.state, problem);
                break;
            case kCellWait:
                step.waitTime = AtoI(text);
                break;
            case kCellWorkState:
                ReadLetter(cells, cell, "C", "O", step.workState, problem);
                break;
            case kCellDir:
                ReadLetter(cells, cell, "N", "P", step.direction, problem);
                break;
            case kCellCentreX:
                step.centreX = CellFloat(text);
                break;
            case kCellCentreY:
                step.centreY = CellFloat(text);
                break;
            case kCellTargetX:
                step.targetX = CellFloat(text);
                break;
            case kCellTargetY:
                step.targetY = CellFloat(text);
                break;
            default:
                break;
        }
    }
    return kind;
}

}  // namespace korva::ui
