#include "Registry.h"

#include <cerrno>
#include <cstdio>
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
                  file.c_str(), ErrnoText(errno).c_str());
            return false;
        }
    }
    return true;
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
    if (!RemoveProfileSections(content, sections)) return true;
    if (!ReplaceFile(file, content, &error)) {
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
