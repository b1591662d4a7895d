#pragma once
// Text helpers shared by the check of a DXF file and its reader.
#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstddef>
#include <cstring>
#include <string_view>
#include <system_error>

#include "DxfLoad.h"

namespace korva::cadio::dxf {

// dxflib reads lines into a buffer of 1024 bytes; a longer line would end
// its parse early without a word.
constexpr std::size_t kMaxLine = 1000;

inline std::string_view Strip(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
    return s;
}

inline bool ParseInt(std::string_view s, long long* out) {
    if (!s.empty() && s.front() == '+') s.remove_prefix(1);
    if (s.empty()) return false;
    auto [p, ec] = std::from_chars(s.data(), s.data() + s.size(), *out);
    return ec == std::errc() && p == s.data() + s.size();
}

inline bool ParseReal(std::string_view s, double* out) {
    if (!s.empty() && s.front() == '+') s.remove_prefix(1);
    if (s.empty()) return false;
    // dxflib reads a decimal comma as a point; so do we.
    char buf[kMaxLine + 1];
    if (s.size() > kMaxLine) return false;
    std::memcpy(buf, s.data(), s.size());
    std::replace(buf, buf + s.size(), ',', '.');
    auto [p, ec] = std::from_chars(buf, buf + s.size(), *out);
    return ec == std::errc() && p == buf + s.size() && std::isfinite(*out);
}

class ProgressSink {
  public:
    explicit ProgressSink(const Progress& p) : m_progress(p) {}
    void Report(int percent) {
        percent = std::clamp(percent, 0, 100);
        if (percent == m_last || !m_progress) return;
        m_last = percent;
        m_progress(percent);
    }

  private:
    const Progress& m_progress;
    int m_last = -1;
};

}  // namespace korva::cadio::dxf
