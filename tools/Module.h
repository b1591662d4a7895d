#pragma once
// The control module loaded at run time, and control instances made from it.
// kt300ctl never links the control: it sees only the module's C entry points
// and the late-bound interface, like any other automation host.
#include <memory>
#include <string>

#include "KorvaModule.h"
#include "SharedLibrary.h"

namespace korva::tools {

struct ReleaseControl {
    void operator()(KorvaDispatch* control) const {
        if (control != nullptr) control->Release();
    }
};
using ControlPtr = std::unique_ptr<KorvaDispatch, ReleaseControl>;

class ControlModule {
  public:
    ControlModule() = default;
    ~ControlModule() = default;
    ControlModule(const ControlModule&) = delete;
    ControlModule& operator=(const ControlModule&) = delete;

    // The module found by korva::ControlModuleCandidates (the same search
    // as stagedesk's). False with every candidate and its refusal in *error.
    bool Load(std::string* error);
    const std::string& Path() const { return m_Library.Path(); }

    // nullptr when the module does not make the control.
    ControlPtr Create() const;
    // The self-registration entry points; their result code.
    bool HasRegistration() const { return m_Register != nullptr && m_Unregister != nullptr; }
    std::int32_t Register() const;
    std::int32_t Unregister() const;

  private:
    SharedLibrary m_Library;
    KORVA_CreateInstanceFn m_Create = nullptr;
    KORVA_DllRegisterServerFn m_Register = nullptr;
    KORVA_DllUnregisterServerFn m_Unregister = nullptr;
};

}  // namespace korva::tools
