#pragma once
// The module libKORVAKT3002.so seen from a host: self-registration, creating
// an instance by ProgID, and the instance's late-bound interface. A host
// dlopens the module, looks up the three C entry points and calls everything
// by dispatch id; it never links the control class.
//
//   void* mod = dlopen("libKORVAKT3002.so.1", RTLD_NOW);
//   auto create = reinterpret_cast<KORVA_CreateInstanceFn>(dlsym(mod, "KORVA_CreateInstance"));
//   KorvaDispatch* ctl = create(KORVA_PROGID_CONTROL);
//   korva::Variant ok;
//   ctl->Invoke(5 /* Connect */, korva::kInvokeMethod, {}, &ok);
//   ctl->Release();
#include <cstdint>
#include <span>

#include "Dispatch.h"

#define KORVA_PROGID_CONTROL "KORVAKT3002.KORVAKT3002Ctrl.1"
#define KORVA_PROGID_PROPPAGE "KORVAKT3002.KORVAKT3002PropPage.1"

// One instance of a control, reached by dispatch id. Calls on one instance may
// come from several threads (the GUI thread and the host's workers); the
// instance keeps its own state consistent. Release destroys the instance
// (closing its link if still open); the pointer is invalid afterwards.
class KorvaDispatch {
  public:
    // See korva::GetIDsOfNames.
    virtual korva::HRESULT GetIDsOfNames(std::span<const char* const> names,
                                         std::span<korva::DISPID> ids) = 0;
    // Calls member `id`. `args` are in the member's parameter order (first
    // parameter first, unlike the platform's reversed order). A by-reference
    // parameter takes either Variant::ByRef(&value), written through the
    // pointer, or a plain value (or Empty) that is replaced by the out value.
    // `result` may be nullptr. On an argument error, *argErr (when given) is
    // the index of the offending argument. Returns S_OK or a DISP_E_* code;
    // never throws.
    virtual korva::HRESULT Invoke(korva::DISPID id, std::uint16_t flags,
                                  std::span<korva::Variant> args, korva::Variant* result,
                                  unsigned* argErr = nullptr) = 0;
    // The type information of the default interface and of the event interface.
    virtual const korva::DispInterfaceInfo& GetTypeInfo() const = 0;
    virtual const korva::DispInterfaceInfo& GetEventTypeInfo() const = 0;
    virtual void Release() = 0;

  protected:
    virtual ~KorvaDispatch() = default;
};

extern "C" {

// Writes the registration entries (ProgIDs, type names, module path,
// threading model, misc status, type library version) into the registry file
// $XDG_DATA_HOME/korva/registry.ini (default ~/.local/share/korva/registry.ini).
// 0 on success, SELFREG_E_TYPELIB (0x80040200) or SELFREG_E_CLASS (0x80040201).
std::int32_t KORVA_DllRegisterServer();
// Removes what KORVA_DllRegisterServer wrote; same result codes.
std::int32_t KORVA_DllUnregisterServer();
// A new control for the ProgID "KORVAKT3002.KORVAKT3002Ctrl.1" (compared
// case-insensitively); nullptr for any other ProgID or nullptr.
KorvaDispatch* KORVA_CreateInstance(const char* progId);
// Copies the path of the registry file the two functions above use into
// buf (NUL-terminated, cut to size); returns the full length of the path.
std::uint32_t KORVA_RegistryPath(char* buf, std::uint32_t size);

// Linux addition: copies one line saying what the control's last failure was
// (the reason Connect failed, with the device and what to do; the text of the
// code GetErrorCode reports; "" after a success) into buf (NUL-terminated, cut
// to size); returns the full length. For an instance this module created.
std::uint32_t KORVA_ErrorText(KorvaDispatch* control, char* buf, std::uint32_t size);

// Linux addition, for a host that is shutting down (kt300ctl on Ctrl-C): ends
// the control's waiting exchange at once, refuses every further exchange
// (GetErrorCode 20012) until DisConnect, and writes the decelerating stop
// "StopSlow <axis>" for each axis bit set in axes (1 = X, 2 = Y, 4 = Z, 8 = T)
// without waiting for replies. Callable from any thread; 1 when every stop
// line went out, else 0.
std::int32_t KORVA_Abort(KorvaDispatch* control, std::uint32_t axes);

typedef std::int32_t (*KORVA_DllRegisterServerFn)();
typedef std::int32_t (*KORVA_DllUnregisterServerFn)();
typedef KorvaDispatch* (*KORVA_CreateInstanceFn)(const char* progId);
typedef std::uint32_t (*KORVA_RegistryPathFn)(char* buf, std::uint32_t size);
typedef std::uint32_t (*KORVA_ErrorTextFn)(KorvaDispatch* control, char* buf, std::uint32_t size);
typedef std::int32_t (*KORVA_AbortFn)(KorvaDispatch* control, std::uint32_t axes);
}
