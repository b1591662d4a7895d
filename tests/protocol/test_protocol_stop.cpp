// A stop always gets through: called from another thread while an exchange
// waits for its reply, it ends that wait and goes out at once.
#include <atomic>
#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "ProtocolFixture.h"

namespace korva::test {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

long long MsSince(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

struct StopRow {
    const char* name;
    std::function<bool(KT300Protocol&)> stop;
    const char* line;
};

const std::vector<StopRow>& StopRows() {
    static const std::vector<StopRow> rows = {
        {"StopAll", [](KT300Protocol& p) { return p.StopAll(); }, "STOPALL"},
        {"Stop", [](KT300Protocol& p) { return p.Stop(1); }, "Stop Y"},
        {"StopSlow", [](KT300Protocol& p) { return p.StopSlow(3); }, "StopSlow T"},
    };
    return rows;
}

// The query waits on a mute controller; the stop from another thread ends
// that wait with its own code, reaches the wire at once and then runs its
// normal exchange with its normal result.
TEST_F(ProtocolOnPty, StopPreemptsAQueryWaitingOnAMuteController) {
    ConnectPlain();
    for (const StopRow& row : StopRows()) {
        SCOPED_TRACE(row.name);
        peer.ClearReceived();
        peer.Expect("SetSpeed? X", "");  // mute
        peer.Expect(row.line, "OK\r", {.delay = 200ms});
        std::atomic<bool> queryOk{true};
        std::atomic<long> queryCode{0};
        std::atomic<long long> queryMs{0};
        std::thread query([&] {
            float speed = 0;
            auto start = Clock::now();
            queryOk = proto.GetSpeed(0, &speed);
            queryCode = proto.GetErrorCode();  // the stop's reply is 200 ms away
            queryMs = MsSince(start);
        });
        ASSERT_TRUE(peer.WaitForLines(1, 2s));
        std::this_thread::sleep_for(50ms);  // the query is waiting now
        auto start = Clock::now();
        std::atomic<long long> onWireMs{-1};
        std::thread watch([&] {
            if (peer.WaitForLines(2, 5s)) onWireMs = MsSince(start);
        });
        const bool stopped = row.stop(proto);
        const long long stopMs = MsSince(start);
        query.join();
        watch.join();
        EXPECT_FALSE(queryOk);
        EXPECT_EQ(queryCode, KT300Protocol::kErrInterrupted);
        EXPECT_LT(queryMs, 1900);  // never the query's own 2000 ms limit
        EXPECT_TRUE(stopped);
        EXPECT_EQ(proto.GetErrorCode(), 0);
        EXPECT_GE(stopMs, 190);  // the stop waited for its own reply
        EXPECT_GE(onWireMs, 0);
        EXPECT_LT(onWireMs, 1000);  // bound against a hang; the timing is in bench/
        EXPECT_EQ(peer.Lines(), (std::vector<std::string>{"SetSpeed? X", row.line}));
    }
    EXPECT_TRUE(peer.Unexpected().empty());
}

// A stop takes the line from a synchronous move waiting for its completion,
// and from another stop that waits; a normal command never does.
TEST_F(ProtocolOnPty, StopPreemptsMovesAndStopsButNotOtherCommands) {
    ConnectPlain();
    proto.SetSyncMode(true);
    peer.Expect("GoHome X", "READY\r");  // completion never comes
    peer.Expect("Stop X", "");           // mute as well
    peer.Expect("STOPALL", "X STOP\rOK\r", {.delay = 200ms});
    std::atomic<long> homeCode{0}, stopCode{0};
    std::atomic<bool> homeOk{true}, stopOk{true};
    std::thread home([&] {
        homeOk = proto.GoHome(0);
        homeCode = proto.GetErrorCode();
    });
    ASSERT_TRUE(peer.WaitForLines(1, 2s));
    std::this_thread::sleep_for(50ms);
    // A normal command while the move waits is refused as before.
    EXPECT_FALSE(proto.SendCommand("SetSpeed X,1.000000", 2000));
    EXPECT_EQ(proto.GetErrorCode(), KT300Protocol::kErrBusy);
    std::thread stop([&] {
        stopOk = proto.Stop(0);
        stopCode = proto.GetErrorCode();
    });
    ASSERT_TRUE(peer.WaitForLines(2, 2s));
    home.join();
    EXPECT_FALSE(homeOk);
    EXPECT_EQ(homeCode, KT300Protocol::kErrInterrupted);
    std::this_thread::sleep_for(50ms);
    auto start = Clock::now();
    EXPECT_TRUE(proto.StopAll());
    EXPECT_EQ(proto.GetErrorCode(), 0);
    EXPECT_LT(MsSince(start), 1000);
    stop.join();
    EXPECT_FALSE(stopOk);
    EXPECT_EQ(stopCode, KT300Protocol::kErrInterrupted);
    EXPECT_EQ(peer.Lines(), (std::vector<std::string>{"GoHome X", "Stop X", "STOPALL"}));
}

// Many threads query while others stop: every stop reaches the wire, no
// exchange interleaves with another, and a race detector sees the hand-over.
TEST_F(ProtocolOnPty, StopsFromManyThreadsAllReachTheWire) {
    ConnectPlain();
    peer.SetDefaultReply("OK\r", {.delay = 5ms});
    std::atomic<bool> done{false};
    std::atomic<int> stopsOk{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < 2; ++i)
        threads.emplace_back([&] {
            while (!done) proto.SendCommand("Q", 500);
        });
    constexpr int kStops = 20;
    for (int i = 0; i < 2; ++i)
        threads.emplace_back([&] {
            for (int k = 0; k < kStops; ++k) {
                if (proto.StopAll()) ++stopsOk;
                std::this_thread::sleep_for(2ms);
            }
        });
    for (std::size_t i = 2; i < threads.size(); ++i) threads[i].join();
    done = true;
    threads[0].join();
    threads[1].join();
    int stopLines = 0;
    for (const std::string& line : peer.Lines()) {
        EXPECT_TRUE(line == "Q" || line == "STOPALL") << line;
        stopLines += line == "STOPALL";
    }
    EXPECT_EQ(stopLines, 2 * kStops);
    EXPECT_GT(stopsOk, 0);  // a stop may end another stop's wait: that one fails
}

}  // namespace
}  // namespace korva::test
