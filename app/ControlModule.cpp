#include "ControlModule.h"

#include <dlfcn.h>

#include <QWidget>
#include <cstdlib>
#include <filesystem>
#include <utility>
#include <vector>

#include "Ini.h"
#include "Trace.h"

namespace stagedesk {
namespace {

constexpr const char* kModuleSoname = "libKORVAKT3002.so.1";
constexpr const char* kModuleLink = "libKORVAKT3002.so";

// The control's widget library, beside the module, and its face entry point.
constexpr const char* kUiSoname = "libKORVAKT3002_ui.so.1";
constexpr const char* kCreateFaceSymbol = "KORVA_UiCreateControlWidget";

std::string RegistryFile() {
    // Where self-registration writes: $XDG_DATA_HOME (absolute values only),
    // else ~/.local/share.
    std::string base;
    if (const char* xdg = std::getenv("XDG_DATA_HOME"); xdg != nullptr && xdg[0] == '/') {
        base = xdg;
    } else {
        const char* home = std::getenv("HOME");
        base = std::string(home != nullptr && home[0] != '\0' ? home : "/tmp") + "/.local/share";
    }
    return base + "/korva/registry.ini";
}

}  // namespace

std::string ControlModule::RegisteredModulePath() {
    const std::string file = RegistryFile();
    if (file.empty() || !std::filesystem::exists(file)) return {};
    // Self-registration maps the ProgID to its class id, and the class id to
    // the module that serves it.
    const std::string clsid =
        korva::GetPrivateProfileString(KORVA_PROGID_CONTROL, "CLSID", "", 1000, file);
    if (clsid.empty()) return {};
    return korva::GetPrivateProfileString("CLSID\\" + clsid, "InprocServer", "", 4096, file);
}

std::shared_ptr<ControlModule> ControlModule::Load(std::string* error) {
    std::vector<std::string> candidates;
    if (std::string registered = RegisteredModulePath(); !registered.empty()) {
        candidates.push_back(registered);
    }
    const std::string libDir = korva::ProgramDirectory() + "../lib/";
    candidates.push_back(libDir + kModuleSoname);
    candidates.push_back(libDir + kModuleLink);
    candidates.push_back(kModuleSoname);  // the loader's search path

    std::string reasons;
    for (const std::string& path : candidates) {
        if (path.find('/') != std::string::npos && !std::filesystem::exists(path)) continue;
        void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (handle == nullptr) {
            const char* why = dlerror();
            reasons += path + ": " + (why ? why : "cannot load") + "\n";
            continue;
        }
        std::shared_ptr<ControlModule> module(new ControlModule(handle, path));
        if (module->m_pCreate != nullptr) {
            korva::Trace("stagedesk: control module %s\n", path.c_str());
            return module;
        }
        reasons += path + ": no KORVA_CreateInstance\n";
    }
    if (error != nullptr) {
        *error = "The control module " + std::string(kModuleSoname) + " was not found.\n" + reasons;
    }
    return nullptr;
}

ControlModule::ControlModule(void* handle, std::string path)
    : m_hModule(handle), m_path(std::move(path)) {
    m_pCreate = reinterpret_cast<KORVA_CreateInstanceFn>(dlsym(m_hModule, "KORVA_CreateInstance"));
    // The widget library is optional: without it the control has no face.
    const std::size_t slash = m_path.rfind('/');
    const std::string uiPath = slash == std::string::npos ? std::string(kUiSoname)
                                                          : m_path.substr(0, slash + 1) + kUiSoname;
    m_hUi = dlopen(uiPath.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (m_hUi != nullptr) {
        m_pCreateFace = reinterpret_cast<CreateFaceFn>(dlsym(m_hUi, kCreateFaceSymbol));
    } else {
        const char* why = dlerror();
        korva::Trace("stagedesk: no control face: %s\n", why ? why : uiPath.c_str());
    }
}

ControlModule::~ControlModule() {
    if (m_hUi != nullptr) dlclose(m_hUi);
    if (m_hModule != nullptr) dlclose(m_hModule);
}

KorvaDispatch* ControlModule::CreateInstance() const {
    return m_pCreate != nullptr ? m_pCreate(KORVA_PROGID_CONTROL) : nullptr;
}

QWidget* ControlModule::CreateFace(QWidget* parent) const {
    return m_pCreateFace != nullptr ? m_pCreateFace(parent) : nullptr;
}

}  // namespace stagedesk
