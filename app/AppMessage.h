#pragma once
// Every message box of stagedesk goes through ShowMessage, so that a test (or
// the screenshot run) can record the texts instead of blocking on a modal box.
#include <QString>
#include <functional>

class QWidget;

namespace stagedesk {

enum class MsgIcon { None, Information, Warning, Critical };

using MessageHook = std::function<void(const QString& text, const QString& caption, MsgIcon icon)>;

// Installs a hook that replaces the modal box; an empty hook restores the
// box. Returns the previous hook. GUI thread only.
MessageHook SetMessageHook(MessageHook hook);

// Shows a modal message box (or hands the text to the hook). The caption
// defaults to the program name. GUI thread only.
void ShowMessage(QWidget* parent, const QString& text, MsgIcon icon = MsgIcon::None,
                 const QString& caption = QString());

}  // namespace stagedesk
