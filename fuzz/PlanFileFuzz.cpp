// Plan file reader: never crashes or hangs on any bytes, and whatever it
// loads (when writable) reads back unchanged.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "PlanFile.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string_view bytes(reinterpret_cast<const char*>(data), size);
    for (int cells : {korva::kControlPlanCells, korva::kStagedeskPlanCells}) {
        korva::PlanTable table;
        korva::PlanReadReport report;
        std::string error;
        if (!korva::DecodePlan(bytes, cells, table, &report, &error)) continue;
        for (const auto& row : table.rows) {
            if (row.size() != static_cast<std::size_t>(cells)) std::abort();
        }
        std::string encoded;
        // A lone CR inside a cell cannot be written back; everything else can.
        if (!korva::EncodePlan(table, cells, &encoded, &error)) continue;
        korva::PlanTable again;
        korva::PlanReadReport clean;
        if (!korva::DecodePlan(encoded, cells, again, &clean, &error)) std::abort();
        if (!clean.Clean() || again.totalCount != table.totalCount || again.rows != table.rows) {
            std::abort();
        }
    }
    return 0;
}
