#pragma once
// Helpers shared by the panels and dialogs: control ids on widgets, bound
// number fields (shown with six significant digits, parsed without regard to
// the process locale) and the keyboard rules of the panels.
#include <QObject>
#include <QString>
#include <QWidget>
#include <cstdint>
#include <utility>

class QLineEdit;
class QComboBox;

namespace stagedesk {

// Tags a widget with its control id (dynamic property "controlId").
void SetControlId(QWidget* widget, int id);
int ControlId(const QWidget* widget);
// The direct child of `dialog` that carries `id`, or nullptr.
QWidget* FindControl(QWidget* dialog, int id);
template <typename W>
W* FindControlAs(QWidget* dialog, int id) {
    return qobject_cast<W*>(FindControl(dialog, id));
}

// Creates a child widget at a fixed place, tagged with its control id.
// Panels lay their controls out like dialog templates: absolute geometry,
// direct children, created in template order so language texts apply.
template <typename W, typename... Args>
W* MakeControl(QWidget* parent, int id, const QRect& geometry, Args&&... args) {
    auto* w = new W(std::forward<Args>(args)..., parent);
    if (id != 0) SetControlId(w, id);
    w->setGeometry(geometry);
    return w;
}

// A bound float shown in the general number format, six significant digits.
QString FormatGeneral(double value);

// The number check of a bound field. On a bad entry it shows the framework's
// message, puts the focus back into the field and returns false; `out` is left
// unchanged.
bool ReadFloatField(QLineEdit* edit, float& out);
bool ReadIntField(QLineEdit* edit, std::int32_t& out);

// Keyboard rules of a panel: Escape is swallowed, Enter moves the focus to the
// next control (which commits the field being left). Install on the panel; it
// watches every child created so far.
class PanelKeyFilter : public QObject {
    Q_OBJECT
  public:
    explicit PanelKeyFilter(QWidget* panel);
    void Watch(QWidget* widget);

  protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

  private:
    QWidget* m_pPanel;
};

// Moves the focus to the next control of the window, as Tab would.
void MoveFocusToNext(QWidget* from);

// True when a focus-out event means the user left the field (and not that a
// window such as a message box took the focus from the whole window).
bool IsLeavingField(const QEvent* event);

}  // namespace stagedesk
