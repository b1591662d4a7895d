#include "Trace.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <string_view>

namespace korva {
namespace {

// The most verbose level KORVA_TRACE passes; -1 when it is unset or "0".
int EnvironmentLevel() {
    static const int level = [] {
        const char* v = std::getenv("KORVA_TRACE");
        if (v == nullptr || *v == '\0' || std::string_view(v) == "0") return -1;
        const std::string_view text(v);
        if (text == "error") return static_cast<int>(TraceLevel::kError);
        if (text == "warning") return static_cast<int>(TraceLevel::kWarning);
        if (text == "info") return static_cast<int>(TraceLevel::kInfo);
        return static_cast<int>(TraceLevel::kDebug);
    }();
    return level;
}

struct Sink {
    std::mutex lock;  // keeps texts of different threads apart
    TraceHandler handler = nullptr;
    void* context = nullptr;
    int upTo = -1;
};

Sink& TheSink() {
    static Sink sink;
    return sink;
}

void Emit(TraceLevel level, const char* format, va_list ap) {
    Sink& sink = TheSink();
    std::lock_guard<std::mutex> guard(sink.lock);
    if (sink.handler != nullptr) {
        if (static_cast<int>(level) > sink.upTo) return;
        va_list copy;
        va_copy(copy, ap);
        const int n = std::vsnprintf(nullptr, 0, format, copy);
        va_end(copy);
        if (n < 0) return;
        std::string text(static_cast<std::size_t>(n), '\0');
        std::vsnprintf(text.data(), text.size() + 1, format, ap);
        sink.handler(level, text.c_str(), sink.context);
        return;
    }
    if (static_cast<int>(level) > EnvironmentLevel()) return;
    std::vfprintf(stderr, format, ap);
    std::fflush(stderr);
}

}  // namespace

void SetTraceHandler(TraceHandler handler, void* context, TraceLevel upTo) {
    Sink& sink = TheSink();
    std::lock_guard<std::mutex> guard(sink.lock);
    sink.handler = handler;
    sink.context = context;
    sink.upTo = static_cast<int>(upTo);
}

bool TraceEnabled(TraceLevel level) {
    Sink& sink = TheSink();
    std::lock_guard<std::mutex> guard(sink.lock);
    const int limit = sink.handler != nullptr ? sink.upTo : EnvironmentLevel();
    return static_cast<int>(level) <= limit;
}

bool TraceEnabled() {
    return TraceEnabled(TraceLevel::kDebug);
}

void TraceAt(TraceLevel level, const char* format, ...) {
    va_list ap;
    va_start(ap, format);
    Emit(level, format, ap);
    va_end(ap);
}

void Trace(const char* format, ...) {
    va_list ap;
    va_start(ap, format);
    Emit(TraceLevel::kDebug, format, ap);
    va_end(ap);
}

}  // namespace korva
