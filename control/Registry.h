#pragma once
// Self-registration of the control module. The registry is an INI file
// ($XDG_DATA_HOME/korva/registry.ini, default ~/.local/share/korva/registry.ini)
// holding what registering an automation control writes: the type library,
// its interfaces, the two classes (control and property page) with their
// ProgIDs, type names, module path, threading model and misc status. Layout:
//
//   [TypeLib\{LIBID}\1.0]      Name, Path, Interfaces
//   [Interface\{IID}]          Name, TypeLib, Version          (two interfaces)
//   [CLSID\{CLSID}]            Name, ProgID, InprocServer, ThreadingModel,
//                              and for the control: Control, MiscStatus,
//                              ToolboxBitmap, TypeLib, Version
//   [<ProgID>]                 Name, CLSID                      (two ProgIDs)
#include <string>

#include "Dispatch.h"
#include "RegistryFile.h"

namespace korva {

inline constexpr const char* kProgIdControl = "KORVAKT3002.KORVAKT3002Ctrl.1";
inline constexpr const char* kProgIdPropPage = "KORVAKT3002.KORVAKT3002PropPage.1";
inline constexpr const char* kTypeNameControl = "KORVAKT3002 Control";
inline constexpr const char* kTypeNamePropPage = "KORVAKT3002 Property Page";
inline constexpr const char* kClsidControl = "{AA438FB6-0BE4-4EC6-B788-B8A76E6B9C82}";
inline constexpr const char* kClsidPropPage = "{D4706AC1-33EF-444D-AAD1-90E39BC454DC}";
inline constexpr const char* kLibid = "{148A773A-5241-4249-954E-5251FFEB0D08}";
inline constexpr const char* kIidDispatch = "{03642E91-C72F-4BF3-8721-7383F7A8CC0B}";
inline constexpr const char* kIidEvents = "{01E00CF4-CE43-4527-AA7F-C361301B92F0}";
inline constexpr unsigned kMiscStatus = 0x20191;
inline constexpr const char* kTypeLibVersion = "1.0";

// 0, SELFREG_E_TYPELIB when the type library entries cannot be written,
// SELFREG_E_CLASS when the class entries cannot. Creates the folder.
HRESULT RegisterControlModule(const std::string& modulePath, const std::string& registryFile);
// Removes every entry RegisterControlModule writes; entries already absent
// are not an error. Same result codes.
HRESULT UnregisterControlModule(const std::string& registryFile);

}  // namespace korva
