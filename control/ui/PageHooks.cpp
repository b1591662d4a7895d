#include "PageHooks.h"

#include "Trace.h"

namespace korva::ui {

// The property sheet ("KT300 Properties") and the plan editor are not part of
// this build yet.
bool ShowSettingSheet(CKORVAKT3002Ctrl&) {
    Trace("KORVAKT3002: ShowSettingDialog: the parameter sheet is not available\n");
    return false;
}

bool ShowPlanRunWindow(CKORVAKT3002Ctrl&) {
    Trace("KORVAKT3002: ShowPlanRunWindow: the plan editor is not available\n");
    return false;
}

}  // namespace korva::ui
