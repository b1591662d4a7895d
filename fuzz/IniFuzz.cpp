// INI reader and writer on any content: lookups never crash, a value set is
// found again exactly, and setting one key changes no other key's value.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "Ini.h"

namespace {
// The input is content, then section, key, value and a second section and key
// to watch, separated by NUL bytes (missing parts are empty).
std::string_view Take(std::string_view& rest) {
    std::size_t nul = rest.find('\0');
    std::string_view part = rest.substr(0, nul);
    rest = nul == std::string_view::npos ? std::string_view() : rest.substr(nul + 1);
    return part;
}

bool SameName(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        auto lower = [](char c) { return (c >= 'A' && c <= 'Z') ? char(c - 'A' + 'a') : c; };
        if (lower(a[i]) != lower(b[i])) return false;
    }
    return true;
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string_view rest(reinterpret_cast<const char*>(data), size);
    std::string content(Take(rest));
    std::string_view section = Take(rest), key = Take(rest), value = Take(rest);
    std::string_view otherSection = Take(rest), otherKey = Take(rest);

    std::string before;
    bool hadOther = korva::FindProfileValue(content, otherSection, otherKey, &before);
    std::string error;
    if (!korva::SetProfileValue(content, section, key, value, &error)) return 0;

    std::string found;
    if (!korva::FindProfileValue(content, section, key, &found) || found != value) std::abort();
    if (!(SameName(section, otherSection) && SameName(key, otherKey))) {
        std::string after;
        bool hasOther = korva::FindProfileValue(content, otherSection, otherKey, &after);
        if (hasOther != hadOther || after != before) std::abort();
    }
    return 0;
}
