#pragma once
// Plan files (*.pla): the total count, the number of step rows N, then N rows
// of K cells, each cell's text followed by a TAB, every line ending in CR LF.
// The control module's plan editor uses K = 16 cells, stagedesk's plan panel
// K = 18 (unit and speed added). Cells are stored as text; formatting the
// numbers in them is the editor's business (korva::FormatFixed for "%f").
#include <string>
#include <string_view>
#include <vector>

namespace korva {

inline constexpr int kControlPlanCells = 16;
inline constexpr int kStagedeskPlanCells = 18;
// A file announcing more step rows than this is refused, and so is one with
// more than kMaxPlanBadRows rows missing, blank or of another width.
inline constexpr int kMaxPlanRows = 10000;
inline constexpr std::size_t kMaxPlanBadRows = 1000;

struct PlanTable {
    int totalCount = 1;                          // passes over the whole plan (line 1)
    std::vector<std::vector<std::string>> rows;  // step rows: cells 1..K, no step number
};

// What a reader met that did not fit the expected layout. The table still
// holds every row the file announces, cut or padded to K cells.
struct PlanReadReport {
    std::size_t badRowCount = 0;   // rows that did not hold exactly K cells
                                   // (rows announced but missing count too)
    std::vector<int> badRows;      // the first few of them, 1-based
    std::size_t ignoredLines = 0;  // non-empty lines after the announced rows
    bool Clean() const { return badRowCount == 0 && ignoredLines == 0; }
};

// The file's bytes for a table. Fails, with the reason in *error, when a row
// holds more than cellsPerRow cells or a cell holds a TAB, CR or LF (it would
// not read back as written). Shorter rows are padded with empty cells.
bool EncodePlan(const PlanTable& table, int cellsPerRow, std::string* bytes, std::string* error);

// Reads the bytes of a plan file. Lines may end in CR LF or LF. Non-numeric
// header lines read as 0, as atoi does. Fails when the file announces more
// than kMaxPlanRows rows or more than kMaxPlanBadRows of them are bad; the
// caller's table is then untouched. Time and memory grow with the bytes,
// whatever count the file announces.
bool DecodePlan(std::string_view bytes, int cellsPerRow, PlanTable& table, PlanReadReport* report,
                std::string* error);

// Creates or replaces the file in one piece (korva::ReplaceFile): an existing
// plan is not touched unless the new one was written completely. The reader
// refuses what is not a regular file (a FIFO does not block it) and files
// beyond 16 MiB.
bool WritePlanFile(const std::string& path, const PlanTable& table, int cellsPerRow,
                   std::string* error);
bool ReadPlanFile(const std::string& path, int cellsPerRow, PlanTable& table,
                  PlanReadReport* report, std::string* error);

}  // namespace korva
