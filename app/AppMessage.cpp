#include "AppMessage.h"

#include <QApplication>
#include <QMessageBox>
#include <utility>

namespace stagedesk {
namespace {

MessageHook& Hook() {
    static MessageHook hook;
    return hook;
}

QMessageBox::Icon ToBoxIcon(MsgIcon icon) {
    switch (icon) {
        case MsgIcon::Information:
            return QMessageBox::Information;
        case MsgIcon::Warning:
            return QMessageBox::Warning;
        case MsgIcon::Critical:
            return QMessageBox::Critical;
        case MsgIcon::None:
            break;
    }
    return QMessageBox::NoIcon;
}

}  // namespace

MessageHook SetMessageHook(MessageHook hook) {
    return std::exchange(Hook(), std::move(hook));
}

void ShowMessage(QWidget* parent, const QString& text, MsgIcon icon, const QString& caption) {
    const QString title = caption.isEmpty() ? QStringLiteral("stagedesk") : caption;
    if (Hook()) {
        // Copy first: a hook may replace itself while it runs.
        MessageHook hook = Hook();
        hook(text, title, icon);
        return;
    }
    QMessageBox box(ToBoxIcon(icon), title, text, QMessageBox::Ok, parent);
    box.exec();
}

}  // namespace stagedesk
