#include "Registry.h"

#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string_view>
#include <vector>

#include "Ini.h"
#include "Trace.h"

namespace korva {
namespace {

std::string TypeLibSection() {
    return std::string("TypeLib\\") + kLibid + "\\" + kTypeLibVersion;
}
std::string InterfaceSection(const char* iid) {
    return std::string("Interface\\") + iid;
}
std::string ClassSection(const char* clsid) {
    return std::string("CLSID\\") + clsid;
}

struct Key {
    std::string section, key, value;
};

bool WriteAll(const std::vector<Key>& keys, const std::string& file) {
    for (const Key& k : keys) {
        if (!WritePrivateProfileString(k.section, k.key, k.value, file)) {
            Trace("KORVAKT3002: cannot write [%s] %s to %s: %s\n", k.section.c_str(), k.key.c_str(),
                  file.c_str(), std::strerror(errno));
            return false;
        }
    }
    return true;
}

bool SameName(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(a[i])) !=
            std::tolower(static_cast<unsigned char>(b[i]))) {
            return false;
        }
    }
    return true;
}

std::string_view Trimmed(std::string_view s) {
    while (!s.empty() && std::isspace(static_cast<unsigned char>(s.front()))) s.remove_prefix(1);
    while (!s.empty() && std::isspace(static_cast<unsigned char>(s.back()))) s.remove_suffix(1);
    return s;
}

// Drops the named sections (header and keys) and keeps every other line. The
// file is replaced atomically; a missing file has nothing to remove.
bool RemoveSections(const std::string& file, const std::vector<std::string>& sections) {
    std::error_code ec;
    if (!std::filesystem::exists(file, ec)) return !ec;
    std::ifstream in(file, std::ios::binary);
    if (!in) {
        Trace("KORVAKT3002: cannot open %s: %s\n", file.c_str(), std::strerror(errno));
        return false;
    }
    std::ostringstream kept;
    std::string line;
    bool dropping = false;
    bool changed = false;
    while (std::getline(in, line)) {
        std::string_view t = Trimmed(line);
        if (t.size() >= 2 && t.front() == '[') {
            const std::size_t close = t.find(']');
            const std::string_view name =
                Trimmed(t.substr(1, close == std::string_view::npos ? t.size() - 1 : close - 1));
            dropping = false;
            for (const std::string& s : sections) dropping = dropping || SameName(name, s);
        }
        if (dropping) {
            changed = true;
            continue;
        }
        kept << line << '\n';
    }
    if (in.bad()) {
        Trace("KORVAKT3002: cannot read %s: %s\n", file.c_str(), std::strerror(errno));
        return false;
    }
    in.close();
    if (!changed) return true;
    const std::string temp = file + ".tmp";
    {
        std::ofstream out(temp, std::ios::binary | std::ios::trunc);
        out << kept.str();
        out.flush();
        if (!out) {
            Trace("KORVAKT3002: cannot write %s: %s\n", temp.c_str(), std::strerror(errno));
            std::remove(temp.c_str());
            return false;
        }
    }
    if (std::rename(temp.c_str(), file.c_str()) != 0) {
        Trace("KORVAKT3002: cannot replace %s: %s\n", file.c_str(), std::strerror(errno));
        std::remove(temp.c_str());
        return false;
    }
    return true;
}

bool EnsureFolder(const std::string& file) {
    const std::filesystem::path folder = std::filesystem::path(file).parent_path();
    if (folder.empty()) return true;
    std::error_code ec;
    std::filesystem::create_directories(folder, ec);
    if (ec) {
        Trace("KORVAKT3002: cannot create %s: %s\n", folder.c_str(), ec.message().c_str());
        return false;
    }
    return true;
}

}  // namespace

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

HRESULT RegisterControlModule(const std::string& modulePath, const std::string& registryFile) {
    const std::string lib = TypeLibSection();
    const std::vector<Key> typeLib = {
        {lib, "Name", "KORVAKT3002 ActiveX Control module"},
        {lib, "Path", modulePath},
        {lib, "Interfaces", "_DKORVAKT3002,_DKORVAKT3002Events"},
        {InterfaceSection(kIidDispatch), "Name", "_DKORVAKT3002"},
        {InterfaceSection(kIidDispatch), "TypeLib", kLibid},
        {InterfaceSection(kIidDispatch), "Version", kTypeLibVersion},
        {InterfaceSection(kIidEvents), "Name", "_DKORVAKT3002Events"},
        {InterfaceSection(kIidEvents), "TypeLib", kLibid},
        {InterfaceSection(kIidEvents), "Version", kTypeLibVersion},
    };
    char misc[16];
    std::snprintf(misc, sizeof misc, "0x%X", kMiscStatus);
    const std::string ctl = ClassSection(kClsidControl);
    const std::string page = ClassSection(kClsidPropPage);
    const std::vector<Key> classes = {
        {ctl, "Name", kTypeNameControl},
        {ctl, "ProgID", kProgIdControl},
        {ctl, "InprocServer", modulePath},
        {ctl, "ThreadingModel", "Apartment"},
        {ctl, "Control", "1"},
        {ctl, "MiscStatus", misc},
        {ctl, "ToolboxBitmap", modulePath + ",1"},
        {ctl, "TypeLib", kLibid},
        {ctl, "Version", kTypeLibVersion},
        {kProgIdControl, "Name", kTypeNameControl},
        {kProgIdControl, "CLSID", kClsidControl},
        {page, "Name", kTypeNamePropPage},
        {page, "ProgID", kProgIdPropPage},
        {page, "InprocServer", modulePath},
        {page, "ThreadingModel", "Apartment"},
        {kProgIdPropPage, "Name", kTypeNamePropPage},
        {kProgIdPropPage, "CLSID", kClsidPropPage},
    };
    if (!EnsureFolder(registryFile) || !WriteAll(typeLib, registryFile)) return SELFREG_E_TYPELIB;
    if (!WriteAll(classes, registryFile)) return SELFREG_E_CLASS;
    return S_OK;
}

HRESULT UnregisterControlModule(const std::string& registryFile) {
    if (!RemoveSections(registryFile, {TypeLibSection(), InterfaceSection(kIidDispatch),
                                       InterfaceSection(kIidEvents)})) {
        return SELFREG_E_TYPELIB;
    }
    if (!RemoveSections(registryFile, {ClassSection(kClsidControl), ClassSection(kClsidPropPage),
                                       kProgIdControl, kProgIdPropPage})) {
        return SELFREG_E_CLASS;
    }
    return S_OK;
}

std::string RegisteredModulePath(const std::string& progId, const std::string& registryFile) {
    const std::string clsid = GetPrivateProfileString(progId, "CLSID", "", 4096, registryFile);
    if (clsid.empty()) return {};
    return GetPrivateProfileString("CLSID\\" + clsid, "InprocServer", "", 4096, registryFile);
}

}  // namespace korva
