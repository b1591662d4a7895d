#include "DialogFields.h"

#include <QAbstractButton>
#include <QAbstractItemView>
#include <QComboBox>
#include <QEvent>
#include <QFocusEvent>
#include <QKeyEvent>
#include <QLineEdit>
#include <QVariant>
#include <cmath>
#include <limits>

#include "AppMessage.h"

namespace stagedesk {

void SetControlId(QWidget* widget, int id) {
    widget->setProperty("controlId", id);
}

int ControlId(const QWidget* widget) {
    const QVariant v = widget->property("controlId");
    return v.isValid() ? v.toInt() : 0;
}

QWidget* FindControl(QWidget* dialog, int id) {
    for (QObject* child : dialog->children()) {
        auto* w = qobject_cast<QWidget*>(child);
        if (w != nullptr && ControlId(w) == id) return w;
    }
    return nullptr;
}

QString FormatGeneral(double value) {
    // QString::number ignores the locale, as the wire and the fields must.
    return QString::number(value, 'g', 6);
}

namespace {

void RefuseField(QLineEdit* edit, const QString& message) {
    ShowMessage(edit->window(), message, MsgIcon::Warning);
    edit->setFocus(Qt::OtherFocusReason);
    edit->selectAll();
}

}  // namespace

bool ReadFloatField(QLineEdit* edit, float& out) {
    bool ok = false;
    const double value = edit->text().trimmed().toDouble(&ok);
    if (!ok || !std::isfinite(value) || std::fabs(value) > std::numeric_limits<float>::max()) {
        RefuseField(edit, QStringLiteral("Please enter a number."));
        return false;
    }
    out = static_cast<float>(value);
    return true;
}

bool ReadIntField(QLineEdit* edit, std::int32_t& out) {
    bool ok = false;
    const qlonglong value = edit->text().trimmed().toLongLong(&ok);
    constexpr auto lo = std::numeric_limits<std::int32_t>::min();
    constexpr auto hi = std::numeric_limits<std::int32_t>::max();
    if (!ok || value < lo || value > hi) {
        RefuseField(edit,
                    QStringLiteral("Please enter an integer between %1 and %2.").arg(lo).arg(hi));
        return false;
    }
    out = static_cast<std::int32_t>(value);
    return true;
}

PanelKeyFilter::PanelKeyFilter(QWidget* panel) : QObject(panel), m_pPanel(panel) {
    panel->installEventFilter(this);
    for (QWidget* child : panel->findChildren<QWidget*>()) Watch(child);
}

void PanelKeyFilter::Watch(QWidget* widget) {
    widget->installEventFilter(this);
}

bool PanelKeyFilter::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() != QEvent::KeyPress) return false;
    auto* key = static_cast<QKeyEvent*>(event);
    // A drop-down list is a window of its own: there Escape closes the list
    // and Enter picks the entry.
    auto* widget = qobject_cast<QWidget*>(watched);
    if (widget == nullptr || widget->window() != m_pPanel->window()) return false;
    if (key->key() == Qt::Key_Escape) return true;
    if (key->key() != Qt::Key_Return && key->key() != Qt::Key_Enter) return false;
    auto* combo = qobject_cast<QComboBox*>(watched);
    if (combo != nullptr && combo->view() != nullptr && combo->view()->isVisible()) return false;
    MoveFocusToNext(widget);
    return true;
}

void MoveFocusToNext(QWidget* from) {
    if (from == nullptr) return;
    // Walk the focus chain like Tab does; the chain is circular.
    for (QWidget* w = from->nextInFocusChain(); w != nullptr && w != from;
         w = w->nextInFocusChain()) {
        if ((w->focusPolicy() & Qt::TabFocus) && w->isEnabled() && w->isVisibleTo(w->window()) &&
            w->window() == from->window()) {
            w->setFocus(Qt::TabFocusReason);
            return;
        }
    }
}

bool IsLeavingField(const QEvent* event) {
    if (event->type() != QEvent::FocusOut) return false;
    const auto reason = static_cast<const QFocusEvent*>(event)->reason();
    return reason != Qt::ActiveWindowFocusReason && reason != Qt::PopupFocusReason;
}

}  // namespace stagedesk
