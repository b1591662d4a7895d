#include "RegistryFile.h"

#include <cstdlib>

#include "Ini.h"

namespace korva {

std::string RegistryFilePath() {
    return XdgBaseDirectory("XDG_DATA_HOME", ".local/share") + "korva/registry.ini";
}

std::string RegisteredModulePath(const std::string& progId, const std::string& registryFile) {
    const std::string clsid = GetPrivateProfileString(progId, "CLSID", "", 4096, registryFile);
    if (clsid.empty()) return {};
    return GetPrivateProfileString("CLSID\\" + clsid, "InprocServer", "", 4096, registryFile);
}

std::vector<LibraryCandidate> ControlModuleCandidates(const std::string& progId) {
    LibrarySearch search;
    search.envVar = "KORVA_MODULE";
    // Looked up only when no explicit choice is made, so a damaged registry
    // cannot stand in its way.
    const char* chosen = std::getenv(search.envVar.c_str());
    if (chosen == nullptr || chosen[0] == '\0')
        search.registeredPath = RegisteredModulePath(progId);
    search.names = {"libKORVAKT3002.so.1", "libKORVAKT3002.so"};
    return LibraryCandidates(search);
}

}  // namespace korva
