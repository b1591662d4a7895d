// UsbFifoInterface over the simulator D2XX library: listing, open, the write
// and read rules, the notification thread, and every failure on the way.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <vector>

#include "D2xxLib.h"
#include "TestEnv.h"
#include "UsbFifoInterface.h"

using korva::test::D2xxLib;
using korva::test::Eventually;
using korva::test::ScopedEnv;
using korva::test::TraceOf;
using namespace std::chrono_literals;

namespace {

D2xxLib& Sim() {
    static D2xxLib lib(KORVA_FTD2XX_SIM_PATH);
    return lib;
}

std::vector<std::uint8_t> Bytes(const std::string& text) {
    return {text.begin(), text.end()};
}

// Reads in OnReceive as the command link's channel does, and records.
class Recorder : public UsbFifoInterface {
  public:
    ~Recorder() override { Close(); }
    void OnReceive(DWORD count) override {
        std::vector<std::uint8_t> bytes;
        const bool ok = Read(bytes, count + 100);
        std::lock_guard<std::mutex> guard(m_lock);
        m_counts.push_back(count);
        if (ok) m_text.append(bytes.begin(), bytes.end());
    }
    std::string Text() {
        std::lock_guard<std::mutex> guard(m_lock);
        return m_text;
    }
    std::vector<DWORD> Counts() {
        std::lock_guard<std::mutex> guard(m_lock);
        return m_counts;
    }
    bool WaitFor(const std::string& text, std::chrono::milliseconds limit = 3s) {
        return Eventually([&] { return Text().find(text) != std::string::npos; }, limit);
    }

  private:
    std::mutex m_lock;
    std::string m_text;
    std::vector<DWORD> m_counts;
};

// The debug tool's way: the base OnReceive, and a target that reads in its handler.
struct ReadingTarget : UsbFifoInterface::NotifyTarget {
    UsbFifoInterface* usb = nullptr;
    std::mutex lock;
    std::string text;
    std::vector<unsigned long> counts;
    unsigned message = 0;
    void OnNotifyMessage(unsigned msg, unsigned long wParam, long lParam) override {
        std::vector<std::uint8_t> bytes;
        usb->Read(bytes, 3000);
        std::lock_guard<std::mutex> guard(lock);
        message = msg;
        counts.push_back(wParam);
        EXPECT_EQ(lParam, 0);
        text.append(bytes.begin(), bytes.end());
    }
    std::string Text() {
        std::lock_guard<std::mutex> guard(lock);
        return text;
    }
};

class UsbBinding : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(Sim().Ok()) << Sim().error;
        Sim().setFault(nullptr, nullptr);
    }
    void TearDown() override { Sim().setFault(nullptr, nullptr); }

    ScopedEnv m_lib{"KORVA_FTD2XX", KORVA_FTD2XX_SIM_PATH};
    ScopedEnv m_devices{"KORVA_SIM_USB", nullptr};
};

TEST_F(UsbBinding, ListsCountSerialDescriptionAndLocation) {
    UsbFifoInterface usb;
    ASSERT_TRUE(usb.Initialize(nullptr, 0));
    {
        ScopedEnv devices("KORVA_SIM_USB", "");
        int count = -1;
        EXPECT_TRUE(usb.GetDeviceCount(&count));
        EXPECT_EQ(count, 0);
        std::string serial = "unchanged";
        EXPECT_EQ(TraceOf([&] { EXPECT_FALSE(usb.GetSerialNumber(0, serial)); }),
                  "Get Series Number failed.\n");
        EXPECT_EQ(TraceOf([&] { EXPECT_FALSE(usb.GetDescription(0, serial)); }),
                  "Get Description failed.\n");
        EXPECT_EQ(serial, "unchanged");
    }
    ScopedEnv devices("KORVA_SIM_USB", "A1:First;:Blank;X:Short");
    int count = -1;
    ASSERT_TRUE(usb.GetDeviceCount(&count));
    ASSERT_EQ(count, 3);
    const char* serials[] = {"A1", "", "X"};
    const char* descriptions[] = {"First", "Blank", "Short"};
    std::vector<long> locations;
    for (int i = 0; i < count; ++i) {
        std::string serial = "?", description = "?";
        long location = -1;
        EXPECT_TRUE(usb.GetSerialNumber(i, serial));
        EXPECT_TRUE(usb.GetDescription(i, description));
        EXPECT_TRUE(usb.GetLocation(i, &location));
        EXPECT_EQ(serial, serials[i]);
        EXPECT_EQ(description, descriptions[i]);
        EXPECT_GT(location, 0);
        for (long other : locations) EXPECT_NE(other, location);
        locations.push_back(location);
    }
    std::string text;
    long location = 0;
    for (int bad : {-1, 3, 1000}) {
        EXPECT_FALSE(usb.GetSerialNumber(bad, text)) << bad;
        EXPECT_FALSE(usb.GetDescription(bad, text)) << bad;
        EXPECT_FALSE(usb.GetLocation(bad, &location)) << bad;
    }
    EXPECT_FALSE(usb.GetDeviceCount(nullptr));
    EXPECT_FALSE(usb.GetLocation(0, nullptr));
    // A blank serial number names no device.
    EXPECT_EQ(TraceOf([&] { EXPECT_FALSE(usb.OpenBySerial("")); }), "Open device failed.\n");
}

TEST_F(UsbBinding, WriteReceiveThroughOnReceive) {
    Recorder usb;
    ASSERT_TRUE(usb.Initialize(nullptr, 0));
    ASSERT_TRUE(usb.OpenBySerial("KT0001"));
    EXPECT_TRUE(usb.IsOpen());
    EXPECT_EQ(usb.GetOpenSerial(), "KT0001");
    auto hello = Bytes("Hello\r");
    const auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(usb.Write(hello, 3000));
    EXPECT_GE(std::chrono::steady_clock::now() - start, 50ms) << "a write is followed by a pause";
    ASSERT_TRUE(usb.WaitFor("OK\r")) << usb.Text();
    auto query = Bytes("SetSpeed? X\r");
    ASSERT_TRUE(usb.Write(query, 3000));
    ASSERT_TRUE(usb.WaitFor("SetSpeed X,")) << usb.Text();
    ASSERT_TRUE(usb.WaitFor("OK\r", 3s));
    for (DWORD count : usb.Counts()) EXPECT_GT(count, 0u);
    EXPECT_TRUE(usb.Close());
    EXPECT_FALSE(usb.IsOpen());
}

TEST_F(UsbBinding, NotifyTargetReadsInItsHandler) {
    ReadingTarget target;  // outlives the device's notification thread
    UsbFifoInterface usb;
    target.usb = &usb;
    ASSERT_TRUE(usb.Initialize(&target, 1034));
    ASSERT_TRUE(usb.OpenBySerial("KT0002"));
    auto hello = Bytes("Hello\r");
    const std::string trace = TraceOf([&] {
        ASSERT_TRUE(usb.Write(hello, 3000));
        ASSERT_TRUE(Eventually([&] { return target.Text() == "OK\r"; })) << target.Text();
    });
    EXPECT_NE(trace.find("Receive:3\nRcishu:"), std::string::npos) << trace;
    EXPECT_EQ(target.message, 1034u);
    EXPECT_EQ(target.counts.at(0), 3u);
    EXPECT_TRUE(usb.Close());
}

TEST_F(UsbBinding, ReadAppendsAndReportsAnEmptyQueue) {
    // Refused notification: the device is open but nothing reads for us.
    Sim().setFault("KT0001", "notify");
    Recorder usb;
    ASSERT_TRUE(usb.Initialize(nullptr, 0));
    ASSERT_TRUE(usb.OpenBySerial("KT0001"));
    std::vector<std::uint8_t> got = Bytes("old:");
    EXPECT_EQ(TraceOf([&] { EXPECT_FALSE(usb.Read(got, 100)); }), "No data.\n");
    auto hello = Bytes("Hello\r");
    ASSERT_TRUE(usb.Write(hello, 3000));
    std::this_thread::sleep_for(100ms);
    EXPECT_TRUE(usb.Counts().empty()) << "silent without notification";
    ASSERT_TRUE(usb.Read(got, 100));
    EXPECT_EQ(std::string(got.begin(), got.end()), "old:OK\r");
    EXPECT_TRUE(usb.Close());
}

TEST_F(UsbBinding, ShortWriteFailsWithoutThePause) {
    Recorder usb;
    ASSERT_TRUE(usb.Initialize(nullptr, 0));
    ASSERT_TRUE(usb.OpenBySerial("KT0001"));
    Sim().setFault("KT0001", "short-write");
    auto line = Bytes("Hello\r");
    bool ok = true;
    auto elapsed = 0ms;
    const std::string trace = TraceOf([&] {
        const auto start = std::chrono::steady_clock::now();
        ok = usb.Write(line, 3000);
        elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(
            std::chrono::steady_clock::now() - start);
    });
    EXPECT_FALSE(ok);
    EXPECT_EQ(trace, "Timeout.\n");
    EXPECT_LT(elapsed, 50ms);
    EXPECT_EQ(usb.LastStatus(), FT_OK);
}

struct WriteFault {
    const char* fault;
    const char* trace;
};

TEST_F(UsbBinding, FailedDriverCallsFailTheWrite) {
    for (const WriteFault& c : {WriteFault{"write", "Write failed.\n"},
                                WriteFault{"timeouts", "Set timeouts failed.\n"}}) {
        Recorder usb;
        ASSERT_TRUE(usb.Initialize(nullptr, 0));
        ASSERT_TRUE(usb.OpenBySerial("KT0001"));
        Sim().setFault("KT0001", c.fault);
        auto line = Bytes("Hello\r");
        EXPECT_EQ(TraceOf([&] { EXPECT_FALSE(usb.Write(line, 3000)); }), c.trace) << c.fault;
        EXPECT_NE(usb.LastStatus(), FT_OK);
        Sim().setFault("KT0001", nullptr);
        EXPECT_TRUE(usb.Write(line, 3000)) << c.fault;
    }
}

TEST_F(UsbBinding, FailedResetOrPurgeLeavesNothingOpen) {
    for (const char* fault : {"reset", "purge"}) {
        Recorder usb;
        ASSERT_TRUE(usb.Initialize(nullptr, 0));
        Sim().setFault("KT0001", fault);
        const std::string trace = TraceOf([&] { EXPECT_FALSE(usb.OpenBySerial("KT0001")); });
        EXPECT_EQ(trace, fault == std::string("reset") ? "Reset device failed.\n"
                                                       : "Purge device failed.\n");
        EXPECT_FALSE(usb.IsOpen());
        EXPECT_EQ(usb.LastStatus(), FT_IO_ERROR);
        Sim().setFault("KT0001", nullptr);
        // Had the half-opened handle been kept, the device would still be taken.
        ASSERT_TRUE(usb.OpenBySerial("KT0001")) << fault;
        EXPECT_TRUE(usb.Close());
    }
}

TEST_F(UsbBinding, ReceiveBitWithNothingQueuedCallsNothing) {
    ReadingTarget target;  // outlives the device's notification thread
    Recorder usb;
    target.usb = &usb;
    ASSERT_TRUE(usb.Initialize(&target, 1034));
    ASSERT_TRUE(usb.OpenBySerial("KT0001"));
    Sim().setFault("KT0001", "phantom");
    ASSERT_TRUE(Eventually([] { return Sim().stat("KT0001", "phantom") >= 1; }));
    const unsigned long looked = Sim().stat("KT0001", "status");
    ASSERT_TRUE(Eventually([&] { return Sim().stat("KT0001", "status") >= looked + 2; }));
    EXPECT_TRUE(usb.Counts().empty());
    EXPECT_TRUE(target.counts.empty());
    // Real data still arrives afterwards.
    auto hello = Bytes("Hello\r");
    ASSERT_TRUE(usb.Write(hello, 3000));
    ASSERT_TRUE(usb.WaitFor("OK\r"));
}

TEST_F(UsbBinding, CloseOnAClosedObjectCallsNothing) {
    UsbFifoInterface usb;
    ASSERT_TRUE(usb.Initialize(nullptr, 0));
    const unsigned long status = usb.LastStatus();
    EXPECT_EQ(TraceOf([&] { EXPECT_TRUE(usb.Close()); }), "");
    EXPECT_EQ(usb.LastStatus(), status);
    ASSERT_TRUE(usb.OpenBySerial("KT0001"));
    EXPECT_TRUE(usb.Close());
    EXPECT_EQ(TraceOf([&] { EXPECT_TRUE(usb.Close()); }), "");
    auto line = Bytes("Hello\r");
    EXPECT_FALSE(usb.Write(line, 3000));
}

TEST_F(UsbBinding, FailedCloseKeepsTheDeviceOpenAndReceiving) {
    Recorder usb;
    ASSERT_TRUE(usb.Initialize(nullptr, 0));
    ASSERT_TRUE(usb.OpenBySerial("KT0001"));
    Sim().setFault("KT0001", "close");
    EXPECT_EQ(TraceOf([&] { EXPECT_FALSE(usb.Close()); }), "Close device failed.\n");
    EXPECT_TRUE(usb.IsOpen());
    auto hello = Bytes("Hello\r");
    ASSERT_TRUE(usb.Write(hello, 3000));
    EXPECT_TRUE(usb.WaitFor("OK\r")) << "the notification thread still runs";
    Sim().setFault("KT0001", nullptr);
    EXPECT_TRUE(usb.Close());
    EXPECT_FALSE(usb.IsOpen());
}

TEST_F(UsbBinding, DestroyedWithAFailingCloseLeavesNoThreadBehind) {
    // Its own device: the simulated one stays taken for the rest of the process.
    ScopedEnv devices("KORVA_SIM_USB", "STUCK1");
    Sim().setFault("STUCK1", "close");
    {
        Recorder usb;
        ASSERT_TRUE(usb.Initialize(nullptr, 0));
        ASSERT_TRUE(usb.OpenBySerial("STUCK1"));
        auto hello = Bytes("Hello\r");
        ASSERT_TRUE(usb.Write(hello, 3000));
    }
    // The device still holds the handle but no longer our event: a reply
    // arriving now would otherwise signal freed memory (the sanitizers watch).
    const unsigned long looked = Sim().stat("STUCK1", "status");
    std::this_thread::sleep_for(120ms);
    EXPECT_EQ(Sim().stat("STUCK1", "status"), looked) << "no thread asks for the status any more";
}

TEST_F(UsbBinding, ReopeningClosesTheDeviceOpenBefore) {
    Recorder usb;
    ASSERT_TRUE(usb.Initialize(nullptr, 0));
    ASSERT_TRUE(usb.OpenBySerial("KT0001"));
    ASSERT_TRUE(usb.OpenBySerial("KT0002"));
    EXPECT_EQ(usb.GetOpenSerial(), "KT0002");
    Recorder other;
    ASSERT_TRUE(other.Initialize(nullptr, 0));
    EXPECT_TRUE(other.OpenBySerial("KT0001")) << "released by the reopen";
    EXPECT_FALSE(other.OpenBySerial("KT0002")) << "taken";
    // Both objects exchange at the same time, each with its own controller.
    auto hello = Bytes("Hello\r");
    ASSERT_TRUE(other.OpenBySerial("KT0001"));
    ASSERT_TRUE(usb.Write(hello, 3000));
    ASSERT_TRUE(other.Write(hello, 3000));
    EXPECT_TRUE(usb.WaitFor("OK\r"));
    EXPECT_TRUE(other.WaitFor("OK\r"));
}

TEST_F(UsbBinding, VanishedDeviceFailsCleanlyAndCanBeClosed) {
    Recorder usb;
    ASSERT_TRUE(usb.Initialize(nullptr, 0));
    ASSERT_TRUE(usb.OpenBySerial("KT0001"));
    Sim().setFault("KT0001", "vanish");
    auto hello = Bytes("Hello\r");
    EXPECT_FALSE(usb.Write(hello, 3000));
    std::vector<std::uint8_t> got;
    EXPECT_FALSE(usb.Read(got, 100));
    EXPECT_TRUE(usb.Close());
    EXPECT_FALSE(usb.OpenBySerial("KT0001"));
    Sim().setFault("KT0001", nullptr);
    ASSERT_TRUE(usb.OpenBySerial("KT0001")) << "plugged in again";
    ASSERT_TRUE(usb.Write(hello, 3000));
    EXPECT_TRUE(usb.WaitFor("OK\r"));
}

// A receive handler that closes the device (a tool reacting to what it got)
// must not deadlock on its own thread.
struct ClosingTarget : UsbFifoInterface::NotifyTarget {
    UsbFifoInterface* usb = nullptr;
    std::atomic<bool> closed{false};
    void OnNotifyMessage(unsigned, unsigned long, long) override { closed = usb->Close(); }
};

TEST_F(UsbBinding, CloseFromTheReceiveHandler) {
    ClosingTarget target;
    UsbFifoInterface usb;
    target.usb = &usb;
    ASSERT_TRUE(usb.Initialize(&target, 1));
    ASSERT_TRUE(usb.OpenBySerial("KT0001"));
    auto hello = Bytes("Hello\r");
    ASSERT_TRUE(usb.Write(hello, 3000));
    ASSERT_TRUE(Eventually([&] { return target.closed.load(); }));
    EXPECT_FALSE(usb.IsOpen());
    ASSERT_TRUE(usb.OpenBySerial("KT0001"));
}

TEST(UsbBytes, TextAndBytesConvertOneToOne) {
    std::vector<std::uint8_t> bytes{1};
    UsbFifoInterface::TextToBytes(std::string("A\0\xff", 3), bytes);
    EXPECT_EQ(bytes, (std::vector<std::uint8_t>{1, 'A', 0, 0xff}));
    std::string text = "old";
    UsbFifoInterface::BytesToText(bytes, text);
    EXPECT_EQ(text, std::string("\x01"
                                "A\0\xff",
                                4));
}

}  // namespace

KORVA_TRACE_TEST_MAIN
