#pragma once
// Debug trace: silent unless KORVA_TRACE is set in the environment, then the
// texts go to stderr exactly as given (callers put in their own newlines).

namespace korva {

bool TraceEnabled();
void Trace(const char* format, ...) __attribute__((format(printf, 1, 2)));

}  // namespace korva
