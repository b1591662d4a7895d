#pragma once
// Numbers on the wire are formatted and parsed the same way whatever the
// process locale says (a Qt program takes LC_NUMERIC from the environment,
// and under a comma locale printf would write "1000,000000").
#include <cstdarg>
#include <string>
#include <string_view>

namespace korva {

// printf-style formatting for command lines, supporting %c %d %u %f %s %%.
// %f is fixed notation with six decimals, always with a '.'. A NUL character
// produced by %c ends the text at that point (a missing axis letter).
std::string FormatLine(const char* format, ...);
std::string FormatLineV(const char* format, va_list ap);

// Fixed notation with the given number of decimals, '.' as decimal point.
std::string FormatFixed(double value, int decimals = 6);

// C's atof/atoi in the "C" locale: leading white space skipped, the longest
// numeric prefix taken, 0 when there is none. AtoI saturates instead of
// overflowing.
double AtoF(std::string_view text);
int AtoI(std::string_view text);

}  // namespace korva
