// The exchange, the handshake, sending without waiting, stop flags, axis
// letters and the reply splitter.
#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "KorvaSplit.h"
#include "ProtocolFixture.h"

namespace korva::test {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

long long MsSince(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

TEST(KorvaSplitTest, DropsEmptyPieces) {
    struct Row {
        char sep;
        std::string text;
        std::vector<std::string> pieces;
    };
    const Row rows[] = {
        {',', "", {}},
        {',', ",", {}},
        {',', "A,,B,", {"A", "B"}},
        {',', ",,A", {"A"}},
        {' ', "SetSpeed  X,,5", {"SetSpeed", "X,,5"}},
        {'\r', "SetSpeed  X,,5\r\rOK\r", {"SetSpeed  X,,5", "OK"}},
        {',', "X,,5", {"X", "5"}},
        {',', "no separator", {"no separator"}},
        {'\r', std::string("A\0B\rC", 5), {std::string("A\0B", 3), "C"}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.text);
        KorvaSplit split(row.sep, row.text);
        ASSERT_EQ(split.GetCount(), static_cast<int>(row.pieces.size()));
        for (int i = 0; i < split.GetCount(); ++i) {
            std::string piece;
            ASSERT_TRUE(split.GetAt(i, piece));
            EXPECT_EQ(piece, row.pieces[static_cast<std::size_t>(i)]);
        }
        std::string untouched = "keep";
        EXPECT_FALSE(split.GetAt(split.GetCount(), untouched));
        EXPECT_FALSE(split.GetAt(-1, untouched));
        EXPECT_EQ(untouched, "keep");
    }
    KorvaSplit resplit(',', "A,B,C");
    resplit.Split(' ', "one");
    EXPECT_EQ(resplit.GetCount(), 1);
}

TEST(AxisLettersTest, MapBothWays) {
    const char letters[] = {'X', 'Y', 'Z', 'T'};
    for (int axis = 0; axis < 4; ++axis) {
        EXPECT_EQ(KT300Protocol::AxisLetter(axis), letters[axis]);
        EXPECT_EQ(KT300Protocol::AxisIndex(std::string(1, letters[axis])), axis);
    }
    for (int axis : {-1, 4, 100}) EXPECT_EQ(KT300Protocol::AxisLetter(axis), '\0');
    for (const char* text : {"x", "t", "", "XY", "A", " X"}) {
        int index = KT300Protocol::AxisIndex(text);
        EXPECT_TRUE(index < 0 || index > 3) << text;
    }
    const char units[] = {'d', 'm', 's', 'u'};
    for (int unit = 0; unit < 4; ++unit) EXPECT_EQ(KT300Protocol::UnitLetter(unit), units[unit]);
    EXPECT_EQ(KT300Protocol::UnitLetter(4), '\0');
    EXPECT_EQ(KT300Protocol::UnitLetter(-1), '\0');
}

TEST(StopFlagTest, SetterStoresZeroOrOneAndReturnsFalse) {
    KT300Protocol proto;
    EXPECT_FALSE(proto.SetStopFlag(2, 5));
    EXPECT_TRUE(proto.GetStopFlag(2));
    EXPECT_FALSE(proto.GetStopFlag(1));
    EXPECT_FALSE(proto.SetStopFlag(2, 0));
    EXPECT_FALSE(proto.GetStopFlag(2));
    EXPECT_FALSE(proto.SetStopFlag(-1, 1));
    EXPECT_FALSE(proto.SetStopFlag(4, 1));
    EXPECT_FALSE(proto.GetStopFlag(4));
    EXPECT_FALSE(proto.GetStopFlag(-1));
    EXPECT_TRUE(proto.SetSyncMode(true));
    EXPECT_TRUE(proto.GetSyncMode());
}

TEST(ClosedLinkTest, ExchangesFailWith20004) {
    KT300Protocol proto;
    EXPECT_FALSE(proto.SendCommand("SetSpeed X,1.000000", 2000));
    EXPECT_EQ(proto.GetErrorCode(), KT300Protocol::kErrLinkClosed);
    EXPECT_FALSE(proto.SendCommandNoWait("GoHome X"));
    EXPECT_EQ(proto.GetErrorCode(), KT300Protocol::kErrLinkClosed);
    float v = 0;
    EXPECT_FALSE(proto.GetSpeed(0, &v));
    EXPECT_EQ(v, -1.0f);
    EXPECT_EQ(proto.GetModel(), 0);
}

TEST_F(ProtocolOnPty, ConnectSendsSelectBeforeHello) {
    struct Row {
        short select;
        std::vector<std::string> lines;
    };
    for (const Row& row : {Row{3, {"select 3", "Hello"}}, Row{0, {"Hello"}}, Row{-2, {"Hello"}}}) {
        SCOPED_TRACE(row.select);
        peer.ClearReceived();
        proto.SetSelectNumber(row.select);
        if (row.select > 0) peer.Expect("select 3", "");  // a selected controller may stay silent
        peer.Expect("Hello", "OK\r");
        ASSERT_TRUE(proto.Connect());
        EXPECT_TRUE(proto.IsConnected());
        EXPECT_EQ(LinesAfter(row.lines.size()), row.lines);
        // Connected: a second Connect sends nothing.
        EXPECT_TRUE(proto.Connect());
        ASSERT_TRUE(proto.Disconnect());
        EXPECT_FALSE(proto.IsConnected());
        EXPECT_FALSE(proto.IsLinkOpen());
        EXPECT_EQ(peer.Lines(), row.lines);
    }
    EXPECT_TRUE(peer.Unexpected().empty());
}

TEST_F(ProtocolOnPty, HandshakeWithForeignTextFailsAndClosesTheLink) {
    for (const char* reply : {"POSITION 0\rOK\r", "Hello\rL\rOK\r"}) {
        SCOPED_TRACE(reply);
        peer.Expect("Hello", reply);
        EXPECT_FALSE(proto.Connect());
        EXPECT_EQ(proto.GetErrorCode(), KT300Protocol::kErrController);
        EXPECT_EQ(proto.GetLinkErrorCode(), KT300Protocol::kLinkErrHandshake);
        EXPECT_FALSE(proto.IsLinkOpen());
        EXPECT_FALSE(proto.IsConnected());
    }
    // No answer at all: the link's time-out code stays in the protocol's code.
    peer.Expect("Hello", "E0");
    auto start = Clock::now();
    EXPECT_FALSE(proto.Connect());
    EXPECT_GE(MsSince(start), 2900);
    EXPECT_EQ(proto.GetErrorCode(), KorvaComPort::kErrNoFlag);
    EXPECT_EQ(proto.GetLinkErrorCode(), KT300Protocol::kLinkErrHandshake);
    EXPECT_FALSE(proto.IsLinkOpen());
}

TEST_F(ProtocolOnPty, ControllerErrorsByTheirFirstThreeCharacters) {
    ConnectPlain();
    struct Row {
        const char* reply;
        long code;
    };
    for (const Row& row :
         {Row{"E00\r", 20040}, Row{"E03\r", 20043}, Row{"E07 limit\r", 20047},
          Row{"\rE05\r", 20045},  // the CR left over from the previous reply
          Row{"E09\r", KorvaComPort::kErrNoFlag}, Row{"xE03\r", KorvaComPort::kErrNoFlag}}) {
        SCOPED_TRACE(row.reply);
        peer.ExpectAny(row.reply);
        auto start = Clock::now();
        EXPECT_FALSE(proto.SendCommand("SetSpeed X,1.000000", 100));
        EXPECT_GE(MsSince(start), 90);  // only the end of the time limit tells
        EXPECT_EQ(proto.GetErrorCode(), row.code);
        EXPECT_EQ(proto.GetReply(), row.reply);
    }
    // The same code is not sticky: the next good exchange reports 0.
    peer.ExpectAny("OK\r");
    EXPECT_TRUE(proto.SendCommand("SetSpeed X,1.000000", 2000));
    EXPECT_EQ(proto.GetErrorCode(), 0);
}

TEST_F(ProtocolOnPty, SecondExchangeWhileBusyFailsWithoutTraffic) {
    ConnectPlain();
    peer.Expect("SLOW", "OK\r", {.delay = 300ms});
    std::atomic<bool> firstOk{false};
    std::thread first([&] { firstOk = proto.SendCommand("SLOW", 2000); });
    ASSERT_TRUE(peer.WaitForLines(1, 1s));
    EXPECT_FALSE(proto.SendCommand("FAST", 2000));
    EXPECT_EQ(proto.GetErrorCode(), KT300Protocol::kErrBusy);
    first.join();
    EXPECT_TRUE(firstOk);
    EXPECT_EQ(peer.Lines(), std::vector<std::string>{"SLOW"});
}

TEST_F(ProtocolOnPty, BusyFlagLetsExactlyOneOfManyThreadsThrough) {
    ConnectPlain();
    // Many threads start an exchange at the same moment; one must win, and
    // only its line may reach the wire.
    peer.SetDefaultReply("OK\r", {.delay = 500ms});
    constexpr int kThreads = 8;
    std::atomic<int> ready{0};
    std::atomic<bool> go{false};
    std::atomic<int> passed{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < kThreads; ++i) {
        threads.emplace_back([&, i] {
            ++ready;
            while (!go) std::this_thread::yield();
            if (proto.SendCommand("CMD" + std::to_string(i), 2000)) ++passed;
        });
    }
    while (ready < kThreads) std::this_thread::yield();
    go = true;
    for (auto& t : threads) t.join();
    EXPECT_EQ(passed, 1);
    EXPECT_EQ(peer.Lines().size(), 1u);
}

TEST_F(ProtocolOnPty, SendWithoutWaitingKeepsWhatArrivedIn100Ms) {
    ConnectPlain();
    peer.Expect("GoHome X", "READY\r", {.delay = 20ms});
    // A second part of the reply comes after the capture window.
    std::thread late([&] {
        if (peer.WaitForLines(1, 1s)) peer.Send("LATE\r", {.delay = 200ms});
    });
    auto start = Clock::now();
    bool sent = proto.SendCommandNoWait("GoHome X");
    auto took = MsSince(start);
    late.join();
    ASSERT_TRUE(sent);
    EXPECT_GE(took, 100);
    EXPECT_LT(took, 200);
    EXPECT_EQ(proto.GetReply(), "READY\r");
    ASSERT_TRUE(peer.WaitForOutputDone(1s));
    std::this_thread::sleep_for(20ms);
    std::string received;
    proto.GetReceivedText(received);
    EXPECT_EQ(received, "READY\rLATE\r");
    EXPECT_EQ(proto.GetReply(), "READY\r");

    // A non-waiting send neither tests the busy flag nor resets the code.
    peer.ExpectAny("E02\r");
    EXPECT_FALSE(proto.SendCommand("X", 30));
    peer.ExpectAny("");
    EXPECT_TRUE(proto.SendCommandNoWait("Y"));
    EXPECT_EQ(proto.GetErrorCode(), 20042);
}

TEST_F(ProtocolOnPty, ReplyTextIsSafeToReadFromAnotherThread) {
    ConnectPlain();
    // One thread exchanges, another sends without waiting, a third reads the
    // reply text: a race detector sees any unguarded access to it.
    peer.SetDefaultReply("REPLY\rOK\r");
    std::atomic<bool> stop{false};
    std::thread reader([&] {
        std::size_t seen = 0;
        while (!stop) seen += proto.GetReply().size();
        (void)seen;
    });
    std::thread noWait([&] {
        for (int i = 0; i < 5; ++i) proto.SendCommandNoWait("N");
    });
    for (int i = 0; i < 50; ++i) proto.SendCommand("E", 200);
    noWait.join();
    stop = true;
    reader.join();
}

TEST_F(ProtocolOnPty, SevenEqualReadingsMeanStopped) {
    ConnectPlain();
    auto read = [&](int axis, const std::string& value) {
        peer.ExpectAny(std::string("Position ") + KT300Protocol::AxisLetter(axis) + "," + value +
                       "\rOK\r");
        double pos = -1;
        EXPECT_TRUE(proto.GetPosition(axis, &pos));
    };
    // The first reading counts nothing; readings two to seven count 1..6.
    for (int i = 1; i <= 6; ++i) {
        read(0, "1.5");
        EXPECT_FALSE(proto.GetStopFlag(0)) << "reading " << i;
    }
    read(0, "1.5");
    EXPECT_TRUE(proto.GetStopFlag(0));

    // The counter restarted at 0; a differing value does not reset it, and
    // equal texts of other axes and other objects count too.
    proto.SetStopFlag(0, 0);
    read(0, "2.0");  // differs: counter stays 0
    read(1, "2.0");  // 1
    read(0, "3.0");  // differs: counter stays 1
    read(0, "3.0");  // 2
    read(2, "3.0");  // 3
    read(0, "3.0");  // 4
    read(0, "3.0");  // 5
    EXPECT_FALSE(proto.GetStopFlag(0));
    EXPECT_FALSE(proto.GetStopFlag(2));
    read(2, "3.0");  // 6: the axis of this reading's reply is flagged
    EXPECT_TRUE(proto.GetStopFlag(2));
    EXPECT_FALSE(proto.GetStopFlag(0));
    EXPECT_FALSE(proto.GetStopFlag(1));
}

TEST(PositionTrackingTest, SharedByEveryProtocolObject) {
    PtyPair ptyA, ptyB;
    ASSERT_TRUE(ptyA.Ok() && ptyB.Ok());
    ScriptedPeer peerA(ptyA), peerB(ptyB);
    KT300Protocol a, b;
    setenv("KORVA_COM8", ptyA.SlavePath().c_str(), 1);
    setenv("KORVA_COM9", ptyB.SlavePath().c_str(), 1);
    a.SetPortNumber(8);
    b.SetPortNumber(9);
    peerA.Expect("Hello", "OK\r");
    peerB.Expect("Hello", "OK\r");
    ASSERT_TRUE(a.Connect());
    ASSERT_TRUE(b.Connect());
    KT300Protocol::ResetPositionTracking();
    peerA.SetDefaultReply("Position X,7\rOK\r");
    peerB.SetDefaultReply("Position X,7\rOK\r");
    double pos = 0;
    for (int i = 0; i < 7; ++i) {
        KT300Protocol& p = i % 2 ? b : a;
        ASSERT_TRUE(p.GetPosition(0, &pos));
        EXPECT_EQ(pos, 7.0);
    }
    // The seventh reading, taken by a, flagged its X axis only.
    EXPECT_TRUE(a.GetStopFlag(0));
    EXPECT_FALSE(b.GetStopFlag(0));
}

}  // namespace
}  // namespace korva::test
