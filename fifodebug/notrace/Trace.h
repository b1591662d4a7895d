#pragma once
// Stands in for common/Trace.h when UsbFifo compiles the link's D2XX binding:
// the tool's build of the binding emits no debug traces, so every trace call
// compiles to nothing (the arguments are still type-checked).

namespace korva {

inline bool TraceEnabled() {
    return false;
}
inline void Trace(const char* /*format*/, ...) __attribute__((format(printf, 1, 2)));
inline void Trace(const char* /*format*/, ...) {}

}  // namespace korva
