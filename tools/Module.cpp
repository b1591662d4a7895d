#include "Module.h"

#include <dlfcn.h>

#include <cstdlib>
#include <vector>

#include "Ini.h"

namespace korva::tools {

namespace {
constexpr const char* kModuleName = "libKORVAKT3002.so";
}

ControlModule::~ControlModule() {
    if (m_Handle != nullptr) dlclose(m_Handle);
}

bool ControlModule::Load(std::string* error) {
    std::vector<std::string> candidates;
    const char* env = std::getenv("KORVA_MODULE");
    if (env != nullptr && *env != '\0') {
        candidates.emplace_back(env);  // an explicit choice: no fallback behind the user's back
    } else {
        candidates.push_back(ProgramDirectory() + "../lib/" + kModuleName);
        candidates.emplace_back(kModuleName);
    }
    std::string messages;
    for (const std::string& path : candidates) {
        void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (handle == nullptr) {
            const char* why = dlerror();
            if (!messages.empty()) messages += "; ";
            messages += why ? why : path + ": cannot be loaded";
            continue;
        }
        auto create =
            reinterpret_cast<KORVA_CreateInstanceFn>(dlsym(handle, "KORVA_CreateInstance"));
        if (create == nullptr) {
            const char* why = dlerror();
            if (!messages.empty()) messages += "; ";
            messages += path + ": " + (why ? why : "KORVA_CreateInstance missing");
            dlclose(handle);
            continue;
        }
        m_Handle = handle;
        m_Path = path;
        m_Create = create;
        m_Register =
            reinterpret_cast<KORVA_DllRegisterServerFn>(dlsym(handle, "KORVA_DllRegisterServer"));
        m_Unregister = reinterpret_cast<KORVA_DllUnregisterServerFn>(
            dlsym(handle, "KORVA_DllUnregisterServer"));
        return true;
    }
    if (error != nullptr) *error = messages;
    return false;
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
