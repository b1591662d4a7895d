#include "Trace.h"

namespace korva {

bool TraceEnabled() {
    return false;
}

void Trace(const char* /*format*/, ...) {}

}  // namespace korva
