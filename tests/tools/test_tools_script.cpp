// The script language, the output formats and the binding of statements to a
// dispatch table, without the control module: a small fake control stands in.
#include <gtest/gtest.h>
#include <strings.h>

#include <array>
#include <atomic>
#include <clocale>
#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "Calls.h"
#include "Format.h"
#include "Options.h"
#include "Script.h"

using namespace korva;
using namespace korva::tools;

namespace {

ScriptArg Num(const char* text) {
    return {ArgKind::Number, text, false};
}
ScriptArg Txt(const char* text) {
    return {ArgKind::Text, text, false};
}
ScriptArg Bool(const char* text, bool v) {
    return {ArgKind::Bool, text, v};
}

struct GoodLine {
    const char* line;
    StatementKind kind;
    const char* name;
    std::vector<ScriptArg> args;
};

TEST(Parse, AcceptedForms) {
    const GoodLine cases[] = {
        {"", StatementKind::Empty, "", {}},
        {"   \t ", StatementKind::Empty, "", {}},
        {"# a comment, with \"quotes\"", StatementKind::Empty, "", {}},
        {"   # indented comment", StatementKind::Empty, "", {}},
        {"Connect", StatementKind::Call, "Connect", {}},
        {"Connect()", StatementKind::Call, "Connect", {}},
        {"connect  ", StatementKind::Call, "connect", {}},
        {"SetSpeed 0, 1000", StatementKind::Call, "SetSpeed", {Num("0"), Num("1000")}},
        {"SetSpeed(0, 1000)", StatementKind::Call, "SetSpeed", {Num("0"), Num("1000")}},
        {"SetSpeed ( 0 ,1000 )", StatementKind::Call, "SetSpeed", {Num("0"), Num("1000")}},
        {"SetSpeed 0,1000\r", StatementKind::Call, "SetSpeed", {Num("0"), Num("1000")}},
        {"GoPosition 0, 1, 1, 1, -12.5",
         StatementKind::Call,
         "GoPosition",
         {Num("0"), Num("1"), Num("1"), Num("1"), Num("-12.5")}},
        {"SetSpeed 0, +.5e-3", StatementKind::Call, "SetSpeed", {Num("0"), Num("+.5e-3")}},
        {"SetSpeed 0, 5. # trailing comment",
         StatementKind::Call,
         "SetSpeed",
         {Num("0"), Num("5.")}},
        {"SAVENAME \"demo\"", StatementKind::Call, "SAVENAME", {Txt("demo")}},
        {R"(SAVENAME "a\"b\\c")", StatementKind::Call, "SAVENAME", {Txt(R"(a"b\c)")}},
        {R"x(SAVENAME("x # y, (z)"))x", StatementKind::Call, "SAVENAME", {Txt("x # y, (z)")}},
        {"SAVENAME \"\"", StatementKind::Call, "SAVENAME", {Txt("")}},
        {"GonAxisHome \"Y\",\"N\", \"N\" ,\"N\"",
         StatementKind::Call,
         "GonAxisHome",
         {Txt("Y"), Txt("N"), Txt("N"), Txt("N")}},
        {"ComPort = 3", StatementKind::PropertyPut, "ComPort", {Num("3")}},
        {"ComPort=3", StatementKind::PropertyPut, "ComPort", {Num("3")}},
        {"USBMODE = true", StatementKind::PropertyPut, "USBMODE", {Bool("true", true)}},
        {"SetchroMode FALSE", StatementKind::Call, "SetchroMode", {Bool("FALSE", false)}},
        {"Langenge = \"Chinese\" # text property",
         StatementKind::PropertyPut,
         "Langenge",
         {Txt("Chinese")}},
        {"wait-stop 0, 5000", StatementKind::Host, "wait-stop", {Num("0"), Num("5000")}},
        {"WAIT-STOP(1)", StatementKind::Host, "WAIT-STOP", {Num("1")}},
        {"sleep 20", StatementKind::Host, "sleep", {Num("20")}},
        {"echo \"--- moves ---\"", StatementKind::Host, "echo", {Txt("--- moves ---")}},
    };
    for (const GoodLine& c : cases) {
        SCOPED_TRACE(c.line);
        ParseResult r = ParseLine(c.line);
        ASSERT_TRUE(r.ok) << r.error;
        EXPECT_EQ(r.statement.kind, c.kind);
        EXPECT_EQ(r.statement.name, c.name);
        EXPECT_EQ(r.statement.args, c.args);
    }
}

struct BadLine {
    const char* line;
    std::size_t column;
    const char* fragment;  // part of the message
};

TEST(Parse, ErrorsNameTheFaultAndItsColumn) {
    const BadLine cases[] = {
        {"SAVENAME \"abc", 10, "unterminated text"},
        {"SAVENAME \"a\\nb\"", 12, "unknown escape"},
        {"SAVENAME \"abc\\", 14, "at the end of the line"},
        {"SAVENAME abc", 10, "texts go in double quotes"},
        {"SetSpeed 0 1000", 12, "expected ','"},
        {"SetSpeed 0,,1000", 12, "missing argument before ','"},
        {"SetSpeed 0,", 12, "missing argument"},
        {"SetSpeed(0,)", 12, "missing argument before ')'"},
        {"SetSpeed(0, 1", 14, "missing ')'"},
        {"SetSpeed(0, 1) 2", 16, "after ')'"},
        {"SetSpeed 0, 1.2.3", 13, "malformed number"},
        {"SetSpeed 0, 10mm", 13, "malformed number"},
        {"SetSpeed 0, 1e", 14, "malformed exponent"},
        {"SetSpeed 0, -", 13, "malformed number"},
        {"ComPort =", 10, "missing argument"},
        {"ComPort = 1, 2", 12, "after the value"},
        {"ComPort(1) = 2", 12, "after ')'"},
        {"sleep = 3", 7, "cannot be assigned"},
        {"go-home 0", 8, "unknown host command"},
        {"12 Connect", 1, "expected a name"},
        {"SetSpeed$ 0", 9, "after the name"},
        {"Connect;", 8, "after the name"},
    };
    for (const BadLine& c : cases) {
        SCOPED_TRACE(c.line);
        ParseResult r = ParseLine(c.line);
        ASSERT_FALSE(r.ok);
        EXPECT_EQ(r.column, c.column) << r.error;
        EXPECT_NE(r.error.find(c.fragment), std::string::npos) << r.error;
        EXPECT_EQ(r.statement.kind, StatementKind::Empty);
    }
}

TEST(Parse, QuotedTextReadsBack) {
    for (const char* text : {"plain", "a\"b", "back\\slash", "", "x # y"}) {
        ParseResult r = ParseLine("SAVENAME " + QuoteText(text));
        ASSERT_TRUE(r.ok) << r.error;
        ASSERT_EQ(r.statement.args.size(), 1u);
        EXPECT_EQ(r.statement.args[0].text, text);
    }
    // A reply with line ends stays on one output line.
    EXPECT_EQ(QuoteText("OK\r\n"), "\"OK\\x0D\\x0A\"");
}

TEST(Format, PlainAndJsonLines) {
    CallRecord method{"SetSpeed", CallForm::Method, {std::int16_t(0), 1000.0f}, true, {}, 0, {}};
    EXPECT_EQ(FormatPlain(method), "SetSpeed(0, 1000) = TRUE");
    EXPECT_EQ(FormatJson(method),
              R"({"call": "SetSpeed", "args": [0, 1000], "result": true, "out": {}, "error": 0})");

    CallRecord outputs{"GetPortInput",
                       CallForm::Method,
                       {},
                       false,
                       {{"nValue", Variant(std::int16_t(-3))}},
                       20010,
                       {}};
    EXPECT_EQ(FormatPlain(outputs), "GetPortInput() = FALSE nValue=-3");
    EXPECT_EQ(FormatJson(outputs), R"({"call": "GetPortInput", "args": [], "result": false, )"
                                   R"("out": {"nValue": -3}, "error": 20010})");

    CallRecord voidCall{"DisConnect", CallForm::Method, {}, {}, {}, std::nullopt, {}};
    EXPECT_EQ(FormatPlain(voidCall), "DisConnect()");
    EXPECT_EQ(FormatJson(voidCall),
              R"({"call": "DisConnect", "args": [], "result": null, "out": {}, "error": null})");

    CallRecord get{"Langenge", CallForm::PropertyGet, {}, Variant("Eng\"lish"), {}, 0, {}};
    EXPECT_EQ(FormatPlain(get), R"(Langenge = "Eng\"lish")");
    EXPECT_EQ(FormatJson(get),
              R"({"call": "Langenge", "args": [], "result": "Eng\"lish", "out": {}, "error": 0})");

    CallRecord put{"ComPort", CallForm::PropertyPut, {std::int16_t(3)}, {}, {}, 0, {}};
    EXPECT_EQ(FormatPlain(put), "ComPort := 3");
    EXPECT_EQ(FormatJson(put),
              R"({"call": "ComPort", "args": [3], "result": null, "out": {}, "error": 0})");

    CallRecord texts{"SAVENAME", CallForm::Method, {Variant("a\\b")}, std::int32_t(7), {}, {}, {}};
    EXPECT_EQ(FormatPlain(texts), R"(SAVENAME("a\\b") = 7)");

    CallRecord echo{"echo", CallForm::Host, {Variant("hello")}, {}, {}, {}, "hello"};
    EXPECT_EQ(FormatPlain(echo), "hello");
}

TEST(Format, NumbersAreShortestAndLocaleFree) {
    // A comma locale must not leak into the output (when it is installed).
    const char* old = std::setlocale(LC_ALL, nullptr);
    std::string saved = old ? old : "C";
    bool comma = std::setlocale(LC_ALL, "de_DE.UTF-8") != nullptr;
    struct Case {
        Variant value;
        const char* plain;
        const char* json;
    };
    const Case cases[] = {
        {0.1f, "0.1", "0.1"},
        {12.5, "12.5", "12.5"},
        {-0.000125, "-0.000125", "-0.000125"},
        {1e20f, "1e+20", "1e+20"},
        {std::int32_t(-2147483647 - 1), "-2147483648", "-2147483648"},
        {std::numeric_limits<double>::quiet_NaN(), "nan", "null"},
        {-std::numeric_limits<float>::infinity(), "-inf", "null"},
        {Variant(), "", "null"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.plain);
        EXPECT_EQ(FormatValuePlain(c.value), c.plain);
        EXPECT_EQ(FormatValueJson(c.value), c.json);
    }
    std::setlocale(LC_ALL, saved.c_str());
    if (!comma) GTEST_SKIP() << "de_DE.UTF-8 not installed; checked in the C locale only";
}

TEST(Format, JsonStringsAreAlwaysValid) {
    const std::pair<std::string, std::string> cases[] = {
        {"plain", R"("plain")"},
        {"q\"b\\", R"("q\"b\\")"},
        {"X STOP\rOK\r\n\t", R"("X STOP\rOK\r\n\t")"},
        {std::string("\x01\x7f", 2), R"("\u0001\u007f")"},
        {"\xE5\x9F\xBA", "\"\xE5\x9F\xBA\""},  // valid UTF-8 kept
        {"a\xFF"
         "b",
         R"("a\ufffdb")"},                            // stray byte
        {"\xE5\x9F", R"("\ufffd\ufffd")"},            // cut sequence
        {"\xC0\xAF", R"("\ufffd\ufffd")"},            // overlong
        {"\xED\xA0\x80", R"("\ufffd\ufffd\ufffd")"},  // surrogate
    };
    for (const auto& [in, out] : cases) EXPECT_EQ(JsonString(in), out);
}

// A control with a handful of members of every shape the real one has.
const DispParam kAxis[] = {{"anxi", VarType::I2}};
const DispParam kSpeed[] = {{"axis", VarType::I2}, {"Speed", VarType::R4}};
const DispParam kPulses[] = {{"axis", VarType::I2}, {"pulse", VarType::I4}};
const DispParam kInput[] = {{"nValue", VarType::ByRefI2}};
const DispParam kName[] = {{"strname", VarType::Str}};
const DispParam kMode[] = {{"bmode", VarType::Bool}};
const DispEntry kEntries[] = {
    {4, "ComPort", MemberKind::Property, VarType::I2, {}},
    {1, "Langenge", MemberKind::Property, VarType::Str, {}},
    {22, "DisConnect", MemberKind::Method, VarType::Empty, {}},
    {44, "GetPortInput", MemberKind::Method, VarType::Bool, kInput},
    {49, "SetchroMode", MemberKind::Method, VarType::Bool, kMode},
    {63, "SetSpeed", MemberKind::Method, VarType::Bool, kSpeed},
    {71, "SetCommandPulses", MemberKind::Method, VarType::Bool, kPulses},
    {75, "GetPosition", MemberKind::Method, VarType::R8, kAxis},
    {76, "SAVENAME", MemberKind::Method, VarType::Bool, kName},
    {95, "GetErrorCode", MemberKind::Method, VarType::I4, {}},
    {99, "GetStopFlag", MemberKind::Method, VarType::Bool, kAxis},
};
const DispInterfaceInfo kInfo{"_DFake", kEntries};

class FakeControl : public KorvaDispatch {
  public:
    HRESULT GetIDsOfNames(std::span<const char* const> names, std::span<DISPID> ids) override {
        for (const DispEntry& e : kEntries) {
            if (strcasecmp(e.name, names[0]) == 0) {
                ids[0] = e.id;
                return S_OK;
            }
        }
        ids[0] = DISPID_UNKNOWN;
        return DISP_E_UNKNOWNNAME;
    }
    HRESULT Invoke(DISPID id, std::uint16_t flags, std::span<Variant> args, Variant* result,
                   unsigned* = nullptr) override {
        calls.push_back({id, flags, std::vector<Variant>(args.begin(), args.end())});
        Variant r;
        switch (id) {
            case 44:
                *args[0].AsByRefI2() = 0x55;
                r = Variant(true);
                break;
            case 75:
                ++polls;
                r = Variant(position);
                break;
            case 95:
                r = Variant(errorCode);
                break;
            case 99:
                r = Variant(stopAfter >= 0 && polls >= stopAfter);
                break;
            default:
                r = Variant(true);
        }
        if (result != nullptr) *result = r;
        return S_OK;
    }
    const DispInterfaceInfo& GetTypeInfo() const override { return kInfo; }
    const DispInterfaceInfo& GetEventTypeInfo() const override { return kInfo; }
    void Release() override {}

    struct Call {
        DISPID id;
        std::uint16_t flags;
        std::vector<Variant> args;
    };
    std::vector<Call> calls;
    int polls = 0;
    int stopAfter = -1;
    double position = 0;
    std::int32_t errorCode = 0;
};

BindResult BindLine(FakeControl& c, const char* line) {
    ParseResult p = ParseLine(line);
    EXPECT_TRUE(p.ok) << line << ": " << p.error;
    return Bind(c, p.statement);
}

TEST(Bind, ConvertsArgumentsToParameterTypes) {
    FakeControl c;
    struct Case {
        const char* line;
        const char* name;
        CallForm form;
        std::vector<Variant> args;
    };
    const Case cases[] = {
        {"setspeed 1, 2.5", "SetSpeed", CallForm::Method, {std::int16_t(1), 2.5f}},
        {"SetSpeed -32768, 1e3", "SetSpeed", CallForm::Method, {std::int16_t(-32768), 1000.0f}},
        {"SetCommandPulses 0, 2147483647",
         "SetCommandPulses",
         CallForm::Method,
         {std::int16_t(0), std::int32_t(2147483647)}},
        {"SetCommandPulses 0, 4.0",
         "SetCommandPulses",
         CallForm::Method,
         {std::int16_t(0), std::int32_t(4)}},
        {"SetchroMode TRUE", "SetchroMode", CallForm::Method, {true}},
        {"SetchroMode 0", "SetchroMode", CallForm::Method, {false}},
        {"SAVENAME \"p1\"", "SAVENAME", CallForm::Method, {Variant("p1")}},
        {"GetPortInput", "GetPortInput", CallForm::Method, {Variant()}},
        {"comport", "ComPort", CallForm::PropertyGet, {}},
        {"COMPORT = 7", "ComPort", CallForm::PropertyPut, {std::int16_t(7)}},
        {"Langenge = \"English\"", "Langenge", CallForm::PropertyPut, {Variant("English")}},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.line);
        BindResult b = BindLine(c, k.line);
        ASSERT_TRUE(b.Ok()) << b.message;
        EXPECT_EQ(b.call.name, k.name);
        EXPECT_EQ(b.call.form, k.form);
        EXPECT_EQ(b.call.args, k.args);
    }
}

TEST(Bind, RefusesWithDispatchCodes) {
    FakeControl c;
    struct Case {
        const char* line;
        HRESULT code;
        const char* message;
    };
    const Case cases[] = {
        {"SetSpeeed 0, 1", DISP_E_UNKNOWNNAME, "no member named SetSpeeed"},
        {"SetSpeed 0", DISP_E_BADPARAMCOUNT, "SetSpeed takes 2 arguments"},
        {"SetSpeed 0, 1, 2", DISP_E_BADPARAMCOUNT, "SetSpeed takes 2 arguments"},
        {"DisConnect 1", DISP_E_BADPARAMCOUNT, "DisConnect takes no arguments"},
        {"GetPosition", DISP_E_BADPARAMCOUNT, "GetPosition takes 1 argument"},
        {"GetPortInput 1", DISP_E_BADPARAMCOUNT,
         "GetPortInput takes no arguments (nValue is an output)"},
        {"ComPort 3", DISP_E_BADPARAMCOUNT, "ComPort is a property"},
        {"SetSpeed = 3", DISP_E_MEMBERNOTFOUND, "SetSpeed is a method, not a property"},
        {"SetSpeed 0.5, 1", DISP_E_TYPEMISMATCH,
         "SetSpeed argument 1 (axis) expects a whole number, got 0.5"},
        {"SetSpeed \"0\", 1", DISP_E_TYPEMISMATCH, "argument 1 (axis) expects a whole number"},
        {"SetSpeed TRUE, 1", DISP_E_TYPEMISMATCH, "expects a whole number, got TRUE/FALSE"},
        {"SetSpeed 32768, 1", DISP_E_OVERFLOW, "32768 does not fit a short"},
        {"SetSpeed 0, 1e39", DISP_E_OVERFLOW, "1e39 does not fit a float"},
        {"SetSpeed 0, 1e999", DISP_E_OVERFLOW, "does not fit a float"},
        {"SetCommandPulses 0, 2147483648", DISP_E_OVERFLOW, "does not fit a long"},
        {"SAVENAME 12", DISP_E_TYPEMISMATCH, "expects a quoted text, got a number (write \"12\")"},
        {"SetchroMode \"yes\"", DISP_E_TYPEMISMATCH, "expects TRUE or FALSE"},
        {"ComPort = \"3\"", DISP_E_TYPEMISMATCH, "ComPort value expects a whole number"},
        {"sleep", DISP_E_BADPARAMCOUNT, "sleep takes 1 argument"},
        {"sleep -1", DISP_E_TYPEMISMATCH, "sleep MS"},
        {"sleep 0.5", DISP_E_TYPEMISMATCH, "sleep MS"},
        {"wait-stop 4", DISP_E_TYPEMISMATCH, "axis index 0 to 3"},
        {"wait-stop 0, 1, 2", DISP_E_BADPARAMCOUNT, "wait-stop takes 1 or 2 arguments"},
        {"wait-stop 0, \"x\"", DISP_E_TYPEMISMATCH, "TIMEOUT-MS"},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.line);
        BindResult b = BindLine(c, k.line);
        EXPECT_EQ(DispErrorText(b.code), DispErrorText(k.code));
        EXPECT_NE(b.message.find(k.message), std::string::npos) << b.message;
    }
    EXPECT_TRUE(c.calls.empty()) << "binding must not invoke anything";
}

TEST(Run, OutputsByReferenceAndErrorCodeOnlyWhenAsked) {
    FakeControl c;
    Runner runner(c, nullptr);
    RunResult r = runner.Run(BindLine(c, "GetPortInput").call);
    ASSERT_TRUE(r.Ok());
    EXPECT_EQ(FormatPlain(r.record), "GetPortInput() = TRUE nValue=85");
    ASSERT_EQ(c.calls.size(), 1u) << "plain output makes only the named call";

    c.calls.clear();
    c.errorCode = 10121;
    runner.SetReadErrorCode(true);
    r = runner.Run(BindLine(c, "ComPort = 2").call);
    ASSERT_TRUE(r.Ok());
    EXPECT_EQ(FormatJson(r.record),
              R"({"call": "ComPort", "args": [2], "result": null, "out": {}, "error": 10121})");
    ASSERT_EQ(c.calls.size(), 2u);
    EXPECT_EQ(c.calls[0].flags, kInvokePropertyPut);
    EXPECT_EQ(c.calls[1].id, 95);
}

TEST(Run, WaitStopPollsUntilTheFlagOrGivesUp) {
    FakeControl c;
    std::atomic<int> stop{0};
    Runner runner(c, &stop);
    runner.SetPollMs(1);

    c.stopAfter = 3;
    c.position = 12.5;
    RunResult r = runner.Run(BindLine(c, "wait-stop 1, 5000").call);
    ASSERT_TRUE(r.Ok());
    EXPECT_EQ(FormatPlain(r.record), "wait-stop(1, 5000) = TRUE position=12.5");
    EXPECT_EQ(c.polls, 4) << "three polls, then the final position";

    // Never stops: the timeout ends it.
    c.polls = 0;
    c.stopAfter = -1;
    r = runner.Run(BindLine(c, "wait-stop 0, 30").call);
    EXPECT_EQ(FormatPlain(r.record), "wait-stop(0, 30) = FALSE position=12.5");
    EXPECT_GT(c.polls, 1);

    // A closed link can never report a stop: no point in waiting a minute.
    c.polls = 0;
    c.errorCode = 20004;
    r = runner.Run(BindLine(c, "wait-stop 0").call);
    EXPECT_EQ(r.record.result, Variant(false));
    EXPECT_EQ(c.polls, 1);

    // A signal ends the wait.
    c.errorCode = 0;
    stop = 2;
    r = runner.Run(BindLine(c, "wait-stop 0").call);
    EXPECT_TRUE(r.interrupted);
    r = runner.Run(BindLine(c, "sleep 60000").call);
    EXPECT_TRUE(r.interrupted);
}

TEST(Options, CommandLine) {
    OptionsResult r = ParseOptions(
        {"--sim", "--port=3", "--json", "-e", "Connect", "-e", "GetSpeed 0", "demo.kts"});
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_TRUE(r.options.sim);
    EXPECT_EQ(r.options.port, 3);
    EXPECT_EQ(r.options.simBaud, kDefaultSimBaud);
    EXPECT_EQ(r.options.calls, (std::vector<std::string>{"Connect", "GetSpeed 0"}));
    EXPECT_EQ(r.options.file, "demo.kts");

    const std::vector<std::vector<std::string>> bad = {
        {"--port", "0"},
        {"--port", "256"},
        {"--port", "1x"},
        {"--port"},
        {"--sim-baud", "9600"},
        {"--sim", "--sim-baud", "-1"},
        {"--usb="},
        {"a.kts", "b.kts"},
        {"--frobnicate"},
        {"--json=yes"},
        {"--register", "--unregister"},
    };
    for (const auto& args : bad) {
        SCOPED_TRACE(args.front());
        EXPECT_FALSE(ParseOptions(args).ok);
    }
    EXPECT_EQ(ParseOptions({"--", "-odd-name.kts"}).options.file, "-odd-name.kts");
    EXPECT_EQ(ParseOptions({"-"}).options.file, "-");
}

}  // namespace
