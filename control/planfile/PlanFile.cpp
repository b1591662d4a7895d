#include "PlanFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>

#include "NumText.h"
#include "Trace.h"

namespace korva {
namespace {

// Rows a file may announce beyond those it holds; they are filled with empty
// cells. Far more than that means the count is garbage, and filling it would
// only exhaust memory.
constexpr std::size_t kMaxMissingRows = 10000;
// No plan comes near this; a larger file is not a plan.
constexpr off_t kMaxPlanBytes = 256 * 1024 * 1024;

bool Fail(std::string* error, const std::string& why) {
    if (error) *error = why;
    Trace("plan file: %s\n", why.c_str());
    return false;
}

std::string SystemError(const std::string& what, const std::string& path) {
    return what + " " + path + ": " + std::strerror(errno);
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
// (unterminated) cell.
std::vector<std::string> SplitCells(std::string_view line) {
    std::vector<std::string> cells;
    std::size_t start = 0;
    for (std::size_t tab = line.find('\t'); tab != std::string_view::npos;
         tab = line.find('\t', start)) {
        cells.emplace_back(line.substr(start, tab - start));
        start = tab + 1;
    }
    if (start < line.size()) cells.emplace_back(line.substr(start));
    return cells;
}

bool WriteAll(int fd, std::string_view data) {
    while (!data.empty()) {
        ssize_t n = ::write(fd, data.data(), data.size());
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        data.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
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

    std::vector<std::string_view> lines;
    while (NextLine(bytes, pos, &line)) lines.push_back(line);
    // A negative count, as atoi may give, loads no rows.
    std::size_t n = announced > 0 ? static_cast<std::size_t>(announced) : 0;
    if (n > lines.size() + kMaxMissingRows) {
        return Fail(error, "the file announces " + std::to_string(n) + " rows but holds " +
                               std::to_string(lines.size()));
    }

    PlanTable result;
    result.totalCount = total;
    PlanReadReport found;
    result.rows.reserve(n);
    for (std::size_t r = 0; r < n; ++r) {
        std::vector<std::string> cells;
        if (r < lines.size()) cells = SplitCells(lines[r]);
        if (r >= lines.size() || cells.size() != static_cast<std::size_t>(cellsPerRow)) {
            found.badRows.push_back(static_cast<int>(r + 1));
        }
        cells.resize(static_cast<std::size_t>(cellsPerRow));
        result.rows.push_back(std::move(cells));
    }
    for (std::size_t r = n; r < lines.size(); ++r) {
        if (!lines[r].empty()) ++found.ignoredLines;
    }
    table = std::move(result);
    if (report) *report = std::move(found);
    return true;
}

bool WritePlanFile(const std::string& path, const PlanTable& table, int cellsPerRow,
                   std::string* error) {
    std::string bytes;
    if (!EncodePlan(table, cellsPerRow, &bytes, error)) return false;

    // Write a sibling and rename it over the plan; where no sibling can be
    // made (a directory we may not create files in, a symbolic link to keep),
    // write in place.
    struct stat st {};
    bool exists = ::lstat(path.c_str(), &st) == 0;
    int fd = -1;
    std::string tmp;
    if (!exists || S_ISREG(st.st_mode)) {
        static std::atomic<unsigned> counter{0};
        tmp =
            path + ".tmp" + std::to_string(::getpid()) + "_" + std::to_string(counter.fetch_add(1));
        fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd >= 0 && exists) ::fchmod(fd, st.st_mode & 07777);
    }
    if (fd < 0) {
        tmp.clear();
        fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
        if (fd < 0) return Fail(error, SystemError("cannot create", path));
    }
    const std::string& written = tmp.empty() ? path : tmp;
    bool ok = WriteAll(fd, bytes);
    std::string why = ok ? std::string() : SystemError("cannot write", written);
    if (::close(fd) != 0 && ok) {
        ok = false;
        why = SystemError("cannot write", written);
    }
    if (ok && !tmp.empty() && ::rename(tmp.c_str(), path.c_str()) != 0) {
        ok = false;
        why = SystemError("cannot replace", path);
    }
    if (!ok && !tmp.empty()) ::unlink(tmp.c_str());
    return ok ? true : Fail(error, why);
}

bool ReadPlanFile(const std::string& path, int cellsPerRow, PlanTable& table,
                  PlanReadReport* report, std::string* error) {
    // O_NONBLOCK: a FIFO chosen by mistake must not hang the editor.
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return Fail(error, SystemError("cannot open", path));
    std::string bytes;
    std::string why;
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        why = SystemError("cannot read", path);
    } else if (!S_ISREG(st.st_mode)) {
        why = path + " is not a plan file";
    } else if (st.st_size > kMaxPlanBytes) {
        why = path + " is too large for a plan file";
    } else {
        char buf[65536];
        for (;;) {
            ssize_t n = ::read(fd, buf, sizeof buf);
            if (n > 0) {
                bytes.append(buf, static_cast<std::size_t>(n));
                if (bytes.size() > static_cast<std::size_t>(kMaxPlanBytes)) {
                    why = path + " is too large for a plan file";
                    break;
                }
                continue;
            }
            if (n == 0) break;
            if (errno == EINTR) continue;
            why = SystemError("cannot read", path);
            break;
        }
    }
    ::close(fd);
    if (!why.empty()) return Fail(error, why);
    return DecodePlan(bytes, cellsPerRow, table, report, error);
}

}  // namespace korva
