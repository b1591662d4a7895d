#pragma once
// libKORVAKT3002_ui.so: the control's Qt face and dialogs. The module loads
// this library on the first dialog call (by the names below); a Qt host such
// as stagedesk links it to create the control's visible face.
class CKORVAKT3002Ctrl;
class QWidget;

extern "C" {

// The control's face (white, with an inscribed ellipse), created hidden as a
// child of parent. Must be called on the GUI thread with a QApplication.
QWidget* KORVA_UiCreateControlWidget(QWidget* parent);

// Modal dialogs bound to a control. 1 when the dialog was shown and closed;
// 0 when it could not be shown (no QApplication, not the GUI thread, or not
// available in this build), with the reason traced.
int KORVA_UiShowSettingDialog(CKORVAKT3002Ctrl* control);
int KORVA_UiShowPlanRunWindow(CKORVAKT3002Ctrl* control);
int KORVA_UiAboutBox(CKORVAKT3002Ctrl* control);
}
