// Failures a host can trust: numbers that are not finite never reach the
// wire, Connect says why it failed, and a successful call reports code 0.
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <limits>
#include <string>
#include <thread>
#include <vector>

#include "ControlFixture.h"

namespace korva::test {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using korva::Variant;
using S = std::int16_t;

long long MsSince(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

korva::DISPID IdOf(const char* name) {
    korva::DISPID id = korva::DISPID_UNKNOWN;
    const char* names[] = {name};
    korva::GetIDsOfNames(CKORVAKT3002Ctrl::TypeInfo(), names, std::span(&id, 1));
    return id;
}

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float kInf = std::numeric_limits<float>::infinity();

struct InvokeRow {
    const char* member;
    std::vector<Variant> args;
};

// Through late binding, as stagedesk's wrapper and any scripting host call.
TEST_F(ControlOnPty, NumbersThatAreNotFiniteAreRefusedAndNothingIsSent) {
    ConnectPlain();
    peer.SetDefaultReply("OK\r");  // group setters send their other values
    for (bool sync : {false, true}) {
        ctl.SetchroMode(sync);
        const std::vector<InvokeRow> rows = {
            {"GoInterpolationline2", {S(0), S(1), kNaN, 1.0f}},
            {"GoInterpolationline2", {S(0), S(1), 1.0f, -kInf}},
            {"GoInterpolationline3", {S(0), S(1), S(2), 1.0f, 2.0f, kInf}},
            {"GoInterpolationArc", {S(0), S(1), 1.0f, kNaN, 0.0f, 0.0f, S(1)}},
            {"GoInterpolationArc", {S(0), S(1), 1.0f, 1.0f, 0.0f, kInf, S(1)}},
            {"GoPosition", {S(0), S(1), S(0), S(1), kNaN}},
            {"GoPosition", {S(0), S(1), S(0), S(1), -kInf}},
            {"SetSpeed", {S(0), kNaN}},
            {"SetSpeed", {S(0), kInf}},
            {"SetUserOrg", {S(1), kNaN}},
            {"SetPosParam", {S(0), 0.0f, kInf, 0.0f, 1.0f}},
            {"SetRunParam", {S(0), 1.0f, 1.0f, kNaN, 1.0f, 1.0f, 1.0f, S(1)}},
            {"SetStepAngle", {S(2), -kNaN}},
        };
        for (const InvokeRow& row : rows) {
            SCOPED_TRACE(std::string(row.member) + (sync ? " sync" : ""));
            std::vector<Variant> args = row.args;
            Variant result;
            // An infinity is already refused by the conversion to the
            // parameter's type; NaN converts and is refused by the protocol.
            const korva::HRESULT hr =
                ctl.Invoke(IdOf(row.member), korva::kInvokeMethod, args, &result);
            if (hr == korva::DISP_E_OVERFLOW) continue;
            ASSERT_EQ(hr, korva::S_OK);
            ASSERT_EQ(result.Type(), korva::VarType::Bool);
            EXPECT_FALSE(result.AsBool());
        }
        // Called directly, infinities reach the protocol's own check.
        EXPECT_FALSE(ctl.GoInterpolationline2(0, 1, kInf, 1));
        EXPECT_FALSE(ctl.GoInterpolationline3(0, 1, 2, 1, -kInf, 1));
        EXPECT_FALSE(ctl.GoInterpolationArc(0, 1, 1, 1, kInf, 0, 1));
        EXPECT_FALSE(ctl.GoPosition(0, 1, 0, 1, kInf));
        EXPECT_FALSE(ctl.SetSpeed(0, -kInf));
        EXPECT_FALSE(ctl.SetLimitNeg(0, kInf));
    }
    // A group setter still sends its other values (each is a command of its
    // own): no line may carry a value that is not finite.
    for (const std::string& line : LinesAfter(0)) {
        EXPECT_EQ(line.find("nan"), std::string::npos) << line;
        EXPECT_EQ(line.find("inf"), std::string::npos) << line;
    }
}

// What a host reads after Connect fails: a code of its own and a text naming
// the device and what to do. None of these waits for a reply.
TEST(ControlConnect, FailuresSayWhy) {
    const auto dir =
        std::filesystem::temp_directory_path() / ("korva_connect_" + std::to_string(getpid()));
    std::filesystem::create_directories(dir);
    const std::string plain = (dir / "plain").string();
    std::ofstream(plain) << "not a port";
    PtyPair held;
    ASSERT_TRUE(held.Ok());
    const int holder = open(held.SlavePath().c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(holder, 0);
    ASSERT_EQ(flock(holder, LOCK_EX | LOCK_NB), 0);  // another program has it

    struct Row {
        const char* name;
        std::string device;
        long code;
        std::vector<std::string> inText;
    };
    const std::vector<Row> rows = {
        {"missing device",
         (dir / "ttyGone").string(),
         KorvaComPort::kErrPortMissing,
         {"COM9", "ttyGone", "is missing", "No such file or directory"}},
        {"not a terminal", plain, KorvaComPort::kErrNotTerminal, {"plain", "not a terminal"}},
        {"held by another program",
         held.SlavePath(),
         KorvaComPort::kErrOpenCom,
         {held.SlavePath(), "in use by another program"}},
    };
    std::printf("| Connect case | result | code | ms | text |\n");
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        MapControlPort(row.device);
        CKORVAKT3002Ctrl ctl;
        ctl.SetComPort(kControlPort);
        auto start = Clock::now();
        EXPECT_FALSE(ctl.Connect());
        const long long ms = MsSince(start);
        EXPECT_LT(ms, 1000);
        EXPECT_EQ(ctl.GetErrorCode(), row.code);
        const std::string text = ctl.GetLastErrorText();
        for (const std::string& part : row.inText)
            EXPECT_NE(text.find(part), std::string::npos) << text;
        EXPECT_FALSE(ctl.GetIsOpen());
        std::printf("| %s | FALSE | %d | %lld | %s |\n", row.name, ctl.GetErrorCode(), ms,
                    text.c_str());
    }
    close(holder);
    std::filesystem::remove_all(dir);
}

// A port number outside 1..255 is refused when set: the property keeps its
// value and the code says why; Connect then uses the old number.
TEST(ControlConnect, PortNumbersOutsideTheRangeAreRefusedWhenSet) {
    CKORVAKT3002Ctrl ctl;
    ctl.SetComPort(12);
    EXPECT_EQ(ctl.GetErrorCode(), 0);
    for (S port : {S(0), S(-1), S(256), S(32767), S(-32768)}) {
        SCOPED_TRACE(port);
        ctl.SetComPort(port);
        EXPECT_EQ(ctl.GetComPort(), 12);
        EXPECT_EQ(ctl.GetErrorCode(), KorvaComPort::kErrPortRange);
        EXPECT_NE(ctl.GetLastErrorText().find("outside 1..255"), std::string::npos);
    }
    for (S port : {S(1), S(255)}) {
        ctl.SetComPort(port);
        EXPECT_EQ(ctl.GetComPort(), port);
        EXPECT_EQ(ctl.GetErrorCode(), 0);
        EXPECT_EQ(ctl.GetLastErrorText(), "");
    }
}

// After a failure, every kind of successful call reports 0: exchanges,
// non-waiting moves, and calls that need no exchange.
TEST_F(ControlOnPty, EverySuccessfulCallReportsZero) {
    ConnectPlain();
    peer.SetDefaultReply("READY\r");
    struct Row {
        const char* name;
        std::function<bool()> call;
        std::string reply;  // empty: the default reply
    };
    const std::vector<Row> rows = {
        {"Go", [&] { return ctl.Go(0, 1); }, ""},
        {"GoHome", [&] { return ctl.GoHome(1); }, ""},
        {"GoPosition", [&] { return ctl.GoPosition(0, 1, 0, 1, 2.5f) != 0; }, ""},
        {"GoInterpolationline2", [&] { return ctl.GoInterpolationline2(0, 1, 1, 2) != 0; }, ""},
        {"GoInterpolationline3", [&] { return ctl.GoInterpolationline3(0, 1, 2, 1, 2, 3) != 0; },
         ""},
        {"GoInterpolationArc", [&] { return ctl.GoInterpolationArc(0, 1, 1, 1, 0, 0, 1) != 0; },
         ""},
        {"STARTRUN", [&] { return ctl.STARTRUN("P1"); }, ""},
        {"SetSpeed", [&] { return ctl.SetSpeed(0, 5); }, "OK\r"},
        {"GetSpeed", [&] { return ctl.GetSpeed(0) == 5.0f; }, "SetSpeed X,5.000000\rOK\r"},
        {"SetchroMode", [&] { return ctl.SetchroMode(false); }, "-"},
        {"Selectdev", [&] { return ctl.Selectdev(0); }, "-"},
        {"Gethomespeedfactor", [&] { return ctl.Gethomespeedfactor(0) == 0.0f; }, "-"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        // A failure first: a query whose value line is lost.
        peer.Expect("SetAccSpeed? X", "OK\r");
        ctl.GetAccSpeed(0);
        ASSERT_EQ(ctl.GetErrorCode(), KT300Protocol::kErrBadReply);
        if (row.reply != "-" && !row.reply.empty()) peer.ExpectAny(row.reply);
        EXPECT_TRUE(row.call());
        EXPECT_EQ(ctl.GetErrorCode(), 0);
    }
}

// The control's stops take no lock of their own: from another thread they end
// a getter waiting on a mute controller and go out at once.
TEST_F(ControlOnPty, StopsFromAnotherThreadPreemptAWaitingGetter) {
    ConnectPlain();
    struct Row {
        const char* name;
        std::function<bool()> stop;
        const char* line;
    };
    const std::vector<Row> rows = {
        {"Stopall", [&] { return ctl.Stopall(); }, "STOPALL"},
        {"Stop", [&] { return ctl.Stop(2); }, "Stop Z"},
        {"StopSlow", [&] { return ctl.StopSlow(0); }, "StopSlow X"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        peer.ClearReceived();
        peer.Expect("SetInitSpeed? Y", "");  // mute
        peer.Expect(row.line, "OK\r", {.delay = 150ms});
        std::atomic<long> code{0};
        std::atomic<long long> waited{0};
        std::thread getter([&] {
            auto start = Clock::now();
            ctl.GetInitSpeed(1);
            code = ctl.GetErrorCode();
            waited = MsSince(start);
        });
        ASSERT_TRUE(peer.WaitForLines(1, 2s));
        std::this_thread::sleep_for(30ms);
        EXPECT_TRUE(row.stop());
        getter.join();
        EXPECT_EQ(code, KT300Protocol::kErrInterrupted);
        EXPECT_LT(waited, 1500);
        EXPECT_EQ(ctl.GetErrorCode(), 0);
        EXPECT_EQ(LinesAfter(2), (std::vector<std::string>{"SetInitSpeed? Y", row.line}));
    }
}

}  // namespace
}  // namespace korva::test
