// What both of our D2XX libraries promise any host: the fourteen names and
// nothing of ours exported, stale or foreign handles refused, arguments
// checked, unknown devices not found.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "D2xxLib.h"

using korva::test::Arg;
using korva::test::D2xxLib;

namespace {

std::vector<std::string> Libraries() {
    std::vector<std::string> paths{KORVA_FTD2XX_HW_PATH};
    if (std::string(KORVA_FTD2XX_SIM_PATH).size() > 0) paths.emplace_back(KORVA_FTD2XX_SIM_PATH);
    return paths;
}

class D2xxApi : public ::testing::TestWithParam<std::string> {
  protected:
    void SetUp() override { ASSERT_TRUE(lib.Ok()) << lib.error << " missing: " << lib.missing; }
    D2xxLib lib{GetParam()};
};

TEST_P(D2xxApi, ExportsTheD2xxNamesButNothingOfOurs) {
    // Our trace function and the backends' classes stay inside the library.
    EXPECT_EQ(dlsym(lib.handle, "_ZN5korva5TraceEPKcz"), nullptr);
    EXPECT_EQ(dlsym(lib.handle, "_ZN5korva5d2xx10TheBackendEv"), nullptr);
}

TEST_P(D2xxApi, RefusesHandlesItDidNotHandOut) {
    std::uint8_t buf[8] = {};
    DWORD n = 0, rx = 0, tx = 0, ev = 0;
    EVENT_HANDLE event{};
    for (FT_HANDLE h : {FT_HANDLE{nullptr}, reinterpret_cast<FT_HANDLE>(0x1234),
                        reinterpret_cast<FT_HANDLE>(&event)}) {
        SCOPED_TRACE(reinterpret_cast<std::uintptr_t>(h));
        EXPECT_EQ(lib.Close(h), FT_INVALID_HANDLE);
        EXPECT_EQ(lib.Read(h, buf, sizeof buf, &n), FT_INVALID_HANDLE);
        EXPECT_EQ(lib.Write(h, buf, sizeof buf, &n), FT_INVALID_HANDLE);
        EXPECT_EQ(lib.ResetDevice(h), FT_INVALID_HANDLE);
        EXPECT_EQ(lib.Purge(h, FT_PURGE_RX), FT_INVALID_HANDLE);
        EXPECT_EQ(lib.SetTimeouts(h, 10, 10), FT_INVALID_HANDLE);
        EXPECT_EQ(lib.GetQueueStatus(h, &n), FT_INVALID_HANDLE);
        EXPECT_EQ(lib.GetStatus(h, &rx, &tx, &ev), FT_INVALID_HANDLE);
        EXPECT_EQ(lib.SetEventNotification(h, FT_EVENT_RXCHAR, &event), FT_INVALID_HANDLE);
        EXPECT_EQ(lib.SetUSBParameters(h, 64, 64), FT_INVALID_HANDLE);
        EXPECT_EQ(lib.SetLatencyTimer(h, 2), FT_INVALID_HANDLE);
    }
}

TEST_P(D2xxApi, ChecksArgumentsAndFindsNoUnknownDevice) {
    DWORD count = 0;
    ASSERT_EQ(lib.ListDevices(&count, nullptr, FT_LIST_NUMBER_ONLY), FT_OK);
    char text[64] = {};
    DWORD location = 0;
    FT_HANDLE h = nullptr;
    EXPECT_EQ(lib.ListDevices(nullptr, nullptr, FT_LIST_NUMBER_ONLY), FT_INVALID_PARAMETER);
    EXPECT_EQ(lib.ListDevices(&count, nullptr, 0), FT_INVALID_PARAMETER);
    EXPECT_EQ(lib.ListDevices(Arg(0), nullptr, FT_LIST_BY_INDEX | FT_OPEN_BY_SERIAL_NUMBER),
              FT_INVALID_PARAMETER);
    EXPECT_EQ(lib.ListDevices(Arg(count), text, FT_LIST_BY_INDEX | FT_OPEN_BY_SERIAL_NUMBER),
              FT_DEVICE_NOT_FOUND);
    EXPECT_EQ(lib.ListDevices(Arg(count), &location, FT_LIST_BY_INDEX | FT_OPEN_BY_LOCATION),
              FT_DEVICE_NOT_FOUND);
    EXPECT_EQ(lib.ListDevices(nullptr, &count, FT_LIST_ALL | FT_OPEN_BY_DESCRIPTION),
              FT_INVALID_PARAMETER);

    struct OpenCase {
        const char* name;
        PVOID arg;
        DWORD flags;
        FT_HANDLE* out;
        FT_STATUS expected;
    } cases[] = {
        {"unknown serial", const_cast<char*>("KORVA-NO-SUCH"), FT_OPEN_BY_SERIAL_NUMBER, &h,
         FT_DEVICE_NOT_FOUND},
        {"empty serial", const_cast<char*>(""), FT_OPEN_BY_SERIAL_NUMBER, &h, FT_DEVICE_NOT_FOUND},
        {"null serial", nullptr, FT_OPEN_BY_SERIAL_NUMBER, &h, FT_DEVICE_NOT_FOUND},
        {"unknown description", const_cast<char*>("no such"), FT_OPEN_BY_DESCRIPTION, &h,
         FT_DEVICE_NOT_FOUND},
        {"unknown location", Arg(0xfffffff0), FT_OPEN_BY_LOCATION, &h, FT_DEVICE_NOT_FOUND},
        {"no flags", const_cast<char*>("KT0001"), 0, &h, FT_INVALID_PARAMETER},
        {"two flags", const_cast<char*>("KT0001"), 3, &h, FT_INVALID_PARAMETER},
        {"no handle out", const_cast<char*>("KT0001"), FT_OPEN_BY_SERIAL_NUMBER, nullptr,
         FT_INVALID_PARAMETER},
    };
    for (const OpenCase& c : cases) {
        h = nullptr;
        EXPECT_EQ(lib.OpenEx(c.arg, c.flags, c.out), c.expected) << c.name;
        EXPECT_EQ(h, nullptr) << c.name;
    }
    EXPECT_EQ(lib.Open(-1, &h), FT_INVALID_PARAMETER);
    EXPECT_EQ(lib.Open(static_cast<int>(count), &h), FT_DEVICE_NOT_FOUND);
    EXPECT_EQ(lib.Open(0, nullptr), FT_INVALID_PARAMETER);
}

INSTANTIATE_TEST_SUITE_P(Libraries, D2xxApi, ::testing::ValuesIn(Libraries()),
                         [](const auto& info) {
                             return info.param.find("sim") != std::string::npos ? "sim"
                                                                                : "hardware";
                         });

// On a machine without an FTDI chip (every CI machine) the hardware library
// lists nothing and opens nothing, cleanly.
TEST(D2xxHardware, ListsNoDeviceWithoutTheChip) {
    D2xxLib lib(KORVA_FTD2XX_HW_PATH);
    ASSERT_TRUE(lib.Ok()) << lib.error << " missing: " << lib.missing;
    DWORD count = 99;
    ASSERT_EQ(lib.ListDevices(&count, nullptr, FT_LIST_NUMBER_ONLY), FT_OK);
    if (count != 0) GTEST_SKIP() << count << " FTDI device(s) attached";
    char* none[1] = {nullptr};
    DWORD listed = 99;
    EXPECT_EQ(lib.ListDevices(none, &listed, FT_LIST_ALL | FT_OPEN_BY_SERIAL_NUMBER), FT_OK);
    EXPECT_EQ(listed, 0u);
    FT_HANDLE h = nullptr;
    EXPECT_EQ(lib.Open(0, &h), FT_DEVICE_NOT_FOUND);
    EXPECT_EQ(h, nullptr);
}

}  // namespace
