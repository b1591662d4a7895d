#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "ChildProcess.h"
#include "Ini.h"
#include "TempDir.h"

namespace korva {
namespace {

using test::ReadBytes;
using test::TempDir;
using test::WriteBytes;

// A profile with the features the lookups must handle: letter case, a
// duplicate key and a duplicate section, CR LF endings, blanks, comments,
// quotes, UTF-8 and an entry before any section.
const char kProfile[] =
    "\xEF\xBB\xBF"
    "orphan=before any section\r\n"
    "[String]\r\n"
    "Hello = world  \r\n"
    "hello=second\r\n"
    "; Commented=yes\r\n"
    "NoEquals\r\n"
    "Quoted=\"  padded  \"\r\n"
    "Empty=\r\n"
    "Chinese=\xE4\xB8\xAD\xE6\x96\x87\r\n"
    "Number=-42abc\r\n"
    "  [ Other ]  \r\n"
    "Hello=other section\r\n"
    "[string]\r\n"
    "Late=in a repeated section\r\n";

TEST(IniRead, LookupTable) {
    TempDir dir;
    std::string file = dir.Path("a.ini");
    WriteBytes(file, kProfile);

    struct Case {
        const char* section;
        const char* key;
        std::size_t size;
        const char* expected;
    };
    const Case cases[] = {
        {"String", "Hello", 1000, "world"},         // value trimmed
        {"STRING", "HELLO", 1000, "world"},         // names ignore case
        {"string", "hello", 1000, "world"},         // first of two keys wins
        {"Other", "hello", 1000, "other section"},  // header blanks trimmed
        {"String", "Late", 1000, "dflt"},           // only the first [String] counts
        {"String", "orphan", 1000, "dflt"},         // entries before a section belong to none
        {"String", "; Commented", 1000, "dflt"},    // comment lines hold no key
        {"String", "NoEquals", 1000, "dflt"},       // nor lines without '='
        {"String", "Quoted", 1000, "  padded  "},   // quotes protect blanks
        {"String", "Empty", 1000, ""},              // present but empty: not the default
        {"String", "Chinese", 1000, "\xE4\xB8\xAD\xE6\x96\x87"},
        {"String", "Chinese", 5, "\xE4\xB8\xAD"},  // cut, never inside a character
        {"String", "Chinese", 3, ""},
        {"String", "Hello", 4, "wor"},  // size - 1 bytes
        {"String", "Hello", 1, ""},
        {"String", "Hello", 0, ""},
        {"String", "Missing", 1000, "dflt"},
        {"Missing", "Hello", 1000, "dflt"},
        {"Missing", "Hello", 3, "df"},  // the default is cut too
    };
    for (const Case& c : cases) {
        EXPECT_EQ(GetPrivateProfileString(c.section, c.key, "dflt", c.size, file), c.expected)
            << "[" << c.section << "] " << c.key << " size " << c.size;
    }
    EXPECT_EQ(GetPrivateProfileString("String", "Hello", "dflt", 1000, dir.Path("none.ini")),
              "dflt");
    EXPECT_EQ(GetPrivateProfileString("String", "Hello", "dflt", 1000, ""), "dflt");
    // A directory where a file is expected reads as absent.
    EXPECT_EQ(GetPrivateProfileString("String", "Hello", "dflt", 1000, dir.Path("")), "dflt");

    EXPECT_EQ(GetPrivateProfileInt("String", "Number", 7, file), -42);
    EXPECT_EQ(GetPrivateProfileInt("String", "Hello", 7, file), 0);  // not a number
    EXPECT_EQ(GetPrivateProfileInt("String", "Missing", 7, file), 7);
}

TEST(IniRead, LongValueIsNotSplitIntoLines) {
    TempDir dir;
    std::string file = dir.Path("long.ini");
    std::string value(5000, 'x');
    WriteBytes(file, "[S]\nK=" + value + "\nNext=1\n");
    EXPECT_EQ(GetPrivateProfileString("S", "K", "", 1000, file), std::string(999, 'x'));
    EXPECT_EQ(GetPrivateProfileString("S", "K", "", 10000, file), value);
    EXPECT_EQ(GetPrivateProfileString("S", "Next", "", 10, file), "1");
}

TEST(IniRead, FifoDoesNotBlock) {
    TempDir dir;
    std::string fifo = dir.Path("fifo.ini");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    EXPECT_EQ(GetPrivateProfileString("S", "K", "dflt", 100, fifo), "dflt");
    EXPECT_FALSE(WritePrivateProfileString("S", "K", "v", fifo));
}

TEST(IniWrite, CreatesFileSectionAndKey) {
    TempDir dir;
    std::string file = dir.Path("new.ini");
    ASSERT_TRUE(WritePrivateProfileString("Setting", "Language", "Chinese", file));
    EXPECT_EQ(ReadBytes(file), "[Setting]\nLanguage=Chinese\n");
    ASSERT_TRUE(WritePrivateProfileString("setting", "Other", "1", file));
    ASSERT_TRUE(WritePrivateProfileString("Second", "A", "b", file));
    ASSERT_TRUE(WritePrivateProfileString("SETTING", "LANGUAGE", "English", file));
    EXPECT_EQ(ReadBytes(file), "[Setting]\nLanguage=English\nOther=1\n[Second]\nA=b\n");
}

TEST(IniWrite, KeepsOtherLinesTheirOrderAndLineEndings) {
    TempDir dir;
    std::string file = dir.Path("keep.ini");
    WriteBytes(file,
               "; settings\r\n[Ports]\r\nCOM1=/dev/ttyUSB0\r\n\r\n[Setting]\r\nLanguage=English\r\n"
               "x=1\r\n\r\n[Tail]\r\nk=v");
    ASSERT_TRUE(WritePrivateProfileString("Setting", "Language", "Chinese", file));
    ASSERT_TRUE(WritePrivateProfileString("Ports", "COM2", "/dev/ttyUSB1", file));
    ASSERT_TRUE(WritePrivateProfileString("Tail", "new", "n", file));
    EXPECT_EQ(ReadBytes(file),
              "; settings\r\n[Ports]\r\nCOM1=/dev/ttyUSB0\r\nCOM2=/dev/ttyUSB1\r\n\r\n"
              "[Setting]\r\nLanguage=Chinese\r\nx=1\r\n\r\n[Tail]\r\nk=v\r\nnew=n\r\n");
}

TEST(IniWrite, ValuesReadBackExactly) {
    TempDir dir;
    std::string file = dir.Path("round.ini");
    const std::string values[] = {"",
                                  "  blanks  ",
                                  "\"quoted\"",
                                  "'single'",
                                  "a=b;c",
                                  "\xE4\xB8\xAD\xE6\x96\x87",
                                  "[not a header]"};
    for (const std::string& v : values) {
        ASSERT_TRUE(WritePrivateProfileString("S", "K", v, file)) << v;
        EXPECT_EQ(GetPrivateProfileString("S", "K", "dflt", 1000, file), v);
    }
}

TEST(IniWrite, RefusesWhatCannotBeOneLine) {
    TempDir dir;
    std::string file = dir.Path("bad.ini");
    WriteBytes(file, "[S]\nK=old\n");
    struct Case {
        const char* section;
        const char* key;
        const char* value;
    };
    const Case cases[] = {
        {"S", "K", "two\nlines"}, {"S", "K", "cr\rhere"}, {"S", "K=x", "v"}, {"S", "", "v"},
        {"S", "[K", "v"},         {"S", ";K", "v"},       {"S]", "K", "v"},  {"", "K", "v"},
        {"S\n", "K", "v"},        {" S", "K", "v"},       {"S", "K\t", "v"},
    };
    for (const Case& c : cases) {
        EXPECT_FALSE(WritePrivateProfileString(c.section, c.key, c.value, file))
            << c.section << "/" << c.key << "/" << c.value;
    }
    EXPECT_EQ(ReadBytes(file), "[S]\nK=old\n");
}

TEST(IniWrite, UnreadableFileIsNotOverwritten) {
    TempDir dir;
    // Root reads any file, so an oversized one stands in for an unreadable one there.
    std::string locked = dir.Path("locked.ini");
    WriteBytes(locked, "[S]\nK=old\nOther=kept\n");
    ASSERT_EQ(::chmod(locked.c_str(), 0200), 0);
    if (::geteuid() != 0) {
        EXPECT_FALSE(WritePrivateProfileString("S", "K", "new", locked));
        ASSERT_EQ(::chmod(locked.c_str(), 0600), 0);
        EXPECT_EQ(ReadBytes(locked), "[S]\nK=old\nOther=kept\n");
    }
    std::string huge = dir.Path("huge.ini");
    std::string bytes = "[S]\nK=old\n" + std::string(17 * 1024 * 1024, ';');
    WriteBytes(huge, bytes);
    EXPECT_FALSE(WritePrivateProfileString("S", "K", "new", huge));
    EXPECT_EQ(std::filesystem::file_size(huge), bytes.size());
    EXPECT_EQ(GetPrivateProfileString("S", "K", "dflt", 100, huge), "dflt");
}

TEST(IniWrite, ConcurrentWritersKeepEveryKey) {
    TempDir dir;
    std::string file = dir.Path("threads.ini");
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&file, t] {
            for (int i = 0; i < 25; ++i) {
                WritePrivateProfileString("S", "K" + std::to_string(t) + "_" + std::to_string(i),
                                          std::to_string(i), file);
            }
        });
    }
    for (auto& th : threads) th.join();
    for (int t = 0; t < 4; ++t) {
        for (int i = 0; i < 25; ++i) {
            EXPECT_EQ(GetPrivateProfileInt("S", "K" + std::to_string(t) + "_" + std::to_string(i),
                                           -1, file),
                      i);
        }
    }
}

TEST(IniWrite, SymlinkStaysALink) {
    TempDir dir;
    std::string target = dir.Path("target.ini");
    std::string link = dir.Path("link.ini");
    WriteBytes(target, "[S]\nK=old\n");
    ASSERT_EQ(::symlink(target.c_str(), link.c_str()), 0);
    ASSERT_TRUE(WritePrivateProfileString("S", "K", "new", link));
    EXPECT_TRUE(std::filesystem::is_symlink(link));
    EXPECT_EQ(ReadBytes(target), "[S]\nK=new\n");
}

TEST(IniWrite, FailedWriteKeepsTheOldFile) {
    TempDir dir;
    std::string target = dir.Path("setting.ini");
    std::string link = dir.Path("link.ini");
    const std::string old = "[S]\nK=old\n" + std::string(8192, ';') + "\n";
    WriteBytes(target, old);
    ASSERT_EQ(::symlink(target.c_str(), link.c_str()), 0);
    for (const std::string& path : {target, link}) {
        SCOPED_TRACE(path);
        EXPECT_TRUE(test::WithFullDisk(
            1024, [&] { return !WritePrivateProfileString("S", "K", "new", path); }));
        EXPECT_EQ(ReadBytes(target), old);
        EXPECT_TRUE(std::filesystem::is_symlink(link));
    }
}

TEST(ProgramPaths, DirectoriesEndInSlash) {
    std::string dir = ProgramDirectory();
    ASSERT_FALSE(dir.empty());
    EXPECT_EQ(dir.back(), '/');
    EXPECT_EQ(dir.front(), '/');
    // The test executable lives in the build tree's bin/, where the build
    // copies the Language folder.
    EXPECT_TRUE(std::filesystem::exists(dir + std::string(program_invocation_short_name)));
    std::string lang = LanguageDirectory();
    EXPECT_EQ(lang, dir + "Language/");
    std::string settings = SettingsFilePath("x.ini");
    EXPECT_EQ(settings.substr(settings.size() - 6), "/x.ini");
}

}  // namespace
}  // namespace korva
