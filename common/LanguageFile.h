#pragma once
// Language texts: INI files in the "Language" folder, each naming its
// language in a section of its own deliverable; a settings file names the
// default language. The "String" section of the selected file is indexed
// once per load of the file; a lookup checks whether the file changed on disk
// (a stat) and re-reads it only then, so an edited language file still takes
// effect at the next lookup without a restart.
#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <unordered_map>

namespace korva {

// What differs between the deliverables that use language files.
struct LanguageFileConfig {
    std::string settingsFileName;  // beside the program (see SettingsFilePath)
    std::string namingSection;     // names the language, in the settings and language files
    bool recordSelection;          // write the selected name back to the settings file
};

// stagedesk: "setting.ini", section "Setting", the selection is remembered.
LanguageFileConfig StagedeskLanguageConfig();
// The control module: "kt300ocxsetting.ini", section "KT300OCXSetting",
// the settings file is only read.
LanguageFileConfig ControlLanguageConfig();

// A dialog as ApplyDialogTexts sees it: a caption and its direct children in
// creation order, each with its 16-bit control id. Keeps the lookup free of
// any toolkit; common/qt adapts a QWidget.
class DialogTextTarget {
  public:
    virtual ~DialogTextTarget() = default;
    virtual void SetCaption(const std::string& text) = 0;
    virtual std::size_t ChildCount() const = 0;
    virtual std::uint16_t ChildControlId(std::size_t index) const = 0;
    virtual void SetChildText(std::size_t index, const std::string& text) = 0;
};

// One object may be used from several threads (a worker looking up a message
// while the user switches the language); each call sees a consistent state.
class CLanguageFile {
  public:
    explicit CLanguageFile(LanguageFileConfig config);
    CLanguageFile(const CLanguageFile&) = delete;
    CLanguageFile& operator=(const CLanguageFile&) = delete;

    // Where to look instead of the program's own folders (tests, hosts that
    // keep the files elsewhere). Empty restores the default.
    void SetLanguageDirectory(const std::string& directory);
    void SetSettingsFile(const std::string& path);

    // Fills the program directory and the settings file path, then selects
    // wantedName (empty: the name the settings file gives, default "English").
    // Returns, and remembers, whether a language file was found.
    bool Load(const std::string& wantedName = std::string());

    // Selects the first file of the Language folder, in directory order, whose
    // naming section's "Language" value equals name byte for byte. Unknown
    // name: the previous file stays in use and the name becomes "Default".
    bool SelectLanguage(const std::string& name);

    // Section "String" of the selected file; "Not found" when absent. The two
    // characters backslash-n become a line break.
    std::string GetText(const std::string& key) const;

    // Caption from "IDD<template>_Title", each child's text from
    // "IDD<template>_<control id>"; empty or absent values change nothing.
    // Texts are used as they stand. Returns the caption text (empty when absent).
    std::string ApplyDialogTexts(DialogTextTarget& dialog, int templateId) const;

    std::string ProgramDirectory() const;
    std::string SettingsFile() const;
    // The wanted name after the last selection ("Default" when none matched).
    std::string LanguageName() const;
    // Empty until a selection succeeds.
    std::string LanguageFile() const;
    // The result of the last Load.
    bool Found() const;

  private:
    void FillPathsLocked();
    // The text of key in section "String" of the selected file, cut to the
    // lookup buffer; false when absent.
    bool FindText(const std::string& key, std::string* text) const;

    // The selected file's "String" section, keys in lower case (lookups
    // ignore ASCII letter case), and what identified the file when read.
    struct TextIndex {
        std::string path;
        dev_t device = 0;
        ino_t inode = 0;
        off_t size = -1;
        long long modifiedNs = -1;
        std::unordered_map<std::string, std::string> texts;
    };
    mutable std::mutex m_indexLock;  // never taken while m_lock is held, nor the reverse
    mutable TextIndex m_index;

    mutable std::mutex m_lock;
    LanguageFileConfig m_config;
    std::string m_languageDirectoryOverride;
    std::string m_settingsFileOverride;
    std::string m_programDirectory;
    std::string m_settingsFile;
    std::string m_languageName;
    std::string m_languageFile;
    bool m_found = false;
};

}  // namespace korva
