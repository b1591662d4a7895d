// The dispatch interface _DKORVAKT3002: one table describing every member
// (dispatch id, name, kind, result and parameter types, parameter names) and,
// row for row, an adapter that converts the Variant arguments to the typed
// C++ method's parameters and its result back to a Variant. Types are taken
// from the member function pointers, so the table cannot disagree with the
// methods; only the names are written by hand.
#include <array>
#include <new>
#include <string>
#include <tuple>
#include <type_traits>
#include <utility>

#include "KORVAKT3002Ctl.h"
#include "KorvaMembers.h"

using korva::DispEntry;
using korva::DISPID;
using korva::DispInterfaceInfo;
using korva::DispParam;
using korva::HRESULT;
using korva::MemberKind;
using korva::Variant;
using korva::VarType;
using Ctrl = CKORVAKT3002Ctrl;

namespace {

// ---- C++ type -> automation type

template <typename T>
constexpr VarType VarTypeOf() {
    using U = std::remove_cvref_t<T>;
    if constexpr (std::is_void_v<U>)
        return VarType::Empty;
    else if constexpr (std::is_same_v<U, bool>)
        return VarType::Bool;
    else if constexpr (std::is_same_v<U, std::int16_t>)
        return VarType::I2;
    else if constexpr (std::is_same_v<U, std::int32_t>)
        return VarType::I4;
    else if constexpr (std::is_same_v<U, float>)
        return VarType::R4;
    else if constexpr (std::is_same_v<U, double>)
        return VarType::R8;
    else if constexpr (std::is_same_v<U, std::string>)
        return VarType::Str;
    else if constexpr (std::is_same_v<U, std::int16_t*>)
        return VarType::ByRefI2;
    else
        static_assert(!sizeof(U), "type has no automation counterpart");
}

template <auto Fn>
struct MethodTraits;
template <typename R, typename... A, R (Ctrl::*Fn)(A...)>
struct MethodTraits<Fn> {
    using Result = R;
    static constexpr std::size_t kArity = sizeof...(A);
    static constexpr std::array<VarType, sizeof...(A)> kTypes{VarTypeOf<A>()...};
};
template <typename R, typename... A, R (Ctrl::*Fn)(A...) const>
struct MethodTraits<Fn> {
    using Result = R;
    static constexpr std::size_t kArity = sizeof...(A);
    static constexpr std::array<VarType, sizeof...(A)> kTypes{VarTypeOf<A>()...};
};

template <auto Fn, typename... Names>
constexpr auto MakeParams(Names... names) {
    using Traits = MethodTraits<Fn>;
    static_assert(sizeof...(Names) == Traits::kArity, "parameter names do not match the method");
    std::array<DispParam, sizeof...(Names)> params{};
    const char* list[] = {names..., nullptr};
    for (std::size_t i = 0; i < sizeof...(Names); ++i)
        params[i] = DispParam{list[i], Traits::kTypes[i]};
    return params;
}

// ---- argument slots: one typed value per parameter

HRESULT FromConv(korva::ConvResult r) {
    return static_cast<HRESULT>(r);
}

template <typename A>
struct Slot;

template <>
struct Slot<std::int16_t> {
    std::int16_t value = 0;
    HRESULT Load(const Variant& v) { return FromConv(v.ToI2(value)); }
    std::int16_t Get() const { return value; }
    void Store(Variant&) const {}
};
template <>
struct Slot<std::int32_t> {
    std::int32_t value = 0;
    HRESULT Load(const Variant& v) { return FromConv(v.ToI4(value)); }
    std::int32_t Get() const { return value; }
    void Store(Variant&) const {}
};
template <>
struct Slot<float> {
    float value = 0;
    HRESULT Load(const Variant& v) { return FromConv(v.ToR4(value)); }
    float Get() const { return value; }
    void Store(Variant&) const {}
};
template <>
struct Slot<bool> {
    bool value = false;
    HRESULT Load(const Variant& v) { return FromConv(v.ToBool(value)); }
    bool Get() const { return value; }
    void Store(Variant&) const {}
};
template <>
struct Slot<const std::string&> {
    std::string value;
    HRESULT Load(const Variant& v) { return FromConv(v.ToStr(value)); }
    const std::string& Get() const { return value; }
    void Store(Variant&) const {}
};
// Out parameter: through the caller's pointer, or back into the argument itself.
template <>
struct Slot<std::int16_t*> {
    std::int16_t value = 0;
    std::int16_t* target = nullptr;
    HRESULT Load(const Variant& v) {
        if (v.Type() == VarType::ByRefI2) {
            target = v.AsByRefI2();
            if (!target) return korva::DISP_E_TYPEMISMATCH;
            value = *target;
            return korva::S_OK;
        }
        return FromConv(v.ToI2(value));
    }
    std::int16_t* Get() { return &value; }
    void Store(Variant& v) const {
        if (target)
            *target = value;
        else
            v = Variant(value);
    }
};

template <typename R>
Variant ToVariant(R value) {
    if constexpr (std::is_same_v<R, std::string>)
        return Variant(std::move(value));
    else
        return Variant(value);
}

template <auto Fn, typename R, typename... A, std::size_t... I>
HRESULT CallWith(Ctrl& ctl, R (Ctrl::*)(A...), std::span<Variant> args, Variant* result,
                 unsigned* argErr, std::index_sequence<I...>) {
    if (args.size() != sizeof...(A)) return korva::DISP_E_BADPARAMCOUNT;
    std::tuple<Slot<A>...> slots;
    HRESULT hr = korva::S_OK;
    // Convert left to right; the first failure names its argument.
    [[maybe_unused]] auto load = [&](auto& slot, const Variant& arg, unsigned position) {
        if (hr != korva::S_OK) return;
        hr = slot.Load(arg);
        if (hr != korva::S_OK && argErr) *argErr = position;
    };
    (load(std::get<I>(slots), args[I], static_cast<unsigned>(I)), ...);
    if (hr != korva::S_OK) return hr;
    if constexpr (std::is_void_v<R>) {
        (ctl.*Fn)(std::get<I>(slots).Get()...);
        if (result) *result = Variant();
    } else {
        R value = (ctl.*Fn)(std::get<I>(slots).Get()...);
        if (result) *result = ToVariant<R>(std::move(value));
    }
    (std::get<I>(slots).Store(args[I]), ...);
    return korva::S_OK;
}

using Adapter = HRESULT (*)(Ctrl&, std::span<Variant>, Variant*, unsigned*);

template <auto Fn>
HRESULT CallMethod(Ctrl& ctl, std::span<Variant> args, Variant* result, unsigned* argErr) {
    return CallWith<Fn>(ctl, Fn, args, result, argErr,
                        std::make_index_sequence<MethodTraits<Fn>::kArity>{});
}

template <auto Getter>
HRESULT GetProperty(Ctrl& ctl, std::span<Variant> args, Variant* result, unsigned*) {
    if (!args.empty()) return korva::DISP_E_BADPARAMCOUNT;
    auto value = (ctl.*Getter)();
    if (result) *result = ToVariant(std::move(value));
    return korva::S_OK;
}

// ---- the table

#define KORVA_PARAMS_M(id, name, ...) \
    constexpr auto kParams_##name = MakeParams<&Ctrl::name>(__VA_ARGS__);
#define KORVA_PARAMS_P(id, name)
KORVA_CONTROL_MEMBERS(KORVA_PARAMS_M, KORVA_PARAMS_P)

#define KORVA_ENTRY_M(id, name, ...)         \
    DispEntry{id, #name, MemberKind::Method, \
              VarTypeOf<typename MethodTraits<&Ctrl::name>::Result>(), kParams_##name},
#define KORVA_ENTRY_P(id, name)                                             \
    DispEntry{id,                                                           \
              #name,                                                        \
              MemberKind::Property,                                         \
              VarTypeOf<typename MethodTraits<&Ctrl::Get##name>::Result>(), \
              {}},
constexpr DispEntry kEntries[] = {KORVA_CONTROL_MEMBERS(KORVA_ENTRY_M, KORVA_ENTRY_P)};

struct Binding {
    Adapter call;  // method call or property get
    Adapter put;   // property put; nullptr for methods
};
#define KORVA_BIND_M(id, name, ...) Binding{&CallMethod<&Ctrl::name>, nullptr},
#define KORVA_BIND_P(id, name) \
    Binding{&GetProperty<&Ctrl::Get##name>, &CallMethod<&Ctrl::Set##name>},
constexpr Binding kBindings[] = {KORVA_CONTROL_MEMBERS(KORVA_BIND_M, KORVA_BIND_P)};

static_assert(std::size(kEntries) == 109, "_DKORVAKT3002 has 108 members plus AboutBox");
static_assert(std::size(kBindings) == std::size(kEntries));

constexpr DispInterfaceInfo kInterface{"_DKORVAKT3002", kEntries};
constexpr DispInterfaceInfo kEventInterface{"_DKORVAKT3002Events", {}};

}  // namespace

const DispInterfaceInfo& CKORVAKT3002Ctrl::TypeInfo() {
    return kInterface;
}
const DispInterfaceInfo& CKORVAKT3002Ctrl::EventTypeInfo() {
    return kEventInterface;
}

HRESULT CKORVAKT3002Ctrl::Invoke(DISPID id, std::uint16_t flags, std::span<Variant> args,
                                 Variant* result, unsigned* argErr) {
    std::size_t index = 0;
    while (index < std::size(kEntries) && kEntries[index].id != id) ++index;
    if (index == std::size(kEntries)) return korva::DISP_E_MEMBERNOTFOUND;
    const DispEntry& entry = kEntries[index];
    const Binding& binding = kBindings[index];
    try {
        if (entry.kind == MemberKind::Property) {
            if (flags & korva::kInvokePropertyPut) {
                HRESULT hr = binding.put(*this, args, nullptr, argErr);
                if (hr == korva::S_OK && result) *result = Variant();
                return hr;
            }
            if (flags & korva::kInvokePropertyGet) return binding.call(*this, args, result, argErr);
            return korva::DISP_E_MEMBERNOTFOUND;
        }
        if (flags & (korva::kInvokeMethod | korva::kInvokePropertyGet)) {
            return binding.call(*this, args, result, argErr);
        }
        return korva::DISP_E_MEMBERNOTFOUND;
    } catch (const std::bad_alloc&) {
        return static_cast<HRESULT>(0x8007000E);  // E_OUTOFMEMORY
    } catch (...) {
        return static_cast<HRESULT>(0x8000FFFF);  // E_UNEXPECTED
    }
}
