// The simulator D2XX library as a host sees it: devices from KORVA_SIM_USB,
// each with its own controller, the receive event on the pthread condition,
// and every fault switch.
#include <gtest/gtest.h>
#include <pthread.h>
#include <time.h>

#include <atomic>
#include <cerrno>
#include <string>
#include <thread>
#include <vector>

#include "D2xxLib.h"
#include "TestEnv.h"

using korva::test::Arg;
using korva::test::D2xxLib;
using korva::test::Eventually;
using korva::test::ScopedEnv;
using namespace std::chrono_literals;

namespace {

D2xxLib& Lib() {
    static D2xxLib lib(KORVA_FTD2XX_SIM_PATH);
    return lib;
}

class SimUsb : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(lib.Ok()) << lib.error << " missing: " << lib.missing;
        ASSERT_NE(lib.setFault, nullptr);
        lib.setFault(nullptr, nullptr);
    }
    void TearDown() override {
        lib.setFault(nullptr, nullptr);
        for (FT_HANDLE h : opened) lib.Close(h);
    }

    FT_HANDLE OpenSerial(const char* serial, FT_STATUS expected = FT_OK) {
        FT_HANDLE h = nullptr;
        EXPECT_EQ(lib.OpenEx(const_cast<char*>(serial), FT_OPEN_BY_SERIAL_NUMBER, &h), expected)
            << serial;
        if (h != nullptr) opened.push_back(h);
        return h;
    }

    FT_STATUS Send(FT_HANDLE h, const std::string& text, DWORD* written = nullptr) {
        DWORD n = 0;
        const FT_STATUS st =
            lib.Write(h, const_cast<char*>(text.data()), static_cast<DWORD>(text.size()), &n);
        if (written != nullptr) *written = n;
        return st;
    }

    // Everything that arrives within `ms` after the first byte.
    std::string Receive(FT_HANDLE h, const std::string& until, int ms = 2000) {
        std::string got;
        EXPECT_EQ(lib.SetTimeouts(h, 20, 1000), FT_OK);
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        while (got.find(until) == std::string::npos && std::chrono::steady_clock::now() < end) {
            char buf[256];
            DWORD n = 0;
            if (lib.Read(h, buf, sizeof buf, &n) != FT_OK) break;
            got.append(buf, n);
        }
        return got;
    }

    D2xxLib& lib = Lib();
    std::vector<FT_HANDLE> opened;
};

struct ListCase {
    const char* name;
    const char* env;  // null: unset
    std::vector<std::pair<std::string, std::string>> devices;
};

class SimUsbList : public SimUsb, public ::testing::WithParamInterface<ListCase> {};

TEST_P(SimUsbList, ListsWhatKorvaSimUsbNames) {
    const ListCase& c = GetParam();
    ScopedEnv env("KORVA_SIM_USB", c.env);
    DWORD count = 99;
    ASSERT_EQ(lib.ListDevices(&count, nullptr, FT_LIST_NUMBER_ONLY), FT_OK);
    ASSERT_EQ(count, c.devices.size());
    std::vector<DWORD> locations;
    for (DWORD i = 0; i < count; ++i) {
        char serial[64] = "x";
        char description[64] = "x";
        DWORD location = 0;
        ASSERT_EQ(lib.ListDevices(Arg(i), serial, FT_LIST_BY_INDEX | FT_OPEN_BY_SERIAL_NUMBER),
                  FT_OK);
        ASSERT_EQ(lib.ListDevices(Arg(i), description, FT_LIST_BY_INDEX | FT_OPEN_BY_DESCRIPTION),
                  FT_OK);
        ASSERT_EQ(lib.ListDevices(Arg(i), &location, FT_LIST_BY_INDEX | FT_OPEN_BY_LOCATION),
                  FT_OK);
        EXPECT_EQ(serial, c.devices[i].first);
        EXPECT_EQ(description, c.devices[i].second);
        for (DWORD other : locations) EXPECT_NE(other, location);
        locations.push_back(location);
    }
    std::vector<std::array<char, 64>> buffers(count + 1);
    std::vector<char*> pointers;
    for (auto& b : buffers) pointers.push_back(b.data());
    pointers.push_back(nullptr);
    DWORD listed = 0;
    ASSERT_EQ(lib.ListDevices(pointers.data(), &listed, FT_LIST_ALL | FT_OPEN_BY_SERIAL_NUMBER),
              FT_OK);
    EXPECT_EQ(listed, count);
    for (DWORD i = 0; i < count; ++i) EXPECT_EQ(buffers[i].data(), c.devices[i].first);
}

INSTANTIATE_TEST_SUITE_P(
    Lists, SimUsbList,
    ::testing::Values(
        ListCase{"default", nullptr, {{"KT0001", "KT300 USB"}, {"KT0002", "KT300 USB"}}},
        ListCase{"none", "", {}},
        ListCase{"three", "A1:One;B2:Two;C3", {{"A1", "One"}, {"B2", "Two"}, {"C3", "KT300 USB"}}},
        ListCase{"blank and short serials", ":Blank;X:Short;;", {{"", "Blank"}, {"X", "Short"}}}),
    [](const auto& info) {
        std::string name = info.param.name;
        for (char& ch : name)
            if (ch == ' ') ch = '_';
        return name;
    });

TEST_F(SimUsb, ListAllStopsAtTheNullEntry) {
    ScopedEnv env("KORVA_SIM_USB", "A1;B2;C3");
    char first[64] = {};
    char canary[64] = "canary";
    char* pointers[3] = {first, nullptr, canary};
    DWORD listed = 0;
    ASSERT_EQ(lib.ListDevices(pointers, &listed, FT_LIST_ALL | FT_OPEN_BY_SERIAL_NUMBER), FT_OK);
    EXPECT_EQ(listed, 3u);
    EXPECT_STREQ(first, "A1");
    EXPECT_STREQ(canary, "canary");
}

TEST_F(SimUsb, OpensOnceExchangesAndCloses) {
    ScopedEnv env("KORVA_SIM_USB", nullptr);
    FT_HANDLE h = OpenSerial("KT0001");
    ASSERT_NE(h, nullptr);
    OpenSerial("KT0001", FT_DEVICE_NOT_OPENED);  // one owner at a time
    FT_HANDLE byDescription = nullptr;
    EXPECT_EQ(lib.OpenEx(const_cast<char*>("KT300 USB"), FT_OPEN_BY_DESCRIPTION, &byDescription),
              FT_OK);  // the first free one with that description: KT0002
    opened.push_back(byDescription);
    char serial[64] = {};
    ASSERT_EQ(lib.ListDevices(Arg(1), serial, FT_LIST_BY_INDEX | FT_OPEN_BY_SERIAL_NUMBER), FT_OK);
    ASSERT_STREQ(serial, "KT0002");
    DWORD location = 0;
    ASSERT_EQ(lib.ListDevices(Arg(1), &location, FT_LIST_BY_INDEX | FT_OPEN_BY_LOCATION), FT_OK);
    FT_HANDLE byLocation = nullptr;
    EXPECT_EQ(lib.OpenEx(Arg(location), FT_OPEN_BY_LOCATION, &byLocation), FT_DEVICE_NOT_OPENED);
    EXPECT_EQ(byLocation, nullptr);

    EXPECT_EQ(lib.ResetDevice(h), FT_OK);
    EXPECT_EQ(lib.Purge(h, FT_PURGE_RX | FT_PURGE_TX), FT_OK);
    EXPECT_EQ(lib.SetUSBParameters(h, 4096, 4096), FT_OK);
    EXPECT_EQ(lib.SetLatencyTimer(h, 2), FT_OK);
    DWORD written = 0;
    ASSERT_EQ(Send(h, "Hello\r", &written), FT_OK);
    EXPECT_EQ(written, 6u);
    ASSERT_TRUE(Eventually([&] {
        DWORD q = 0;
        return lib.GetQueueStatus(h, &q) == FT_OK && q >= 3;
    }));
    DWORD rx = 0, tx = 9, events = 0;
    ASSERT_EQ(lib.GetStatus(h, &rx, &tx, &events), FT_OK);
    EXPECT_EQ(rx, 3u);
    EXPECT_EQ(tx, 0u);
    EXPECT_EQ(events & FT_EVENT_RXCHAR, FT_EVENT_RXCHAR);
    ASSERT_EQ(lib.GetStatus(h, &rx, &tx, &events), FT_OK);
    EXPECT_EQ(events, 0u) << "events are reported once";
    EXPECT_EQ(Receive(h, "OK\r"), "OK\r");

    // A read that cannot be satisfied ends at its time-out with what there is.
    char buf[8];
    DWORD n = 7;
    ASSERT_EQ(lib.SetTimeouts(h, 30, 30), FT_OK);
    EXPECT_EQ(lib.Read(h, buf, sizeof buf, &n), FT_OK);
    EXPECT_EQ(n, 0u);

    ASSERT_EQ(lib.Close(h), FT_OK);
    EXPECT_EQ(lib.Close(h), FT_INVALID_HANDLE);
    EXPECT_EQ(Send(h, "Hello\r"), FT_INVALID_HANDLE);
    opened.erase(opened.begin());
    EXPECT_NE(OpenSerial("KT0001"), nullptr);  // free again
}

TEST_F(SimUsb, EveryDeviceOwnsItsControllerAcrossOpens) {
    ScopedEnv env("KORVA_SIM_USB", "S1;S2");
    FT_HANDLE a = OpenSerial("S1");
    FT_HANDLE b = OpenSerial("S2");
    ASSERT_TRUE(a && b);
    ASSERT_EQ(Send(a, "SetSpeed X,1234\r"), FT_OK);
    EXPECT_EQ(Receive(a, "OK\r"), "OK\r");
    ASSERT_EQ(lib.Close(a), FT_OK);
    opened.erase(opened.begin());
    a = OpenSerial("S1");
    ASSERT_EQ(Send(a, "SetSpeed? X\r"), FT_OK);
    EXPECT_EQ(Receive(a, "OK\r").find("SetSpeed X,1234"), 0u);
    ASSERT_EQ(Send(b, "SetSpeed? X\r"), FT_OK);
    EXPECT_EQ(Receive(b, "OK\r").find("SetSpeed X,1234"), std::string::npos);
}

// Waits on the event the way the binding does, and reports whether a signal came.
class EventWaiter {
  public:
    explicit EventWaiter(EVENT_HANDLE& e) : m_event(e) {}
    // Starts waiting; returns once the waiter is inside the wait.
    void Start(std::chrono::milliseconds limit) {
        m_thread = std::thread([this, limit] {
            pthread_mutex_lock(&m_event.eMutex);
            m_waiting = true;
            timespec deadline{};
            clock_gettime(CLOCK_REALTIME, &deadline);
            deadline.tv_sec += limit.count() / 1000;
            deadline.tv_nsec += (limit.count() % 1000) * 1000000L;
            if (deadline.tv_nsec >= 1000000000L) {
                ++deadline.tv_sec;
                deadline.tv_nsec -= 1000000000L;
            }
            m_result = pthread_cond_timedwait(&m_event.eCondVar, &m_event.eMutex, &deadline);
            pthread_mutex_unlock(&m_event.eMutex);
        });
        while (!m_waiting) std::this_thread::yield();
        pthread_mutex_lock(&m_event.eMutex);  // succeeds only once the waiter waits
        pthread_mutex_unlock(&m_event.eMutex);
    }
    int Result() {
        m_thread.join();
        return m_result;
    }

  private:
    EVENT_HANDLE& m_event;
    std::thread m_thread;
    std::atomic<bool> m_waiting{false};
    int m_result = -1;
};

struct Event {
    EVENT_HANDLE e{};
    Event() {
        pthread_mutex_init(&e.eMutex, nullptr);
        pthread_cond_init(&e.eCondVar, nullptr);
    }
    ~Event() {
        pthread_cond_destroy(&e.eCondVar);
        pthread_mutex_destroy(&e.eMutex);
    }
};

TEST_F(SimUsb, SignalsTheEventOnReceivedCharactersOnly) {
    ScopedEnv env("KORVA_SIM_USB", nullptr);
    FT_HANDLE h = OpenSerial("KT0001");
    ASSERT_NE(h, nullptr);
    auto event = std::make_unique<Event>();
    ASSERT_EQ(lib.SetEventNotification(h, FT_EVENT_RXCHAR | FT_EVENT_MODEM_STATUS, &event->e),
              FT_OK);
    {
        EventWaiter waiter(event->e);
        waiter.Start(3000ms);
        ASSERT_EQ(Send(h, "Hello\r"), FT_OK);
        EXPECT_EQ(waiter.Result(), 0) << "signalled";
    }
    // The signal is also left in iVar for a waiter that was busy at the time.
    pthread_mutex_lock(&event->e.eMutex);
    EXPECT_EQ(event->e.iVar, 1);
    event->e.iVar = 0;
    pthread_mutex_unlock(&event->e.eMutex);
    EXPECT_EQ(Receive(h, "OK\r"), "OK\r");
    {
        EventWaiter waiter(event->e);
        waiter.Start(150ms);
        EXPECT_EQ(waiter.Result(), ETIMEDOUT) << "nothing received, nothing signalled";
    }
    // Taken away, and after close: the event is never touched again.
    ASSERT_EQ(lib.SetEventNotification(h, 0, nullptr), FT_OK);
    {
        EventWaiter waiter(event->e);
        waiter.Start(150ms);
        ASSERT_EQ(Send(h, "Hello\r"), FT_OK);
        EXPECT_EQ(waiter.Result(), ETIMEDOUT);
    }
    ASSERT_EQ(lib.SetEventNotification(h, FT_EVENT_RXCHAR, &event->e), FT_OK);
    ASSERT_EQ(lib.Close(h), FT_OK);
    opened.clear();
    event.reset();  // freed: a late signal would be caught by the sanitizers
    std::this_thread::sleep_for(20ms);
}

// One call fails per fault; the rest of the device keeps working.
struct FaultCase {
    const char* fault;
    FT_STATUS (*call)(D2xxLib&, FT_HANDLE);
};

class SimUsbFault : public SimUsb, public ::testing::WithParamInterface<FaultCase> {};

TEST_P(SimUsbFault, FailsOnlyItsCallUntilCleared) {
    ScopedEnv env("KORVA_SIM_USB", nullptr);
    const FaultCase& c = GetParam();
    FT_HANDLE h = OpenSerial("KT0001");
    ASSERT_NE(h, nullptr);
    ASSERT_EQ(c.call(lib, h), FT_OK);
    ASSERT_EQ(lib.setFault("KT0001", c.fault), 0);
    EXPECT_NE(c.call(lib, h), FT_OK);
    FT_HANDLE other = OpenSerial("KT0002");
    EXPECT_EQ(c.call(lib, other), FT_OK) << "other devices are not affected";
    ASSERT_EQ(Send(h, "Hello\r"), c.fault == std::string("write") ? FT_IO_ERROR : FT_OK);
    ASSERT_EQ(lib.setFault("KT0001", nullptr), 0);
    EXPECT_EQ(c.call(lib, h), FT_OK);
}

FT_STATUS CallReset(D2xxLib& l, FT_HANDLE h) {
    return l.ResetDevice(h);
}
FT_STATUS CallPurge(D2xxLib& l, FT_HANDLE h) {
    return l.Purge(h, FT_PURGE_RX);
}
FT_STATUS CallTimeouts(D2xxLib& l, FT_HANDLE h) {
    return l.SetTimeouts(h, 10, 10);
}
FT_STATUS CallStatus(D2xxLib& l, FT_HANDLE h) {
    DWORD rx, tx, ev;
    return l.GetStatus(h, &rx, &tx, &ev);
}
FT_STATUS CallNotify(D2xxLib& l, FT_HANDLE h) {
    static Event event;
    return l.SetEventNotification(h, FT_EVENT_RXCHAR, &event.e);
}
FT_STATUS CallWrite(D2xxLib& l, FT_HANDLE h) {
    DWORD n;
    char lf = '\n';
    return l.Write(h, &lf, 1, &n);
}
FT_STATUS CallRead(D2xxLib& l, FT_HANDLE h) {
    DWORD n;
    char buf[1];
    return l.Read(h, buf, 0, &n);
}

INSTANTIATE_TEST_SUITE_P(
    Faults, SimUsbFault,
    ::testing::Values(FaultCase{"reset", CallReset}, FaultCase{"purge", CallPurge},
                      FaultCase{"timeouts", CallTimeouts}, FaultCase{"status", CallStatus},
                      FaultCase{"notify", CallNotify}, FaultCase{"write", CallWrite},
                      FaultCase{"read", CallRead}),
    [](const auto& info) { return std::string(info.param.fault); });

TEST_F(SimUsb, OpenAndCloseFaults) {
    ScopedEnv env("KORVA_SIM_USB", nullptr);
    ASSERT_EQ(lib.setFault("KT0001", "open"), 0);
    OpenSerial("KT0001", FT_DEVICE_NOT_OPENED);
    ASSERT_EQ(lib.setFault("KT0001", ""), 0);
    FT_HANDLE h = OpenSerial("KT0001");
    ASSERT_NE(h, nullptr);
    ASSERT_EQ(lib.setFault("KT0001", "close"), 0);
    EXPECT_EQ(lib.Close(h), FT_IO_ERROR);
    ASSERT_EQ(Send(h, "Hello\r"), FT_OK) << "still open";
    EXPECT_EQ(Receive(h, "OK\r"), "OK\r");
    ASSERT_EQ(lib.setFault("KT0001", nullptr), 0);
    EXPECT_EQ(lib.Close(h), FT_OK);
    opened.clear();
    EXPECT_EQ(lib.setFault("KT0001", "no-such-fault"), -1);
}

TEST_F(SimUsb, FaultsFromTheEnvironment) {
    ScopedEnv env("KORVA_SIM_USB", nullptr);
    ScopedEnv faults("KORVA_SIM_USB_FAULTS", "KT0001=open;*=short-write");
    OpenSerial("KT0001", FT_DEVICE_NOT_OPENED);
    FT_HANDLE h = OpenSerial("KT0002");
    ASSERT_NE(h, nullptr);
    DWORD written = 0;
    ASSERT_EQ(Send(h, "0123456789", &written), FT_OK);
    EXPECT_EQ(written, 5u);
}

TEST_F(SimUsb, InjectedReplyAnswersTheNextLineOnly) {
    ScopedEnv env("KORVA_SIM_USB", nullptr);
    FT_HANDLE h = OpenSerial("KT0002");
    ASSERT_EQ(lib.setFault("KT0002", "reply:X POSITION\rOK\r"), 0);
    ASSERT_EQ(Send(h, "Hel"), FT_OK);  // no line yet: nothing taken
    ASSERT_EQ(Send(h, "lo\r"), FT_OK);
    EXPECT_EQ(Receive(h, "OK\r"), "X POSITION\rOK\r");
    ASSERT_EQ(Send(h, "Hello\r"), FT_OK);
    EXPECT_EQ(Receive(h, "OK\r"), "OK\r");
}

TEST_F(SimUsb, PhantomEventCarriesNoData) {
    ScopedEnv env("KORVA_SIM_USB", nullptr);
    FT_HANDLE h = OpenSerial("KT0001");
    Event event;
    ASSERT_EQ(lib.SetEventNotification(h, FT_EVENT_RXCHAR, &event.e), FT_OK);
    EventWaiter waiter(event.e);
    waiter.Start(3000ms);
    ASSERT_EQ(lib.setFault("KT0001", "phantom"), 0);
    EXPECT_EQ(waiter.Result(), 0);
    DWORD rx = 9, tx = 0, ev = 0;
    ASSERT_EQ(lib.GetStatus(h, &rx, &tx, &ev), FT_OK);
    EXPECT_EQ(ev, FT_EVENT_RXCHAR);
    EXPECT_EQ(rx, 0u);
}

TEST_F(SimUsb, VanishedDeviceFailsEverythingAndWakesAWaitingRead) {
    ScopedEnv env("KORVA_SIM_USB", nullptr);
    FT_HANDLE h = OpenSerial("KT0001");
    ASSERT_NE(h, nullptr);
    ASSERT_EQ(lib.SetTimeouts(h, 0, 0), FT_OK);  // 0: wait without limit
    std::atomic<FT_STATUS> readStatus{FT_OK};
    std::atomic<bool> readDone{false};
    std::thread reader([&] {
        char buf[16];
        DWORD n = 0;
        readStatus = lib.Read(h, buf, sizeof buf, &n);
        readDone = true;
    });
    std::this_thread::sleep_for(20ms);
    ASSERT_EQ(lib.setFault("KT0001", "vanish"), 0);
    EXPECT_TRUE(Eventually([&] { return readDone.load(); }, 3s));
    reader.join();
    EXPECT_EQ(readStatus, FT_IO_ERROR);

    DWORD count = 0;
    ASSERT_EQ(lib.ListDevices(&count, nullptr, FT_LIST_NUMBER_ONLY), FT_OK);
    EXPECT_EQ(count, 1u);
    EXPECT_EQ(Send(h, "Hello\r"), FT_IO_ERROR);
    DWORD rx, tx, ev;
    EXPECT_EQ(lib.GetStatus(h, &rx, &tx, &ev), FT_IO_ERROR);
    EXPECT_EQ(lib.Close(h), FT_OK) << "an unplugged device can be let go of";
    opened.clear();
    OpenSerial("KT0001", FT_DEVICE_NOT_FOUND);
    ASSERT_EQ(lib.setFault("KT0001", nullptr), 0);  // plugged in again
    EXPECT_NE(OpenSerial("KT0001"), nullptr);
}

TEST_F(SimUsb, UnlistingAnOpenDeviceIsUnplugging) {
    auto env = std::make_unique<ScopedEnv>("KORVA_SIM_USB", "U1;U2");
    FT_HANDLE h = OpenSerial("U1");
    ASSERT_NE(h, nullptr);
    env.reset();
    env = std::make_unique<ScopedEnv>("KORVA_SIM_USB", "U2");
    DWORD count = 0;
    ASSERT_EQ(lib.ListDevices(&count, nullptr, FT_LIST_NUMBER_ONLY), FT_OK);
    EXPECT_EQ(count, 1u);
    EXPECT_EQ(Send(h, "Hello\r"), FT_IO_ERROR);
}

// A write on one thread and reads on another at the same time, as the binding
// does them: nothing lost, nothing doubled.
TEST_F(SimUsb, ConcurrentWritesAndReads) {
    ScopedEnv env("KORVA_SIM_USB", nullptr);
    FT_HANDLE h = OpenSerial("KT0001");
    ASSERT_NE(h, nullptr);
    ASSERT_EQ(lib.SetTimeouts(h, 5, 1000), FT_OK);
    constexpr int kLines = 300;
    std::string got;
    const auto deadline = std::chrono::steady_clock::now() + 20s;
    std::thread reader([&] {
        char buf[64];
        while (got.size() < kLines * 3u && std::chrono::steady_clock::now() < deadline) {
            DWORD n = 0;
            if (lib.Read(h, buf, sizeof buf, &n) != FT_OK) break;
            got.append(buf, n);
        }
    });
    for (int i = 0; i < kLines; ++i) ASSERT_EQ(Send(h, "Hello\r"), FT_OK);
    reader.join();
    std::string expected;
    for (int i = 0; i < kLines; ++i) expected += "OK\r";
    EXPECT_EQ(got, expected);
}

}  // namespace

KORVA_TRACE_TEST_MAIN
