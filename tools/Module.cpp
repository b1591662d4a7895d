#include "Module.h"

#include "RegistryFile.h"

namespace korva::tools {

bool ControlModule::Load(std::string* error) {
    std::string reasons;
    if (!LoadFirstLibrary(ControlModuleCandidates(KORVA_PROGID_CONTROL), {"KORVA_CreateInstance"},
                          RTLD_NOW | RTLD_LOCAL, &m_Library, &reasons)) {
        if (!reasons.empty() && reasons.back() == '\n') reasons.pop_back();
        if (error != nullptr) *error = reasons;
        return false;
    }
    m_Create = m_Library.Function<KORVA_CreateInstanceFn>("KORVA_CreateInstance");
    m_Register = m_Library.Function<KORVA_DllRegisterServerFn>("KORVA_DllRegisterServer");
    m_Unregister = m_Library.Function<KORVA_DllUnregisterServerFn>("KORVA_DllUnregisterServer");
    return true;
}

ControlPtr ControlModule::Create() const {
    if (m_Create == nullptr) return nullptr;
    return ControlPtr(m_Create(KORVA_PROGID_CONTROL));
}

std::int32_t ControlModule::Register() const {
    return m_Register != nullptr ? m_Register() : SELFREG_E_CLASS;
}

std::int32_t ControlModule::Unregister() const {
    return m_Unregister != nullptr ? m_Unregister() : SELFREG_E_CLASS;
}

}  // namespace korva::tools
