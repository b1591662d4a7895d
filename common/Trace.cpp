#include "Trace.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string_view>

namespace korva {

bool TraceEnabled() {
    static const bool enabled = [] {
        const char* v = std::getenv("KORVA_TRACE");
        return v != nullptr && *v != '\0' && std::string_view(v) != "0";
    }();
    return enabled;
}

void Trace(const char* format, ...) {
    if (!TraceEnabled()) return;
    static std::mutex lock;  // keeps lines of different threads apart
    std::lock_guard<std::mutex> guard(lock);
    va_list ap;
    va_start(ap, format);
    std::vfprintf(stderr, format, ap);
    va_end(ap);
    std::fflush(stderr);
}

}  // namespace korva
