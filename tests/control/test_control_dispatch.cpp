// The late-binding layer without a controller: Variant conversions, the type
// information of _DKORVAKT3002, GetIDsOfNames and the errors Invoke reports.
#include <gtest/gtest.h>

#include <clocale>
#include <cmath>
#include <limits>
#include <set>
#include <string>
#include <vector>

#include "Dispatch.h"
#include "KORVAKT3002CtlInternal.h"
#include "Variant.h"

using korva::ConvResult;
using korva::DISPID;
using korva::MemberKind;
using korva::Variant;
using korva::VarType;

namespace {

struct ConvCase {
    const char* what;
    Variant input;
    VarType target;
    ConvResult code;
    Variant expected;  // when code is Ok
};

std::vector<ConvCase> ConversionCases() {
    using I2 = std::int16_t;
    using I4 = std::int32_t;
    return {
        {"short to long", Variant(I2{-7}), VarType::I4, ConvResult::Ok, Variant(I4{-7})},
        {"long fits short", Variant(I4{32767}), VarType::I2, ConvResult::Ok, Variant(I2{32767})},
        {"long beyond short", Variant(I4{32768}), VarType::I2, ConvResult::Overflow, {}},
        {"long below short", Variant(I4{-32769}), VarType::I2, ConvResult::Overflow, {}},
        {"double half to even down", Variant(2.5), VarType::I2, ConvResult::Ok, Variant(I2{2})},
        {"double half to even up", Variant(3.5), VarType::I2, ConvResult::Ok, Variant(I2{4})},
        {"negative half", Variant(-2.5), VarType::I4, ConvResult::Ok, Variant(I4{-2})},
        {"double beyond long", Variant(3e9), VarType::I4, ConvResult::Overflow, {}},
        {"NaN to long", Variant(std::nan("")), VarType::I4, ConvResult::Overflow, {}},
        {"double beyond float", Variant(1e39), VarType::R4, ConvResult::Overflow, {}},
        {"double to float", Variant(0.5), VarType::R4, ConvResult::Ok, Variant(0.5f)},
        {"bool true is -1", Variant(true), VarType::I2, ConvResult::Ok, Variant(I2{-1})},
        {"nonzero is true", Variant(I4{5}), VarType::Bool, ConvResult::Ok, Variant(true)},
        {"empty is zero", Variant(), VarType::I2, ConvResult::Ok, Variant(I2{0})},
        {"empty is empty text", Variant(), VarType::Str, ConvResult::Ok, Variant("")},
        {"text number", Variant("12"), VarType::I2, ConvResult::Ok, Variant(I2{12})},
        {"blanks around", Variant(" 7 "), VarType::I4, ConvResult::Ok, Variant(I4{7})},
        {"plus sign", Variant("+3"), VarType::I2, ConvResult::Ok, Variant(I2{3})},
        {"text fraction", Variant("1.5"), VarType::R4, ConvResult::Ok, Variant(1.5f)},
        {"text exponent", Variant("-2e3"), VarType::R8, ConvResult::Ok, Variant(-2000.0)},
        {"text trailing junk", Variant("7x"), VarType::I2, ConvResult::TypeMismatch, {}},
        {"comma decimal", Variant("1,5"), VarType::R4, ConvResult::TypeMismatch, {}},
        {"empty text", Variant(""), VarType::I2, ConvResult::TypeMismatch, {}},
        {"word", Variant("abc"), VarType::R8, ConvResult::TypeMismatch, {}},
        {"inf text", Variant("inf"), VarType::R8, ConvResult::TypeMismatch, {}},
        {"huge text", Variant("1e400"), VarType::R8, ConvResult::Overflow, {}},
        {"tiny text", Variant("1e-400"), VarType::R8, ConvResult::Ok, Variant(0.0)},
        {"text beyond short", Variant("40000"), VarType::I2, ConvResult::Overflow, {}},
        {"true text", Variant("True"), VarType::Bool, ConvResult::Ok, Variant(true)},
        {"false text", Variant(" false"), VarType::Bool, ConvResult::Ok, Variant(false)},
        {"number text to bool", Variant("0"), VarType::Bool, ConvResult::Ok, Variant(false)},
        {"yes is no bool", Variant("yes"), VarType::Bool, ConvResult::TypeMismatch, {}},
        {"float to text", Variant(1.5f), VarType::Str, ConvResult::Ok, Variant("1.5")},
        {"long to text", Variant(I4{-42}), VarType::Str, ConvResult::Ok, Variant("-42")},
        {"bool to text", Variant(true), VarType::Str, ConvResult::Ok, Variant("True")},
        {"no by-ref target", Variant(I2{1}), VarType::ByRefI2, ConvResult::TypeMismatch, {}},
    };
}

TEST(ControlVariant, ConvertsLikeAutomation) {
    for (const ConvCase& c : ConversionCases()) {
        Variant out;
        EXPECT_EQ(c.input.ChangeType(c.target, out), c.code) << c.what;
        if (c.code == ConvResult::Ok) {
            EXPECT_EQ(out, c.expected) << c.what;
        }
    }
}

TEST(ControlVariant, ConversionsIgnoreTheProcessLocale) {
    const char* comma = std::setlocale(LC_ALL, "de_DE.UTF-8");
    if (comma == nullptr) GTEST_SKIP() << "de_DE.UTF-8 locale not installed";
    float f = 0;
    EXPECT_EQ(Variant("2.25").ToR4(f), ConvResult::Ok);
    EXPECT_EQ(f, 2.25f);
    EXPECT_EQ(Variant("2,25").ToR4(f), ConvResult::TypeMismatch);
    std::string text;
    EXPECT_EQ(Variant(2.25).ToStr(text), ConvResult::Ok);
    EXPECT_EQ(text, "2.25");
    std::setlocale(LC_ALL, "C");
}

TEST(ControlVariant, ByReferenceReadsThroughThePointer) {
    std::int16_t value = 9;
    Variant ref = Variant::ByRef(&value);
    EXPECT_EQ(ref.Type(), VarType::ByRefI2);
    std::int32_t out = 0;
    EXPECT_EQ(ref.ToI4(out), ConvResult::Ok);
    EXPECT_EQ(out, 9);
    EXPECT_EQ(Variant::ByRef(nullptr).ToI4(out), ConvResult::TypeMismatch);
}

// ---- the type information

TEST(ControlTypeInfo, HoldsEveryMemberOnce) {
    const auto& info = CKORVAKT3002Ctrl::TypeInfo();
    EXPECT_STREQ(info.name, "_DKORVAKT3002");
    ASSERT_EQ(info.entries.size(), 109u);
    std::set<DISPID> ids;
    std::set<std::string> lowerNames;
    for (const auto& e : info.entries) {
        ids.insert(e.id);
        std::string lower = e.name;
        for (char& ch : lower) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
        lowerNames.insert(lower);
    }
    EXPECT_EQ(lowerNames.size(), 109u) << "names must differ ignoring case";
    std::set<DISPID> expected{korva::DISPID_ABOUTBOX};
    for (DISPID id = 1; id <= 108; ++id) expected.insert(id);
    EXPECT_EQ(ids, expected);
    EXPECT_STREQ(CKORVAKT3002Ctrl::EventTypeInfo().name, "_DKORVAKT3002Events");
    EXPECT_TRUE(CKORVAKT3002Ctrl::EventTypeInfo().entries.empty());
}

struct SignatureCase {
    const char* name;
    DISPID id;
    MemberKind kind;
    VarType result;
    std::vector<std::pair<std::string, VarType>> params;
};

TEST(ControlTypeInfo, SignaturesStandAsTheHostsKnowThem) {
    const std::vector<SignatureCase> cases = {
        {"Langenge", 1, MemberKind::Property, VarType::Str, {}},
        {"USBMODE", 2, MemberKind::Property, VarType::Bool, {}},
        {"USBSerials", 3, MemberKind::Property, VarType::Str, {}},
        {"ComPort", 4, MemberKind::Property, VarType::I2, {}},
        {"DisConnect", 22, MemberKind::Method, VarType::Empty, {}},
        {"SetBaseParam",
         8,
         MemberKind::Method,
         VarType::Bool,
         {{"axis", VarType::I2},
          {"AxisStyle", VarType::I2},
          {"workstate", VarType::I2},
          {"StepAngle", VarType::R4},
          {"Pitch", VarType::R4},
          {"MicroStep", VarType::I4},
          {"DriverRate", VarType::I4},
          {"distance", VarType::R4},
          {"radius", VarType::I4}}},
        {"SetRunParam",
         12,
         MemberKind::Method,
         VarType::Bool,
         {{"axis", VarType::I2},
          {"Speed", VarType::R4},
          {"InitSpeed", VarType::R4},
          {"AccSpeed", VarType::R4},
          {"DccSpeed", VarType::R4},
          {"HomeSpeed", VarType::R4},
          {"homespeedfactor", VarType::R4},
          {"unit", VarType::I2}}},
        {"GoInterpolationArc",
         14,
         MemberKind::Method,
         VarType::Bool,
         {{"anxi1", VarType::I2},
          {"anxi2", VarType::I2},
          {"target_posx", VarType::R4},
          {"target_posy", VarType::R4},
          {"cen_posx", VarType::R4},
          {"cen_posy", VarType::R4},
          {"arc_dir", VarType::I2}}},
        {"GoOrigion", 18, MemberKind::Method, VarType::Bool, {{"anxi", VarType::I2}}},
        {"SearchKorvaUSBDevice", 20, MemberKind::Method, VarType::I4, {}},
        {"GetKorvaUSBSerial", 21, MemberKind::Method, VarType::Str, {{"index", VarType::I4}}},
        {"GetUnit", 23, MemberKind::Method, VarType::Str, {{"anxi", VarType::I2}}},
        {"Gethomespeedfactor", 29, MemberKind::Method, VarType::R4, {{"anxi", VarType::I2}}},
        {"GetAxisStyle", 34, MemberKind::Method, VarType::I2, {{"anxi", VarType::I2}}},
        {"GetMicroStep", 36, MemberKind::Method, VarType::I4, {{"anxi", VarType::I2}}},
        {"GetPortInput", 44, MemberKind::Method, VarType::Bool, {{"nValue", VarType::ByRefI2}}},
        {"SetchroMode", 49, MemberKind::Method, VarType::Bool, {{"bmode", VarType::Bool}}},
        {"Setsechhome",
         47,
         MemberKind::Method,
         VarType::Bool,
         {{"anxi", VarType::I2}, {"homemode", VarType::I2}}},
        {"GonAxisHome",
         67,
         MemberKind::Method,
         VarType::Bool,
         {{"xYN", VarType::Str},
          {"yYN", VarType::Str},
          {"zYN", VarType::Str},
          {"tYN", VarType::Str}}},
        {"SetStageSteps",
         74,
         MemberKind::Method,
         VarType::Bool,
         {{"axis", VarType::I2}, {"step", VarType::R4}}},
        {"GetPosition", 75, MemberKind::Method, VarType::R8, {{"anxi", VarType::I2}}},
        {"DelayTime", 82, MemberKind::Method, VarType::Bool, {{"DelayTime", VarType::I2}}},
        {"Delname", 94, MemberKind::Method, VarType::Bool, {{"strsavename", VarType::Str}}},
        {"GetErrorCode", 95, MemberKind::Method, VarType::I4, {}},
        {"GetSelectID", 97, MemberKind::Method, VarType::Bool, {{"ndev", VarType::ByRefI2}}},
        {"SetLimitAble",
         103,
         MemberKind::Method,
         VarType::Bool,
         {{"anxi", VarType::I2}, {"limitable", VarType::I2}}},
        {"GetSystemInfo", 108, MemberKind::Method, VarType::I2, {}},
        {"AboutBox", -552, MemberKind::Method, VarType::Empty, {}},
    };
    const auto& info = CKORVAKT3002Ctrl::TypeInfo();
    for (const SignatureCase& c : cases) {
        const korva::DispEntry* e = info.Find(c.id);
        ASSERT_NE(e, nullptr) << c.name;
        EXPECT_STREQ(e->name, c.name);
        EXPECT_EQ(e->kind, c.kind) << c.name;
        EXPECT_EQ(e->result, c.result) << c.name;
        ASSERT_EQ(e->params.size(), c.params.size()) << c.name;
        for (std::size_t i = 0; i < c.params.size(); ++i) {
            EXPECT_EQ(e->params[i].name, c.params[i].first) << c.name << " parameter " << i;
            EXPECT_EQ(e->params[i].type, c.params[i].second) << c.name << " parameter " << i;
        }
    }
}

TEST(ControlTypeInfo, GetIDsOfNamesIgnoresCase) {
    const auto& info = CKORVAKT3002Ctrl::TypeInfo();
    struct Case {
        std::vector<const char*> names;
        korva::HRESULT code;
        std::vector<DISPID> ids;
    };
    const std::vector<Case> cases = {
        {{"GoOrigion"}, korva::S_OK, {18}},
        {{"gOoRiGiOn"}, korva::S_OK, {18}},
        {{"langenge"}, korva::S_OK, {1}},
        {{"ABOUTBOX"}, korva::S_OK, {-552}},
        {{"setsechhome", "HOMEMODE", "anxi"}, korva::S_OK, {47, 1, 0}},
        {{"GoOrigin"}, korva::DISP_E_UNKNOWNNAME, {korva::DISPID_UNKNOWN}},
        {{"GoHome", "axis"}, korva::DISP_E_UNKNOWNNAME, {17, korva::DISPID_UNKNOWN}},
        {{"Nothing", "anxi"},
         korva::DISP_E_UNKNOWNNAME,
         {korva::DISPID_UNKNOWN, korva::DISPID_UNKNOWN}},
    };
    for (const Case& c : cases) {
        std::vector<DISPID> ids(c.names.size(), 12345);
        EXPECT_EQ(korva::GetIDsOfNames(info, c.names, ids), c.code) << c.names[0];
        EXPECT_EQ(ids, c.ids) << c.names[0];
    }
    std::vector<DISPID> tooFew;
    const char* one[] = {"Connect"};
    EXPECT_EQ(korva::GetIDsOfNames(info, one, tooFew), korva::E_INVALIDARG);
}

// ---- Invoke's own errors and conversions (no controller needed)

class ControlInvoke : public ::testing::Test {
  protected:
    korva::HRESULT Call(DISPID id, std::vector<Variant> args, Variant* result = nullptr,
                        std::uint16_t flags = korva::kInvokeMethod) {
        argErr = 999;
        return ctl.Invoke(id, flags, args, result, &argErr);
    }
    CKORVAKT3002Ctrl ctl;
    unsigned argErr = 999;
};

TEST_F(ControlInvoke, RejectsBadCallsWithDispatchCodes) {
    using I2 = std::int16_t;
    struct Case {
        const char* what;
        DISPID id;
        std::vector<Variant> args;
        std::uint16_t flags;
        korva::HRESULT code;
        unsigned argErr;  // 999: not set
    };
    const std::vector<Case> cases = {
        {"unknown id", 109, {}, korva::kInvokeMethod, korva::DISP_E_MEMBERNOTFOUND, 999},
        {"id zero", 0, {}, korva::kInvokeMethod, korva::DISP_E_MEMBERNOTFOUND, 999},
        {"too few", 46, {Variant(I2{0})}, korva::kInvokeMethod, korva::DISP_E_BADPARAMCOUNT, 999},
        {"too many", 5, {Variant(I2{0})}, korva::kInvokeMethod, korva::DISP_E_BADPARAMCOUNT, 999},
        {"text for short",
         46,
         {Variant(I2{0}), Variant("m")},
         korva::kInvokeMethod,
         korva::DISP_E_TYPEMISMATCH,
         1},
        {"short overflow",
         46,
         {Variant(std::int32_t{70000}), Variant(I2{1})},
         korva::kInvokeMethod,
         korva::DISP_E_OVERFLOW,
         0},
        {"float overflow",
         63,
         {Variant(I2{0}), Variant(1e300)},
         korva::kInvokeMethod,
         korva::DISP_E_OVERFLOW,
         1},
        {"null by-ref",
         44,
         {Variant::ByRef(nullptr)},
         korva::kInvokeMethod,
         korva::DISP_E_TYPEMISMATCH,
         0},
        {"put on a method",
         5,
         {Variant(true)},
         korva::kInvokePropertyPut,
         korva::DISP_E_MEMBERNOTFOUND,
         999},
        {"property called as method",
         4,
         {},
         korva::kInvokeMethod,
         korva::DISP_E_MEMBERNOTFOUND,
         999},
        {"get with an argument",
         4,
         {Variant(I2{1})},
         korva::kInvokePropertyGet,
         korva::DISP_E_BADPARAMCOUNT,
         999},
        {"put without value", 4, {}, korva::kInvokePropertyPut, korva::DISP_E_BADPARAMCOUNT, 999},
        {"put bad type",
         4,
         {Variant("COM3")},
         korva::kInvokePropertyPut,
         korva::DISP_E_TYPEMISMATCH,
         0},
    };
    for (const Case& c : cases) {
        Variant result("untouched");
        EXPECT_EQ(Call(c.id, c.args, &result, c.flags), c.code) << c.what;
        EXPECT_EQ(argErr, c.argErr) << c.what;
    }
    // Nothing reached the link: the error code is still the initial one.
    EXPECT_EQ(ctl.GetErrorCode(), 0);
}

TEST_F(ControlInvoke, ConvertsArgumentsAndResults) {
    Variant result;
    // Properties: put converts, get returns the declared type.
    ASSERT_EQ(Call(4, {Variant(" 5 ")}, nullptr, korva::kInvokePropertyPut), korva::S_OK);
    ASSERT_EQ(Call(4, {}, &result, korva::kInvokePropertyGet), korva::S_OK);
    EXPECT_EQ(result, Variant(std::int16_t{5}));
    ASSERT_EQ(Call(1, {Variant(12.5)}, nullptr, korva::kInvokePropertyPut), korva::S_OK);
    ASSERT_EQ(Call(1, {}, &result, korva::kInvokePropertyGet), korva::S_OK);
    EXPECT_EQ(result, Variant("12.5"));
    ASSERT_EQ(Call(2, {Variant(std::int16_t{1})}, nullptr, korva::kInvokePropertyPut), korva::S_OK);
    ASSERT_EQ(Call(2, {}, &result, korva::kInvokePropertyGet | korva::kInvokeMethod), korva::S_OK);
    EXPECT_EQ(result, Variant(true));
    // A scripting host's Method|PropertyGet call of a method.
    ASSERT_EQ(Call(96, {Variant(2.0)}, &result, korva::kInvokeMethod | korva::kInvokePropertyGet),
              korva::S_OK);
    EXPECT_EQ(result, Variant(true));
    EXPECT_EQ(ctl.Protocol().GetSelectNumber(), 2);
    // A void method gives an empty result; a missing result pointer is fine.
    result = Variant("x");
    ASSERT_EQ(Call(22, {}, &result), korva::S_OK);
    EXPECT_TRUE(result.IsEmpty());
    EXPECT_EQ(Call(95, {}, nullptr), korva::S_OK);
}

TEST_F(ControlInvoke, OutParameterUntouchedWhenTheQueryFails) {
    // Link closed: the port-input query fails and does not preset its output.
    std::int16_t value = 77;
    std::vector<Variant> args{Variant::ByRef(&value)};
    Variant result;
    ASSERT_EQ(ctl.Invoke(44, korva::kInvokeMethod, args, &result), korva::S_OK);
    EXPECT_EQ(result, Variant(false));
    EXPECT_EQ(value, 77);
    EXPECT_EQ(ctl.GetErrorCode(), 20004);
}

}  // namespace
