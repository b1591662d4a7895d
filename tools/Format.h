#pragma once
// Output of kt300ctl: one line per statement, plain or JSON, and the member
// list. Pure functions over the record of what ran; numbers are written in
// the "C" notation whatever the process locale says.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "Dispatch.h"
#include "Variant.h"

namespace korva::tools {

enum class CallForm { Method, PropertyGet, PropertyPut, Host };

struct CallRecord {
    std::string name;  // the member's own spelling, or the host command
    CallForm form = CallForm::Method;
    std::vector<Variant> args;  // as passed, after conversion to the parameter types
    Variant result;             // Empty for a void member, a put or a host command without one
    std::vector<std::pair<std::string, Variant>> outs;  // by-reference outputs, host extras
    std::optional<std::int32_t> error;                  // GetErrorCode right after the call
    std::optional<std::string> text;                    // a host command's own plain line (echo)
};

// Name(args) = result name=value ...
//   method:        SetSpeed(0, 1000) = TRUE
//   void method:   DisConnect()
//   property read: ComPort = 1
//   property put:  ComPort := 3
std::string FormatPlain(const CallRecord& record);
// {"call": "...", "args": [...], "result": ..., "out": {...}, "error": N}
std::string FormatJson(const CallRecord& record);

// A value alone: BOOL as TRUE/FALSE (plain) or true/false (JSON), texts
// quoted, floats in the shortest form that reads back to the same value.
std::string FormatValuePlain(const Variant& value);
std::string FormatValueJson(const Variant& value);

// A JSON string literal; bytes that are not valid UTF-8 become U+FFFD so the
// line stays valid JSON whatever the controller sent.
std::string JsonString(std::string_view text);

// Type names as the member list shows them: short, long, float, double, BOOL,
// BSTR, short*, void.
const char* TypeName(VarType type);
const char* KindName(MemberKind kind);

// One member for --list:
//   "  44  method    BOOL    GetPortInput(short* nValue)"
std::string FormatEntryPlain(const DispEntry& entry);
// {"dispid": 44, "name": "GetPortInput", "kind": "method", "result": "BOOL",
//  "params": [{"name": "nValue", "type": "short*", "byref": true}]}
std::string FormatEntryJson(const DispEntry& entry);

}  // namespace korva::tools
