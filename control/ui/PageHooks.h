#pragma once
// The control's parameter property sheet and plan editor, shown modally and
// bound to the control. Each returns true when the window was shown and
// closed, false when it is not available (traced).
class CKORVAKT3002Ctrl;

namespace korva::ui {

bool ShowSettingSheet(CKORVAKT3002Ctrl& control);
bool ShowPlanRunWindow(CKORVAKT3002Ctrl& control);

}  // namespace korva::ui
