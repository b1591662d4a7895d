#include "DxfDryRun.h"

#include <charconv>
#include <cmath>
#include <cstring>
#include <iostream>
#include <string_view>

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

int DryRun(const std::string& path, std::ostream& out, std::ostream& err,
           const JobOptions& options) {
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
    std::vector<JobStep> steps;
    std::string why;
    if (!BuildJob(prepared, options, &steps, &why)) {
        err << "stagedesk: " << path << ": " << why << "\n";
        return 1;
    }
    for (const JobStep& step : steps) out << FormatStep(step) << '\n';
    out.flush();
    if (!out) {
        err << "stagedesk: the calls could not be written\n";
        return 1;
    }
    return 0;
}

namespace {

bool Number(std::string_view text, double* out) {
    if (!text.empty() && text.front() == '+') text.remove_prefix(1);
    const char* end = text.data() + text.size();
    auto [p, ec] = std::from_chars(text.data(), end, *out);
    return !text.empty() && ec == std::errc() && p == end && std::isfinite(*out);
}

bool Whole(std::string_view text, long long* out) {
    if (!text.empty() && text.front() == '+') text.remove_prefix(1);
    const char* end = text.data() + text.size();
    auto [p, ec] = std::from_chars(text.data(), end, *out);
    return !text.empty() && ec == std::errc() && p == end;
}

// "A,B" as two numbers.
template <typename T, typename Parse>
bool Pair(std::string_view text, T* a, T* b, Parse parse) {
    const std::size_t comma = text.find(',');
    return comma != std::string_view::npos && parse(text.substr(0, comma), a) &&
           parse(text.substr(comma + 1), b);
}

}  // namespace

bool ParseJobOptions(int argc, char** argv, JobOptions* o, std::string* error) {
    const std::string_view names[] = {"--scale",        "--offset",   "--draw-speed",
                                      "--travel-speed", "--tool-bit", "--tool-delays",
                                      "--arc-ccw"};
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (arg == "--") break;
        for (std::string_view name : names) {
            if (arg.substr(0, name.size()) != name) continue;
            std::string_view value;
            if (arg.size() == name.size()) {
                if (i + 1 >= argc) {
                    *error = std::string(name) + " needs a value";
                    return false;
                }
                value = argv[++i];
            } else if (arg[name.size()] == '=') {
                value = arg.substr(name.size() + 1);
            } else {
                continue;  // another option that starts alike
            }
            const std::string bad = std::string(name) + ": '" + std::string(value) + "' ";
            double d = 0;
            long long n = 0, m = 0;
            if (name == "--scale") {
                if (!Number(value, &d) || !(d > 0)) {
                    *error = bad + "is not a positive number";
                    return false;
                }
                o->placement.scale = d;
            } else if (name == "--offset") {
                if (!Pair(value, &o->placement.offsetX, &o->placement.offsetY, Number)) {
                    *error = bad + "is not two numbers X,Y";
                    return false;
                }
            } else if (name == "--draw-speed" || name == "--travel-speed") {
                if (!Number(value, &d) || !(d > 0)) {
                    *error = bad + "is not a positive speed";
                    return false;
                }
                (name == "--draw-speed" ? o->drawSpeed : o->travelSpeed) = d;
            } else if (name == "--tool-bit") {
                if (!Whole(value, &n) || n < 0 || n > 7) {
                    *error = bad + "is not a port bit 0 to 7";
                    return false;
                }
                o->toolBit = static_cast<int>(n);
            } else if (name == "--tool-delays") {
                if (!Pair(value, &n, &m, Whole) || n < 0 || m < 0 || n > 600000 || m > 600000) {
                    *error = bad + "is not two delays ON_MS,OFF_MS of 0 to 600000";
                    return false;
                }
                o->toolOnDelayMs = static_cast<int>(n);
                o->toolOffDelayMs = static_cast<int>(m);
            } else {
                if (!Whole(value, &n) || (n != 0 && n != 1)) {
                    *error = bad + "is not 0 or 1";
                    return false;
                }
                o->placement.ccwValue = static_cast<std::int16_t>(n);
            }
            break;
        }
    }
    return true;
}

namespace {

int WithOptions(const std::string& path, int argc, char** argv) {
    JobOptions options;
    std::string error;
    if (!ParseJobOptions(argc, argv, &options, &error)) {
        std::cerr << "stagedesk: " << error << "\n";
        return 2;
    }
    return DryRun(path, std::cout, std::cerr, options);
}

}  // namespace

std::optional<int> HandleDxfPathOption(int argc, char** argv) {
    static constexpr const char kOption[] = "--dxf-path";
    constexpr std::size_t kLen = sizeof kOption - 1;
    for (int i = 1; i < argc; ++i) {
        const char* arg = argv[i];
        if (std::strcmp(arg, "--") == 0) break;
        if (std::strncmp(arg, kOption, kLen) != 0) continue;
        if (arg[kLen] == '=') {
            if (arg[kLen + 1] == '\0') break;
            return WithOptions(arg + kLen + 1, argc, argv);
        }
        if (arg[kLen] != '\0') continue;  // another option that starts alike
        if (i + 1 >= argc || argv[i + 1][0] == '\0') break;
        return WithOptions(argv[i + 1], argc, argv);
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
