// The C entry points the module and Qt hosts call. Dialogs need a running
// QApplication and the GUI thread; anywhere else they trace and return.
#include <QApplication>
#include <QThread>

#include "AboutDlg.h"
#include "ControlFace.h"
#include "KorvaUi.h"
#include "PageHooks.h"
#include "Trace.h"

namespace {

bool CanShowDialog(const char* what) {
    auto* app = qobject_cast<QApplication*>(QCoreApplication::instance());
    if (app == nullptr) {
        korva::Trace("KORVAKT3002: %s not shown: no QApplication\n", what);
        return false;
    }
    if (QThread::currentThread() != app->thread()) {
        korva::Trace("KORVAKT3002: %s not shown: not called on the GUI thread\n", what);
        return false;
    }
    return true;
}

}  // namespace

extern "C" {

__attribute__((visibility("default"))) QWidget* KORVA_UiCreateControlWidget(QWidget* parent) {
    if (!CanShowDialog("control face")) return nullptr;
    auto* face = new korva::ui::CKORVAKT3002Face(parent);
    face->hide();
    return face;
}

__attribute__((visibility("default"))) int KORVA_UiShowSettingDialog(CKORVAKT3002Ctrl* control) {
    if (control == nullptr || !CanShowDialog("ShowSettingDialog")) return 0;
    return korva::ui::ShowSettingSheet(*control) ? 1 : 0;
}

__attribute__((visibility("default"))) int KORVA_UiShowPlanRunWindow(CKORVAKT3002Ctrl* control) {
    if (control == nullptr || !CanShowDialog("ShowPlanRunWindow")) return 0;
    return korva::ui::ShowPlanRunWindow(*control) ? 1 : 0;
}

__attribute__((visibility("default"))) int KORVA_UiAboutBox(CKORVAKT3002Ctrl*) {
    if (!CanShowDialog("AboutBox")) return 0;
    korva::ui::CAboutDlg dialog(QApplication::activeWindow());
    dialog.exec();
    return 1;
}
}
