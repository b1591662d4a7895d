#pragma once
// The control module libKORVAKT3002.so, loaded at run time. It is found
// through the registry entry that its self-registration wrote (when
// registered), else beside the program in ../lib (build and install trees),
// else by the dynamic loader's search path.
#include <memory>
#include <string>

#include "KorvaModule.h"

class QWidget;

namespace stagedesk {

class ControlModule {
  public:
    // Loads the module; on failure returns nullptr and says why in *error.
    static std::shared_ptr<ControlModule> Load(std::string* error);
    ~ControlModule();  // unloads the module
    ControlModule(const ControlModule&) = delete;
    ControlModule& operator=(const ControlModule&) = delete;

    // A new control instance, or nullptr.
    KorvaDispatch* CreateInstance() const;
    // The control's widget face as a hidden child of parent, when the
    // module's widget library offers one; else nullptr.
    QWidget* CreateFace(QWidget* parent) const;
    const std::string& Path() const { return m_path; }

    // The module path the registry names for the control's ProgID, or empty.
    static std::string RegisteredModulePath();

  private:
    ControlModule(void* handle, std::string path);

    void* m_hModule;
    std::string m_path;
    KORVA_CreateInstanceFn m_pCreate = nullptr;
    using CreateFaceFn = QWidget* (*)(QWidget* parent);
    void* m_hUi = nullptr;  // the control's widget library
    CreateFaceFn m_pCreateFace = nullptr;
};

}  // namespace stagedesk
