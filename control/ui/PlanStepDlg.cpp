#include "PlanStepDlg.h"

#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <cmath>
#include <limits>

#include "DialogTexts.h"
#include "KORVAKT3002Ctl.h"
#include "LanguageFile.h"
#include "UiMessage.h"

namespace korva::ui {
namespace {

constexpr int kRunCountMax = 10000000;

}  // namespace

int& CPlanStepDlg::IntField(PlanStep& s, Target target) {
    switch (target) {
        case Target::kAxis1:
            return s.axis1;
        case Target::kAxis2:
            return s.axis2;
        case Target::kAxis3:
            return s.axis3;
        case Target::kState:
            return s.state;
        case Target::kWork:
            return s.workState;
        case Target::kRunCount:
            return s.runCount;
        case Target::kWait:
            return s.waitTime;
        default:
            return s.direction;
    }
}

float& CPlanStepDlg::FloatField(PlanStep& s, Target target) {
    switch (target) {
        case Target::kDistance1:
            return s.distance1;
        case Target::kDistance2:
            return s.distance2;
        case Target::kDistance3:
            return s.distance3;
        case Target::kCentreX:
            return s.centreX;
        case Target::kCentreY:
            return s.centreY;
        case Target::kTargetX:
            return s.targetX;
        default:
            return s.targetY;
    }
}

int CPlanStepDlg::TemplateOf(int kind) {
    switch (kind) {
        case kKindArc:
            return 210;
        case kKindHome:
            return 216;
        case kKindLine2:
            return 214;
        case kKindLine3:
            return 212;
        case kKindOrigin:
            return 218;
        case kKindPosition:
            return 208;
        default:
            return 0;
    }
}

int CPlanStepDlg::TemplateId() const {
    return TemplateOf(m_nKind);
}

std::vector<CPlanStepDlg::FieldDef> CPlanStepDlg::FieldsOf(int kind) {
    using F = FieldType;
    using T = Target;
    switch (kind) {
        case kKindArc:
            return {{295, "RUN Axis", F::kAxis, T::kAxis1},
                    {258, "RUN Axis2", F::kAxis, T::kAxis2},
                    {297, "Dir", F::kDir, T::kDir},
                    {287, "Run Counts ", F::kInt, T::kRunCount, 1, kRunCountMax},
                    {288, "Wait Time", F::kInt, T::kWait, 1, 100000},
                    {265, "CenPosx", F::kFloat, T::kCentreX},
                    {273, "CenPosy", F::kFloat, T::kCentreY},
                    {269, "TargetPosx", F::kFloat, T::kTargetX},
                    {271, "TargetPosy", F::kFloat, T::kTargetY}};
        case kKindHome:
            return {{311, "RUN Axis", F::kAxis, T::kAxis1}};
        case kKindLine2:
            return {{299, "RUN Axis", F::kAxis, T::kAxis1},
                    {301, "RUN Axis2", F::kAxis, T::kAxis2},
                    {303, "Run Distance", F::kFloat, T::kDistance1},
                    {305, "Run Distance", F::kFloat, T::kDistance2},
                    {307, "Run Counts ", F::kInt, T::kRunCount, 1, kRunCountMax},
                    {309, "Wait Time", F::kInt, T::kWait, 1, 1000000}};
        case kKindLine3:
            return {{291, "RUN Axis", F::kAxis, T::kAxis1},
                    {293, "RUN Axis2", F::kAxis, T::kAxis2},
                    {260, "RUN Axis3", F::kAxis, T::kAxis3},
                    {262, "Run Distance", F::kFloat, T::kDistance1},
                    {264, "Run Distance", F::kFloat, T::kDistance2},
                    {266, "Run Distance", F::kFloat, T::kDistance3},
                    {270, "Run Counts ", F::kInt, T::kRunCount, 1, kRunCountMax},
                    {268, "Wait Time", F::kInt, T::kWait, 1, 1000000}};
        case kKindOrigin:
            return {{313, "RUN Axis", F::kAxis, T::kAxis1}};
        case kKindPosition:
            return {{256, "RUN Axis", F::kAxis, T::kAxis1},
                    {259, "Run Distance", F::kFloat, T::kDistance1},
                    {267, "Run Counts ", F::kInt, T::kRunCount, 1, kRunCountMax},
                    {261, "Wait Time", F::kInt, T::kWait, 1, 1000000},
                    {276, "State", F::kState, T::kState},
                    {278, "Workstate", F::kWork, T::kWork},
                    {280, "Dir", F::kDir, T::kDir}};
        default:
            return {};
    }
}

CPlanStepDlg::CPlanStepDlg(int kind, CKORVAKT3002Ctrl* control, QWidget* parent)
    : QWidget(parent), m_nKind(kind) {
    const std::vector<FieldDef> defs = FieldsOf(kind);
    // Two columns of label and field, five rows each.
    for (std::size_t i = 0; i < defs.size(); ++i) {
        const FieldDef& def = defs[i];
        const int column = static_cast<int>(i) / 5;
        const int row = static_cast<int>(i) % 5;
        const int x = 12 + column * 300;
        const int y = 12 + row * 34;
        auto* label = new QLabel(QString::fromLatin1(def.label), this);
        label->setProperty("controlId", def.id + 1000);
        label->setGeometry(x, y + 3, 120, 24);
        QWidget* field = nullptr;
        switch (def.type) {
            case FieldType::kAxis:
            case FieldType::kDir:
            case FieldType::kState:
            case FieldType::kWork: {
                // Sorted lists: the list index is what the editor converts.
                auto* list = new QComboBox(this);
                if (def.type == FieldType::kAxis) {
                    list->addItems({QStringLiteral("T"), QStringLiteral("X"), QStringLiteral("Y"),
                                    QStringLiteral("Z")});
                } else if (def.type == FieldType::kDir) {
                    list->addItems({QStringLiteral("N"), QStringLiteral("P")});
                } else if (def.type == FieldType::kState) {
                    list->addItems({QStringLiteral("A"), QStringLiteral("R")});
                } else {
                    list->addItems({QStringLiteral("C"), QStringLiteral("O")});
                }
                list->setCurrentIndex(0);
                field = list;
                break;
            }
            case FieldType::kInt:
                field = new QLineEdit(QStringLiteral("1"), this);
                break;
            case FieldType::kFloat:
                field = new QLineEdit(QStringLiteral("0"), this);
                break;
        }
        field->setProperty("controlId", def.id);
        field->setGeometry(x + 126, y, 150, 28);
        m_fields.push_back({def, field});
    }

    CLanguageFile language(ControlLanguageConfig());
    const std::string name = control != nullptr ? control->GetLangenge() : std::string();
    if (!language.Load(name)) ShowMessage(this, QStringLiteral("Load language resource failure!"));
    korva::ApplyDialogTexts(language, this, TemplateId());
}

QWidget* CPlanStepDlg::Field(int controlId) const {
    for (const Bound& b : m_fields) {
        if (b.def.id == controlId) return b.widget;
    }
    return nullptr;
}

bool CPlanStepDlg::Read(PlanStep& step) {
    PlanStep values = step;
    for (const Bound& b : m_fields) {
        const Target target = b.def.target;
        switch (b.def.type) {
            case FieldType::kAxis: {
                const int axis =
                    AxisFromListIndex(static_cast<QComboBox*>(b.widget)->currentIndex());
                if (axis >= 0) IntField(values, target) = axis;
                break;
            }
            case FieldType::kDir:
            case FieldType::kState:
            case FieldType::kWork: {
                const int index = static_cast<QComboBox*>(b.widget)->currentIndex();
                if (index >= 0) IntField(values, target) = index;
                break;
            }
            case FieldType::kInt: {
                auto* edit = static_cast<QLineEdit*>(b.widget);
                bool ok = false;
                const qlonglong v = edit->text().trimmed().toLongLong(&ok);
                if (!ok || v < b.def.lo || v > b.def.hi) {
                    ShowMessage(this, IntegerRangeMessage(b.def.lo, b.def.hi));
                    edit->setFocus();
                    edit->selectAll();
                    return false;
                }
                IntField(values, target) = static_cast<int>(v);
                break;
            }
            case FieldType::kFloat: {
                auto* edit = static_cast<QLineEdit*>(b.widget);
                bool ok = false;
                const double v = edit->text().trimmed().toDouble(&ok);
                if (!ok || !std::isfinite(v) || std::fabs(v) > std::numeric_limits<float>::max()) {
                    ShowMessage(this, NumberMessage());
                    edit->setFocus();
                    edit->selectAll();
                    return false;
                }
                FloatField(values, target) = static_cast<float>(v);
                break;
            }
        }
    }
    step = values;
    return true;
}

void CPlanStepDlg::Fill(const PlanStep& step) {
    PlanStep s = step;
    for (const Bound& b : m_fields) {
        const Target target = b.def.target;
        switch (b.def.type) {
            case FieldType::kAxis: {
                const int index = ListIndexFromAxis(IntField(s, target));
                if (index >= 0) static_cast<QComboBox*>(b.widget)->setCurrentIndex(index);
                break;
            }
            case FieldType::kDir:
            case FieldType::kState:
            case FieldType::kWork: {
                const int index = IntField(s, target);
                if (index == 0 || index == 1)
                    static_cast<QComboBox*>(b.widget)->setCurrentIndex(index);
                break;
            }
            case FieldType::kInt:
                static_cast<QLineEdit*>(b.widget)->setText(QString::number(IntField(s, target)));
                break;
            case FieldType::kFloat:
                static_cast<QLineEdit*>(b.widget)->setText(
                    QString::number(FloatField(s, target), 'g', 6));
                break;
        }
    }
}

}  // namespace korva::ui
