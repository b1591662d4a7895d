#include "Format.h"

#include <charconv>
#include <cmath>
#include <cstdio>

#include "Script.h"

namespace korva::tools {

namespace {

template <typename T>
std::string Chars(T value) {
    char buf[64];
    auto res = std::to_chars(buf, buf + sizeof buf, value);
    return std::string(buf, res.ptr);
}

// Shortest text that reads back to the same float or double; to_chars never
// looks at the locale.
template <typename F>
std::string FloatText(F value, bool json) {
    if (std::isnan(value)) return json ? "null" : "nan";
    if (std::isinf(value)) return json ? "null" : (value < 0 ? "-inf" : "inf");
    return Chars(value);
}

std::string ValueText(const Variant& v, bool json) {
    switch (v.Type()) {
        case VarType::Empty:
            return json ? "null" : "";
        case VarType::Bool:
            return json ? (v.AsBool() ? "true" : "false") : (v.AsBool() ? "TRUE" : "FALSE");
        case VarType::I2:
            return Chars(v.AsI2());
        case VarType::I4:
            return Chars(v.AsI4());
        case VarType::R4:
            return FloatText(v.AsR4(), json);
        case VarType::R8:
            return FloatText(v.AsR8(), json);
        case VarType::Str:
            return json ? JsonString(v.AsStr()) : QuoteText(v.AsStr());
        case VarType::ByRefI2: {
            const std::int16_t* p = v.AsByRefI2();
            if (p == nullptr) return json ? "null" : "";
            return Chars(*p);
        }
    }
    return json ? "null" : "";
}

// Length of a valid UTF-8 sequence starting at s[i], 0 when it is not one
// (overlong forms, surrogates and values past U+10FFFF included).
std::size_t Utf8Length(std::string_view s, std::size_t i) {
    auto byte = [&](std::size_t k) { return static_cast<unsigned char>(s[k]); };
    unsigned char c = byte(i);
    std::size_t n;
    std::uint32_t cp;
    if (c < 0x80) return 1;
    if (c >= 0xC2 && c <= 0xDF) {
        n = 2;
        cp = c & 0x1F;
    } else if (c >= 0xE0 && c <= 0xEF) {
        n = 3;
        cp = c & 0x0F;
    } else if (c >= 0xF0 && c <= 0xF4) {
        n = 4;
        cp = c & 0x07;
    } else {
        return 0;
    }
    if (i + n > s.size()) return 0;
    for (std::size_t k = 1; k < n; ++k) {
        if ((byte(i + k) & 0xC0) != 0x80) return 0;
        cp = (cp << 6) | (byte(i + k) & 0x3F);
    }
    if ((n == 3 && cp < 0x800) || (n == 4 && cp < 0x10000) || cp > 0x10FFFF ||
        (cp >= 0xD800 && cp <= 0xDFFF)) {
        return 0;
    }
    return n;
}

}  // namespace

std::string JsonString(std::string_view text) {
    std::string out = "\"";
    for (std::size_t i = 0; i < text.size();) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        std::size_t n = Utf8Length(text, i);
        if (n == 0) {
            out += "\\ufffd";
            ++i;
            continue;
        }
        if (n > 1) {
            out.append(text.substr(i, n));
            i += n;
            continue;
        }
        switch (c) {
            case '"':
                out += "\\\"";
                break;
            case '\\':
                out += "\\\\";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\t':
                out += "\\t";
                break;
            default:
                if (c < 0x20 || c == 0x7f) {
                    char buf[8];
                    std::snprintf(buf, sizeof buf, "\\u%04x", c);
                    out += buf;
                } else {
                    out.push_back(static_cast<char>(c));
                }
        }
        ++i;
    }
    out.push_back('"');
    return out;
}

std::string FormatValuePlain(const Variant& value) {
    return ValueText(value, false);
}
std::string FormatValueJson(const Variant& value) {
    return ValueText(value, true);
}

std::string FormatPlain(const CallRecord& r) {
    if (r.text) return *r.text;
    std::string line = r.name;
    switch (r.form) {
        case CallForm::PropertyGet:
            line += " = " + FormatValuePlain(r.result);
            break;
        case CallForm::PropertyPut:
            line += " := ";
            if (!r.args.empty()) line += FormatValuePlain(r.args.front());
            break;
        case CallForm::Method:
        case CallForm::Host:
            line += "(";
            for (std::size_t i = 0; i < r.args.size(); ++i) {
                if (i > 0) line += ", ";
                line += FormatValuePlain(r.args[i]);
            }
            line += ")";
            if (!r.result.IsEmpty()) line += " = " + FormatValuePlain(r.result);
            break;
    }
    for (const auto& [name, value] : r.outs) line += " " + name + "=" + FormatValuePlain(value);
    return line;
}

std::string FormatJson(const CallRecord& r) {
    std::string line = "{\"call\": " + JsonString(r.name) + ", \"args\": [";
    for (std::size_t i = 0; i < r.args.size(); ++i) {
        if (i > 0) line += ", ";
        line += FormatValueJson(r.args[i]);
    }
    line += "], \"result\": " + FormatValueJson(r.result) + ", \"out\": {";
    for (std::size_t i = 0; i < r.outs.size(); ++i) {
        if (i > 0) line += ", ";
        line += JsonString(r.outs[i].first) + ": " + FormatValueJson(r.outs[i].second);
    }
    line += "}, \"error\": ";
    line += r.error ? Chars(*r.error) : std::string("null");
    line += "}";
    return line;
}

const char* TypeName(VarType type) {
    // A member without a result is "void" in listings, not an empty value.
    return type == VarType::Empty ? "void" : VarTypeName(type);
}

const char* KindName(MemberKind kind) {
    return kind == MemberKind::Property ? "property" : "method";
}

std::string FormatEntryPlain(const DispEntry& e) {
    char head[64];
    std::snprintf(head, sizeof head, "%5d  %-8s  %-6s  ", static_cast<int>(e.id), KindName(e.kind),
                  TypeName(e.result));
    std::string line = head;
    line += e.name ? e.name : "";
    if (e.kind == MemberKind::Property) return line;
    line += "(";
    for (std::size_t i = 0; i < e.params.size(); ++i) {
        if (i > 0) line += ", ";
        line += TypeName(e.params[i].type);
        line += " ";
        line += e.params[i].name ? e.params[i].name : "";
    }
    line += ")";
    return line;
}

std::string FormatEntryJson(const DispEntry& e) {
    std::string line = "{\"dispid\": " + Chars(static_cast<int>(e.id)) +
                       ", \"name\": " + JsonString(e.name ? e.name : "") + ", \"kind\": \"" +
                       KindName(e.kind) + "\", \"result\": \"" + TypeName(e.result) +
                       "\", \"params\": [";
    for (std::size_t i = 0; i < e.params.size(); ++i) {
        if (i > 0) line += ", ";
        const DispParam& p = e.params[i];
        line += "{\"name\": " + JsonString(p.name ? p.name : "") + ", \"type\": \"" +
                TypeName(p.type) +
                "\", \"byref\": " + (p.type == VarType::ByRefI2 ? "true" : "false") + "}";
    }
    line += "]}";
    return line;
}

}  // namespace korva::tools
