#pragma once
// The six step dialogs of the plan editor (templates 208 to 218), shown one at
// a time inside the editor's tab control. Each holds the fields of its step
// kind; the editor takes a step from the dialog and fills the dialog back from
// a grid row.
#include <QWidget>
#include <vector>

#include "PlanSteps.h"

class CKORVAKT3002Ctrl;
class QComboBox;
class QLineEdit;

namespace korva::ui {

class CPlanStepDlg : public QWidget {
    Q_OBJECT
  public:
    // The dialog of kind (kKindArc .. kKindPosition); loads its language
    // texts with the control's language name.
    CPlanStepDlg(int kind, CKORVAKT3002Ctrl* control, QWidget* parent = nullptr);

    int Kind() const { return m_nKind; }
    int TemplateId() const;
    static int TemplateOf(int kind);

    // Reads every field with its check into step. At the first field that is
    // not a number in range the number message is shown, the focus goes to
    // that field and false is returned with step unchanged.
    bool Read(PlanStep& step);
    // Shows the step's values (axis indices become list indices).
    void Fill(const PlanStep& step);

    // A field by control id (QLineEdit or QComboBox), or nullptr.
    QWidget* Field(int controlId) const;

  private:
    enum class FieldType { kAxis, kDir, kState, kWork, kInt, kFloat };
    enum class Target {
        kAxis1,
        kAxis2,
        kAxis3,
        kDistance1,
        kDistance2,
        kDistance3,
        kState,
        kWork,
        kRunCount,
        kWait,
        kDir,
        kCentreX,
        kCentreY,
        kTargetX,
        kTargetY
    };
    struct FieldDef {
        int id;
        const char* label;
        FieldType type;
        Target target;
        int lo = 0;
        int hi = 0;
    };
    struct Bound {
        FieldDef def;
        QWidget* widget;
    };
    static std::vector<FieldDef> FieldsOf(int kind);
    // The editor field a target names (integer or float fields).
    static int& IntField(PlanStep& s, Target target);
    static float& FloatField(PlanStep& s, Target target);

    int m_nKind;
    std::vector<Bound> m_fields;
};

}  // namespace korva::ui
