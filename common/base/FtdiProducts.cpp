#include "FtdiProducts.h"

#include <cstdlib>

namespace korva {

std::vector<int> FtdiProductIds() {
    // FT232/FT245 (R), FT2232, FT4232, FT232H, FT-X.
    std::vector<int> ids = {0x6001, 0x6010, 0x6011, 0x6014, 0x6015};
    const char* extra = std::getenv("KORVA_FTDI_PIDS");
    for (const char* p = extra != nullptr ? extra : ""; *p != '\0';) {
        char* end = nullptr;
        const long id = std::strtol(p, &end, 16);
        if (end == p) {
            ++p;
            continue;
        }
        if (id > 0 && id <= 0xffff) ids.push_back(static_cast<int>(id));
        p = end;
    }
    return ids;
}

}  // namespace korva
