#pragma once
// A small automation value: what Invoke takes as arguments and hands back as
// a result. It holds one of the types the control's interface uses, plus a
// by-reference 16-bit integer for out parameters.
//
// Conversions follow automation rules: numbers convert between the numeric
// types when the value fits (a fraction is rounded half to even on the way to
// an integer type), bool is -1/0 as a number and any nonzero number is true,
// text converts to a number only when the whole text (blanks around it
// allowed) is one number in the "C" notation, and numbers convert to text.
#include <cctype>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <string_view>
#include <system_error>
#include <variant>

namespace korva {

enum class VarType : std::uint8_t {
    Empty,    // no value (VT_EMPTY)
    Bool,     // BOOL / VARIANT_BOOL
    I2,       // automation short, std::int16_t
    I4,       // automation long, std::int32_t
    R4,       // float
    R8,       // double
    Str,      // BSTR, UTF-8 std::string
    ByRefI2,  // short* out parameter: points at the caller's std::int16_t
};

inline const char* VarTypeName(VarType type) {
    switch (type) {
        case VarType::Empty:
            return "empty";
        case VarType::Bool:
            return "BOOL";
        case VarType::I2:
            return "short";
        case VarType::I4:
            return "long";
        case VarType::R4:
            return "float";
        case VarType::R8:
            return "double";
        case VarType::Str:
            return "BSTR";
        case VarType::ByRefI2:
            return "short*";
    }
    return "?";
}

// Result of a conversion (the values are the platform's dispatch codes).
enum class ConvResult : std::int32_t {
    Ok = 0,
    TypeMismatch = static_cast<std::int32_t>(0x80020005),
    Overflow = static_cast<std::int32_t>(0x8002000A),
};

class Variant {
  public:
    Variant() = default;
    Variant(bool v) : m_Value(v) {}
    Variant(std::int16_t v) : m_Value(v) {}
    Variant(std::int32_t v) : m_Value(v) {}
    Variant(float v) : m_Value(v) {}
    Variant(double v) : m_Value(v) {}
    Variant(std::string v) : m_Value(std::move(v)) {}
    Variant(const char* v) : m_Value(std::string(v ? v : "")) {}
    Variant(std::string_view v) : m_Value(std::string(v)) {}
    // Out parameter: the callee writes the result through the pointer.
    static Variant ByRef(std::int16_t* target) {
        Variant v;
        v.m_Value = target;
        return v;
    }

    VarType Type() const { return static_cast<VarType>(m_Value.index()); }
    bool IsEmpty() const { return Type() == VarType::Empty; }

    // Unchecked access to the held value; the type must match.
    bool AsBool() const { return std::get<bool>(m_Value); }
    std::int16_t AsI2() const { return std::get<std::int16_t>(m_Value); }
    std::int32_t AsI4() const { return std::get<std::int32_t>(m_Value); }
    float AsR4() const { return std::get<float>(m_Value); }
    double AsR8() const { return std::get<double>(m_Value); }
    const std::string& AsStr() const { return std::get<std::string>(m_Value); }
    std::int16_t* AsByRefI2() const { return std::get<std::int16_t*>(m_Value); }

    // Checked conversions (a by-reference value converts as the value it
    // points at). Empty converts to 0, false and "" as in automation.
    ConvResult ToBool(bool& out) const;
    ConvResult ToI2(std::int16_t& out) const { return ToInteger(out); }
    ConvResult ToI4(std::int32_t& out) const { return ToInteger(out); }
    ConvResult ToR4(float& out) const;
    ConvResult ToR8(double& out) const;
    ConvResult ToStr(std::string& out) const;
    // Converts to a value of `type`; ByRefI2 is not a target (TypeMismatch).
    ConvResult ChangeType(VarType type, Variant& out) const;

    // Display text for tools: numbers in the "C" notation (shortest text that
    // reads back to the same value), bool as "TRUE"/"FALSE", empty as "".
    std::string ToDisplayText() const;

    bool operator==(const Variant& other) const = default;

  private:
    // The held value as a double, for numeric conversions. Text must be one
    // complete number; bool is -1/0.
    ConvResult ToNumber(double& out) const;
    template <typename Int>
    ConvResult ToInteger(Int& out) const;
    static bool ParseNumber(std::string_view text, double& out);

    std::variant<std::monostate, bool, std::int16_t, std::int32_t, float, double, std::string,
                 std::int16_t*>
        m_Value;
};

namespace variant_detail {

inline std::string_view TrimBlanks(std::string_view text) {
    while (!text.empty() && std::isspace(static_cast<unsigned char>(text.front()))) {
        text.remove_prefix(1);
    }
    while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back()))) {
        text.remove_suffix(1);
    }
    return text;
}

inline bool EqualsNoCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(a[i])) !=
            std::tolower(static_cast<unsigned char>(b[i]))) {
            return false;
        }
    }
    return true;
}

template <typename T>
std::string NumberText(T value) {
    char buf[64];
    auto res = std::to_chars(buf, buf + sizeof buf, value);
    return std::string(buf, res.ptr);
}

}  // namespace variant_detail

inline bool Variant::ParseNumber(std::string_view text, double& out) {
    text = variant_detail::TrimBlanks(text);
    if (!text.empty() && text.front() == '+') text.remove_prefix(1);
    if (text.empty()) return false;
    double value = 0.0;
    auto res = std::from_chars(text.data(), text.data() + text.size(), value);
    if (res.ptr != text.data() + text.size()) return false;
    if (res.ec == std::errc::result_out_of_range) {
        // Beyond a double: a negative exponent is a value too small (zero),
        // otherwise it is reported as an overflow by the conversions.
        std::size_t e = text.find_first_of("eE");
        bool tiny = e != std::string_view::npos && e + 1 < text.size() && text[e + 1] == '-';
        value = tiny ? 0.0
                     : (text.front() == '-' ? -std::numeric_limits<double>::infinity()
                                            : std::numeric_limits<double>::infinity());
    } else if (res.ec != std::errc() || std::isnan(value) || (std::isinf(value))) {
        return false;  // "nan" and "inf" are not numbers a host means
    }
    out = value;
    return true;
}

inline ConvResult Variant::ToNumber(double& out) const {
    switch (Type()) {
        case VarType::Empty:
            out = 0.0;
            return ConvResult::Ok;
        case VarType::Bool:
            out = AsBool() ? -1.0 : 0.0;
            return ConvResult::Ok;
        case VarType::I2:
            out = AsI2();
            return ConvResult::Ok;
        case VarType::I4:
            out = AsI4();
            return ConvResult::Ok;
        case VarType::R4:
            out = AsR4();
            return ConvResult::Ok;
        case VarType::R8:
            out = AsR8();
            return ConvResult::Ok;
        case VarType::Str:
            return ParseNumber(AsStr(), out) ? ConvResult::Ok : ConvResult::TypeMismatch;
        case VarType::ByRefI2:
            if (AsByRefI2() == nullptr) return ConvResult::TypeMismatch;
            out = *AsByRefI2();
            return ConvResult::Ok;
    }
    return ConvResult::TypeMismatch;
}

template <typename Int>
ConvResult Variant::ToInteger(Int& out) const {
    double value = 0.0;
    ConvResult r = ToNumber(value);
    if (r != ConvResult::Ok) return r;
    if (std::isnan(value)) return ConvResult::Overflow;
    // Automation rounds half to even on the way to an integer (the default
    // floating-point rounding mode does exactly that).
    double rounded = std::nearbyint(value);
    if (rounded < static_cast<double>(std::numeric_limits<Int>::min()) ||
        rounded > static_cast<double>(std::numeric_limits<Int>::max())) {
        return ConvResult::Overflow;
    }
    out = static_cast<Int>(rounded);
    return ConvResult::Ok;
}

inline ConvResult Variant::ToBool(bool& out) const {
    if (Type() == VarType::Str) {
        std::string_view text = variant_detail::TrimBlanks(AsStr());
        if (variant_detail::EqualsNoCase(text, "true")) {
            out = true;
            return ConvResult::Ok;
        }
        if (variant_detail::EqualsNoCase(text, "false")) {
            out = false;
            return ConvResult::Ok;
        }
    }
    double value = 0.0;
    ConvResult r = ToNumber(value);
    if (r != ConvResult::Ok) return r;
    out = value != 0.0;
    return ConvResult::Ok;
}

inline ConvResult Variant::ToR4(float& out) const {
    double value = 0.0;
    ConvResult r = ToNumber(value);
    if (r != ConvResult::Ok) return r;
    if (std::isinf(value) ||
        (std::isfinite(value) && std::fabs(value) > std::numeric_limits<float>::max())) {
        return ConvResult::Overflow;
    }
    out = static_cast<float>(value);
    return ConvResult::Ok;
}

inline ConvResult Variant::ToR8(double& out) const {
    double value = 0.0;
    ConvResult r = ToNumber(value);
    if (r != ConvResult::Ok) return r;
    if (std::isinf(value)) return ConvResult::Overflow;
    out = value;
    return ConvResult::Ok;
}

inline ConvResult Variant::ToStr(std::string& out) const {
    switch (Type()) {
        case VarType::Empty:
            out.clear();
            return ConvResult::Ok;
        case VarType::Bool:
            out = AsBool() ? "True" : "False";
            return ConvResult::Ok;
        case VarType::Str:
            out = AsStr();
            return ConvResult::Ok;
        case VarType::I2:
            out = variant_detail::NumberText(AsI2());
            return ConvResult::Ok;
        case VarType::I4:
            out = variant_detail::NumberText(AsI4());
            return ConvResult::Ok;
        case VarType::R4:
            out = variant_detail::NumberText(AsR4());
            return ConvResult::Ok;
        case VarType::R8:
            out = variant_detail::NumberText(AsR8());
            return ConvResult::Ok;
        case VarType::ByRefI2:
            if (AsByRefI2() == nullptr) return ConvResult::TypeMismatch;
            out = variant_detail::NumberText(*AsByRefI2());
            return ConvResult::Ok;
    }
    return ConvResult::TypeMismatch;
}

inline ConvResult Variant::ChangeType(VarType type, Variant& out) const {
    ConvResult r = ConvResult::TypeMismatch;
    switch (type) {
        case VarType::Empty:
            out = Variant();
            return ConvResult::Ok;
        case VarType::Bool: {
            bool v = false;
            if ((r = ToBool(v)) == ConvResult::Ok) out = Variant(v);
            return r;
        }
        case VarType::I2: {
            std::int16_t v = 0;
            if ((r = ToI2(v)) == ConvResult::Ok) out = Variant(v);
            return r;
        }
        case VarType::I4: {
            std::int32_t v = 0;
            if ((r = ToI4(v)) == ConvResult::Ok) out = Variant(v);
            return r;
        }
        case VarType::R4: {
            float v = 0;
            if ((r = ToR4(v)) == ConvResult::Ok) out = Variant(v);
            return r;
        }
        case VarType::R8: {
            double v = 0;
            if ((r = ToR8(v)) == ConvResult::Ok) out = Variant(v);
            return r;
        }
        case VarType::Str: {
            std::string v;
            if ((r = ToStr(v)) == ConvResult::Ok) out = Variant(std::move(v));
            return r;
        }
        case VarType::ByRefI2:
            return ConvResult::TypeMismatch;
    }
    return r;
}

inline std::string Variant::ToDisplayText() const {
    if (Type() == VarType::Bool) return AsBool() ? "TRUE" : "FALSE";
    std::string text;
    ToStr(text);
    return text;
}

}  // namespace korva
