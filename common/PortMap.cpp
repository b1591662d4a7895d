#include "PortMap.h"

#include <cstdlib>
#include <mutex>

#include "Ini.h"

namespace korva {
namespace {
std::mutex g_lock;
std::string g_settingsFile;  // empty: the control module's settings file
}  // namespace

void SetPortMapSettingsFile(const std::string& path) {
    std::lock_guard<std::mutex> guard(g_lock);
    g_settingsFile = path;
}

std::string PortDevicePath(unsigned portNr) {
    if (portNr < 1 || portNr > 255) return {};
    const std::string n = std::to_string(portNr);
    const char* env = std::getenv(("KORVA_COM" + n).c_str());
    if (env != nullptr && *env != '\0') return env;
    std::string file;
    {
        std::lock_guard<std::mutex> guard(g_lock);
        file = g_settingsFile;
    }
    if (file.empty()) file = SettingsFilePath("kt300ocxsetting.ini");
    std::string device = GetPrivateProfileString("Ports", "COM" + n, "", 4096, file);
    if (!device.empty()) return device;
    return "/dev/ttyS" + std::to_string(portNr - 1);
}

}  // namespace korva
