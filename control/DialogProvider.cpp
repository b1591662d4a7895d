#include "DialogProvider.h"

#include <dlfcn.h>

#include <mutex>
#include <string>

#include "Trace.h"

namespace korva {
namespace {

// Directory of the object file this code was linked into: the module when it
// runs inside libKORVAKT3002.so.
std::string OwnDirectory() {
    Dl_info info{};
    if (dladdr(reinterpret_cast<void*>(&DefaultDialogProvider), &info) == 0 ||
        info.dli_fname == nullptr) {
        return {};
    }
    std::string path = info.dli_fname;
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

// Loads the Qt dialog library once, beside the module first, then by name
// through the usual search path. Kept loaded for the life of the process:
// Qt objects it created may outlive any one control.
class UiLibraryProvider final : public DialogProvider {
  public:
    ~UiLibraryProvider() override {
        if (m_Handle) dlclose(m_Handle);  // RTLD_NODELETE keeps the code mapped
    }

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
        const int mode = RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE;
        const std::string besideModule = OwnDirectory() + KORVA_UI_LIBRARY;
        m_Handle = dlopen(besideModule.c_str(), mode);
        if (m_Handle) return;
        const char* err = dlerror();
        const std::string firstError = err ? err : "unknown error";
        m_Handle = dlopen(KORVA_UI_LIBRARY, mode);
        if (m_Handle) return;
        err = dlerror();
        Trace("KORVAKT3002: dialogs unavailable: %s; %s\n", firstError.c_str(),
              err ? err : "unknown error");
    }

    void Call(const char* symbol, const char* what, CKORVAKT3002Ctrl& control) {
        std::call_once(m_Once, [this] { Load(); });
        if (!m_Handle) {
            Trace("KORVAKT3002: %s not shown (no dialog library)\n", what);
            return;
        }
        auto fn = reinterpret_cast<KORVA_UiDialogFn>(dlsym(m_Handle, symbol));
        if (!fn) {
            Trace("KORVAKT3002: %s not shown: %s missing in %s\n", what, symbol, KORVA_UI_LIBRARY);
            return;
        }
        fn(&control);  // traces itself when it cannot show the dialog
    }

    std::once_flag m_Once;
    void* m_Handle = nullptr;
};

}  // namespace

DialogProvider& DefaultDialogProvider() {
    static UiLibraryProvider provider;
    return provider;
}

}  // namespace korva
