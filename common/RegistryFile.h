#pragma once
// Where self-registration of the control module is kept, and what it says.
// The registry is an INI file: $XDG_DATA_HOME/korva/registry.ini (an absolute
// value only), else ~/.local/share/korva/registry.ini. Registering writes it
// (control/); hosts read it to find the module (SharedLibrary.h).
#include <string>

namespace korva {

std::string RegistryFilePath();

// The module path registered for a ProgID (case-insensitive): the ProgID's
// CLSID, then that class's InprocServer. "" when not registered or when the
// file cannot be read (a FIFO or a directory in its place is refused).
std::string RegisteredModulePath(const std::string& progId,
                                 const std::string& registryFile = RegistryFilePath());

}  // namespace korva
