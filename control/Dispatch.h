#pragma once
// Late binding for the control: the static description of its dispatch
// interface (the type information) and the calling convention of Invoke.
// Hosts name members by dispatch id or look the id up by name; arguments and
// the result travel as Variant.
#include <cstdint>
#include <span>
#include <string_view>

#include "Variant.h"

namespace korva {

using DISPID = std::int32_t;
using HRESULT = std::int32_t;

// Result codes (the platform's values, so hosts can print them as they know them).
inline constexpr HRESULT S_OK = 0;
inline constexpr HRESULT DISP_E_MEMBERNOTFOUND = static_cast<HRESULT>(0x80020003);
inline constexpr HRESULT DISP_E_TYPEMISMATCH = static_cast<HRESULT>(0x80020005);
inline constexpr HRESULT DISP_E_UNKNOWNNAME = static_cast<HRESULT>(0x80020006);
inline constexpr HRESULT DISP_E_OVERFLOW = static_cast<HRESULT>(0x8002000A);
inline constexpr HRESULT DISP_E_BADPARAMCOUNT = static_cast<HRESULT>(0x8002000E);
inline constexpr HRESULT E_INVALIDARG = static_cast<HRESULT>(0x80070057);
inline constexpr HRESULT SELFREG_E_TYPELIB = static_cast<HRESULT>(0x80040200);
inline constexpr HRESULT SELFREG_E_CLASS = static_cast<HRESULT>(0x80040201);

inline constexpr DISPID DISPID_UNKNOWN = -1;
inline constexpr DISPID DISPID_ABOUTBOX = -552;

// Invoke flags (bit values as the platform's DISPATCH_*). A host may pass
// Method | PropertyGet, as scripting hosts do; a method accepts any flags
// containing Method or PropertyGet, a property accepts PropertyGet (no
// arguments) or PropertyPut (exactly one argument).
enum InvokeFlags : std::uint16_t {
    kInvokeMethod = 1,
    kInvokePropertyGet = 2,
    kInvokePropertyPut = 4,
};

// What a row of the table describes.
enum class MemberKind : std::uint8_t {
    Method,    // called with kInvokeMethod
    Property,  // a get/put pair: get returns `result`, put takes one value of type `result`
};

struct DispParam {
    const char* name;  // the type library's parameter name, exact case
    VarType type;      // I2, I4, R4, Bool, Str; ByRefI2 for a short* out parameter
};

struct DispEntry {
    DISPID id;
    const char* name;  // exact case, e.g. "GoOrigion"
    MemberKind kind;
    VarType result;  // Empty for void
    std::span<const DispParam> params;
};

// The type information of one dispatch interface.
struct DispInterfaceInfo {
    const char* name;  // "_DKORVAKT3002"
    std::span<const DispEntry> entries;

    // nullptr when the id is not a member.
    const DispEntry* Find(DISPID id) const {
        for (const DispEntry& e : entries) {
            if (e.id == id) return &e;
        }
        return nullptr;
    }
    // Case-insensitive (ASCII) lookup; nullptr when absent.
    const DispEntry* Find(std::string_view name) const {
        for (const DispEntry& e : entries) {
            if (variant_detail::EqualsNoCase(e.name, name)) return &e;
        }
        return nullptr;
    }
};

// The control's own tables (_DKORVAKT3002 with 109 members, the empty event
// interface _DKORVAKT3002Events) are declared in KORVAKT3002Ctl.h; a host
// reaches them through KorvaDispatch::GetTypeInfo (KorvaModule.h).

// Resolves names[0] as a member name and names[1..] as names of that member's
// parameters (case-insensitive), like the platform's GetIDsOfNames: parameter
// ids are their 0-based positions. Unknown names get DISPID_UNKNOWN and the
// result is DISP_E_UNKNOWNNAME; otherwise 0.
// `ids` must hold at least names.size() entries (else E_INVALIDARG).
inline HRESULT GetIDsOfNames(const DispInterfaceInfo& info, std::span<const char* const> names,
                             std::span<DISPID> ids) {
    if (names.empty() || ids.size() < names.size()) return E_INVALIDARG;
    HRESULT hr = S_OK;
    const DispEntry* member = names[0] ? info.Find(std::string_view(names[0])) : nullptr;
    ids[0] = member ? member->id : DISPID_UNKNOWN;
    if (!member) hr = DISP_E_UNKNOWNNAME;
    for (std::size_t i = 1; i < names.size(); ++i) {
        ids[i] = DISPID_UNKNOWN;
        if (!member || !names[i]) {
            hr = DISP_E_UNKNOWNNAME;
            continue;
        }
        for (std::size_t p = 0; p < member->params.size(); ++p) {
            if (variant_detail::EqualsNoCase(member->params[p].name, names[i])) {
                ids[i] = static_cast<DISPID>(p);
                break;
            }
        }
        if (ids[i] == DISPID_UNKNOWN) hr = DISP_E_UNKNOWNNAME;
    }
    return hr;
}

// Text of a result code for messages ("DISP_E_TYPEMISMATCH", ...).
inline const char* DispErrorName(HRESULT code) {
    switch (code) {
        case S_OK:
            return "S_OK";
        case DISP_E_MEMBERNOTFOUND:
            return "DISP_E_MEMBERNOTFOUND";
        case DISP_E_TYPEMISMATCH:
            return "DISP_E_TYPEMISMATCH";
        case DISP_E_UNKNOWNNAME:
            return "DISP_E_UNKNOWNNAME";
        case DISP_E_OVERFLOW:
            return "DISP_E_OVERFLOW";
        case DISP_E_BADPARAMCOUNT:
            return "DISP_E_BADPARAMCOUNT";
        case E_INVALIDARG:
            return "E_INVALIDARG";
        case SELFREG_E_TYPELIB:
            return "SELFREG_E_TYPELIB";
        case SELFREG_E_CLASS:
            return "SELFREG_E_CLASS";
        default:
            return "unknown error";
    }
}

}  // namespace korva
