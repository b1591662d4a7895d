#include "DialogProvider.h"

#include <mutex>
#include <string>
#include <vector>

#include "SharedLibrary.h"
#include "Trace.h"

namespace korva {
namespace {

// Loads the Qt dialog library once, beside the module first, then by name
// through the usual search path. Kept loaded for the life of the process:
// Qt objects it created may outlive any one control.
class UiLibraryProvider final : public DialogProvider {
  public:
    void ShowSettingDialog(CKORVAKT3002Ctrl& control) override {
        Call(KORVA_UI_SHOW_SETTING, "ShowSettingDialog", control);
    }
    void ShowPlanRunWindow(CKORVAKT3002Ctrl& control) override {
        Call(KORVA_UI_SHOW_PLANRUN, "ShowPlanRunWindow", control);
    }
    void AboutBox(CKORVAKT3002Ctrl& control) override {
        Call(KORVA_UI_ABOUTBOX, "AboutBox", control);
    }

  private:
    void Load() {
        // Beside the module (the object this code is linked into), then by name.
        std::vector<LibraryCandidate> candidates;
        const std::string own = ObjectDirectory(reinterpret_cast<void*>(&DefaultDialogProvider));
        if (!own.empty()) candidates.push_back({own + KORVA_UI_LIBRARY, "beside the module"});
        candidates.push_back({KORVA_UI_LIBRARY, "library search path"});
        std::string reasons;
        if (!LoadFirstLibrary(candidates, {}, RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE, &m_Library,
                              &reasons)) {
            Trace("KORVAKT3002: dialogs unavailable:\n%s", reasons.c_str());
        }
    }

    void Call(const char* symbol, const char* what, CKORVAKT3002Ctrl& control) {
        std::call_once(m_Once, [this] { Load(); });
        if (!m_Library.IsLoaded()) {
            Trace("KORVAKT3002: %s not shown (no dialog library)\n", what);
            return;
        }
        auto fn = m_Library.Function<KORVA_UiDialogFn>(symbol);
        if (!fn) {
            Trace("KORVAKT3002: %s not shown: %s missing in %s\n", what, symbol, KORVA_UI_LIBRARY);
            return;
        }
        fn(&control);  // traces itself when it cannot show the dialog
    }

    std::once_flag m_Once;
    SharedLibrary m_Library;  // RTLD_NODELETE: the code stays mapped after closing
};

}  // namespace

DialogProvider& DefaultDialogProvider() {
    static UiLibraryProvider provider;
    return provider;
}

}  // namespace korva
