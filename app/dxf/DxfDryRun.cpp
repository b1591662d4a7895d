#include "DxfDryRun.h"

#include <cstring>
#include <iostream>

#include "CadIOBinding.h"
#include "DxfPath.h"

namespace stagedesk::dxf {
namespace {

constexpr std::uint32_t kRecordMessage = 1025;

std::string KindName(std::int32_t kind) {
    switch (kind) {
        case DRW_ENT_TEXT:
            return "text";
        case DRW_ENT_POINT:
            return "point";
        default:
            return "kind " + std::to_string(kind);
    }
}

}  // namespace

int DryRun(const std::string& path, std::ostream& out, std::ostream& err) {
    CCadIO cad;
    if (!cad.IsLoaded()) {
        err << "stagedesk: " << cad.LoadError() << "\n";
        return 1;
    }
    if (!cad.Create()) {
        err << "stagedesk: Fatal error on creating CDrawing!\n";
        return 1;
    }
    Importer importer;
    const DrwReceiver window = importer.Receiver();
    cad.SetWindow(&window, kRecordMessage);
    if (!cad.LoadFromFile(path, nullptr)) {
        const std::string why = cad.LastError();
        err << "stagedesk: Error while loading dxf file! " << path
            << (why.empty() ? std::string() : ": " + why) << "\n";
        return 1;
    }
    cad.GetData();
    if (const std::string notes = cad.LoadNotes(); !notes.empty())
        err << "stagedesk: " << path << ": " << notes << "\n";
    std::string ignored;
    for (const auto& [kind, count] : importer.Ignored())
        ignored += (ignored.empty() ? "" : ", ") + std::to_string(count) + " " + KindName(kind);
    if (!ignored.empty()) err << "stagedesk: not part of the path: " << ignored << "\n";
    if (importer.Refused() > 0)
        err << "stagedesk: " << importer.Refused()
            << " records without a usable shape were left out\n";

    const std::vector<PathElement> prepared = PreparePath(std::move(importer.Elements()));
    for (const MotionCall& call : RunCalls(prepared)) out << FormatCall(call) << '\n';
    out.flush();
    if (!out) {
        err << "stagedesk: the calls could not be written\n";
        return 1;
    }
    return 0;
}

std::optional<int> HandleDxfPathOption(int argc, char** argv) {
    static constexpr const char kOption[] = "--dxf-path";
    constexpr std::size_t kLen = sizeof kOption - 1;
    for (int i = 1; i < argc; ++i) {
        const char* arg = argv[i];
        if (std::strcmp(arg, "--") == 0) break;
        if (std::strncmp(arg, kOption, kLen) != 0) continue;
        if (arg[kLen] == '=') {
            if (arg[kLen + 1] == '\0') break;
            return DryRun(arg + kLen + 1, std::cout, std::cerr);
        }
        if (arg[kLen] != '\0') continue;  // another option that starts alike
        if (i + 1 >= argc || argv[i + 1][0] == '\0') break;
        return DryRun(argv[i + 1], std::cout, std::cerr);
    }
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--") == 0) break;
        if (std::strcmp(argv[i], kOption) == 0 || std::strcmp(argv[i], "--dxf-path=") == 0) {
            std::cerr << "stagedesk: --dxf-path needs the path of a DXF drawing\n";
            return 2;
        }
    }
    return std::nullopt;
}

}  // namespace stagedesk::dxf
