#include "RegistryFile.h"

#include <cstdlib>

#include "Ini.h"

namespace korva {

std::string RegistryFilePath() {
    const char* xdg = std::getenv("XDG_DATA_HOME");
    std::string base;
    if (xdg != nullptr && xdg[0] == '/') {  // relative values are to be ignored
        base = xdg;
    } else {
        const char* home = std::getenv("HOME");
        base = std::string(home != nullptr && home[0] != '\0' ? home : "/tmp") + "/.local/share";
    }
    return base + "/korva/registry.ini";
}

std::string RegisteredModulePath(const std::string& progId, const std::string& registryFile) {
    const std::string clsid = GetPrivateProfileString(progId, "CLSID", "", 4096, registryFile);
    if (clsid.empty()) return {};
    return GetPrivateProfileString("CLSID\\" + clsid, "InprocServer", "", 4096, registryFile);
}

}  // namespace korva
