#include "UiMessage.h"

#include <QMessageBox>

namespace korva::ui {
namespace {

MessageHook& Hook() {
    static MessageHook hook;
    return hook;
}

}  // namespace

MessageHook SetMessageHook(MessageHook hook) {
    MessageHook previous = std::move(Hook());
    Hook() = std::move(hook);
    return previous;
}

void ShowMessage(QWidget* parent, const QString& text) {
    if (Hook()) {
        Hook()(text);
        return;
    }
    QMessageBox box(QMessageBox::NoIcon, QStringLiteral("KORVAKT3002"), text, QMessageBox::Ok,
                    parent);
    box.exec();
}

QString NumberMessage() {
    return QStringLiteral("Please enter a number.");
}

QString IntegerRangeMessage(long long lo, long long hi) {
    return QStringLiteral("Please enter an integer between %1 and %2.").arg(lo).arg(hi);
}

}  // namespace korva::ui
