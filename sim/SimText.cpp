#include "SimText.h"

#include <cmath>

#include "NumText.h"

namespace korva::sim {

namespace {

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

}  // namespace

int ErrorNumber(Reply r) {
    return static_cast<int>(r) - static_cast<int>(Reply::kUnknown);
}

std::string ErrorReply(Reply r) {
    return ErrorReply(ErrorNumber(r));
}

std::string ErrorReply(int number) {
    return "E0" + std::to_string(number) + "\r";
}

bool IsSpace(char c) {
    return c == ' ' || c == '\t';
}

std::string_view Trim(std::string_view t) {
    while (!t.empty() && IsSpace(t.front())) t.remove_prefix(1);
    while (!t.empty() && IsSpace(t.back())) t.remove_suffix(1);
    return t;
}

bool ParseDouble(std::string_view t, double* out) {
    std::size_t i = 0;
    if (i < t.size() && (t[i] == '+' || t[i] == '-')) ++i;
    std::size_t digits = 0;
    while (i < t.size() && IsDigit(t[i])) ++i, ++digits;
    if (i < t.size() && t[i] == '.') {
        ++i;
        while (i < t.size() && IsDigit(t[i])) ++i, ++digits;
    }
    if (digits == 0) return false;
    if (i < t.size() && (t[i] == 'e' || t[i] == 'E')) {
        ++i;
        if (i < t.size() && (t[i] == '+' || t[i] == '-')) ++i;
        std::size_t exp = 0;
        while (i < t.size() && IsDigit(t[i])) ++i, ++exp;
        if (exp == 0) return false;
    }
    if (i != t.size()) return false;
    double v = AtoF(t);
    if (!(std::fabs(v) <= 1e15)) return false;
    *out = v;
    return true;
}

bool ParseInt(std::string_view t, long long* out) {
    std::size_t i = 0;
    if (i < t.size() && (t[i] == '+' || t[i] == '-')) ++i;
    if (i == t.size() || t.size() - i > 12) return false;
    for (std::size_t k = i; k < t.size(); ++k)
        if (!IsDigit(t[k])) return false;
    long long v = 0;
    for (std::size_t k = i; k < t.size(); ++k) v = v * 10 + (t[k] - '0');
    *out = t[0] == '-' ? -v : v;
    return true;
}

bool ParseIntIn(std::string_view t, long long lo, long long hi, long long* out) {
    long long v = 0;
    if (!ParseInt(t, &v) || v < lo || v > hi) return false;
    *out = v;
    return true;
}

int AxisOf(std::string_view t) {
    if (t.size() != 1) return -1;
    for (int a = 0; a < kAxes; ++a)
        if (t[0] == kAxisLetters[a]) return a;
    return -1;
}

char LetterOf(std::string_view t, const char* allowed) {
    if (t.size() != 1) return 0;
    char c = t[0];
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    for (const char* p = allowed; *p != '\0'; ++p)
        if (*p == c) return c;
    return 0;
}

bool PrintableText(std::string_view t) {
    if (t.empty()) return false;
    for (char c : t) {
        auto u = static_cast<unsigned char>(c);
        if (u <= ' ' || u == ',' || u == 0x7f) return false;
    }
    return true;
}

bool ValidPlanName(std::string_view t) {
    constexpr std::size_t kMaxPlanName = 8;
    if (t.empty() || t.size() > kMaxPlanName) return false;
    for (char c : t) {
        bool ok =
            IsDigit(c) || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_' || c == '-';
        if (!ok) return false;
    }
    return true;
}

std::string StopLines(std::uint8_t axes) {
    std::string s;
    for (int a = 0; a < kAxes; ++a) {
        if (axes & Bit(a)) {
            s.push_back(kAxisLetters[a]);
            s += " STOP\r";
        }
    }
    return s;
}

Cmd ParseCmd(std::string_view line) {
    Cmd cmd;
    line = Trim(line);
    std::size_t sp = 0;
    while (sp < line.size() && !IsSpace(line[sp])) ++sp;
    cmd.word = std::string(line.substr(0, sp));
    std::string_view rest = Trim(line.substr(sp));
    if (rest.empty()) return cmd;
    std::size_t start = 0;
    for (;;) {
        std::size_t comma = rest.find(',', start);
        std::string_view piece = rest.substr(
            start, comma == std::string_view::npos ? std::string_view::npos : comma - start);
        cmd.args.emplace_back(Trim(piece));
        if (comma == std::string_view::npos) break;
        start = comma + 1;
    }
    return cmd;
}

}  // namespace korva::sim
