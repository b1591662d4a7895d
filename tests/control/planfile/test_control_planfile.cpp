#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "ChildProcess.h"
#include "PlanFile.h"

namespace korva {
namespace {

using Row = std::vector<std::string>;

std::string Tabs(int n) {
    return std::string(static_cast<std::size_t>(n), '\t');
}

// A row of the control editor's 16 cells with the given cells filled.
Row ControlRow(std::initializer_list<std::pair<int, const char*>> filled) {
    Row row(kControlPlanCells);
    for (const auto& [cell, text] : filled) row[cell - 1] = text;
    return row;
}

class TempFile {
  public:
    TempFile() {
        std::string pattern =
            (std::filesystem::temp_directory_path() / "korva_plan_XXXXXX").string();
        if (::mkdtemp(pattern.data()) != nullptr) m_dir = pattern;
    }
    ~TempFile() {
        std::error_code ec;
        if (!m_dir.empty()) std::filesystem::remove_all(m_dir, ec);
    }
    std::string Path(const std::string& name = "plan.pla") const { return m_dir + "/" + name; }
    std::string Read(const std::string& name = "plan.pla") const {
        std::ifstream in(Path(name), std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }
    void Write(const std::string& bytes, const std::string& name = "plan.pla") const {
        std::ofstream(Path(name), std::ios::binary) << bytes;
    }

  private:
    std::string m_dir;
};

TEST(PlanFileEncode, ExactBytes) {
    struct Case {
        const char* what;
        PlanTable table;
        int cells;
        std::string bytes;
    };
    const Case cases[] = {
        {"empty plan, total count 1", {1, {}}, kControlPlanCells, "1\r\n0\r\n"},
        {"one GoHome row for Y",
         {1, {ControlRow({{1, "GoHome"}, {3, "Y"}})}},
         kControlPlanCells,
         "1\r\n1\r\nGoHome\t\tY" + Tabs(14) + "\r\n"},
        {"GoPosition row",
         {3,
          {ControlRow({{1, "GoPosition"},
                       {2, "2"},
                       {3, "X"},
                       {6, "10.000000"},
                       {9, "R"},
                       {10, "100"},
                       {11, "O"},
                       {12, "P"}})}},
         kControlPlanCells,
         "3\r\n1\r\nGoPosition\t2\tX\t\t\t10.000000\t\t\tR\t100\tO\tP\t\t\t\t\t\r\n"},
        {"stagedesk row with unit and speed",
         {2,
          {Row{"GoHome", "", "Z", "", "", "", "", "", "", "", "", "", "", "", "", "", "mm", "5"}}},
         kStagedeskPlanCells,
         "2\r\n1\r\nGoHome\t\tZ" + Tabs(14) + "mm\t5\t\r\n"},
        {"short rows are padded",
         {1, {Row{"GoOrigion", "", "T"}, Row{}}},
         kControlPlanCells,
         "1\r\n2\r\nGoOrigion\t\tT" + Tabs(14) + "\r\n" + Tabs(16) + "\r\n"},
        {"negative total count", {-5, {}}, kControlPlanCells, "-5\r\n0\r\n"},
    };
    for (const Case& c : cases) {
        std::string bytes, error;
        ASSERT_TRUE(EncodePlan(c.table, c.cells, &bytes, &error)) << c.what << ": " << error;
        EXPECT_EQ(bytes, c.bytes) << c.what;
    }
    std::string bytes;
    ASSERT_TRUE(EncodePlan({1, {ControlRow({{1, "GoHome"}, {3, "Y"}})}}, kControlPlanCells, &bytes,
                           nullptr));
    EXPECT_EQ(std::count(bytes.begin(), bytes.end(), '\t'), 16);
    ASSERT_TRUE(EncodePlan({1, {}}, kControlPlanCells, &bytes, nullptr));
    EXPECT_EQ(bytes.size(), 6u);
}

TEST(PlanFileEncode, RefusesWhatWouldNotReadBack) {
    const PlanTable bad[] = {
        {1, {ControlRow({{1, "Go\tHome"}})}},
        {1, {ControlRow({{16, "1\r"}})}},
        {1, {ControlRow({{5, "a\nb"}})}},
        {1, {Row(17, "x")}},
    };
    for (const PlanTable& t : bad) {
        std::string bytes = "untouched", error;
        EXPECT_FALSE(EncodePlan(t, kControlPlanCells, &bytes, &error));
        EXPECT_FALSE(error.empty());
        EXPECT_EQ(bytes, "untouched");
    }
    std::string bytes, error;
    EXPECT_FALSE(EncodePlan({1, {}}, 0, &bytes, &error));
}

TEST(PlanFileDecode, Layouts) {
    struct Case {
        const char* what;
        std::string bytes;
        int total;
        std::vector<Row> rows;
        std::vector<int> badRows;
        std::size_t ignored;
    };
    Row empty(kControlPlanCells);
    Row home = ControlRow({{1, "GoHome"}, {3, "Y"}});
    const std::string homeLine = "GoHome\t\tY" + Tabs(14) + "\r\n";
    Row split = ControlRow({{1, "Go"}, {2, "Home"}, {4, "Y"}});  // 17 cells, cut to 16
    const Case cases[] = {
        {"empty plan", "1\r\n0\r\n", 1, {}, {}, 0},
        {"empty file", "", 0, {}, {}, 0},
        {"headers not numbers", "abc\r\nxyz\r\n", 0, {}, {}, 0},
        {"atoi prefix", " 12x\r\n1y\r\n" + homeLine, 12, {home}, {}, 0},
        {"one row", "1\r\n1\r\n" + homeLine, 1, {home}, {}, 0},
        {"LF endings", "2\n1\nGoHome\t\tY" + Tabs(14) + "\n", 2, {home}, {}, 0},
        {"no final line break", "1\r\n1\r\nGoHome\t\tY" + Tabs(14), 1, {home}, {}, 0},
        {"N larger than the rows present",
         "1\r\n3\r\n" + homeLine,
         1,
         {home, empty, empty},
         {2, 3},
         0},
        {"N smaller than the rows present",
         "1\r\n1\r\n" + homeLine + homeLine + "\r\n",
         1,
         {home},
         {},
         1},
        {"negative N", "1\r\n-2\r\n" + homeLine, 1, {}, {}, 1},
        {"a cell with a TAB splits in two",
         "1\r\n2\r\nGo\tHome\t\tY" + Tabs(14) + "\r\n" + homeLine,
         1,
         {split, home},
         {1},
         0},
        {"missing cells are empty", "1\r\n1\r\nGoHome\t\tY\t\r\n", 1, {home}, {1}, 0},
        {"unterminated last cell counts",
         "1\r\n1\r\nGoHome\t\tY" + Tabs(13) + "last\r\n",
         1,
         {ControlRow({{1, "GoHome"}, {3, "Y"}, {16, "last"}})},
         {},
         0},
        {"stagedesk rows in the control's editor",
         "1\r\n2\r\nGoHome\t\tY" + Tabs(14) + "mm\t5\t\r\n" + "GoOrigion\t\tX" + Tabs(16) + "\r\n",
         1,
         {home, ControlRow({{1, "GoOrigion"}, {3, "X"}})},
         {1, 2},
         0},
    };
    for (const Case& c : cases) {
        PlanTable table;
        PlanReadReport report;
        std::string error;
        ASSERT_TRUE(DecodePlan(c.bytes, kControlPlanCells, table, &report, &error))
            << c.what << ": " << error;
        EXPECT_EQ(table.totalCount, c.total) << c.what;
        EXPECT_EQ(table.rows, c.rows) << c.what;
        EXPECT_EQ(report.badRows, c.badRows) << c.what;
        EXPECT_EQ(report.ignoredLines, c.ignored) << c.what;
    }
}

TEST(PlanFileDecode, ControlRowsInStagedeskPanelArePadded) {
    PlanTable table;
    PlanReadReport report;
    ASSERT_TRUE(DecodePlan("1\r\n1\r\nGoHome\t\tY" + Tabs(14) + "\r\n", kStagedeskPlanCells, table,
                           &report, nullptr));
    ASSERT_EQ(table.rows.size(), 1u);
    EXPECT_EQ(table.rows[0].size(), 18u);
    EXPECT_EQ(table.rows[0][16], "");
    EXPECT_EQ(report.badRows, std::vector<int>{1});
}

TEST(PlanFileDecode, GarbageRowCountIsRefused) {
    PlanTable table{7, {ControlRow({{1, "keep"}})}};
    PlanReadReport report;
    std::string error;
    EXPECT_FALSE(DecodePlan("1\r\n2000000000\r\n", kControlPlanCells, table, &report, &error));
    EXPECT_NE(error.find("2000000000"), std::string::npos);
    EXPECT_EQ(table.totalCount, 7);  // the caller's table is untouched
    EXPECT_EQ(table.rows.size(), 1u);
}

TEST(PlanFile, RoundTripThroughFiles) {
    TempFile dir;
    for (int cells : {kControlPlanCells, kStagedeskPlanCells}) {
        PlanTable plan;
        plan.totalCount = 10000000;
        for (int r = 0; r < 50; ++r) {
            Row row(static_cast<std::size_t>(cells));
            row[0] = r % 2 ? "GoArc" : "Goline2";
            row[1] = std::to_string(r);
            row[2] = "X";
            row[3] = "\xE4\xB8\xAD";  // any text, bytes kept as they are
            row[static_cast<std::size_t>(cells) - 1] = "-1.500000";
            plan.rows.push_back(row);
        }
        std::string error;
        ASSERT_TRUE(WritePlanFile(dir.Path(), plan, cells, &error)) << error;
        PlanTable back;
        PlanReadReport report;
        ASSERT_TRUE(ReadPlanFile(dir.Path(), cells, back, &report, &error)) << error;
        EXPECT_TRUE(report.Clean());
        EXPECT_EQ(back.totalCount, plan.totalCount);
        EXPECT_EQ(back.rows, plan.rows);
        std::string bytes;
        ASSERT_TRUE(EncodePlan(plan, cells, &bytes, nullptr));
        EXPECT_EQ(dir.Read(), bytes);
    }
}

TEST(PlanFile, FileOver4096BytesIsReadWhole) {
    TempFile dir;
    PlanTable plan;
    for (int r = 0; r < 300; ++r) {
        plan.rows.push_back(ControlRow({{1, "GoPosition"},
                                        {2, "1"},
                                        {3, "Z"},
                                        {6, "123.456000"},
                                        {9, "A"},
                                        {10, "1"},
                                        {11, "C"},
                                        {12, "N"}}));
    }
    plan.rows.back()[0] = "GoOrigion";
    ASSERT_TRUE(WritePlanFile(dir.Path(), plan, kControlPlanCells, nullptr));
    ASSERT_GT(dir.Read().size(), 3 * 4096u);  // the last row lies far beyond 4096 bytes
    PlanTable back;
    PlanReadReport report;
    ASSERT_TRUE(ReadPlanFile(dir.Path(), kControlPlanCells, back, &report, nullptr));
    EXPECT_TRUE(report.Clean());
    ASSERT_EQ(back.rows.size(), 300u);
    EXPECT_EQ(back.rows.back()[0], "GoOrigion");
    EXPECT_EQ(back.rows, plan.rows);
}

TEST(PlanFile, FailuresAreReportedAndKeepTheOldFile) {
    TempFile dir;
    std::string error;
    PlanTable table{4, {ControlRow({{1, "keep"}})}};
    EXPECT_FALSE(ReadPlanFile(dir.Path("missing.pla"), kControlPlanCells, table, nullptr, &error));
    EXPECT_NE(error.find("No such file"), std::string::npos) << error;
    EXPECT_EQ(table.totalCount, 4);

    EXPECT_FALSE(ReadPlanFile(dir.Path(""), kControlPlanCells, table, nullptr, &error));
    ASSERT_EQ(::mkfifo(dir.Path("fifo.pla").c_str(), 0600), 0);
    EXPECT_FALSE(ReadPlanFile(dir.Path("fifo.pla"), kControlPlanCells, table, nullptr, &error));

    EXPECT_FALSE(WritePlanFile(dir.Path("no/such/dir.pla"), table, kControlPlanCells, &error));
    EXPECT_NE(error.find("No such file"), std::string::npos) << error;

    // A plan that cannot be encoded leaves the existing file as it was.
    dir.Write("old plan");
    PlanTable bad{1, {ControlRow({{2, "a\tb"}})}};
    EXPECT_FALSE(WritePlanFile(dir.Path(), bad, kControlPlanCells, &error));
    EXPECT_EQ(dir.Read(), "old plan");
    ASSERT_TRUE(WritePlanFile(dir.Path(), {1, {}}, kControlPlanCells, &error));
    EXPECT_EQ(dir.Read(), "1\r\n0\r\n");
    std::vector<std::string> left;
    for (const auto& e : std::filesystem::directory_iterator(dir.Path(""))) {
        left.push_back(e.path().filename().string());
    }
    std::sort(left.begin(), left.end());
    EXPECT_EQ(left, (std::vector<std::string>{"fifo.pla", "plan.pla"}));  // no temporary left
}

// A plan saved onto a full disk, directly or through a link: the old plan
// keeps every byte.
TEST(PlanFile, FailedSaveOnAFullDiskKeepsTheOldPlan) {
    TempFile dir;
    PlanTable plan;
    for (int r = 0; r < 100; ++r) plan.rows.push_back(ControlRow({{1, "GoHome"}, {3, "Y"}}));
    const std::string old = "1\r\n1\r\nGoOrigion\t\tX" + Tabs(14) + "\r\n";
    dir.Write(old);
    ASSERT_EQ(::symlink(dir.Path().c_str(), dir.Path("link.pla").c_str()), 0);
    for (const std::string& path : {dir.Path(), dir.Path("link.pla")}) {
        SCOPED_TRACE(path);
        EXPECT_TRUE(test::WithFullDisk(1024, [&] {
            std::string error;
            return !WritePlanFile(path, plan, kControlPlanCells, &error) &&
                   error.find("too large") != std::string::npos;
        }));
        EXPECT_EQ(dir.Read(), old);
    }
}

// Hostile counts and contents: refused, or loaded within what the file
// holds; bad rows are counted, only the first few listed.
TEST(PlanFileDecode, HostileFilesAreBoundedByTheirBytes) {
    // Blank lines cost a whole row each for one byte: a few are padded and
    // reported, many make the file count as damaged.
    const std::size_t most = kMaxPlanBadRows;
    const std::string blank = "1\r\n" + std::to_string(most) + "\r\n" + std::string(most, '\n');
    PlanTable table;
    PlanReadReport report;
    std::string error;
    ASSERT_TRUE(DecodePlan(blank, kControlPlanCells, table, &report, &error)) << error;
    EXPECT_EQ(table.rows.size(), most);
    EXPECT_EQ(report.badRowCount, most);
    EXPECT_EQ(report.badRows, (std::vector<int>{1, 2, 3, 4, 5, 6, 7, 8, 9, 10}));
    EXPECT_EQ(report.ignoredLines, 0u);

    PlanTable kept{7, {ControlRow({{1, "keep"}})}};
    const std::string row = "GoHome\t\tY" + Tabs(14) + "\r\n";
    for (const std::string& bytes :
         {"1\r\n" + std::to_string(most + 1) + "\r\n" + std::string(most + 1, '\n'),
          "1\r\n" + std::to_string(kMaxPlanRows) + "\r\n" + row,
          "1\r\n" + std::to_string(kMaxPlanRows + 1) + "\r\n"}) {
        EXPECT_FALSE(DecodePlan(bytes, kControlPlanCells, kept, &report, &error));
        EXPECT_FALSE(error.empty());
        EXPECT_EQ(kept.rows.size(), 1u);
    }
    EXPECT_NE(error.find(std::to_string(kMaxPlanRows)), std::string::npos) << error;

    // A row of a million TABs is one bad row of K cells, not a million cells.
    const std::string tabs = "1\r\n1\r\n" + std::string(1000000, '\t') + "\r\n";
    ASSERT_TRUE(DecodePlan(tabs, kControlPlanCells, table, &report, &error));
    ASSERT_EQ(table.rows.size(), 1u);
    EXPECT_EQ(table.rows[0].size(), static_cast<std::size_t>(kControlPlanCells));
    EXPECT_EQ(report.badRowCount, 1u);

    // NUL and other bytes are cell text like any other.
    const std::string nul =
        "1\r\n1\r\nGo" + std::string(1, '\0') + "Home\t" + Tabs(15) + "\r\njunk\r\n";
    ASSERT_TRUE(DecodePlan(nul, kControlPlanCells, table, &report, &error));
    EXPECT_EQ(table.rows[0][0], std::string("Go\0Home", 7));
    EXPECT_EQ(report.badRowCount, 0u);
    EXPECT_EQ(report.ignoredLines, 1u);
}

}  // namespace
}  // namespace korva
