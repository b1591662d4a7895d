// Reading a drawing by stages: check (DxfCheck.cpp), read (DxfRead.cpp),
// expand (DxfExpand.cpp).
#include "DxfLoad.h"

#include <cerrno>
#include <limits>
#include <locale>
#include <string>

#include "DxfRecords.h"
#include "Files.h"

namespace korva::cadio {
namespace {

bool ReadWholeFile(const std::string& path, std::string* content, std::string* error) {
    // A FIFO or a device in the drawing's place is refused, never waited on.
    switch (ReadRegularFile(path, std::numeric_limits<std::size_t>::max(), content, error)) {
        case FileRead::kRead:
            return true;
        case FileRead::kMissing:
            *error = "cannot open " + path + ": " + ErrnoText(ENOENT);
            return false;
        case FileRead::kFailed:
            break;
    }
    return false;
}

}  // namespace

bool LoadDxfText(std::string_view content, Model* out, std::string* error, const Progress& progress,
                 bool plainEntities) {
    // dxflib reads numbers with the global C++ locale; under a decimal comma it
    // would misread every coordinate.
    if (std::use_facet<std::numpunct<char>>(std::locale()).decimal_point() != '.') {
        *error = "the program's C++ locale does not use a decimal point";
        return false;
    }
    dxf::ProgressSink sink(progress);
    std::string checked;
    if (!NormalizeDxf(content, &checked, error, progress, 30)) return false;
    dxf::Records records;
    if (!dxf::ReadRecords(checked, plainEntities, sink, 30, 90, &records, error)) return false;
    // The checked text can be large; it is not needed any more.
    std::string().swap(checked);
    Model model;
    if (!dxf::ExpandRecords(records, &model, error)) return false;
    sink.Report(100);
    *out = std::move(model);
    return true;
}

bool LoadDxfFile(const std::string& path, Model* out, std::string* error,
                 const Progress& progress) {
    std::string content;
    if (!ReadWholeFile(path, &content, error)) return false;
    return LoadDxfText(content, out, error, progress);
}

}  // namespace korva::cadio
