// ControllerLink against a scripted controller on a pseudo-terminal: what
// reaches the wire, in which order, and when nothing does.
#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

#include "ControllerLink.h"
#include "PtyPair.h"

using namespace std::chrono_literals;
using kt300ds::ControllerLink;
using kt300ds::Result;

namespace {

// A controller on the master side of a pty that answers each line by its
// kind: a query with "<word> <axis>,1" (its own word and axis, as a real
// controller does), a motion with READY (or a set refusal), a stop with the
// stop report; anything else with OK. Replies can be held back; every line is
// recorded.
class FakeController {
  public:
    explicit FakeController(korva::test::PtyPair& pty) : pty_(pty) {
        thread_ = std::thread([this] { Run(); });
    }
    ~FakeController() {
        quit_ = true;
        thread_.join();
    }
    std::vector<std::string> Lines() {
        std::lock_guard l(lock_);
        return lines_;
    }
    // When a line was first seen (time_point{} if never).
    std::chrono::steady_clock::time_point SeenAt(const std::string& line) {
        std::lock_guard l(lock_);
        for (std::size_t i = 0; i < lines_.size(); ++i)
            if (lines_[i] == line) return times_[i];
        return {};
    }
    bool WaitForLines(std::size_t n, std::chrono::milliseconds limit) {
        auto end = std::chrono::steady_clock::now() + limit;
        while (Lines().size() < n)
            if (std::chrono::steady_clock::now() > end)
                return false;
            else
                std::this_thread::sleep_for(1ms);
        return true;
    }
    void SetDelay(std::chrono::milliseconds d) { delayMs_ = static_cast<int>(d.count()); }
    // Mute: lines are taken but never answered. Garbled: queries get a value
    // line of another word.
    void SetMute(bool mute) { mute_ = mute; }
    void SetGarbled(bool garbled) { garbled_ = garbled; }
    void RefuseNextMove(std::string reply) {
        std::lock_guard l(lock_);
        refusal_ = std::move(reply);
    }
    // The cable pulled out: the fake's own thread closes the master, so no
    // write of it meets a descriptor closed (and reused) under it.
    void HangUp() {
        hangUp_ = true;
        while (pty_.Master() >= 0) std::this_thread::sleep_for(1ms);
    }

  private:
    void Run() {
        std::string partial;
        std::deque<std::pair<std::chrono::steady_clock::time_point, std::string>> out;
        while (!quit_) {
            if (hangUp_) {
                pty_.CloseMaster();
                return;
            }
            int fd = pty_.Master();
            if (fd < 0) return;
            pollfd p{fd, POLLIN, 0};
            if (::poll(&p, 1, 1) > 0) {
                char buf[256];
                ssize_t n = ::read(fd, buf, sizeof buf);
                if (n <= 0) return;
                partial.append(buf, static_cast<std::size_t>(n));
            }
            std::size_t cr;
            while ((cr = partial.find('\r')) != std::string::npos) {
                std::string line = partial.substr(0, cr);
                partial.erase(0, cr + 1);
                // Lines are seen at once; replies go out when due, in order.
                out.emplace_back(
                    std::chrono::steady_clock::now() + std::chrono::milliseconds(delayMs_.load()),
                    Answer(line));
            }
            while (!out.empty() && out.front().first <= std::chrono::steady_clock::now()) {
                const std::string& reply = out.front().second;
                if (::write(fd, reply.data(), reply.size()) < 0) return;
                out.pop_front();
            }
        }
    }
    std::string Answer(const std::string& line) {
        std::lock_guard l(lock_);
        lines_.push_back(line);
        times_.push_back(std::chrono::steady_clock::now());
        if (mute_) return {};
        std::size_t q = line.find("? ");
        if (q != std::string::npos && line.size() == q + 3)
            return (garbled_ ? std::string("#~x") : line.substr(0, q)) + " " + line.back() +
                   ",1\rOK\r";
        if (line.rfind("Go", 0) == 0) {
            std::string r = refusal_.empty() ? "READY\r" : refusal_;
            refusal_.clear();
            return r;
        }
        if (line.rfind("Stop ", 0) == 0) return std::string(1, line.back()) + " STOP\rOK\r";
        return "OK\r";
    }

    korva::test::PtyPair& pty_;
    std::atomic<bool> quit_{false};
    std::atomic<bool> hangUp_{false};
    std::atomic<bool> mute_{false};
    std::atomic<bool> garbled_{false};
    std::atomic<int> delayMs_{0};
    std::mutex lock_;
    std::vector<std::string> lines_;
    std::vector<std::chrono::steady_clock::time_point> times_;
    std::string refusal_;
    std::thread thread_;
};

class CoreTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(pty.Ok()) << pty.Error();
        kt300ds::LinkSettings s;
        s.devicePath = pty.SlavePath();
        s.pollPeriodMs = 5;
        link.Configure(s);
        Result r = link.Connect();
        ASSERT_TRUE(r.ok) << r.text;
        // Connect reads each axis twice to see whether it moves.
        ASSERT_TRUE(WaitStanding(2s));
    }

    bool WaitStanding(std::chrono::milliseconds limit) {
        auto end = std::chrono::steady_clock::now() + limit;
        while (std::chrono::steady_clock::now() < end) {
            auto s = link.State();
            bool quiet = std::none_of(s.axes.begin(), s.axes.end(),
                                      [](const kt300ds::AxisSnapshot& a) { return a.moving; });
            if (quiet) {
                std::this_thread::sleep_for(50ms);  // the poller's last query ends
                return true;
            }
            std::this_thread::sleep_for(10ms);
        }
        return false;
    }

    std::vector<std::string> LinesAfter(std::size_t from) {
        auto lines = peer.Lines();
        return {lines.begin() + static_cast<long>(std::min(from, lines.size())), lines.end()};
    }

    korva::test::PtyPair pty;
    FakeController peer{pty};
    ControllerLink link;
};

Result ReadSpeed(ControllerLink& link, int axis) {
    float v = 0;
    return link.Exchange("read", [&](KT300Protocol& p) { return p.GetSpeed(axis, &v); });
}

TEST_F(CoreTest, NothingOnTheLineWhileEverythingStands) {
    std::size_t before = peer.Lines().size();
    std::this_thread::sleep_for(400ms);
    EXPECT_EQ(LinesAfter(before), std::vector<std::string>{});
    EXPECT_EQ(link.State().state, kt300ds::LinkState::kOn);
}

TEST_F(CoreTest, MovePolledUntilItStandsThenSilence) {
    std::size_t before = peer.Lines().size();
    ASSERT_TRUE(link.MoveAbsolute(0, 5.0).ok);
    EXPECT_EQ(link.State().axes[0].state, kt300ds::AxisState::kMoving);
    // The position never changes and no stop report comes: standing once the
    // protocol's repeat rule sets the stop flag or the still-time passes.
    ASSERT_TRUE(WaitStanding(3s));
    auto lines = LinesAfter(before);
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.front(), "GoPosition X,O,A,P,5.000000");
    EXPECT_GE(std::count(lines.begin(), lines.end(), "Position? X"), 2);
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "Position? Y"), 0) << "only moving axes";
    std::size_t after = peer.Lines().size();
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(LinesAfter(after), std::vector<std::string>{});
}

TEST_F(CoreTest, StopReachesTheWireAheadOfQueuedRequests) {
    // The exchange in flight is answered late; two more requests queue behind it.
    peer.SetDelay(300ms);
    std::size_t before = peer.Lines().size();
    std::vector<std::thread> clients;
    std::vector<Result> results(3);
    clients.emplace_back([&] { results[0] = ReadSpeed(link, 0); });
    ASSERT_TRUE(peer.WaitForLines(before + 1, 1s));
    clients.emplace_back([&] { results[1] = ReadSpeed(link, 1); });
    clients.emplace_back([&] { results[2] = ReadSpeed(link, 2); });
    std::this_thread::sleep_for(50ms);  // both wait for their turn now
    auto t0 = std::chrono::steady_clock::now();
    Result stop = link.Stop(0, false);
    auto stopMs =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0)
            .count();
    for (auto& c : clients) c.join();
    EXPECT_TRUE(stop.ok) << stop.text;
    for (const auto& r : results) EXPECT_TRUE(r.ok) << r.text;
    auto lines = LinesAfter(before);
    auto at = [&](const std::string& l) {
        return std::find(lines.begin(), lines.end(), l) - lines.begin();
    };
    ASSERT_LT(at("Stop X"), static_cast<long>(lines.size()));
    EXPECT_EQ(at("SetSpeed? X"), 0);
    EXPECT_LT(at("Stop X"), at("SetSpeed? Y"));
    EXPECT_LT(at("Stop X"), at("SetSpeed? Z"));
    // The stop cut the wait for the reply in flight short: on the wire at
    // once, not after that reply, let alone after the queue.
    auto onWire = std::chrono::duration_cast<std::chrono::milliseconds>(peer.SeenAt("Stop X") - t0);
    EXPECT_LT(onWire.count(), 100);
    EXPECT_LT(stopMs, 1000);  // its own reply comes 300 ms later
}

TEST_F(CoreTest, ManyClientsNeverSeeBusy) {
    ASSERT_TRUE(link.MoveAbsolute(1, 3.0).ok);  // the poller queries meanwhile
    std::atomic<int> failures{0};
    std::vector<std::thread> clients;
    for (int c = 0; c < 6; ++c)
        clients.emplace_back([&, c] {
            for (int i = 0; i < 15; ++i) {
                Result r = ReadSpeed(link, c % 4);
                if (!r.ok) {
                    ADD_FAILURE() << r.reason << ": " << r.text;
                    ++failures;
                }
            }
        });
    // Stops from the side, as other clients would send them.
    for (int i = 0; i < 5; ++i) {
        std::this_thread::sleep_for(20ms);
        EXPECT_TRUE(link.Stop(i % 4, false).ok);
    }
    for (auto& c : clients) c.join();
    EXPECT_EQ(failures.load(), 0);
    EXPECT_EQ(link.State().state == kt300ds::LinkState::kFault, false) << link.State().status;
}

TEST_F(CoreTest, ControllerRefusalsAndBadValues) {
    struct Case {
        const char* reply;
        const char* word;
    } cases[] = {{"E03\r", "E03 (target outside the enabled user limits"},
                 {"E04\r", "E04 (an axis of the motion is moving"}};
    for (const auto& c : cases) {
        peer.RefuseNextMove(c.reply);
        Result r = link.MoveAbsolute(0, 150.0);
        EXPECT_FALSE(r.ok);
        EXPECT_EQ(r.reason, "KT300_ControllerError");
        EXPECT_NE(r.text.find(c.word), std::string::npos) << r.text;
        EXPECT_EQ(link.State().state, kt300ds::LinkState::kOn) << "a refusal is no fault";
        EXPECT_FALSE(link.State().axes[0].moving);
    }
    std::size_t before = peer.Lines().size();
    for (double bad : {std::nan(""), 1e30, -2e9}) {
        Result r = link.MoveAbsolute(0, bad);
        EXPECT_EQ(r.reason, "KT300_BadValue") << bad;
        r = link.MoveRelative(2, bad);
        EXPECT_EQ(r.reason, "KT300_BadValue") << bad;
    }
    EXPECT_EQ(LinesAfter(before), std::vector<std::string>{}) << "nothing was sent";
}

TEST_F(CoreTest, GarbledReplyIsRefusedWithoutFault) {
    peer.SetGarbled(true);
    Result r = ReadSpeed(link, 1);
    EXPECT_EQ(r.reason, "KT300_BadReply") << r.text;
    EXPECT_NE(r.text.find("20011"), std::string::npos) << r.text;
    EXPECT_EQ(link.State().state, kt300ds::LinkState::kOn);
    peer.SetGarbled(false);
    EXPECT_TRUE(ReadSpeed(link, 1).ok);
}

TEST_F(CoreTest, MuteControllerMidMoveIsAFault) {
    ASSERT_TRUE(link.MoveAbsolute(2, 4.0).ok);
    peer.SetMute(true);
    // The poller's query waits its 2000 ms, then the link counts as failed.
    auto end = std::chrono::steady_clock::now() + 4s;
    while (link.State().state != kt300ds::LinkState::kFault &&
           std::chrono::steady_clock::now() < end)
        std::this_thread::sleep_for(20ms);
    auto s = link.State();
    ASSERT_EQ(s.state, kt300ds::LinkState::kFault);
    EXPECT_NE(s.status.find("did not answer in time"), std::string::npos) << s.status;
    EXPECT_EQ(s.axes[2].state, kt300ds::AxisState::kFault);
    peer.SetMute(false);
    EXPECT_TRUE(link.Connect().ok);
    EXPECT_EQ(link.State().state, kt300ds::LinkState::kOn);
}

TEST_F(CoreTest, HangUpIsAFaultWithItsReason) {
    ASSERT_TRUE(link.MoveAbsolute(3, 2.0).ok);
    peer.HangUp();
    auto end = std::chrono::steady_clock::now() + 2s;
    while (link.State().state != kt300ds::LinkState::kFault &&
           std::chrono::steady_clock::now() < end)
        std::this_thread::sleep_for(10ms);
    auto s = link.State();
    ASSERT_EQ(s.state, kt300ds::LinkState::kFault);
    EXPECT_NE(s.status.find("hung up"), std::string::npos) << s.status;
    EXPECT_NE(s.status.find("10104"), std::string::npos) << s.status;
    EXPECT_EQ(s.axes[3].state, kt300ds::AxisState::kFault);
    Result r = ReadSpeed(link, 0);
    EXPECT_EQ(r.reason, "KT300_Fault");
    EXPECT_NE(r.text.find("Connect"), std::string::npos);
}

}  // namespace

namespace {

TEST(CoreConnect, FailureNamesTheDeviceAndItsReason) {
    ControllerLink link;
    kt300ds::LinkSettings s;
    s.devicePath = "/nonexistent/ttyKT300";
    link.Configure(s);
    Result r = link.Connect();
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.reason, "KT300_ConnectFailed");
    EXPECT_NE(r.text.find("/nonexistent/ttyKT300: No such file or directory"), std::string::npos)
        << r.text;
    EXPECT_NE(r.text.find("10102"), std::string::npos) << r.text;
    auto state = link.State();
    EXPECT_EQ(state.state, kt300ds::LinkState::kFault);
    EXPECT_NE(state.status.find("Run Connect"), std::string::npos) << state.status;
    // Stops still answer clearly rather than hang.
    EXPECT_FALSE(link.StopAll().ok);
}

}  // namespace
