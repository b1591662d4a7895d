#include "UiMessage.h"

#include "MessageHook.h"

namespace korva::ui {
namespace {
using Slot = korva::qt::MessageHookSlot<MessageHook, struct UiMessageTag>;
}  // namespace

MessageHook SetMessageHook(MessageHook hook) {
    return Slot::Set(std::move(hook));
}

void ShowMessage(QWidget* parent, const QString& text) {
    if (Slot::Offer(text)) return;
    korva::qt::ShowModalBox(parent, QMessageBox::NoIcon, QStringLiteral("KORVAKT3002"), text);
}

QString NumberMessage() {
    return QStringLiteral("Please enter a number.");
}

QString IntegerRangeMessage(long long lo, long long hi) {
    return QStringLiteral("Please enter an integer between %1 and %2.").arg(lo).arg(hi);
}

}  // namespace korva::ui
