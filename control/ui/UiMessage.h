#pragma once
// Message boxes of the control's dialogs. A test (or a screenshot run) installs
// a hook to record the texts instead of blocking on a modal box.
#include <QString>
#include <functional>

class QWidget;

namespace korva::ui {

using MessageHook = std::function<void(const QString& text)>;

// Replaces the modal box; an empty hook restores it. Returns the previous
// hook. GUI thread only.
MessageHook SetMessageHook(MessageHook hook);

// A modal box with an OK button (or the hook). GUI thread only.
void ShowMessage(QWidget* parent, const QString& text);

// The number checks of the dialog fields, with the texts the operator knows.
QString NumberMessage();
QString IntegerRangeMessage(long long lo, long long hi);

}  // namespace korva::ui
