#include "PanelSteps.h"

#include <cmath>
#include <limits>

#include "NumText.h"

namespace stagedesk::plan {
namespace {

constexpr std::array<const char*, kPanelKinds> kNames = {
    "GoArc", "Goline3", "GoHome", "Goline2", "GoPosition", "GoOrigion", "GoOpticsHome"};

const std::string& Cell(const std::vector<std::string>& cells, int index) {
    static const std::string empty;
    return index < static_cast<int>(cells.size()) ? cells[static_cast<std::size_t>(index)] : empty;
}

float CellFloat(const std::string& text) {
    const double value = korva::AtoF(text);
    if (std::fabs(value) > std::numeric_limits<float>::max()) {
        return value > 0 ? std::numeric_limits<float>::infinity()
                         : -std::numeric_limits<float>::infinity();
    }
    return static_cast<float>(value);
}

bool Fail(std::string* problem, const char* what, const std::string& text) {
    if (problem != nullptr) *problem = std::string(what) + " \"" + text + "\" is not valid";
    return false;
}

bool ReadAxis(const std::vector<std::string>& cells, int cell, int& axis, std::string* problem) {
    static constexpr std::array<const char*, 4> kLetters = {"X", "Y", "Z", "T"};
    const std::string& text = Cell(cells, cell);
    for (int a = 0; a < 4; ++a) {
        if (text == kLetters[static_cast<std::size_t>(a)]) {
            axis = a;
            return true;
        }
    }
    return Fail(problem, "axis", text);
}

bool ReadLetter(const std::vector<std::string>& cells, int cell, const char* zero, const char* one,
                const char* what, int& value, std::string* problem) {
    const std::string& text = Cell(cells, cell);
    if (text == zero) {
        value = 0;
    } else if (text == one) {
        value = 1;
    } else {
        return Fail(problem, what, text);
    }
    return true;
}

}  // namespace

const char* PanelKindName(int kind) {
    return kind >= 0 && kind < kPanelKinds ? kNames[static_cast<std::size_t>(kind)] : "";
}

int PanelKindOf(std::string_view name) {
    for (int k = 0; k < kPanelKinds; ++k) {
        if (name == kNames[static_cast<std::size_t>(k)]) return k;
    }
    return kKindUnknown;
}

int UnitIndexOf(std::string_view text) {
    if (text == "deg") return 0;
    if (text == "mm") return 1;
    if (text == "PP" || text == "step") return 2;
    if (text == "um") return 3;
    return -1;
}

bool KindUsesUnit(int kind) {
    return kind == kKindArc || kind == kKindLine3 || kind == kKindLine2 || kind == kKindPosition;
}

bool ReadPanelStep(const std::vector<std::string>& cells, PanelStep& step, std::string* problem) {
    PanelStep s;
    s.kind = PanelKindOf(Cell(cells, kCellKind));
    if (s.kind == kKindUnknown) return Fail(problem, "step kind", Cell(cells, kCellKind));
    const int axes = s.kind == kKindLine3 ? 3 : s.kind == kKindArc || s.kind == kKindLine2 ? 2 : 1;
    for (int i = 0; i < axes; ++i) {
        if (!ReadAxis(cells, kCellAxis1 + i, s.axis[static_cast<std::size_t>(i)], problem)) {
            return false;
        }
    }
    if (s.kind != kKindOrigin && s.kind != kKindOpticsHome) {
        s.speed = CellFloat(Cell(cells, kCellSpeed));
    }
    if (KindUsesUnit(s.kind)) {
        s.runCount = korva::AtoI(Cell(cells, kCellRunCount));
        s.waitTime = korva::AtoI(Cell(cells, kCellWait));
        s.unit = UnitIndexOf(Cell(cells, kCellUnit));
        if (s.unit < 0) return Fail(problem, "unit", Cell(cells, kCellUnit));
    }
    switch (s.kind) {
        case kKindArc:
            if (!ReadLetter(cells, kCellDir, "N", "P", "direction", s.direction, problem)) {
                return false;
            }
            s.centreX = CellFloat(Cell(cells, kCellCentreX));
            s.centreY = CellFloat(Cell(cells, kCellCentreY));
            s.targetX = CellFloat(Cell(cells, kCellTargetX));
            s.targetY = CellFloat(Cell(cells, kCellTargetY));
            break;
        case kKindLine3:
            s.distance[2] = CellFloat(Cell(cells, kCellDistance3));
            [[fallthrough]];
        case kKindLine2:
            s.distance[1] = CellFloat(Cell(cells, kCellDistance2));
            s.distance[0] = CellFloat(Cell(cells, kCellDistance1));
            break;
        case kKindPosition:
            if (!ReadLetter(cells, kCellState, "A", "R", "state", s.state, problem) ||
                !ReadLetter(cells, kCellWorkState, "C", "O", "work state", s.workState, problem) ||
                !ReadLetter(cells, kCellDir, "N", "P", "direction", s.direction, problem)) {
                return false;
            }
            s.distance[0] = CellFloat(Cell(cells, kCellDistance1));
            break;
        default:
            break;
    }
    step = s;
    return true;
}

}  // namespace stagedesk::plan
