#pragma once
// Stands in for common/Trace.h when UsbFifo compiles the link's D2XX binding:
// the tool's build emits no debug traces. The same two functions as common's,
// defined in NoTrace.cpp to do nothing; the language reader compiled from
// common/ (which finds common's own Trace.h beside it) links to them too, so
// one definition serves the whole program.

namespace korva {

bool TraceEnabled();
void Trace(const char* format, ...) __attribute__((format(printf, 1, 2)));

}  // namespace korva
