// Finding and binding the D2XX library: the lookup order, a library that is
// missing or lacks a name, and our hardware library on a machine without the
// chip. The COM channel keeps working whatever happens to USB.
#include <gtest/gtest.h>

#include <string>

#include "KorvaComPort.h"
#include "PtyPair.h"
#include "ScriptedPeer.h"
#include "TestEnv.h"
#include "UsbFifoInterface.h"

using korva::test::ScopedEnv;
using korva::test::TraceOf;

namespace {

constexpr const char* kMissing = "/nonexistent/libno_such_ftd2xx.so";

TEST(UsbLibrary, MissingLibraryFailsEveryOperationCleanly) {
    ScopedEnv lib("KORVA_FTD2XX", kMissing);
    UsbFifoInterface usb;
    bool loaded = true;
    EXPECT_EQ(TraceOf([&] {
                  loaded = usb.Initialize(nullptr, 0);
              }).find("Error: Can't Load ft8u245.dll\n"),
              0u);
    EXPECT_FALSE(loaded);
    EXPECT_TRUE(usb.LibraryPath().empty());

    int count = 7;
    EXPECT_EQ(TraceOf([&] { EXPECT_FALSE(usb.GetDeviceCount(&count)); }),
              "FT_ListDevices is not valid!\nGet Device number failed.\n");
    EXPECT_EQ(count, 0);
    std::string text = "unchanged";
    long location = 5;
    EXPECT_EQ(TraceOf([&] { EXPECT_FALSE(usb.GetSerialNumber(0, text)); }),
              "FT_ListDevices is not valid!\nGet Series Number failed.\n");
    EXPECT_EQ(TraceOf([&] { EXPECT_FALSE(usb.GetDescription(0, text)); }),
              "FT_ListDevices is not valid!\nGet Description failed.\n");
    EXPECT_EQ(TraceOf([&] { EXPECT_FALSE(usb.GetLocation(0, &location)); }),
              "FT_ListDevices is not valid!\nGet Location failed.\n");
    EXPECT_EQ(text, "unchanged");
    EXPECT_EQ(location, 5);

    EXPECT_EQ(TraceOf([&] { EXPECT_FALSE(usb.OpenBySerial("KT0001")); }),
              "FT_OpenEx is not valid!\nOpen device failed.\n");
    EXPECT_EQ(usb.LastStatus(), 1u);
    EXPECT_EQ(usb.GetOpenSerial(), "KT0001");
    EXPECT_FALSE(usb.IsOpen());
    std::vector<std::uint8_t> bytes{'H', 'i'};
    EXPECT_FALSE(usb.Write(bytes, 3000));
    EXPECT_FALSE(usb.Read(bytes, 3000));
    EXPECT_TRUE(usb.Close());
}

TEST(UsbLibrary, LinkReportsOpenFailureAndComStillWorks) {
    ScopedEnv lib("KORVA_FTD2XX", kMissing);
    korva::test::PtyPair pty;
    ASSERT_TRUE(pty.Ok()) << pty.Error();
    korva::test::ScriptedPeer peer(pty);
    peer.Expect("Hello", "OK\r");
    ScopedEnv com("KORVA_COM1", pty.SlavePath().c_str());

    KorvaComPort link;
    int count = 3;
    EXPECT_FALSE(link.GetUSBDeviceCount(&count));
    EXPECT_EQ(count, 0);
    ASSERT_TRUE(link.SetUSBMode(true));
    link.SetUSBSerial("KT0001");
    EXPECT_FALSE(link.OpenLink());
    EXPECT_EQ(link.GetLinkErrorCode(), KorvaComPort::kErrOpenUsb);
    EXPECT_EQ(link.GetLinkErrorText(), "Open USB device failure!");
    EXPECT_FALSE(link.IsLinkOpen());
    EXPECT_FALSE(link.SendWaitResponse("Hello", 100));
    EXPECT_EQ(link.GetLinkErrorCode(), KorvaComPort::kErrNotOpen);

    ASSERT_TRUE(link.SetUSBMode(false));
    ASSERT_TRUE(link.OpenLink()) << link.GetLinkErrorText();
    EXPECT_TRUE(link.SendWaitResponse("Hello", 3000)) << link.GetLinkErrorCode();
    std::string reply;
    link.GetReceivedText(reply);
    EXPECT_EQ(reply.substr(0, 2), "OK");
    EXPECT_TRUE(link.CloseLink());
}

// Loading stops at the first name missing; what was resolved before it stays usable.
struct PartialCase {
    const char* omitted;
    const char* path;
    bool countWorks;  // FT_ListDevices comes after FT_Write in the resolution order
};

class UsbPartialLibrary : public ::testing::TestWithParam<PartialCase> {};

TEST_P(UsbPartialLibrary, StopsAtTheMissingName) {
    const PartialCase& c = GetParam();
    ScopedEnv lib("KORVA_FTD2XX", c.path);
    UsbFifoInterface usb;
    bool loaded = true;
    const std::string trace = TraceOf([&] { loaded = usb.Initialize(nullptr, 0); });
    EXPECT_FALSE(loaded);
    EXPECT_EQ(trace, std::string("Error: Can't Find ") + c.omitted + "\n");
    EXPECT_EQ(usb.LibraryPath(), c.path);

    int count = -1;
    EXPECT_EQ(usb.GetDeviceCount(&count), c.countWorks);
    EXPECT_EQ(count, c.countWorks ? 1 : 0);
    const std::string openTrace =
        TraceOf([&] { EXPECT_EQ(usb.OpenBySerial("FAKE01"), c.countWorks); });
    if (!c.countWorks) {
        EXPECT_EQ(openTrace, "FT_OpenEx is not valid!\nOpen device failed.\n");
    }
    if (c.countWorks) {
        // Everything the open needs was resolved; the one missing name is never called.
        std::vector<std::uint8_t> bytes{'x'};
        EXPECT_TRUE(usb.Write(bytes, 100));
        EXPECT_TRUE(usb.Close());
    }
}

INSTANTIATE_TEST_SUITE_P(Omitted, UsbPartialLibrary,
                         ::testing::Values(PartialCase{"FT_Write", KORVA_FAKE_NO_FT_Write, false},
                                           PartialCase{"FT_SetLatencyTimer",
                                                       KORVA_FAKE_NO_FT_SetLatencyTimer, true}),
                         [](const auto& info) { return std::string(info.param.omitted); });

TEST(UsbLibrary, LookupHappensAtEveryLoad) {
    UsbFifoInterface usb;
    {
        ScopedEnv lib("KORVA_FTD2XX", kMissing);
        EXPECT_FALSE(usb.LoadDriverLibrary());
    }
    {
        ScopedEnv lib("KORVA_FTD2XX", KORVA_FAKE_COMPLETE);
        EXPECT_TRUE(usb.LoadDriverLibrary());
        EXPECT_EQ(usb.LibraryPath(), KORVA_FAKE_COMPLETE);
        ASSERT_TRUE(usb.OpenBySerial("FAKE01"));
        // The open handle belongs to this library: no switching under it.
        ScopedEnv other("KORVA_FTD2XX", kMissing);
        EXPECT_FALSE(usb.LoadDriverLibrary());
        EXPECT_EQ(usb.LibraryPath(), KORVA_FAKE_COMPLETE);
        EXPECT_TRUE(usb.Close());
    }
    {
        // Unset: the vendor's library if installed, else ours from ../lib beside the program.
        ScopedEnv lib("KORVA_FTD2XX", nullptr);
        ASSERT_TRUE(usb.LoadDriverLibrary());
        const std::string path = usb.LibraryPath();
        EXPECT_TRUE(path == "libftd2xx.so" ||
                    (path.size() > 18 && path.substr(path.size() - 18) == "libkorva_ftd2xx.so"))
            << path;
    }
}

TEST(UsbLibrary, HardwareLibraryWithoutTheChip) {
    ScopedEnv lib("KORVA_FTD2XX", KORVA_FTD2XX_HW_PATH);
    KorvaComPort link;  // binds in its constructor
    int count = -1;
    ASSERT_TRUE(link.GetUSBDeviceCount(&count));
    if (count != 0) GTEST_SKIP() << count << " FTDI device(s) attached";
    std::string serial = "unchanged";
    EXPECT_FALSE(link.GetUSBDeviceSerial(0, serial));
    EXPECT_EQ(serial, "unchanged");
    link.SetUSBMode(true);
    link.SetUSBSerial("KT0001");
    EXPECT_FALSE(link.OpenLink());
    EXPECT_EQ(link.GetLinkErrorCode(), KorvaComPort::kErrOpenUsb);
    EXPECT_TRUE(link.CloseLink());
}

}  // namespace

KORVA_TRACE_TEST_MAIN
