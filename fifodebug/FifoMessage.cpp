#include "FifoMessage.h"

#include <QMessageBox>

namespace usbfifo {

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
    QMessageBox box(QMessageBox::Warning, QStringLiteral("UsbFifo"), text, QMessageBox::Ok, parent);
    box.exec();
}

}  // namespace usbfifo
