#pragma once
// Where self-registration of the control module is kept, and what it says.
// The registry is an INI file: $XDG_DATA_HOME/korva/registry.ini (an absolute
// value only), else ~/.local/share/korva/registry.ini. Registering writes it
// (control/); hosts read it to find the module (SharedLibrary.h).
#include <string>

#include "SharedLibrary.h"

namespace korva {

std::string RegistryFilePath();

// The module path registered for a ProgID (case-insensitive): the ProgID's
// CLSID, then that class's InprocServer. "" when not registered or when the
// file cannot be read (a FIFO or a directory in its place is refused).
std::string RegisteredModulePath(const std::string& progId,
                                 const std::string& registryFile = RegistryFilePath());

// Where every host looks for the control module, so stagedesk and kt300ctl
// load the same one: $KORVA_MODULE alone when set, else the module
// registered for progId, then libKORVAKT3002.so.1 and libKORVAKT3002.so in
// ../lib beside the program, then through the loader's search path.
std::vector<LibraryCandidate> ControlModuleCandidates(const std::string& progId);

}  // namespace korva
