// The shipped language files against Language/keys.txt: every key the
// programs look up is present, non-empty, in every file of its deliverable.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "Ini.h"
#include "LanguageFile.h"
#include "TempDir.h"

namespace korva {
namespace {

using test::ReadBytes;
using test::TempDir;
using test::WriteBytes;

const std::string kSourceDir = KORVA_LANGUAGE_SOURCE_DIR;

struct Deliverable {
    std::string name;
    std::string section;
    std::vector<std::pair<std::string, std::string>> files;  // file, language name
    int gridColumns = 0;
    std::vector<std::string> keys;
};

std::vector<Deliverable> ParseKeyList(const std::string& text) {
    std::vector<Deliverable> out;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream words(line);
        std::string first;
        if (!(words >> first) || first[0] == '#') continue;
        if (first.front() == '[' && first.back() == ']') {
            out.push_back({first.substr(1, first.size() - 2), "", {}, 0, {}});
            continue;
        }
        if (out.empty()) continue;
        Deliverable& d = out.back();
        if (first == "@section") {
            words >> d.section;
        } else if (first == "@file") {
            std::string file, name;
            words >> file >> name;
            d.files.emplace_back(file, name);
        } else if (first == "@grid-columns") {
            words >> d.gridColumns;
        } else {
            d.keys.push_back(first);
        }
    }
    return out;
}

// Keys of section [String] as they stand in the file, for the reverse check.
std::set<std::string> StringKeys(const std::string& content) {
    std::set<std::string> keys;
    std::istringstream in(content);
    std::string line;
    bool inString = false;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (!line.empty() && line[0] == '[') {
            inString = line == "[String]";
            continue;
        }
        std::size_t eq = line.find('=');
        if (inString && eq != std::string::npos && line[0] != ';') keys.insert(line.substr(0, eq));
    }
    return keys;
}

int GridColumns(const std::string& format) {
    int columns = 1;
    for (char c : format) columns += c == '|';
    return columns;
}

// Every way a language file can fall short of its deliverable's list.
std::vector<std::string> Problems(const Deliverable& d, const std::string& file,
                                  const std::string& languageName) {
    std::vector<std::string> problems;
    const std::string absent =
        "\x01"
        "absent";
    if (GetPrivateProfileString(d.section, "Language", "", 1000, file) != languageName) {
        problems.push_back("[" + d.section + "] Language is not " + languageName);
    }
    for (const std::string& key : d.keys) {
        std::string value = GetPrivateProfileString("String", key, absent, 1000, file);
        if (value == absent) {
            problems.push_back("missing " + key);
        } else if (value.empty()) {
            problems.push_back("empty " + key);
        }
    }
    std::set<std::string> listed(d.keys.begin(), d.keys.end());
    for (const std::string& key : StringKeys(ReadBytes(file))) {
        if (!listed.count(key)) problems.push_back("not in keys.txt: " + key);
    }
    std::string grid = GetPrivateProfileString("String", "IDS_INIT_GRID", "", 1000, file);
    if (GridColumns(grid) != d.gridColumns) {
        problems.push_back("IDS_INIT_GRID has " + std::to_string(GridColumns(grid)) + " columns");
    }
    std::istringstream titles(grid);
    std::string title;
    while (std::getline(titles, title, '|')) {
        if (title.size() < 2 || title[0] != '^') problems.push_back("grid title " + title);
    }
    return problems;
}

std::vector<Deliverable> LoadKeyList() {
    return ParseKeyList(ReadBytes(kSourceDir + "/keys.txt"));
}

TEST(LanguageKeys, ListCoversBothDeliverables) {
    auto list = LoadKeyList();
    ASSERT_EQ(list.size(), 2u);
    std::map<std::string, const Deliverable*> byName;
    for (const auto& d : list) byName[d.name] = &d;
    ASSERT_TRUE(byName.count("stagedesk") && byName.count("control"));
    EXPECT_EQ(byName["stagedesk"]->section, "Setting");
    EXPECT_EQ(byName["control"]->section, "KT300OCXSetting");
    EXPECT_EQ(byName["stagedesk"]->gridColumns, 19);
    EXPECT_EQ(byName["control"]->gridColumns, 17);
    // Every dialog template each deliverable builds has its caption key.
    for (int t : {100, 137, 138, 141, 149, 157}) {
        const auto& keys = byName["stagedesk"]->keys;
        EXPECT_NE(std::find(keys.begin(), keys.end(), "IDD" + std::to_string(t) + "_Title"),
                  keys.end())
            << t;
    }
    for (int t : {201, 203, 204, 206, 208, 210, 212, 214, 216, 218}) {
        const auto& keys = byName["control"]->keys;
        EXPECT_NE(std::find(keys.begin(), keys.end(), "IDD" + std::to_string(t) + "_Title"),
                  keys.end())
            << t;
    }
}

TEST(LanguageKeys, EveryShippedFileHoldsEveryKey) {
    for (const Deliverable& d : LoadKeyList()) {
        ASSERT_FALSE(d.keys.empty()) << d.name;
        ASSERT_EQ(d.files.size(), 2u) << d.name;
        for (const auto& [file, name] : d.files) {
            std::string path = kSourceDir + "/" + file;
            ASSERT_TRUE(std::filesystem::exists(path)) << path;
            EXPECT_EQ(Problems(d, path, name), std::vector<std::string>()) << path;
            // One naming section per file, so the deliverables never pick
            // each other's files.
            for (const char* other : {"Setting", "KT300OCXSetting"}) {
                if (d.section == other) continue;
                EXPECT_EQ(GetPrivateProfileString(other, "Language", "", 100, path), "") << path;
            }
        }
    }
}

TEST(LanguageKeys, CheckerCatchesAnIncompleteFile) {
    auto list = LoadKeyList();
    ASSERT_FALSE(list.empty());
    const Deliverable& d = list[0];
    const std::string& file = d.files[0].first;
    std::string content = ReadBytes(kSourceDir + "/" + file);
    // Drop the first listed key, blank the last, add one nobody looks up.
    const std::string& dropped = d.keys.front();
    const std::string& blanked = d.keys.back();
    std::size_t at = content.find("\n" + dropped + "=");
    ASSERT_NE(at, std::string::npos);
    content.erase(at + 1, content.find('\n', at + 1) - at);
    at = content.find("\n" + blanked + "=");
    ASSERT_NE(at, std::string::npos);
    content.replace(at + 1, content.find('\n', at + 1) - at - 1, blanked + "=");
    content += "IDS_TYPO=x\n";

    TempDir dir;
    WriteBytes(dir.Path(file), content);
    auto problems = Problems(d, dir.Path(file), d.files[0].second);
    std::set<std::string> found(problems.begin(), problems.end());
    EXPECT_TRUE(found.count("missing " + dropped));
    EXPECT_TRUE(found.count("empty " + blanked));
    EXPECT_TRUE(found.count("not in keys.txt: IDS_TYPO"));
    EXPECT_EQ(Problems(d, dir.Path(file), "Klingon").size(), problems.size() + 1);
}

TEST(LanguageKeys, EachDeliverableSelectsItsOwnFiles) {
    struct Case {
        LanguageFileConfig config;
        const char* name;
        const char* file;
        int columns;
    };
    const Case cases[] = {
        {StagedeskLanguageConfig(), "English", "English.ini", 19},
        {StagedeskLanguageConfig(), "Chinese", "Chinese.ini", 19},
        {ControlLanguageConfig(), "English", "kt300ocx_English.ini", 17},
        {ControlLanguageConfig(), "Chinese", "kt300ocx_Chinese.ini", 17},
    };
    TempDir settings;
    for (const Case& c : cases) {
        // The folder the build copies beside the programs (the tests' own bin/).
        CLanguageFile lang(c.config);
        lang.SetSettingsFile(settings.Path("settings.ini"));
        ASSERT_TRUE(lang.SelectLanguage(c.name)) << c.file;
        EXPECT_EQ(lang.LanguageFile(), LanguageDirectory() + c.file);
        EXPECT_EQ(GridColumns(lang.GetText("IDS_INIT_GRID")), c.columns) << c.file;
        EXPECT_EQ(ReadBytes(lang.LanguageFile()), ReadBytes(kSourceDir + "/" + c.file));
    }
}

}  // namespace
}  // namespace korva
