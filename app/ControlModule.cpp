#include "ControlModule.h"

#include <QWidget>
#include <utility>

#include "RegistryFile.h"
#include "Trace.h"

namespace stagedesk {
namespace {

constexpr const char* kModuleSoname = "libKORVAKT3002.so.1";

// The control's widget library, beside the module, and its face entry point.
constexpr const char* kUiSoname = "libKORVAKT3002_ui.so.1";
constexpr const char* kCreateFaceSymbol = "KORVA_UiCreateControlWidget";

}  // namespace

std::shared_ptr<ControlModule> ControlModule::Load(std::string* error) {
    korva::SharedLibrary module;
    std::string reasons;
    if (!korva::LoadFirstLibrary(korva::ControlModuleCandidates(KORVA_PROGID_CONTROL),
                                 {"KORVA_CreateInstance"}, RTLD_NOW | RTLD_LOCAL, &module,
                                 &reasons)) {
        if (error != nullptr) {
            *error =
                "The control module " + std::string(kModuleSoname) + " was not found.\n" + reasons;
        }
        return nullptr;
    }
    korva::Trace("stagedesk: control module %s\n", module.Path().c_str());
    return std::shared_ptr<ControlModule>(new ControlModule(std::move(module)));
}

ControlModule::ControlModule(korva::SharedLibrary module) : m_hModule(std::move(module)) {
    m_pCreate = m_hModule.Function<KORVA_CreateInstanceFn>("KORVA_CreateInstance");
    // The widget library is optional: without it the control has no face.
    const std::string& path = m_hModule.Path();
    const std::size_t slash = path.rfind('/');
    const std::string uiPath =
        slash == std::string::npos ? std::string(kUiSoname) : path.substr(0, slash + 1) + kUiSoname;
    std::string reasons;
    if (korva::LoadFirstLibrary({{uiPath, "beside the module"}}, {kCreateFaceSymbol},
                                RTLD_NOW | RTLD_LOCAL, &m_hUi, &reasons)) {
        m_pCreateFace = m_hUi.Function<CreateFaceFn>(kCreateFaceSymbol);
    } else {
        korva::Trace("stagedesk: no control face: %s", reasons.c_str());
    }
}

KorvaDispatch* ControlModule::CreateInstance() const {
    return m_pCreate != nullptr ? m_pCreate(KORVA_PROGID_CONTROL) : nullptr;
}

QWidget* ControlModule::CreateFace(QWidget* parent) const {
    return m_pCreateFace != nullptr ? m_pCreateFace(parent) : nullptr;
}

}  // namespace stagedesk
