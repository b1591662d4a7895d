#pragma once
// The control module libKORVAKT3002.so, loaded at run time, found by the
// search every host uses (korva::ControlModuleCandidates): $KORVA_MODULE,
// else the registration, else ../lib beside the program, else the dynamic
// loader's search path.
#include <memory>
#include <string>

#include "KorvaModule.h"
#include "SharedLibrary.h"

class QWidget;

namespace stagedesk {

class ControlModule {
  public:
    // Loads the module; on failure returns nullptr and says why in *error.
    static std::shared_ptr<ControlModule> Load(std::string* error);
    ~ControlModule() = default;  // unloads the module
    ControlModule(const ControlModule&) = delete;
    ControlModule& operator=(const ControlModule&) = delete;

    // A new control instance, or nullptr.
    KorvaDispatch* CreateInstance() const;
    // The control's widget face as a hidden child of parent, when the
    // module's widget library offers one; else nullptr.
    QWidget* CreateFace(QWidget* parent) const;
    const std::string& Path() const { return m_hModule.Path(); }

  private:
    explicit ControlModule(korva::SharedLibrary module);

    korva::SharedLibrary m_hModule;
    korva::SharedLibrary m_hUi;  // the control's widget library; closed before the module
    KORVA_CreateInstanceFn m_pCreate = nullptr;
    using CreateFaceFn = QWidget* (*)(QWidget* parent);
    CreateFaceFn m_pCreateFace = nullptr;
};

}  // namespace stagedesk
