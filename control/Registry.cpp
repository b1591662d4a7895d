#include "Registry.h"

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string_view>
#include <vector>

#include "Files.h"
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

// A registry is a few dozen lines; anything near this is not one.
constexpr std::size_t kMaxRegistryBytes = 16 * 1024 * 1024;

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
// file is replaced in one piece; a missing file has nothing to remove.
bool RemoveSections(const std::string& file, const std::vector<std::string>& sections) {
    std::string content;
    std::string error;
    switch (ReadRegularFile(file, kMaxRegistryBytes, &content, &error)) {
        case FileRead::kMissing:
            return true;
        case FileRead::kFailed:
            Trace("KORVAKT3002: %s\n", error.c_str());
            return false;
        case FileRead::kRead:
            break;
    }
    std::string kept;
    bool dropping = false;
    bool changed = false;
    std::size_t pos = 0;
    while (pos < content.size()) {
        std::size_t nl = content.find('\n', pos);
        const std::size_t end = nl == std::string::npos ? content.size() : nl;
        const std::string_view line = std::string_view(content).substr(pos, end - pos);
        pos = nl == std::string::npos ? content.size() : nl + 1;
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
        kept.append(line);
        kept += '\n';
    }
    if (!changed) return true;
    if (!ReplaceFile(file, kept, &error)) {
        Trace("KORVAKT3002: %s\n", error.c_str());
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

}  // namespace korva
