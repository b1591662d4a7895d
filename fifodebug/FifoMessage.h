#pragma once
// Every message box of UsbFifo goes through ShowMessage, so that a test or the
// screenshot run records the text instead of blocking on a modal box.
#include <QString>
#include <functional>

class QWidget;

namespace usbfifo {

using MessageHook = std::function<void(const QString& text)>;

// Replaces the modal box by `hook` (an empty hook restores the box); returns
// the previous hook. GUI thread only.
MessageHook SetMessageHook(MessageHook hook);

// A modal message box with the program's name as caption, or the hook. GUI thread only.
void ShowMessage(QWidget* parent, const QString& text);

}  // namespace usbfifo
