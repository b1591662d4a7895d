#pragma once
// The control's dialogs are Qt; the core is not. The core reaches them through
// this interface. The default provider loads libKORVAKT3002_ui.so.1 beside the
// module on the first dialog call; when that library is missing, or the host
// runs no QApplication, a dialog call traces and returns.
class CKORVAKT3002Ctrl;

namespace korva {

class DialogProvider {
  public:
    virtual ~DialogProvider() = default;
    virtual void ShowSettingDialog(CKORVAKT3002Ctrl& control) = 0;
    virtual void ShowPlanRunWindow(CKORVAKT3002Ctrl& control) = 0;
    virtual void AboutBox(CKORVAKT3002Ctrl& control) = 0;
};

// The module-wide default provider described above.
DialogProvider& DefaultDialogProvider();

}  // namespace korva

// C entry points of libKORVAKT3002_ui.so (looked up by name). Each returns 1
// when the dialog was shown and closed, 0 when it could not be shown (no
// QApplication, not called on the GUI thread); the reason is traced.
extern "C" {
typedef int (*KORVA_UiDialogFn)(CKORVAKT3002Ctrl* control);
}
#define KORVA_UI_LIBRARY "libKORVAKT3002_ui.so.1"
#define KORVA_UI_SHOW_SETTING "KORVA_UiShowSettingDialog"
#define KORVA_UI_SHOW_PLANRUN "KORVA_UiShowPlanRunWindow"
#define KORVA_UI_ABOUTBOX "KORVA_UiAboutBox"
