#include "Calls.h"

#include <strings.h>

#include <array>
#include <charconv>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <limits>
#include <span>
#include <thread>

namespace korva::tools {

namespace {

// The codes of a link that is closed or whose device hung up (protocol, link):
// a stop flag can never arrive then, so wait-stop gives up at once.
constexpr std::int32_t kErrLinkClosed = 20004;
constexpr std::int32_t kErrLinkNotOpen = 10103;
constexpr std::int32_t kErrChannelGone = 10104;

bool LinkGoneCode(std::int32_t code) {
    return code == kErrLinkClosed || code == kErrLinkNotOpen || code == kErrChannelGone;
}

// The axis bits a motion member moves, from its arguments; 0 for any other member.
unsigned MotionAxes(const std::string& name, const std::vector<Variant>& args) {
    auto axisBit = [&](std::size_t i) -> unsigned {
        if (i >= args.size()) return 0;
        const int a = args[i].Type() == VarType::I2 ? args[i].AsI2() : -1;
        return a >= 0 && a <= 3 ? 1u << a : 0u;
    };
    auto is = [&](const char* member) { return strcasecmp(name.c_str(), member) == 0; };
    if (is("Go") || is("GoHome") || is("GoOrigion") || is("GoPosition")) return axisBit(0);
    if (is("GoInterpolationline2") || is("GoInterpolationArc")) return axisBit(0) | axisBit(1);
    if (is("GoInterpolationline3")) return axisBit(0) | axisBit(1) | axisBit(2);
    if (is("STARTRUN")) return 0xF;  // a stored plan may move any axis
    if (is("GonAxisHome")) {
        unsigned bits = 0;
        for (std::size_t i = 0; i < 4 && i < args.size(); ++i)
            if (args[i].Type() == VarType::Str && strcasecmp(args[i].AsStr().c_str(), "Y") == 0)
                bits |= 1u << i;
        return bits;
    }
    return 0;
}
constexpr std::int64_t kDefaultWaitMs = 60000;
constexpr std::int64_t kMaxHostMs = 24LL * 3600 * 1000;

std::string Plural(std::size_t n) {
    if (n == 0) return "no arguments";
    return std::to_string(n) + (n == 1 ? " argument" : " arguments");
}

// Parses a number literal of the script ("C" notation, optional '+').
bool NumberValue(const ScriptArg& arg, double& out) {
    std::string_view t = arg.text;
    if (!t.empty() && t.front() == '+') t.remove_prefix(1);
    auto res = std::from_chars(t.data(), t.data() + t.size(), out, std::chars_format::general);
    if (res.ec == std::errc::result_out_of_range) {
        out = std::numeric_limits<double>::infinity();
        return true;
    }
    return res.ec == std::errc() && res.ptr == t.data() + t.size();
}

struct Conversion {
    HRESULT code = S_OK;
    std::string why;
};

Conversion Fail(HRESULT code, std::string why) {
    return {code, std::move(why)};
}

const char* KindText(ArgKind kind) {
    switch (kind) {
        case ArgKind::Number:
            return "a number";
        case ArgKind::Text:
            return "a text";
        case ArgKind::Bool:
            return "TRUE/FALSE";
    }
    return "?";
}

template <typename Int>
Conversion ToInteger(const ScriptArg& arg, const char* typeName, Variant& out) {
    if (arg.kind != ArgKind::Number) {
        return Fail(DISP_E_TYPEMISMATCH,
                    std::string("expects a whole number, got ") + KindText(arg.kind));
    }
    double v = 0;
    if (!NumberValue(arg, v)) return Fail(DISP_E_TYPEMISMATCH, "'" + arg.text + "' is no number");
    if (!std::isinf(v) && v != std::trunc(v)) {
        return Fail(DISP_E_TYPEMISMATCH, "expects a whole number, got " + arg.text);
    }
    if (std::isinf(v) || v < static_cast<double>(std::numeric_limits<Int>::min()) ||
        v > static_cast<double>(std::numeric_limits<Int>::max())) {
        return Fail(DISP_E_OVERFLOW, arg.text + " does not fit a " + typeName + " (" +
                                         std::to_string(std::numeric_limits<Int>::min()) + " to " +
                                         std::to_string(std::numeric_limits<Int>::max()) + ")");
    }
    out = Variant(static_cast<Int>(v));
    return {};
}

Conversion Convert(const ScriptArg& arg, VarType type, Variant& out) {
    switch (type) {
        case VarType::I2:
            return ToInteger<std::int16_t>(arg, "short", out);
        case VarType::I4:
            return ToInteger<std::int32_t>(arg, "long", out);
        case VarType::R4:
        case VarType::R8: {
            if (arg.kind != ArgKind::Number) {
                return Fail(DISP_E_TYPEMISMATCH,
                            std::string("expects a number, got ") + KindText(arg.kind));
            }
            double v = 0;
            if (!NumberValue(arg, v)) {
                return Fail(DISP_E_TYPEMISMATCH, "'" + arg.text + "' is no number");
            }
            bool fits = type == VarType::R8 ? std::isfinite(v)
                                            : std::fabs(v) <= std::numeric_limits<float>::max();
            if (!fits) {
                return Fail(DISP_E_OVERFLOW, arg.text + " does not fit a " +
                                                 (type == VarType::R8 ? "double" : "float"));
            }
            out = type == VarType::R8 ? Variant(v) : Variant(static_cast<float>(v));
            return {};
        }
        case VarType::Bool: {
            if (arg.kind == ArgKind::Bool) {
                out = Variant(arg.boolean);
                return {};
            }
            double v = 0;
            if (arg.kind == ArgKind::Number && NumberValue(arg, v)) {
                out = Variant(v != 0.0);
                return {};
            }
            return Fail(DISP_E_TYPEMISMATCH, "expects TRUE or FALSE, got a text");
        }
        case VarType::Str:
            if (arg.kind != ArgKind::Text) {
                return Fail(DISP_E_TYPEMISMATCH, std::string("expects a quoted text, got ") +
                                                     KindText(arg.kind) + " (write \"" + arg.text +
                                                     "\")");
            }
            out = Variant(arg.text);
            return {};
        case VarType::Empty:
        case VarType::ByRefI2:
            break;
    }
    return Fail(DISP_E_TYPEMISMATCH, "has a type that cannot be passed");
}

const DispEntry* FindEntry(const DispInterfaceInfo& info, DISPID id) {
    for (const DispEntry& e : info.entries) {
        if (e.id == id) return &e;
    }
    return nullptr;
}

DISPID LookUp(KorvaDispatch& control, const char* name) {
    std::array<const char*, 1> names{name};
    std::array<DISPID, 1> ids{DISPID_UNKNOWN};
    if (control.GetIDsOfNames(names, ids) != S_OK) return DISPID_UNKNOWN;
    return ids[0];
}

BindResult Refuse(HRESULT code, std::string message) {
    BindResult r;
    r.code = code;
    r.message = std::move(message);
    return r;
}

// Host commands take whole numbers only; the range keeps a typo from
// sleeping for a month.
bool HostInteger(const ScriptArg& arg, std::int64_t lo, std::int64_t hi, std::int64_t& out) {
    double v = 0;
    if (arg.kind != ArgKind::Number || !NumberValue(arg, v) || v != std::trunc(v) || v < lo ||
        v > hi) {
        return false;
    }
    out = static_cast<std::int64_t>(v);
    return true;
}

BindResult BindHost(const Statement& st) {
    BindResult r;
    r.call.form = CallForm::Host;
    std::string name;
    for (char c : st.name) name.push_back(static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c));
    r.call.name = name;
    std::int64_t v = 0;
    if (name == "echo") {
        for (const ScriptArg& a : st.args) r.call.args.emplace_back(a.text);
        return r;
    }
    if (name == "sleep") {
        if (st.args.size() != 1) return Refuse(DISP_E_BADPARAMCOUNT, "sleep takes 1 argument (MS)");
        if (!HostInteger(st.args[0], 0, kMaxHostMs, v)) {
            return Refuse(DISP_E_TYPEMISMATCH, "sleep MS: milliseconds 0 to " +
                                                   std::to_string(kMaxHostMs) + ", got " +
                                                   st.args[0].text);
        }
        r.call.args.emplace_back(static_cast<std::int32_t>(v));
        return r;
    }
    // wait-stop AXIS [, TIMEOUT-MS]
    if (st.args.empty() || st.args.size() > 2) {
        return Refuse(DISP_E_BADPARAMCOUNT,
                      "wait-stop takes 1 or 2 arguments (AXIS [, TIMEOUT-MS])");
    }
    if (!HostInteger(st.args[0], 0, 3, v)) {
        return Refuse(DISP_E_TYPEMISMATCH,
                      "wait-stop AXIS: axis index 0 to 3, got " + st.args[0].text);
    }
    r.call.args.emplace_back(static_cast<std::int16_t>(v));
    if (st.args.size() == 2) {
        if (!HostInteger(st.args[1], 0, kMaxHostMs, v)) {
            return Refuse(DISP_E_TYPEMISMATCH, "wait-stop TIMEOUT-MS: milliseconds 0 to " +
                                                   std::to_string(kMaxHostMs) + ", got " +
                                                   st.args[1].text);
        }
        r.call.args.emplace_back(static_cast<std::int32_t>(v));
    }
    return r;
}

}  // namespace

std::string DispErrorText(HRESULT code) {
    std::string name = DispErrorName(code);
    if (name != "unknown error") return name;
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%08X", static_cast<unsigned>(code));
    return buf;
}

BindResult Bind(KorvaDispatch& control, const Statement& st) {
    if (st.kind == StatementKind::Host) return BindHost(st);
    if (st.kind == StatementKind::Empty) return Refuse(E_INVALIDARG, "nothing to call");

    DISPID id = LookUp(control, st.name.c_str());
    const DispEntry* e = id == DISPID_UNKNOWN ? nullptr : FindEntry(control.GetTypeInfo(), id);
    if (e == nullptr) return Refuse(DISP_E_UNKNOWNNAME, "no member named " + st.name);

    BindResult r;
    r.call.entry = e;
    r.call.name = e->name;
    if (e->kind == MemberKind::Property) {
        if (st.kind == StatementKind::PropertyPut) {
            r.call.form = CallForm::PropertyPut;
            Variant v;
            Conversion c = Convert(st.args.at(0), e->result, v);
            if (c.code != S_OK) return Refuse(c.code, std::string(e->name) + " value " + c.why);
            r.call.args.push_back(std::move(v));
            return r;
        }
        if (!st.args.empty()) {
            return Refuse(DISP_E_BADPARAMCOUNT, std::string(e->name) +
                                                    " is a property: read it as " + e->name +
                                                    ", write it as " + e->name + " = value");
        }
        r.call.form = CallForm::PropertyGet;
        return r;
    }
    if (st.kind == StatementKind::PropertyPut) {
        return Refuse(DISP_E_MEMBERNOTFOUND, std::string(e->name) +
                                                 " is a method, not a property: call it as " +
                                                 e->name + " arg, ...");
    }

    r.call.form = CallForm::Method;
    std::size_t inputs = 0;
    std::string outputs;
    for (const DispParam& p : e->params) {
        if (p.type == VarType::ByRefI2) {
            outputs += outputs.empty() ? "" : ", ";
            outputs += p.name;
        } else {
            ++inputs;
        }
    }
    if (st.args.size() != inputs) {
        std::string msg = std::string(e->name) + " takes " + Plural(inputs);
        if (!outputs.empty()) msg += " (" + outputs + " is an output)";
        return Refuse(DISP_E_BADPARAMCOUNT, msg);
    }
    std::size_t next = 0;
    for (std::size_t i = 0; i < e->params.size(); ++i) {
        const DispParam& p = e->params[i];
        if (p.type == VarType::ByRefI2) {
            r.call.args.emplace_back();
            continue;
        }
        Variant v;
        Conversion c = Convert(st.args[next], p.type, v);
        ++next;
        if (c.code != S_OK) {
            return Refuse(c.code, std::string(e->name) + " argument " + std::to_string(next) +
                                      " (" + p.name + ") " + c.why);
        }
        r.call.args.push_back(std::move(v));
    }
    return r;
}

Runner::Runner(KorvaDispatch& control, const std::atomic<int>* stop)
    : m_Control(control), m_Stop(stop) {
    m_GetErrorCode = LookUp(control, "GetErrorCode");
    m_GetPosition = LookUp(control, "GetPosition");
    m_GetStopFlag = LookUp(control, "GetStopFlag");
}

RunResult Runner::Run(const BoundCall& call) {
    return call.form == CallForm::Host ? RunHost(call) : RunMember(call);
}

HRESULT Runner::CallById(DISPID id, std::vector<Variant> args, Variant& result) {
    if (id == DISPID_UNKNOWN) return DISP_E_UNKNOWNNAME;
    return m_Control.Invoke(id, kInvokeMethod, args, &result);
}

std::optional<std::int32_t> Runner::ErrorCode() {
    Variant v;
    if (CallById(m_GetErrorCode, {}, v) != S_OK) return std::nullopt;
    switch (v.Type()) {
        case VarType::I4:
            return v.AsI4();
        case VarType::I2:
            return v.AsI2();
        default:
            return std::nullopt;
    }
}

RunResult Runner::RunMember(const BoundCall& call) {
    RunResult r;
    CallRecord& rec = r.record;
    rec.name = call.name;
    rec.form = call.form;
    const DispEntry& e = *call.entry;

    std::vector<Variant> args = call.args;
    // Storage for outputs, sized before any pointer into it is taken.
    std::vector<std::int16_t> outStore(args.size(), 0);
    if (call.form == CallForm::PropertyPut) rec.args = args;
    for (std::size_t i = 0; i < e.params.size() && i < args.size(); ++i) {
        if (e.params[i].type == VarType::ByRefI2) {
            args[i] = Variant::ByRef(&outStore[i]);
        } else {
            rec.args.push_back(args[i]);
        }
    }

    if (call.form == CallForm::Method) m_MovedAxes |= MotionAxes(e.name, call.args);
    std::uint16_t flags = kInvokeMethod;
    if (call.form == CallForm::PropertyGet) flags = kInvokePropertyGet;
    if (call.form == CallForm::PropertyPut) flags = kInvokePropertyPut;
    unsigned argErr = 0;
    Variant result;
    HRESULT hr = m_Control.Invoke(e.id, flags, args,
                                  call.form == CallForm::PropertyPut ? nullptr : &result, &argErr);
    if (hr != S_OK) {
        r.code = hr;
        r.message = call.name;
        if (hr == DISP_E_TYPEMISMATCH || hr == DISP_E_OVERFLOW) {
            r.message += " argument " + std::to_string(argErr + 1) + " refused by the control";
        } else {
            r.message += " failed in the control";
        }
        return r;
    }
    rec.result = std::move(result);
    for (std::size_t i = 0; i < e.params.size() && i < args.size(); ++i) {
        if (e.params[i].type == VarType::ByRefI2)
            rec.outs.emplace_back(e.params[i].name, outStore[i]);
    }
    if (m_ReadErrorCode) rec.error = ErrorCode();
    return r;
}

bool Runner::SleepMs(std::int64_t ms) {
    auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    for (;;) {
        if (Stopped()) return false;
        auto now = std::chrono::steady_clock::now();
        if (now >= until) return true;
        std::this_thread::sleep_for(std::min<std::chrono::steady_clock::duration>(
            until - now, std::chrono::milliseconds(20)));
    }
}

RunResult Runner::RunHost(const BoundCall& call) {
    if (call.name == "wait-stop") return WaitStop(call);
    RunResult r;
    r.record.name = call.name;
    r.record.form = CallForm::Host;
    r.record.args = call.args;
    if (call.name == "sleep") {
        r.interrupted = !SleepMs(call.args.at(0).AsI4());
    } else if (call.name == "echo") {
        std::string text;
        for (const Variant& a : call.args) {
            if (!text.empty()) text += ' ';
            text += a.AsStr();
        }
        r.record.text = std::move(text);
    }
    return r;
}

// Polls the position (which is how a stop report reaches the protocol's flag)
// and then the flag, until the flag is set or the time is up.
RunResult Runner::WaitStop(const BoundCall& call) {
    RunResult r;
    CallRecord& rec = r.record;
    rec.name = call.name;
    rec.form = CallForm::Host;
    rec.args = call.args;
    std::int16_t axis = call.args.at(0).AsI2();
    std::int64_t timeoutMs = call.args.size() > 1 ? call.args[1].AsI4() : kDefaultWaitMs;

    auto start = std::chrono::steady_clock::now();
    auto deadline = start + std::chrono::milliseconds(timeoutMs);
    bool stopped = false;
    Variant position;
    for (;;) {
        Variant flag;
        HRESULT hr = CallById(m_GetPosition, {Variant(axis)}, position);
        if (hr == S_OK) hr = CallById(m_GetStopFlag, {Variant(axis)}, flag);
        if (hr != S_OK) {
            r.code = hr;
            r.message = "wait-stop: the control refused GetPosition/GetStopFlag";
            return r;
        }
        if (flag.Type() == VarType::Bool && flag.AsBool()) {
            // The reply that brought the stop report may have had no position.
            stopped = true;
            if (CallById(m_GetPosition, {Variant(axis)}, position) != S_OK) position = Variant();
            break;
        }
        std::optional<std::int32_t> err = ErrorCode();
        if (err && LinkGoneCode(*err)) {
            ++m_LinkFailures;
            std::fprintf(stderr,
                         "kt300ctl: wait-stop %d: the link is %s (error %d); no stop report can "
                         "arrive, giving up\n",
                         axis, *err == kErrChannelGone ? "gone (device hung up)" : "closed", *err);
            break;
        }
        if (Stopped()) {
            r.interrupted = true;
            break;
        }
        if (std::chrono::steady_clock::now() >= deadline) break;
        if (!SleepMs(m_PollMs)) {
            r.interrupted = true;
            break;
        }
    }
    rec.result = Variant(stopped);
    rec.outs.emplace_back("position", position);
    if (m_ReadErrorCode) rec.error = ErrorCode();
    return r;
}

}  // namespace korva::tools
