// A misbehaving controller on a scripted pty: late replies, lost value lines,
// "OK" inside other text, a controller that stops reading. Each row states
// the wire lines, the result, the code and the time taken (printed, so a run
// shows the table).
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "NumText.h"
#include "ProtocolFixture.h"

namespace korva::test {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using P = KT300Protocol;

long long MsSince(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

// A trickle slower than the 2000 ms query limit: 25 bytes 100 ms apart.
const ReplyOptions kTrickle{.bytewise = true, .byteGap = 100ms};

struct Call {
    std::function<bool(P&, std::string*)> run;  // output as text
    std::string line;                           // expected on the wire
    std::string reply;
    ReplyOptions options = {};
};

struct FaultRow {
    const char* name;
    std::vector<Call> before;  // calls whose outcome is not the point
    Call call;
    bool ok;
    std::string output;
    long code;
    long minMs;
    long maxMs;  // generous: catches a hang, not a benchmark
};

Call GetSpeedX(std::string reply, ReplyOptions options = {}) {
    return {[](P& p, std::string* out) {
                float v = 99;
                bool ok = p.GetSpeed(0, &v);
                *out = korva::FormatFixed(v, 1);
                return ok;
            },
            "SetSpeed? X", std::move(reply), options};
}

Call SetSpeedX7(std::string reply) {
    return {[](P& p, std::string*) { return p.SetSpeed(0, 7.0f); }, "SetSpeed X,7.000000",
            std::move(reply)};
}

const std::vector<FaultRow>& FaultRows() {
    static const std::vector<FaultRow> rows = {
        // The late "OK" of a timed-out query must not answer the next command;
        // that command's own answer, E03, is seen.
        {"late reply, then a command that gets an error",
         {GetSpeedX("SetSpeed X,5.000000\rOK\r", kTrickle)},
         SetSpeedX7("E03\r"),
         false,
         "",
         20043,
         2000,
         4500},
        {"late reply, then a query",
         {GetSpeedX("SetSpeed X,5.000000\rOK\r", kTrickle)},
         {[](P& p, std::string* out) {
              float v = 99;
              bool ok = p.GetAccSpeed(0, &v);
              *out = korva::FormatFixed(v, 1);
              return ok;
          },
          "SetAccSpeed? X", "SetAccSpeed X,3.000000\rOK\r"},
         true,
         "3.0",
         0,
         0,
         2000},
        {"late reply of another query inside this one's reply",
         {},
         {[](P& p, std::string* out) {
              float v = 99;
              bool ok = p.GetAccSpeed(0, &v);
              *out = korva::FormatFixed(v, 1);
              return ok;
          },
          "SetAccSpeed? X", "SetSpeed X,5.000000\rSetAccSpeed X,3.000000\rOK\r"},
         true,
         "3.0",
         0,
         0,
         1000},
        {"lost value line: parameter",
         {},
         GetSpeedX("OK\r"),
         false,
         "-1.0",
         P::kErrBadReply,
         0,
         1000},
        {"lost value line: position",
         {},
         {[](P& p, std::string* out) {
              double v = 99;
              bool ok = p.GetPosition(0, &v);
              *out = korva::FormatFixed(v, 1);
              return ok;
          },
          "Position? X", "OK\r"},
         false,
         "0.0",
         P::kErrBadReply,
         0,
         1000},
        {"lost value line: port input",
         {},
         {[](P& p, std::string* out) {
              short v = 99;
              bool ok = p.GetPortInput(&v);
              *out = std::to_string(v);
              return ok;
          },
          "PORTINPUT?", "OK\r"},
         false,
         "99",
         P::kErrPortInput,
         0,
         1000},
        {"lost value line: encoder",
         {},
         {[](P& p, std::string* out) {
              long v = 99;
              bool ok = p.GetEncoderValue(0, &v);
              *out = std::to_string(v);
              return ok;
          },
          "EncodeValue? X", "OK\r"},
         false,
         "-1",
         P::kErrBadReply,
         0,
         1000},
        {"\"OK\" inside other text",
         {},
         SetSpeedX7("zzOKzz\r"),
         false,
         "",
         KorvaComPort::kErrNoFlag,
         2000,
         3000},
        {"\"OK\" at the end of other text",
         {},
         SetSpeedX7("xOK\r"),
         false,
         "",
         KorvaComPort::kErrNoFlag,
         2000,
         3000},
        {"\"OK\" then more on its line",
         {},
         SetSpeedX7("OKAY\r"),
         false,
         "",
         KorvaComPort::kErrNoFlag,
         2000,
         3000},
        {"\"OK\" as the first word", {}, SetSpeedX7("OK done\r"), true, "", 0, 0, 1000},
        {"working controller", {}, SetSpeedX7("OK\r"), true, "", 0, 0, 1000},
    };
    return rows;
}

TEST_F(ProtocolOnPty, FaultTable) {
    ConnectPlain();
    std::printf("| case | wire lines | result | code | ms |\n");
    for (const FaultRow& row : FaultRows()) {
        SCOPED_TRACE(row.name);
        // Each row starts on a quiet line.
        std::this_thread::sleep_for(300ms);
        peer.ClearReceived();
        std::vector<std::string> lines;
        for (const Call& c : row.before) {
            peer.Expect(c.line, c.reply, c.options);
            std::string ignored;
            c.run(proto, &ignored);
            lines.push_back(c.line);
        }
        peer.Expect(row.call.line, row.call.reply, row.call.options);
        lines.push_back(row.call.line);
        std::string output;
        auto start = Clock::now();
        const bool ok = row.call.run(proto, &output);
        const long long ms = MsSince(start);
        const long code = proto.GetErrorCode();
        EXPECT_EQ(ok, row.ok);
        if (!row.output.empty()) EXPECT_EQ(output, row.output);
        EXPECT_EQ(code, row.code);
        EXPECT_GE(ms, row.minMs);
        EXPECT_LE(ms, row.maxMs);
        EXPECT_EQ(LinesAfter(lines.size()), lines);
        std::string wire;
        for (const std::string& l : lines) wire += l + "\\r ";
        std::printf("| %s | %s| %s | %ld | %lld |\n", row.name, wire.c_str(), ok ? "TRUE" : "FALSE",
                    code, ms);
    }
    EXPECT_TRUE(peer.Unexpected().empty());
}

// A controller that stops reading its input: a long line cannot go out whole.
// The send fails with its own code instead of reporting success, the rest is
// dropped, and the next command starts on a line of its own (the cut line is
// ended by a lone CR first).
TEST(StalledReader, LongLineFailsAndTheNextCommandStartsClean) {
    PtyPair pty;
    ASSERT_TRUE(pty.Ok()) << pty.Error();
    MapTestPort(pty.SlavePath());
    KT300Protocol proto;
    ASSERT_TRUE(proto.SetPortNumber(kTestPort));
    const int master = pty.Master();
    std::atomic<bool> reading{true};
    std::atomic<bool> quit{false};
    std::string wire;
    std::mutex wireLock;
    // The far end: answers every line with "OK" while it reads.
    std::thread far([&] {
        std::string line;
        while (!quit) {
            if (!reading) {
                std::this_thread::sleep_for(5ms);
                continue;
            }
            struct pollfd p = {master, POLLIN, 0};
            if (poll(&p, 1, 10) <= 0) continue;
            char buf[4096];
            ssize_t n = read(master, buf, sizeof buf);
            for (ssize_t i = 0; i < n; ++i) {
                {
                    std::lock_guard<std::mutex> g(wireLock);
                    wire += buf[i];
                }
                if (buf[i] != '\r') continue;
                (void)!write(master, "OK\r", 3);
            }
        }
    });
    ASSERT_TRUE(proto.Connect());
    reading = false;
    std::this_thread::sleep_for(50ms);
    {
        std::lock_guard<std::mutex> g(wireLock);
        wire.clear();
    }
    const std::string name(100000, 'A');
    auto start = Clock::now();
    EXPECT_FALSE(proto.StartPlan(name));
    const long long ms = MsSince(start);
    EXPECT_EQ(proto.GetErrorCode(), KorvaComPort::kErrWriteIncomplete);
    EXPECT_GE(ms, 900);    // the write gives up after 1000 ms without progress
    EXPECT_LT(ms, 10000);  // not the 52 s the whole line would take at 19200 baud
    std::printf("| stalled reader, 100 kB START line | START AAA... (cut) | FALSE | %ld | %lld |\n",
                proto.GetErrorCode(), ms);
    // The controller reads again: the cut line is ended before the next command.
    reading = true;
    EXPECT_TRUE(proto.SetSpeed(0, 7.0f)) << proto.GetErrorCode();
    EXPECT_EQ(proto.GetErrorCode(), 0);
    quit = true;
    far.join();
    proto.Disconnect();
    std::lock_guard<std::mutex> g(wireLock);
    ASSERT_GT(wire.size(), 20u);
    EXPECT_LT(wire.size(), name.size());  // the rest was dropped, not sent later
    EXPECT_EQ(wire.substr(0, 6), "START ");
    const std::string tail = "\rSetSpeed X,7.000000\r";
    ASSERT_GE(wire.size(), tail.size());
    EXPECT_EQ(wire.substr(wire.size() - tail.size()), tail);
    EXPECT_EQ(wire.find_first_not_of('A', 6), wire.size() - tail.size());
}

}  // namespace
}  // namespace korva::test
