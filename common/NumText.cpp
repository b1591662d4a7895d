#include "NumText.h"

#include <charconv>
#include <climits>
#include <cmath>
#include <cstdint>

namespace korva {

std::string FormatFixed(double value, int decimals) {
    char buf[400];
    auto res = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::fixed, decimals);
    if (res.ec != std::errc()) return "0";
    return std::string(buf, res.ptr);
}

std::string FormatLineV(const char* format, va_list ap) {
    std::string out;
    for (const char* p = format; *p != '\0'; ++p) {
        if (*p != '%') {
            out.push_back(*p);
            continue;
        }
        ++p;
        switch (*p) {
            case 'c': {
                char c = static_cast<char>(va_arg(ap, int));
                if (c == '\0') return out;  // the text ends where the letter is missing
                out.push_back(c);
                break;
            }
            case 'd': out += std::to_string(va_arg(ap, int)); break;
            case 'u': out += std::to_string(va_arg(ap, unsigned)); break;
            case 'f': out += FormatFixed(va_arg(ap, double), 6); break;
            case 's': {
                const char* s = va_arg(ap, const char*);
                out += s ? s : "";
                break;
            }
            case '%': out.push_back('%'); break;
            case '\0': return out;
            default:  // unsupported conversion: keep it visible rather than guess
                out.push_back('%');
                out.push_back(*p);
                break;
        }
    }
    return out;
}

std::string FormatLine(const char* format, ...) {
    va_list ap;
    va_start(ap, format);
    std::string s = FormatLineV(format, ap);
    va_end(ap);
    return s;
}

namespace {
std::string_view SkipSpace(std::string_view t) {
    size_t i = 0;
    while (i < t.size() && (t[i] == ' ' || (t[i] >= '\t' && t[i] <= '\r'))) ++i;
    return t.substr(i);
}
}  // namespace

double AtoF(std::string_view text) {
    std::string_view t = SkipSpace(text);
    bool neg = false;
    if (!t.empty() && (t[0] == '+' || t[0] == '-')) {
        neg = t[0] == '-';
        t.remove_prefix(1);
    }
    if (t.empty() || t[0] == '+' || t[0] == '-') return 0.0;
    double v = 0.0;
    auto res = std::from_chars(t.data(), t.data() + t.size(), v, std::chars_format::general);
    if (res.ec == std::errc::invalid_argument) return 0.0;
    if (res.ec == std::errc::result_out_of_range) {
        // from_chars leaves v untouched here; atof gives HUGE_VAL or 0.
        bool tiny = false;
        for (const char* q = t.data(); q < res.ptr; ++q)
            if (*q == 'e' || *q == 'E') tiny = q + 1 < res.ptr && q[1] == '-';
        v = tiny ? 0.0 : HUGE_VAL;
    }
    return neg ? -v : v;
}

int AtoI(std::string_view text) {
    std::string_view t = SkipSpace(text);
    bool neg = false;
    if (!t.empty() && (t[0] == '+' || t[0] == '-')) {
        neg = t[0] == '-';
        t.remove_prefix(1);
    }
    std::uint64_t v = 0;
    bool any = false;
    for (char c : t) {
        if (c < '0' || c > '9') break;
        any = true;
        if (v <= static_cast<std::uint64_t>(INT_MAX) + 1) v = v * 10 + static_cast<unsigned>(c - '0');
    }
    if (!any) return 0;
    if (neg) return v > static_cast<std::uint64_t>(INT_MAX) + 1 ? INT_MIN : static_cast<int>(-static_cast<std::int64_t>(v));
    return v > static_cast<std::uint64_t>(INT_MAX) ? INT_MAX : static_cast<int>(v);
}

}  // namespace korva
