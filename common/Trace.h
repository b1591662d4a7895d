#pragma once
// Debug trace: silent unless KORVA_TRACE is set in the environment, then the
// texts go to stderr exactly as given (callers put in their own newlines).
// KORVA_TRACE=1 (or any other value) passes every level; "error", "warning",
// "info" or "debug" pass that level and the more severe ones.
//
// A host (a device server's log, a test) can take the texts instead: with a
// handler installed every text up to the handler's level goes to it, and
// nothing to stderr.

namespace korva {

enum class TraceLevel { kError = 0, kWarning = 1, kInfo = 2, kDebug = 3 };

// Gets each formatted text once, from the thread that traced it; calls are
// serialised. `context` is the pointer given with the handler.
using TraceHandler = void (*)(TraceLevel level, const char* text, void* context);

// Installs a handler (nullptr: back to the environment's stderr trace).
void SetTraceHandler(TraceHandler handler, void* context, TraceLevel upTo = TraceLevel::kDebug);

// True when a text at `level` would go anywhere: callers skip costly
// preparation otherwise.
bool TraceEnabled(TraceLevel level);
bool TraceEnabled();  // at debug level

void TraceAt(TraceLevel level, const char* format, ...) __attribute__((format(printf, 2, 3)));
void Trace(const char* format, ...) __attribute__((format(printf, 1, 2)));  // debug level

}  // namespace korva
