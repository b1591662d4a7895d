#include "PlanFile.h"

#include <cerrno>

#include "Files.h"
#include "NumText.h"
#include "Trace.h"

namespace korva {
namespace {

// More steps than anyone composes in an editor; a larger count is a damaged
// or hostile file, and honouring it would cost memory out of all proportion
// to the file (every announced row becomes K cells, blank or not).
constexpr int kMaxRows = kMaxPlanRows;
// No plan of kMaxRows steps comes near this; a larger file is not a plan.
constexpr std::size_t kMaxPlanBytes = 16 * 1024 * 1024;
// Rows that are missing, blank or of another width, tolerated before the
// file counts as damaged or foreign. Each costs a whole row however few
// bytes it takes (a blank line is one), so their number is what must be
// bounded.
constexpr std::size_t kMaxBadRows = kMaxPlanBadRows;
// Bad rows listed by number; the rest are only counted.
constexpr std::size_t kListedBadRows = 10;

bool Fail(std::string* error, const std::string& why) {
    if (error) *error = why;
    Trace("plan file: %s\n", why.c_str());
    return false;
}

// The next line without its ending; false at the end of the bytes.
bool NextLine(std::string_view bytes, std::size_t& pos, std::string_view* line) {
    if (pos >= bytes.size()) return false;
    std::size_t nl = bytes.find('\n', pos);
    std::size_t end = nl == std::string_view::npos ? bytes.size() : nl;
    *line = bytes.substr(pos, end - pos);
    if (!line->empty() && line->back() == '\r') line->remove_suffix(1);
    pos = nl == std::string_view::npos ? bytes.size() : nl + 1;
    return true;
}

// Cells are the texts before each TAB; text after the last TAB is one more
// (unterminated) cell. At most `keep` cells are made (a line of a million
// TABs must not become a million strings); false when the line holds a
// different number of cells than `keep`.
bool SplitCells(std::string_view line, std::size_t keep, std::vector<std::string>* cells) {
    cells->clear();
    cells->reserve(keep);
    std::size_t start = 0;
    std::size_t found = 0;
    for (std::size_t tab = line.find('\t'); tab != std::string_view::npos;
         tab = line.find('\t', start)) {
        if (++found > keep) return false;
        cells->emplace_back(line.substr(start, tab - start));
        start = tab + 1;
    }
    if (start < line.size()) {
        if (++found > keep) return false;
        cells->emplace_back(line.substr(start));
    }
    return found == keep;
}

}  // namespace

bool EncodePlan(const PlanTable& table, int cellsPerRow, std::string* bytes, std::string* error) {
    if (cellsPerRow <= 0) return Fail(error, "a row needs at least one cell");
    std::string out =
        std::to_string(table.totalCount) + "\r\n" + std::to_string(table.rows.size()) + "\r\n";
    for (std::size_t r = 0; r < table.rows.size(); ++r) {
        const auto& row = table.rows[r];
        if (row.size() > static_cast<std::size_t>(cellsPerRow)) {
            return Fail(error, "row " + std::to_string(r + 1) + " has " +
                                   std::to_string(row.size()) + " cells, the file holds " +
                                   std::to_string(cellsPerRow));
        }
        for (int c = 0; c < cellsPerRow; ++c) {
            if (static_cast<std::size_t>(c) < row.size()) {
                const std::string& cell = row[c];
                if (cell.find_first_of("\t\r\n") != std::string::npos) {
                    return Fail(error, "row " + std::to_string(r + 1) + " cell " +
                                           std::to_string(c + 1) + " holds a TAB or a line break");
                }
                out += cell;
            }
            out += '\t';
        }
        out += "\r\n";
    }
    *bytes = std::move(out);
    return true;
}

bool DecodePlan(std::string_view bytes, int cellsPerRow, PlanTable& table, PlanReadReport* report,
                std::string* error) {
    if (cellsPerRow <= 0) return Fail(error, "a row needs at least one cell");
    std::size_t pos = 0;
    std::string_view line;
    int total = NextLine(bytes, pos, &line) ? AtoI(line) : 0;
    int announced = NextLine(bytes, pos, &line) ? AtoI(line) : 0;
    if (announced > kMaxRows) {
        return Fail(error, "the file announces " + std::to_string(announced) +
                               " steps; a plan holds at most " + std::to_string(kMaxRows));
    }
    // A negative count, as atoi may give, loads no rows.
    const std::size_t n = announced > 0 ? static_cast<std::size_t>(announced) : 0;
    const std::size_t k = static_cast<std::size_t>(cellsPerRow);

    PlanTable result;
    result.totalCount = total;
    PlanReadReport found;
    result.rows.reserve(n);
    for (std::size_t r = 0; r < n; ++r) {
        std::vector<std::string> cells;
        const bool present = NextLine(bytes, pos, &line);
        if (!present || !SplitCells(line, k, &cells)) {
            if (++found.badRowCount > kMaxBadRows) {
                return Fail(error, "not a plan of " + std::to_string(k) +
                                       " cells per row, or damaged: more than " +
                                       std::to_string(kMaxBadRows) + " of its " +
                                       std::to_string(n) + " rows are missing or hold another " +
                                       "number of cells (the first is row " +
                                       std::to_string(found.badRows.front()) + ")");
            }
            if (found.badRows.size() < kListedBadRows) found.badRows.push_back(int(r + 1));
        }
        cells.resize(k);
        result.rows.push_back(std::move(cells));
    }
    while (NextLine(bytes, pos, &line)) {
        if (!line.empty()) ++found.ignoredLines;
    }
    table = std::move(result);
    if (report) *report = std::move(found);
    return true;
}

bool WritePlanFile(const std::string& path, const PlanTable& table, int cellsPerRow,
                   std::string* error) {
    std::string bytes;
    if (!EncodePlan(table, cellsPerRow, &bytes, error)) return false;
    std::string why;
    return ReplaceFile(path, bytes, &why) ? true : Fail(error, why);
}

bool ReadPlanFile(const std::string& path, int cellsPerRow, PlanTable& table,
                  PlanReadReport* report, std::string* error) {
    std::string bytes;
    std::string why;
    switch (ReadRegularFile(path, kMaxPlanBytes, &bytes, &why)) {
        case FileRead::kRead:
            return DecodePlan(bytes, cellsPerRow, table, report, error);
        case FileRead::kMissing:
            return Fail(error, "cannot open " + path + ": " + ErrnoText(ENOENT));
        case FileRead::kFailed:
            break;
    }
    return Fail(error, why);
}

}  // namespace korva
