// The module libKORVAKT3002.so: self-registration and instance creation, the
// C entry points a host looks up after dlopen.
#include <dlfcn.h>

#include <cstring>
#include <filesystem>
#include <new>
#include <string>

#include "KORVAKT3002Ctl.h"
#include "KorvaModule.h"
#include "Registry.h"
#include "Trace.h"

namespace {

// One control behind the late-bound interface.
class ControlInstance final : public KorvaDispatch {
  public:
    korva::HRESULT GetIDsOfNames(std::span<const char* const> names,
                                 std::span<korva::DISPID> ids) override {
        return korva::GetIDsOfNames(CKORVAKT3002Ctrl::TypeInfo(), names, ids);
    }
    korva::HRESULT Invoke(korva::DISPID id, std::uint16_t flags, std::span<korva::Variant> args,
                          korva::Variant* result, unsigned* argErr) override {
        return m_Control.Invoke(id, flags, args, result, argErr);
    }
    const korva::DispInterfaceInfo& GetTypeInfo() const override {
        return CKORVAKT3002Ctrl::TypeInfo();
    }
    const korva::DispInterfaceInfo& GetEventTypeInfo() const override {
        return CKORVAKT3002Ctrl::EventTypeInfo();
    }
    void Release() override { delete this; }
    std::string LastErrorText() const { return m_Control.GetLastErrorText(); }
    bool Abort(std::uint32_t axes) { return m_Control.Abort(axes); }

  private:
    ~ControlInstance() override = default;
    CKORVAKT3002Ctrl m_Control;
};

// The path of this module as loaded, made absolute.
std::string ModulePath() {
    Dl_info info{};
    if (dladdr(reinterpret_cast<void*>(&KORVA_DllRegisterServer), &info) == 0 ||
        info.dli_fname == nullptr) {
        return {};
    }
    std::error_code ec;
    std::filesystem::path path = std::filesystem::weakly_canonical(info.dli_fname, ec);
    return ec ? std::string(info.dli_fname) : path.string();
}

bool SameProgId(const char* a, const char* b) {
    return strcasecmp(a, b) == 0;
}

}  // namespace

extern "C" {

std::int32_t KORVA_DllRegisterServer() {
    const std::string module = ModulePath();
    if (module.empty()) {
        korva::Trace("KORVAKT3002: cannot find the module's own path: %s\n", dlerror());
        return korva::SELFREG_E_TYPELIB;
    }
    return korva::RegisterControlModule(module, korva::RegistryFilePath());
}

std::int32_t KORVA_DllUnregisterServer() {
    return korva::UnregisterControlModule(korva::RegistryFilePath());
}

KorvaDispatch* KORVA_CreateInstance(const char* progId) {
    if (progId == nullptr || !SameProgId(progId, KORVA_PROGID_CONTROL)) {
        korva::Trace("KORVAKT3002: no class for ProgID \"%s\"\n", progId ? progId : "(null)");
        return nullptr;
    }
    return new (std::nothrow) ControlInstance();
}

std::uint32_t KORVA_RegistryPath(char* buf, std::uint32_t size) {
    const std::string path = korva::RegistryFilePath();
    if (buf != nullptr && size > 0) {
        const std::size_t n = std::min<std::size_t>(path.size(), size - 1);
        std::memcpy(buf, path.data(), n);
        buf[n] = '\0';
    }
    return static_cast<std::uint32_t>(path.size());
}

std::uint32_t KORVA_ErrorText(KorvaDispatch* control, char* buf, std::uint32_t size) {
    auto* instance = dynamic_cast<ControlInstance*>(control);
    const std::string text = instance != nullptr ? instance->LastErrorText() : std::string();
    if (buf != nullptr && size > 0) {
        const std::size_t n = std::min<std::size_t>(text.size(), size - 1);
        std::memcpy(buf, text.data(), n);
        buf[n] = '\0';
    }
    return static_cast<std::uint32_t>(text.size());
}

std::int32_t KORVA_Abort(KorvaDispatch* control, std::uint32_t axes) {
    auto* instance = dynamic_cast<ControlInstance*>(control);
    return instance != nullptr && instance->Abort(axes) ? 1 : 0;
}
}
