// The first stage of reading a drawing: the pairs of group code and value
// lines are checked and written again in the form dxflib reads safely.
#include <algorithm>
#include <cmath>
#include <string>

#include "DxfLoad.h"
#include "DxfText.h"
#include "LargeBuffers.h"

namespace korva::cadio {
namespace {

using dxf::kMaxLine;
using dxf::ParseInt;
using dxf::ParseReal;
using dxf::ProgressSink;
using dxf::Strip;

// Entities for which dxflib allocates arrays by a count read from the file.
bool CountsAllocate(std::string_view entity) {
    return entity == "LWPOLYLINE" || entity == "SPLINE" || entity == "LEADER" || entity == "HATCH";
}

enum class ValueKind { kString, kReal, kInt };

ValueKind KindOfCode(int code) {
    if ((code >= 10 && code <= 59) || (code >= 110 && code <= 149) ||
        (code >= 210 && code <= 239) || (code >= 460 && code <= 469) ||
        (code >= 1010 && code <= 1059))
        return ValueKind::kReal;
    if ((code >= 60 && code <= 79) || (code >= 90 && code <= 99) || (code >= 160 && code <= 179) ||
        (code >= 270 && code <= 299) || (code >= 370 && code <= 389) ||
        (code >= 400 && code <= 409) || (code >= 420 && code <= 429) ||
        (code >= 440 && code <= 459) || (code >= 1060 && code <= 1071))
        return ValueKind::kInt;
    return ValueKind::kString;
}

std::string Quote(std::string_view s) {
    std::string q = "'";
    for (char c : s.substr(0, 40)) q += (static_cast<unsigned char>(c) < 0x20) ? '?' : c;
    if (s.size() > 40) q += "...";
    return q + "'";
}

// Cuts a UTF-8 text at a character boundary.
std::string_view CutUtf8(std::string_view s, std::size_t max) {
    if (s.size() <= max) return s;
    std::size_t n = max;
    while (n > 0 && (static_cast<unsigned char>(s[n]) & 0xC0) == 0x80) --n;
    return s.substr(0, n);
}

}  // namespace

bool NormalizeDxf(std::string_view content, std::string* normalized, std::string* error,
                  const Progress& progress, int progressEnd) {
    ProgressSink sink(progress);
    normalized->clear();
    if (content.size() >= 3 && content.substr(0, 3) == "\xEF\xBB\xBF") content.remove_prefix(3);
    if (content.substr(0, 18) == "AutoCAD Binary DXF") {
        *error = "binary DXF files are not supported; save the drawing as ASCII DXF";
        return false;
    }
    if (content.find_first_not_of(" \t\r\n") == std::string_view::npos) {
        *error = "the file is empty";
        return false;
    }
    if (content.find('\0') != std::string_view::npos) {
        *error = "the file contains NUL bytes: it is not a text DXF file";
        return false;
    }
    const std::size_t totalLines =
        static_cast<std::size_t>(std::count(content.begin(), content.end(), '\n')) + 1;
    normalized->reserve(content.size());
    AdviseLargeBuffer(normalized->data(), normalized->capacity());

    std::size_t pos = 0, lineNo = 0;
    auto nextLine = [&](std::string_view* line) {
        if (pos >= content.size()) return false;
        std::size_t end = content.find_first_of("\r\n", pos);
        if (end == std::string_view::npos) end = content.size();
        *line = content.substr(pos, end - pos);
        pos = end;
        if (pos < content.size() && content[pos] == '\r') ++pos;
        if (pos < content.size() && content[pos] == '\n') ++pos;
        ++lineNo;
        return true;
    };

    bool started = false, ended = false;
    std::string entity;
    std::size_t pairs = 0;
    std::string_view codeLine, value;
    while (nextLine(&codeLine)) {
        const std::size_t codeLineNo = lineNo;
        std::string_view codeText = Strip(codeLine);
        if (codeText.empty() && pos >= content.size()) break;  // a final empty line
        long long code = 0;
        if (!ParseInt(codeText, &code) || code < -5 || code > 1071) {
            *error = "line " + std::to_string(codeLineNo) + ": a group code was expected, not " +
                     Quote(codeText);
            return false;
        }
        if (!nextLine(&value)) {
            *error = "line " + std::to_string(codeLineNo) +
                     ": the file ends after a group code: it is incomplete";
            return false;
        }
        value = Strip(value);
        const auto where = [&] {
            return "line " + std::to_string(lineNo) + " (group code " + std::to_string(code) +
                   "): ";
        };
        if (value.size() > kMaxLine) {
            const bool text = code == 1 || code == 3 || code == 999 ||
                              (code >= 1000 && code <= 1009) || (code >= 300 && code <= 309);
            if (!text) {
                *error = where() + "the line is too long";
                return false;
            }
            value = CutUtf8(value, kMaxLine);  // text is only painted
        }
        switch (KindOfCode(static_cast<int>(code))) {
            case ValueKind::kReal: {
                double v;
                if (!ParseReal(value, &v)) {
                    *error = where() + Quote(value) + " is not a finite number";
                    return false;
                }
                // Coordinates, radii, bulges and angles reach the controller
                // as 32-bit floats.
                if (code >= 10 && code <= 59 &&
                    std::fabs(v) > static_cast<double>(std::numeric_limits<float>::max())) {
                    *error =
                        where() + Quote(value) + " does not fit the 32-bit numbers a run sends";
                    return false;
                }
                break;
            }
            case ValueKind::kInt: {
                long long v;
                const bool wide = (code >= 160 && code <= 169) || (code >= 450 && code <= 459);
                if (!ParseInt(value, &v) || (!wide && (v < INT32_MIN || v > INT32_MAX))) {
                    *error = where() + Quote(value) + " is not a whole number";
                    return false;
                }
                const bool count = (code >= 70 && code <= 79) || (code >= 90 && code <= 99);
                if (count && CountsAllocate(entity)) {
                    const std::size_t remaining = (totalLines - std::min(totalLines, lineNo)) / 2;
                    if (v < 0 || static_cast<unsigned long long>(v) > remaining) {
                        *error = where() + "the count " + std::string(value) + " in " + entity +
                                 " does not fit the rest of the file";
                        return false;
                    }
                }
                break;
            }
            case ValueKind::kString:
                break;
        }
        if (code == 999) continue;  // comments carry nothing
        if (!started) {
            if (code != 0 || value != "SECTION") {
                *error = "line " + std::to_string(codeLineNo) +
                         ": a DXF file starts with a SECTION, not " + Quote(value);
                return false;
            }
            started = true;
        }
        if (code == 0) entity.assign(value);
        normalized->append(std::to_string(code));
        normalized->push_back('\n');
        normalized->append(value);
        normalized->push_back('\n');
        if (++pairs % 4096 == 0)
            sink.Report(static_cast<int>(progressEnd * static_cast<double>(pos) / content.size()));
        if (code == 0 && value == "EOF") {
            ended = true;
            break;
        }
    }
    if (!ended) {
        *error = "the file ends without its EOF marker: it is incomplete";
        return false;
    }
    sink.Report(progressEnd);
    return true;
}

}  // namespace korva::cadio
