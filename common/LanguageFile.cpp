#include "LanguageFile.h"

#include <sys/stat.h>

#include <filesystem>
#include <system_error>
#include <utility>

#include "Ini.h"
#include "Trace.h"

namespace korva {
namespace {

constexpr std::size_t kTextBufferSize = 1000;
const char kTextSection[] = "String";
const char kNameKey[] = "Language";
const char kDefaultName[] = "English";
const char kNotFound[] = "Not found";

bool HasIniExtension(const std::filesystem::path& path) {
    std::string ext = path.extension().string();
    if (ext.size() != 4 || ext[0] != '.') return false;
    // "*.ini" matches without regard to letter case, as the folder's files
    // may come from a system where names ignore case.
    for (std::size_t i = 1; i < 4; ++i) {
        char c = ext[i];
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        if (c != "ini"[i - 1]) return false;
    }
    return true;
}

std::string WithSlash(std::string dir) {
    if (!dir.empty() && dir.back() != '/') dir += '/';
    return dir;
}

}  // namespace

LanguageFileConfig StagedeskLanguageConfig() {
    return {"setting.ini", "Setting", true};
}

LanguageFileConfig ControlLanguageConfig() {
    return {"kt300ocxsetting.ini", "KT300OCXSetting", false};
}

CLanguageFile::CLanguageFile(LanguageFileConfig config) : m_config(std::move(config)) {}

void CLanguageFile::SetLanguageDirectory(const std::string& directory) {
    std::lock_guard<std::mutex> guard(m_lock);
    m_languageDirectoryOverride = directory.empty() ? std::string() : WithSlash(directory);
}

void CLanguageFile::SetSettingsFile(const std::string& path) {
    std::lock_guard<std::mutex> guard(m_lock);
    m_settingsFileOverride = path;
    m_settingsFile.clear();
}

void CLanguageFile::FillPathsLocked() {
    if (m_programDirectory.empty()) m_programDirectory = korva::ProgramDirectory();
    if (m_settingsFile.empty()) {
        m_settingsFile = m_settingsFileOverride.empty()
                             ? korva::SettingsFilePath(m_config.settingsFileName)
                             : m_settingsFileOverride;
    }
}

bool CLanguageFile::Load(const std::string& wantedName) {
    {
        std::lock_guard<std::mutex> guard(m_lock);
        m_programDirectory.clear();
        m_settingsFile.clear();
        FillPathsLocked();
    }
    bool found = SelectLanguage(wantedName);
    std::lock_guard<std::mutex> guard(m_lock);
    m_found = found;
    return found;
}

bool CLanguageFile::SelectLanguage(const std::string& name) {
    std::lock_guard<std::mutex> guard(m_lock);
    FillPathsLocked();
    std::string wanted = name;
    if (wanted.empty()) {
        wanted = GetPrivateProfileString(m_config.namingSection, kNameKey, kDefaultName,
                                         kTextBufferSize, m_settingsFile);
    }

    std::string directory = m_languageDirectoryOverride.empty() ? korva::LanguageDirectory()
                                                                : m_languageDirectoryOverride;
    std::string match;
    std::error_code ec;
    std::filesystem::directory_iterator it(directory, ec);
    if (ec) Trace("language: cannot list %s: %s\n", directory.c_str(), ec.message().c_str());
    // Directory order, first match wins: the order the file system returns.
    for (; !ec && it != std::filesystem::directory_iterator(); it.increment(ec)) {
        std::error_code typeError;
        if (!it->is_regular_file(typeError) || !HasIniExtension(it->path())) continue;
        std::string path = directory + it->path().filename().string();
        std::string value =
            GetPrivateProfileString(m_config.namingSection, kNameKey, "", kTextBufferSize, path);
        if (!value.empty() && value == wanted) {
            match = path;
            break;
        }
    }
    if (ec) Trace("language: listing %s stopped: %s\n", directory.c_str(), ec.message().c_str());

    bool found = !match.empty();
    if (found) {
        m_languageFile = match;
    } else {
        // The previously selected file, if any, stays in use.
        wanted = "Default";
    }
    m_languageName = wanted;
    if (m_config.recordSelection &&
        !WritePrivateProfileString(m_config.namingSection, kNameKey, wanted, m_settingsFile)) {
        Trace("language: cannot record the language in %s\n", m_settingsFile.c_str());
    }
    return found;
}

namespace {
std::string LowerAscii(std::string s) {
    for (char& c : s) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return s;
}
}  // namespace

bool CLanguageFile::FindText(const std::string& key, std::string* text) const {
    const std::string file = LanguageFile();
    struct stat st {};
    const bool present = !file.empty() && ::stat(file.c_str(), &st) == 0;
    std::lock_guard<std::mutex> guard(m_indexLock);
    if (!present) {
        m_index = TextIndex{};
        return false;
    }
    const long long modified =
        static_cast<long long>(st.st_mtim.tv_sec) * 1000000000LL + st.st_mtim.tv_nsec;
    if (m_index.path != file || m_index.device != st.st_dev || m_index.inode != st.st_ino ||
        m_index.size != st.st_size || m_index.modifiedNs != modified) {
        // Read once per change of the file, not once per text.
        TextIndex index;
        index.path = file;
        index.device = st.st_dev;
        index.inode = st.st_ino;
        index.size = st.st_size;
        index.modifiedNs = modified;
        std::string content;
        if (ReadProfileFile(file, &content)) {
            for (auto& [k, v] : ProfileSectionEntries(content, kTextSection)) {
                index.texts.emplace(LowerAscii(k), std::move(v));  // the first one wins
            }
        }
        m_index = std::move(index);
    }
    const auto it = m_index.texts.find(LowerAscii(key));
    if (it == m_index.texts.end()) return false;
    *text = CutToBufferSize(it->second, kTextBufferSize);
    return true;
}

std::string CLanguageFile::GetText(const std::string& key) const {
    std::string text;
    if (!FindText(key, &text)) text = CutToBufferSize(kNotFound, kTextBufferSize);
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\\' && i + 1 < text.size() && text[i + 1] == 'n') {
            out += '\n';
            ++i;
        } else {
            out += text[i];
        }
    }
    return out;
}

std::string CLanguageFile::ApplyDialogTexts(DialogTextTarget& dialog, int templateId) const {
    std::string prefix = "IDD" + std::to_string(templateId) + "_";
    std::string caption;
    FindText(prefix + "Title", &caption);
    if (!caption.empty()) dialog.SetCaption(caption);
    for (std::size_t i = 0; i < dialog.ChildCount(); ++i) {
        unsigned id = dialog.ChildControlId(i);
        std::string text;
        FindText(prefix + std::to_string(id), &text);
        if (!text.empty()) dialog.SetChildText(i, text);
    }
    return caption;
}

std::string CLanguageFile::ProgramDirectory() const {
    std::lock_guard<std::mutex> guard(m_lock);
    return m_programDirectory;
}

std::string CLanguageFile::SettingsFile() const {
    std::lock_guard<std::mutex> guard(m_lock);
    return m_settingsFile;
}

std::string CLanguageFile::LanguageName() const {
    std::lock_guard<std::mutex> guard(m_lock);
    return m_languageName;
}

std::string CLanguageFile::LanguageFile() const {
    std::lock_guard<std::mutex> guard(m_lock);
    return m_languageFile;
}

bool CLanguageFile::Found() const {
    std::lock_guard<std::mutex> guard(m_lock);
    return m_found;
}

}  // namespace korva
