#include "FifoMessage.h"

#include "MessageHook.h"

namespace usbfifo {
namespace {
using Slot = korva::qt::MessageHookSlot<MessageHook, struct FifoMessageTag>;
}  // namespace

MessageHook SetMessageHook(MessageHook hook) {
    return Slot::Set(std::move(hook));
}

void ShowMessage(QWidget* parent, const QString& text) {
    if (Slot::Offer(text)) return;
    korva::qt::ShowModalBox(parent, QMessageBox::Warning, QStringLiteral("UsbFifo"), text);
}

}  // namespace usbfifo
