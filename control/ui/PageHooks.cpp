#include "PageHooks.h"

#include <QApplication>

#include "ProRunPlan.h"
#include "SettingDlg.h"

namespace korva::ui {

bool ShowSettingSheet(CKORVAKT3002Ctrl& control) {
    CSettingDlg sheet(&control, QApplication::activeWindow());
    sheet.exec();
    return true;
}

bool ShowPlanRunWindow(CKORVAKT3002Ctrl& control) {
    CPlanRunWindow window(&control, QApplication::activeWindow());
    window.exec();
    return true;
}

}  // namespace korva::ui
