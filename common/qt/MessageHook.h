#pragma once
// The message boxes of the Qt programs and dialogs: each part keeps a hook
// that a test (or a screenshot run) installs to record the texts instead of
// blocking on a modal box. Header-only, so UsbFifo (which links nothing of
// common but its base) uses the same code.
#include <QMessageBox>
#include <QString>
#include <functional>
#include <utility>

namespace korva::qt {

// One hook slot per Tag, so the parts of one process (stagedesk and the
// control's dialogs) keep theirs apart. GUI thread only.
template <typename Hook, typename Tag>
class MessageHookSlot {
  public:
    // Installs hook (an empty one restores the box); returns the previous.
    static Hook Set(Hook hook) { return std::exchange(Slot(), std::move(hook)); }
    // Hands the arguments to the hook when one is installed.
    template <typename... Args>
    static bool Offer(Args&&... args) {
        if (!Slot()) return false;
        Hook hook = Slot();  // a hook may replace itself while it runs
        hook(std::forward<Args>(args)...);
        return true;
    }

  private:
    static Hook& Slot() {
        static Hook hook;
        return hook;
    }
};

// A modal box with an OK button.
inline void ShowModalBox(QWidget* parent, QMessageBox::Icon icon, const QString& caption,
                         const QString& text) {
    QMessageBox box(icon, caption, text, QMessageBox::Ok, parent);
    box.exec();
}

}  // namespace korva::qt
