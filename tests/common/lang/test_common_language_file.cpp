#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <filesystem>
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

// A dialog held in memory: what ApplyDialogTexts sees of a window.
class FakeDialog : public DialogTextTarget {
  public:
    struct Child {
        std::uint16_t id;
        std::string text;
    };
    std::string caption = "resource caption";
    std::vector<Child> children;

    void SetCaption(const std::string& text) override { caption = text; }
    std::size_t ChildCount() const override { return children.size(); }
    std::uint16_t ChildControlId(std::size_t index) const override { return children[index].id; }
    void SetChildText(std::size_t index, const std::string& text) override {
        children[index].text = text;
    }
};

// A Language folder and settings file of our own for each test.
class LanguageFileTest : public ::testing::Test {
  protected:
    void SetUp() override {
        std::filesystem::create_directory(m_dir.Path("Language"));
        m_settings = m_dir.Path("settings.ini");
    }

    std::string LangPath(const std::string& name) const { return m_dir.Path("Language/" + name); }

    // A language file named in both sections unless told otherwise.
    void AddFile(const std::string& fileName, const std::string& section,
                 const std::string& languageName, const std::string& strings) {
        WriteBytes(LangPath(fileName),
                   "[" + section + "]\r\nLanguage=" + languageName + "\r\n[String]\r\n" + strings);
    }

    void Configure(CLanguageFile& lang) const {
        lang.SetLanguageDirectory(m_dir.Path("Language"));
        lang.SetSettingsFile(m_settings);
    }

    TempDir m_dir;
    std::string m_settings;
};

TEST_F(LanguageFileTest, FirstFileInDirectoryOrderWins) {
    AddFile("a.ini", "Setting", "English", "Who=a\r\n");
    AddFile("b.ini", "Setting", "English", "Who=b\r\n");
    AddFile("c.ini", "Setting", "English", "Who=c\r\n");
    // The order the file system returns, which need not be the name order.
    std::string first;
    for (const auto& e : std::filesystem::directory_iterator(m_dir.Path("Language"))) {
        first = e.path().filename().string();
        break;
    }
    CLanguageFile lang(StagedeskLanguageConfig());
    Configure(lang);
    ASSERT_TRUE(lang.SelectLanguage("English"));
    EXPECT_EQ(lang.LanguageFile(), LangPath(first));
    EXPECT_EQ(lang.GetText("Who"), first.substr(0, 1));
}

TEST_F(LanguageFileTest, NameMustMatchExactlyInOwnSection) {
    AddFile("lower.ini", "Setting", "english", "Who=lower\r\n");
    AddFile("control.ini", "KT300OCXSetting", "Chinese", "Who=control\r\n");
    AddFile("desk.ini", "Setting", "\xE4\xB8\xAD\xE6\x96\x87", "Who=desk\r\n");
    AddFile("other.txt", "Setting", "Other", "Who=txt\r\n");
    AddFile("UPPER.INI", "Setting", "Upper", "Who=upper\r\n");
    std::filesystem::create_directory(LangPath("dir.ini"));

    struct Case {
        LanguageFileConfig config;
        const char* name;
        const char* who;  // nullptr: no file found
    };
    const Case cases[] = {
        {StagedeskLanguageConfig(), "English", nullptr},  // only "english" exists
        {StagedeskLanguageConfig(), "english", "lower"},
        {StagedeskLanguageConfig(), "Chinese", nullptr},  // named for the control module only
        {ControlLanguageConfig(), "Chinese", "control"},
        {ControlLanguageConfig(), "english", nullptr},
        {StagedeskLanguageConfig(), "\xE4\xB8\xAD\xE6\x96\x87", "desk"},
        {StagedeskLanguageConfig(), "Other", nullptr},  // not an .ini file
        {StagedeskLanguageConfig(), "Upper", "upper"},
    };
    for (const Case& c : cases) {
        CLanguageFile lang(c.config);
        Configure(lang);
        EXPECT_EQ(lang.SelectLanguage(c.name), c.who != nullptr) << c.name;
        EXPECT_EQ(lang.GetText("Who"), c.who ? c.who : "Not found") << c.name;
        EXPECT_EQ(lang.LanguageName(), c.who ? c.name : "Default") << c.name;
    }
}

TEST_F(LanguageFileTest, UnknownLanguageKeepsThePreviousFile) {
    AddFile("en.ini", "Setting", "English", "Who=en\r\n");
    CLanguageFile lang(StagedeskLanguageConfig());
    Configure(lang);
    ASSERT_TRUE(lang.SelectLanguage("English"));
    EXPECT_FALSE(lang.SelectLanguage("Klingon"));
    EXPECT_EQ(lang.LanguageName(), "Default");
    EXPECT_EQ(lang.LanguageFile(), LangPath("en.ini"));
    EXPECT_EQ(lang.GetText("Who"), "en");
}

TEST_F(LanguageFileTest, SettingsFileReadAndRecordedPerDeliverable) {
    AddFile("en.ini", "Setting", "English", "Who=en\r\n");
    AddFile("zh.ini", "Setting", "Chinese", "Who=zh\r\n");
    AddFile("ocx_en.ini", "KT300OCXSetting", "English", "Who=ocx_en\r\n");
    AddFile("ocx_zh.ini", "KT300OCXSetting", "Chinese", "Who=ocx_zh\r\n");

    // stagedesk: no settings file means "English"; every selection is recorded.
    CLanguageFile desk(StagedeskLanguageConfig());
    Configure(desk);
    ASSERT_TRUE(desk.Load());
    EXPECT_TRUE(desk.Found());
    EXPECT_EQ(desk.GetText("Who"), "en");
    EXPECT_EQ(GetPrivateProfileString("Setting", "Language", "", 100, m_settings), "English");
    ASSERT_TRUE(desk.SelectLanguage("Chinese"));
    EXPECT_EQ(GetPrivateProfileString("Setting", "Language", "", 100, m_settings), "Chinese");
    EXPECT_FALSE(desk.SelectLanguage("Klingon"));
    EXPECT_EQ(GetPrivateProfileString("Setting", "Language", "", 100, m_settings), "Default");

    // The control module: its own section, read only when no name is given,
    // never written.
    WriteBytes(m_settings, "[KT300OCXSetting]\nLanguage=Chinese\n");
    CLanguageFile control(ControlLanguageConfig());
    Configure(control);
    ASSERT_TRUE(control.Load(""));
    EXPECT_EQ(control.GetText("Who"), "ocx_zh");
    ASSERT_TRUE(control.Load("English"));
    EXPECT_EQ(control.GetText("Who"), "ocx_en");
    EXPECT_FALSE(control.Load("Klingon"));
    EXPECT_FALSE(control.Found());
    EXPECT_EQ(ReadBytes(m_settings), "[KT300OCXSetting]\nLanguage=Chinese\n");
}

TEST_F(LanguageFileTest, MissingFolderFindsNothing) {
    CLanguageFile lang(ControlLanguageConfig());
    lang.SetLanguageDirectory(m_dir.Path("NoSuchFolder"));
    lang.SetSettingsFile(m_settings);
    EXPECT_FALSE(lang.Load("English"));
    EXPECT_EQ(lang.LanguageFile(), "");
    EXPECT_EQ(lang.GetText("IDS_INIT_GRID"), "Not found");
    FakeDialog dialog;
    dialog.children = {{203, "AXIS X"}};
    EXPECT_EQ(lang.ApplyDialogTexts(dialog, 201), "");
    EXPECT_EQ(dialog.caption, "resource caption");
    EXPECT_EQ(dialog.children[0].text, "AXIS X");
}

TEST_F(LanguageFileTest, LineBreaksOnlyInLookedUpTexts) {
    AddFile("en.ini", "KT300OCXSetting", "English",
            "IDS_TWO=first\\nsecond\\n\r\nIDD206_Title=Run\\nPlan\r\nIDD206_273=Go\\nNow\r\n");
    CLanguageFile lang(ControlLanguageConfig());
    Configure(lang);
    ASSERT_TRUE(lang.Load("English"));
    EXPECT_EQ(lang.GetText("IDS_TWO"), "first\nsecond\n");
    EXPECT_EQ(lang.GetText("ids_two"), "first\nsecond\n");
    FakeDialog dialog;
    dialog.children = {{273, "Run"}};
    EXPECT_EQ(lang.ApplyDialogTexts(dialog, 206), "Run\\nPlan");
    EXPECT_EQ(dialog.caption, "Run\\nPlan");
    EXPECT_EQ(dialog.children[0].text, "Go\\nNow");
}

TEST_F(LanguageFileTest, DialogTextsNeverBlankAndShareId65535) {
    AddFile("en.ini", "Setting", "English",
            "IDD157_Title=\r\n"
            "IDD157_1080=Forward\r\n"
            "IDD157_1079=\r\n"
            "IDD157_65535=Shared\r\n"
            "IDD141_1080=Delete\r\n");
    CLanguageFile lang(StagedeskLanguageConfig());
    Configure(lang);
    ASSERT_TRUE(lang.Load());
    FakeDialog dialog;
    dialog.children = {{1080, "old forward"}, {65535, "a"}, {1079, "old back"},
                       {65535, "b"},          {1222, ""},   {1080, "again"}};
    EXPECT_EQ(lang.ApplyDialogTexts(dialog, 157), "");
    EXPECT_EQ(dialog.caption, "resource caption");  // empty title: caption kept
    const char* expected[] = {"Forward", "Shared", "old back", "Shared", "", "Forward"};
    for (std::size_t i = 0; i < dialog.children.size(); ++i) {
        EXPECT_EQ(dialog.children[i].text, expected[i]) << i;
    }
}

TEST_F(LanguageFileTest, EditedFileTakesEffectAtNextLookup) {
    AddFile("en.ini", "Setting", "English", "K=before\r\n");
    CLanguageFile lang(StagedeskLanguageConfig());
    Configure(lang);
    ASSERT_TRUE(lang.Load());
    EXPECT_EQ(lang.GetText("K"), "before");
    ASSERT_TRUE(WritePrivateProfileString("String", "K", "after", LangPath("en.ini")));
    EXPECT_EQ(lang.GetText("K"), "after");
}

// The index answers exactly as reading the file at every lookup did.
TEST_F(LanguageFileTest, IndexedLookupsAnswerAsTheFileDoes) {
    const std::string strings =
        "Key=first\r\nKEY=second\r\n  Spaced  =  x y  \r\n"
        "Quoted=\"  kept  \"\r\n;Comment=no\r\nLong=" +
        std::string(1500, 'x') + "\r\nWide=" + std::string(998, 'a') +
        "\xC3\xA9\r\n[Other]\r\nOnlyOther=1\r\n[String]\r\nLater=no\r\n";
    AddFile("en.ini", "Setting", "English", strings);
    CLanguageFile lang(StagedeskLanguageConfig());
    Configure(lang);
    ASSERT_TRUE(lang.Load());
    for (const char* key : {"Key", "key", "Spaced", "Quoted", "Comment", ";Comment", "Long", "Wide",
                            "OnlyOther", "Later", "Missing"}) {
        SCOPED_TRACE(key);
        EXPECT_EQ(lang.GetText(key),
                  GetPrivateProfileString("String", key, "Not found", 1000, LangPath("en.ini")));
    }
    EXPECT_EQ(lang.GetText("Key"), "first");
    EXPECT_EQ(lang.GetText("Long").size(), 999u);
}

// A settings or language file that is a FIFO is passed over without
// blocking; a language file of many megabytes is read once, not per text.
TEST_F(LanguageFileTest, FifosAreSkippedAndBigFilesReadOnce) {
    ASSERT_EQ(::mkfifo(m_settings.c_str(), 0600), 0);
    ASSERT_EQ(::mkfifo(LangPath("a_fifo.ini").c_str(), 0600), 0);
    std::string strings;
    for (int i = 0; i < 200000; ++i)
        strings += "IDS_" + std::to_string(i) + "=text " + std::to_string(i) + "\r\n";
    AddFile("en.ini", "Setting", "English", strings);
    ASSERT_GT(std::filesystem::file_size(LangPath("en.ini")), 4000000u);
    CLanguageFile lang(StagedeskLanguageConfig());
    Configure(lang);
    const auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(lang.Load());  // the settings FIFO reads as absent: "English"
    for (int i = 0; i < 2000; ++i) {
        ASSERT_EQ(lang.GetText("IDS_" + std::to_string(i * 97)), "text " + std::to_string(i * 97));
    }
    // Reading the file per text would take minutes; bound for a hang only.
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(30));
    EXPECT_TRUE(std::filesystem::is_fifo(m_settings));
}

TEST_F(LanguageFileTest, LoadFillsTheProgramPaths) {
    // The control's configuration, which never writes its settings file.
    CLanguageFile lang(ControlLanguageConfig());
    lang.SetLanguageDirectory(m_dir.Path("Language"));
    lang.Load("English");
    EXPECT_EQ(lang.ProgramDirectory(), ProgramDirectory());
    EXPECT_EQ(lang.SettingsFile(), SettingsFilePath("kt300ocxsetting.ini"));
}

}  // namespace
}  // namespace korva
