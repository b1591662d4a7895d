// The command link over a real pseudo-terminal: bytes on the wire, the waits
// and their codes, the receive buffer, and what happens when the far end
// misbehaves or goes away.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "KorvaComPort.h"
#include "LinkTestUtil.h"
#include "ScriptedPeer.h"

using namespace std::chrono_literals;
using korva::test::MessageRecorder;
using korva::test::ProcessCpuTime;
using korva::test::PtyPair;
using korva::test::ReplyOptions;
using korva::test::ScriptedPeer;
using korva::test::Since;
using Clock = std::chrono::steady_clock;

namespace {

// The link as the protocol layer sees it, with the hang-up hook counted.
class TestLink : public KorvaComPort {
  public:
    ~TestLink() override { CloseLink(); }  // before the counters go away
    void OnChannelHangUp() override { ++hangUps; }
    bool OnReceiveNotify(int count) override {
        ++notifies;
        if (count != 1) ++oddCounts;
        return true;
    }
    const SerialPort& Serial() const { return m_Serial; }
    std::atomic<int> hangUps{0};
    std::atomic<int> notifies{0};
    std::atomic<int> oddCounts{0};
};

// Waits until the link holds at least n received bytes.
bool ReceivedAtLeast(KorvaComPort& link, int n, std::chrono::milliseconds limit = 2s) {
    for (Clock::time_point end = Clock::now() + limit; link.GetReceivedCount() < n;) {
        if (Clock::now() >= end) return false;
        std::this_thread::sleep_for(1ms);
    }
    return true;
}

std::string Text(KorvaComPort& link) {
    std::string text;
    link.GetReceivedText(text);
    return text;
}

class LinkTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(pty.Ok()) << pty.Error();
        setenv("KORVA_COM1", pty.SlavePath().c_str(), 1);
        link.SetBaudRate(19200);
    }
    void Open() {
        ASSERT_TRUE(link.OpenLink()) << link.GetLinkErrorCode() << " " << link.GetLinkErrorText();
    }

    MessageRecorder messages;
    PtyPair pty;
    ScriptedPeer peer{pty};
    TestLink link;
};

}  // namespace

// What each send form puts on the wire: the text or block plus the
// terminator; SendData alone adds nothing.
TEST_F(LinkTest, BytesOnTheWire) {
    Open();
    const std::uint8_t block[] = {0x01, 0x00, 0xFF, 'O', 'K'};
    struct {
        const char* name;
        std::function<bool()> send;
        std::string wire;
    } cases[] = {
        {"SendNoWait", [&] { return link.SendNoWait("GoHome X"); }, "GoHome X\r"},
        {"SendData", [&] { return link.SendData(block, 3); }, std::string("\x01\x00\xFF", 3)},
        {"SendBytesNoWait", [&] { return link.SendBytesNoWait(block, 5); },
         std::string("\x01\x00\xFFOK\r", 6)},
        {"SendBytesNoWait empty", [&] { return link.SendBytesNoWait(nullptr, 0); }, "\r"},
        {"SendWaitDelay", [&] { return link.SendWaitDelay("Stop X", 10); }, "Stop X\r"},
        {"SetTerminator LF",
         [&] {
             link.SetTerminator('\n');
             bool ok = link.SendNoWait("SAVE plan");
             link.SetTerminator('\r');
             return ok;
         },
         "SAVE plan\n"},
    };
    for (const auto& c : cases) {
        peer.ClearReceived();
        EXPECT_TRUE(c.send()) << c.name;
        EXPECT_EQ(link.GetLinkErrorCode(), 0) << c.name;
        ASSERT_TRUE(peer.WaitForBytes(c.wire.size(), 2s)) << c.name;
        std::this_thread::sleep_for(20ms);  // nothing more follows
        EXPECT_EQ(peer.Received(), c.wire) << c.name;
    }
}

// Every send-and-wait form against one reply: result, code, text, and the
// reply left in the buffer.
TEST_F(LinkTest, WaitFormsTable) {
    Open();
    const std::uint8_t cmd[] = {'Q', '?'};
    struct {
        const char* name;
        std::string reply;
        ReplyOptions options;
        std::function<bool()> send;
        bool ok;
        int code;
        std::string text;
    } cases[] = {
        {"OK anywhere",
         "READY\rX STOP\rOK\r",
         {},
         [&] { return link.SendWaitResponse("Hello", 2000); },
         true,
         0,
         ""},
        {"OK late",
         "OK\r",
         {.delay = 50ms},
         [&] { return link.SendWaitResponse("Hello", 2000); },
         true,
         0,
         ""},
        {"OK byte by byte",
         "GetSpeed X,12.5\rOK\r",
         {.bytewise = true},
         [&] { return link.SendWaitResponse("GetSpeed? X", 2000); },
         true,
         0,
         ""},
        {"no OK",
         "E03\r",
         {},
         [&] { return link.SendWaitResponse("Hello", 100); },
         false,
         10121,
         "Cannot get response flag in delaytime!"},
        {"O and K apart",
         "O\rK\r",
         {},
         [&] { return link.SendWaitResponse("Hello", 100); },
         false,
         10121,
         "Cannot get response flag in delaytime!"},
        {"end flag",
         "abc\rdef",
         {},
         [&] { return link.SendWaitEndFlag("ID?", 2000); },
         true,
         0,
         ""},
        {"no end flag",
         "abc\n",
         {},
         [&] { return link.SendWaitEndFlag("ID?", 100); },
         false,
         10121,
         "Cannot find end flag in delay time"},
        {"bytes OK",
         "OK",
         {},
         [&] { return link.SendBytesWaitResponse(cmd, 2, 2000); },
         true,
         0,
         ""},
        {"bytes no OK",
         "NO",
         {},
         [&] { return link.SendBytesWaitResponse(cmd, 2, 100); },
         false,
         10121,
         "Cannot get response flag in delaytime!"},
        {"bytes end flag",
         "1\r",
         {},
         [&] { return link.SendBytesWaitEndFlag(cmd, 2, 2000); },
         true,
         0,
         ""},
        {"bytes no end flag",
         "1",
         {},
         [&] { return link.SendBytesWaitEndFlag(cmd, 2, 100); },
         false,
         10120,
         "Cannot find end flag in delay time"},
        {"count reached",
         "abcdef",
         {.bytewise = true},
         [&] { return link.SendWaitCount("Dump", 6, 2000); },
         true,
         0,
         ""},
        {"count short",
         "abc",
         {},
         [&] { return link.SendWaitCount("Dump", 6, 100); },
         false,
         10122,
         ""},
        {"bytes count",
         "12345",
         {},
         [&] { return link.SendBytesWaitCount(cmd, 2, 5, 2000); },
         true,
         0,
         ""},
        {"bytes count short",
         "1234",
         {},
         [&] { return link.SendBytesWaitCount(cmd, 2, 5, 100); },
         false,
         10122,
         ""},
        {"delay keeps reply",
         "OK\r",
         {},
         [&] { return link.SendWaitDelay("Hello", 100); },
         true,
         0,
         ""},
    };
    for (const auto& c : cases) {
        peer.ExpectAny(c.reply, c.options);
        EXPECT_EQ(c.send(), c.ok) << c.name;
        EXPECT_EQ(link.GetLinkErrorCode(), c.code) << c.name;
        EXPECT_EQ(link.GetLinkErrorText(), c.text) << c.name;
        // The whole reply stays for the caller, also after a failure.
        EXPECT_TRUE(ReceivedAtLeast(link, static_cast<int>(c.reply.size()))) << c.name;
        EXPECT_EQ(Text(link), c.reply) << c.name;
        EXPECT_FALSE(link.IsReplyPending()) << c.name;
    }
    EXPECT_EQ(peer.PendingSteps(), 0u);
    EXPECT_TRUE(peer.Unexpected().empty());
}

// waitMs <= 0 checks the buffer once, right after the send, and does not
// wait for a reply that is already on its way.
TEST_F(LinkTest, ZeroWaitChecksOnce) {
    Open();
    for (int waitMs : {0, -5}) {
        peer.ExpectAny("OK\r", {.delay = 30ms});
        Clock::time_point start = Clock::now();
        EXPECT_FALSE(link.SendWaitResponse("Hello", waitMs));
        EXPECT_LT(Since(start), 30ms);
        EXPECT_EQ(link.GetLinkErrorCode(), 10121);
        EXPECT_EQ(link.GetLinkErrorText(), "Cannot get response flag in delaytime!");
        ASSERT_TRUE(ReceivedAtLeast(link, 3));
        // WaitForText with a single check is no time-out of its own.
        EXPECT_TRUE(link.WaitForText("OK", 0));
        EXPECT_FALSE(link.WaitForText("absent", 0));
        EXPECT_EQ(link.GetLinkErrorCode(), 0);
    }
}

// The waits end when the flag arrives, not at the limit; a wait that runs out
// takes at least its limit and sets its code.
TEST_F(LinkTest, WaitsEndOnArrivalAndRunOutAtTheLimit) {
    Open();
    peer.ExpectAny("OK\r", {.delay = 20ms});
    Clock::time_point start = Clock::now();
    EXPECT_TRUE(link.SendWaitResponse("Hello", 60000));
    EXPECT_LT(Since(start), 10s);

    start = Clock::now();
    EXPECT_FALSE(link.WaitForText("never", 95));  // rounded up to 100
    EXPECT_GE(Since(start), 100ms);
    EXPECT_EQ(link.GetLinkErrorCode(), 10120);

    start = Clock::now();
    EXPECT_FALSE(link.WaitForCount(1000, 52));  // rounded up to 55
    EXPECT_GE(Since(start), 55ms);
    EXPECT_EQ(link.GetLinkErrorCode(), 10120) << "WaitForCount sets no code itself";

    start = Clock::now();
    EXPECT_TRUE(link.WaitDelay(41));
    EXPECT_GE(Since(start), 50ms);
    EXPECT_TRUE(link.WaitDelay(0));
}

TEST_F(LinkTest, ReplyPendingWhileWaitingAndRestoredAfter) {
    Open();
    std::atomic<int> pendingSeen{0};
    std::atomic<int> bytesSeen{0};
    struct Ctx {
        TestLink* link;
        std::atomic<int>* pending;
        std::atomic<int>* bytes;
    } ctx{&link, &pendingSeen, &bytesSeen};
    link.SetReceiveCallback(
        [](void* p, std::uint8_t, int) {
            auto* c = static_cast<Ctx*>(p);
            ++*c->bytes;
            if (c->link->IsReplyPending()) ++*c->pending;
        },
        &ctx);
    peer.ExpectAny("abOK\r");
    ASSERT_TRUE(link.SendWaitResponse("Hello", 2000));
    // Every byte before the K arrives while the wait is still on.
    EXPECT_GE(pendingSeen.load(), 3);
    EXPECT_FALSE(link.IsReplyPending());

    link.SetReplyPending(true);  // an outer exchange in progress stays marked
    peer.ExpectAny("nothing\r");
    EXPECT_FALSE(link.SendWaitResponse("Hello", 50));
    EXPECT_TRUE(link.IsReplyPending());
    link.SetReplyPending(false);

    link.SetReceiveCallback(nullptr, nullptr);
    EXPECT_EQ(link.notifies.load(), bytesSeen.load());
    EXPECT_EQ(link.oddCounts.load(), 0) << "each byte comes with the count 1";
}

// The receive buffer wraps: after exactly 2048 bytes since a reset the count
// is 0, the 2049th byte lands at index 0.
TEST_F(LinkTest, ReceiveBufferWrapsAt2048) {
    Open();
    std::atomic<int> bytes{0};
    link.SetReceiveCallback(
        [](void* p, std::uint8_t, int) { ++*static_cast<std::atomic<int>*>(p); }, &bytes);
    std::string block(2047, 'a');
    peer.ExpectAny(block);
    ASSERT_TRUE(link.SendWaitCount("Dump", 2047, 2000));
    EXPECT_EQ(link.GetReceivedCount(), 2047);

    peer.Send("b");
    auto until = [&](int n) {
        for (Clock::time_point end = Clock::now() + 2s; bytes.load() < n && Clock::now() < end;)
            std::this_thread::sleep_for(1ms);
        return bytes.load() >= n;
    };
    ASSERT_TRUE(until(2048));
    EXPECT_EQ(link.GetReceivedCount(), 0);
    EXPECT_EQ(Text(link), "");

    peer.Send("Z");
    ASSERT_TRUE(until(2049));
    EXPECT_EQ(Text(link), "Z");

    // A longer reply whose "OK" lies past the wrap is still found there.
    peer.ExpectAny(std::string(3000, 'x') + "OK\r");
    EXPECT_TRUE(link.SendWaitResponse("Dump", 3000));
    link.SetReceiveCallback(nullptr, nullptr);
}

TEST_F(LinkTest, DiscardAndCopyReceived) {
    Open();
    peer.ExpectAny("abcdef");
    ASSERT_TRUE(link.SendWaitCount("Read", 6, 2000));

    std::uint8_t bytes[8] = {};
    std::uint32_t words[8] = {};
    EXPECT_EQ(link.CopyReceived(bytes, 4), 4);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(bytes), 4), "abcd");
    EXPECT_EQ(link.CopyReceived(words, 8), 6);
    EXPECT_EQ(words[5], std::uint32_t('f'));
    EXPECT_EQ(link.CopyReceived(bytes, 0), 0);
    EXPECT_EQ(link.CopyReceived(bytes, -3), 0);
    EXPECT_EQ(link.CopyReceived(static_cast<std::uint8_t*>(nullptr), 4), 0);

    struct {
        int n;
        bool ok;
        const char* left;
    } steps[] = {{2, true, "cdef"}, {5, false, "cdef"}, {-1, false, "cdef"},
                 {0, true, "cdef"}, {4, true, ""},      {1, false, ""}};
    for (const auto& s : steps) {
        EXPECT_EQ(link.DiscardReceived(s.n), s.ok) << s.n;
        EXPECT_EQ(Text(link), s.left) << s.n;
    }
    peer.Send("xy");
    EXPECT_TRUE(ReceivedAtLeast(link, 2));
    EXPECT_EQ(Text(link), "xy");
    EXPECT_TRUE(link.ClearReceived());
    EXPECT_EQ(link.GetReceivedCount(), 0);
}

// Misbehaving far ends: binary garbage before the flag, an endless stream
// without one.
TEST_F(LinkTest, GarbageAndEndlessStreams) {
    Open();
    std::string garbage;
    for (int i = 0; i < 256; ++i)
        if (i != 'O') garbage.push_back(static_cast<char>(i));
    peer.ExpectAny(garbage + "OK\r");
    ASSERT_TRUE(link.SendWaitResponse("Hello", 2000));
    // The wait ends at "OK"; the CR behind it may still be on its way (a
    // loaded machine can hand the reply over in two reads).
    const std::string got = Text(link);
    EXPECT_TRUE(got == garbage + "OK" || got == garbage + "OK\r") << got.size();

    peer.Stream("0123456789ABCDEF\r", 1ms);
    Clock::time_point start = Clock::now();
    EXPECT_FALSE(link.SendWaitResponse("Hello", 300));
    EXPECT_GE(Since(start), 300ms);
    EXPECT_LT(Since(start), 5s);
    EXPECT_EQ(link.GetLinkErrorCode(), 10121);
    peer.StopStream();
}

TEST_F(LinkTest, ClosedLinkRefusesSendsAndSettingsChangeOnlyWhileClosed) {
    // Closed: sends fail with 10103, nothing goes out.
    struct {
        const char* name;
        std::function<bool()> send;
    } sends[] = {
        {"SendData", [&] { return link.SendData(reinterpret_cast<const std::uint8_t*>("x"), 1); }},
        {"SendNoWait", [&] { return link.SendNoWait("Hello"); }},
        {"SendWaitResponse", [&] { return link.SendWaitResponse("Hello", 50); }},
        {"SendBytesWaitCount",
         [&] {
             return link.SendBytesWaitCount(reinterpret_cast<const std::uint8_t*>("x"), 1, 1, 50);
         }},
    };
    for (const auto& s : sends) {
        EXPECT_FALSE(s.send()) << s.name;
        EXPECT_EQ(link.GetLinkErrorCode(), 10103) << s.name;
        EXPECT_EQ(link.GetLinkErrorText(), "ComPort not opened!Can't send command") << s.name;
    }
    EXPECT_TRUE(link.CloseLink());
    EXPECT_EQ(link.GetLinkErrorCode(), 0);

    Open();
    EXPECT_FALSE(link.SetPortNumber(2));
    EXPECT_EQ(link.GetLinkErrorCode(), 10102);
    EXPECT_EQ(link.GetPortNumber(), 1);
    EXPECT_FALSE(link.SetUSBMode(true));
    EXPECT_FALSE(link.GetUSBMode());
    // Opening an open link changes nothing and keeps the channel.
    link.SetBaudRate(12345);
    EXPECT_TRUE(link.OpenLink());
    EXPECT_EQ(link.GetLinkErrorCode(), 0);
    peer.ExpectAny("OK\r");
    EXPECT_TRUE(link.SendWaitResponse("Hello", 2000));
    EXPECT_TRUE(link.CloseLink());
    EXPECT_FALSE(link.IsLinkOpen());
    EXPECT_TRUE(link.SetPortNumber(2));
    EXPECT_TRUE(link.SetUSBMode(true));
    EXPECT_TRUE(peer.WaitForLines(1, 1s));
    EXPECT_EQ(peer.Received(), "Hello\r");
    EXPECT_TRUE(messages.Messages().empty());
}

TEST_F(LinkTest, SecondLinkOnTheSamePortFails) {
    Open();
    TestLink second;
    EXPECT_FALSE(second.OpenLink());
    EXPECT_EQ(second.GetLinkErrorCode(), 10102);
    EXPECT_EQ(second.GetLinkErrorText(), "COM maybe use in another software");
    EXPECT_FALSE(second.IsLinkOpen());
    // The first link is undisturbed.
    peer.ExpectAny("OK\r");
    EXPECT_TRUE(link.SendWaitResponse("Hello", 2000));
    EXPECT_TRUE(link.CloseLink());
    EXPECT_TRUE(second.OpenLink());
}

TEST_F(LinkTest, PortNumbersOutsideTheRangeFailTheOpen) {
    for (short port : {short(0), short(256), short(-1), short(32767)}) {
        ASSERT_TRUE(link.SetPortNumber(port));
        EXPECT_FALSE(link.OpenLink()) << port;
        EXPECT_EQ(link.GetLinkErrorCode(), 10102) << port;
        EXPECT_EQ(link.GetLinkErrorText(), "COM maybe use in another software");
        EXPECT_FALSE(link.IsLinkOpen());
    }
    EXPECT_TRUE(messages.Messages().empty());
}

TEST_F(LinkTest, UsbModeWithoutDeviceFailsTheOpen) {
    ASSERT_TRUE(link.SetUSBMode(true));
    link.SetUSBSerial("KORVA-NO-SUCH-DEVICE");
    EXPECT_FALSE(link.OpenLink());
    EXPECT_EQ(link.GetLinkErrorCode(), 10250);
    EXPECT_EQ(link.GetLinkErrorText(), "Open USB device failure!");
    EXPECT_FALSE(link.IsLinkOpen());
    EXPECT_FALSE(link.SendNoWait("Hello"));
    EXPECT_EQ(link.GetLinkErrorCode(), 10103);
    ASSERT_TRUE(link.SetUSBMode(false));
    Open();
}

// Closing while the far end streams ends the monitor thread at once; the
// port opens again afterwards.
TEST_F(LinkTest, CloseWhileTheMonitorIsBusy) {
    Open();
    peer.Stream(std::string(200, 's'), 1ms);
    std::this_thread::sleep_for(50ms);
    Clock::time_point start = Clock::now();
    EXPECT_TRUE(link.CloseLink());
    EXPECT_LT(Since(start), 2s);
    EXPECT_FALSE(link.Serial().IsMonitorAlive());
    EXPECT_FALSE(link.Serial().IsOpen());
    peer.StopStream();
    Open();
    peer.ExpectAny("OK\r", {.delay = 20ms});
    EXPECT_TRUE(link.SendWaitResponse("Hello", 2000));
}

TEST_F(LinkTest, DestructorClosesTheLink) {
    {
        TestLink scoped;
        ASSERT_TRUE(scoped.OpenLink());
        peer.ExpectAny("OK\r");
        EXPECT_TRUE(scoped.SendWaitResponse("Hello", 2000));
    }
    Open();  // the device was released
}

// The far end hangs up in the middle of a reply: the wait ends without
// running to its limit, the partial reply stays, the next send fails with a
// clear code, the monitor does not spin, and a new device opens.
TEST_F(LinkTest, HangUpMidExchange) {
    Open();
    peer.ExpectAny("GetPos X,1", {.hangUp = true});
    Clock::time_point start = Clock::now();
    EXPECT_FALSE(link.SendWaitResponse("GetPos? X", 20000));
    EXPECT_LT(Since(start), 10s);
    EXPECT_EQ(link.GetLinkErrorCode(), KorvaComPort::kErrChannelGone);
    EXPECT_EQ(link.GetLinkErrorText(), "ComPort hung up (device gone)! Close and reopen the link");
    EXPECT_EQ(Text(link), "GetPos X,1");
    EXPECT_TRUE(link.IsLinkOpen());

    for (Clock::time_point end = Clock::now() + 2s;
         link.Serial().IsMonitorAlive() && Clock::now() < end;)
        std::this_thread::sleep_for(1ms);
    EXPECT_FALSE(link.Serial().IsMonitorAlive());
    std::chrono::milliseconds cpu = ProcessCpuTime();
    std::this_thread::sleep_for(300ms);
    EXPECT_LT(ProcessCpuTime() - cpu, 100ms) << "something spins after the hang-up";
    EXPECT_EQ(link.hangUps.load(), 1);

    EXPECT_FALSE(link.SendNoWait("Hello"));
    EXPECT_EQ(link.GetLinkErrorCode(), KorvaComPort::kErrChannelGone);
    EXPECT_FALSE(link.SendWaitResponse("Hello", 1000));
    EXPECT_EQ(link.GetLinkErrorCode(), KorvaComPort::kErrChannelGone);
    EXPECT_TRUE(link.CloseLink());
    EXPECT_EQ(link.hangUps.load(), 1);
    EXPECT_TRUE(messages.Messages().empty()) << messages.Messages()[0].text;

    // The device of the hung-up pty is gone; a new one opens under the same number.
    PtyPair pty2;
    ASSERT_TRUE(pty2.Ok()) << pty2.Error();
    ScriptedPeer peer2(pty2);
    setenv("KORVA_COM1", pty2.SlavePath().c_str(), 1);
    Open();
    peer2.ExpectAny("OK\r");
    EXPECT_TRUE(link.SendWaitResponse("Hello", 2000));
    EXPECT_EQ(peer2.Received(), "Hello\r");
    EXPECT_TRUE(link.CloseLink());
}

// A hang-up while nobody waits is noticed by the next send.
TEST_F(LinkTest, HangUpWhileIdle) {
    Open();
    peer.HangUp();
    for (Clock::time_point end = Clock::now() + 2s; link.hangUps.load() == 0 && Clock::now() < end;)
        std::this_thread::sleep_for(1ms);
    EXPECT_EQ(link.hangUps.load(), 1);
    Clock::time_point start = Clock::now();
    EXPECT_FALSE(link.SendWaitResponse("Hello", 5000));
    EXPECT_LT(Since(start), 1s);
    EXPECT_EQ(link.GetLinkErrorCode(), KorvaComPort::kErrChannelGone);
    EXPECT_TRUE(link.CloseLink());
    EXPECT_FALSE(link.OpenLink()) << "the device of a hung-up pty is gone";
    EXPECT_EQ(link.GetLinkErrorCode(), 10102);
}
