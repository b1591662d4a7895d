// The command link and the protocol in USB mode, end to end against the
// simulator library: bytes from the simulated controller reach the link's
// receive buffer through KorvaUSB, and every USB failure becomes its link code.
#include <gtest/gtest.h>

#include <string>

#include "D2xxLib.h"
#include "KT300Protocol.h"
#include "KorvaComPort.h"
#include "TestEnv.h"

using korva::test::D2xxLib;
using korva::test::ScopedEnv;

namespace {

D2xxLib& Sim() {
    static D2xxLib lib(KORVA_FTD2XX_SIM_PATH);
    return lib;
}

class UsbLink : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(Sim().Ok()) << Sim().error;
        Sim().setFault(nullptr, nullptr);
    }
    void TearDown() override { Sim().setFault(nullptr, nullptr); }

    static void UseUsb(KorvaComPort& link, const char* serial) {
        ASSERT_TRUE(link.SetUSBMode(true));
        link.SetUSBSerial(serial);
    }
    static std::string Received(KorvaComPort& link) {
        std::string text;
        link.GetReceivedText(text);
        return text;
    }

    ScopedEnv m_lib{"KORVA_FTD2XX", KORVA_FTD2XX_SIM_PATH};
    ScopedEnv m_devices{"KORVA_SIM_USB", nullptr};
};

TEST_F(UsbLink, HandshakeAndExchanges) {
    KorvaComPort link;
    UseUsb(link, "KT0001");
    ASSERT_TRUE(link.OpenLink()) << link.GetLinkErrorText();
    ASSERT_TRUE(link.SendWaitResponse("Hello", 3000)) << link.GetLinkErrorCode();
    EXPECT_EQ(Received(link).substr(0, 2), "OK");
    ASSERT_TRUE(link.SendWaitResponse("SetSpeed X,250", 2000));
    ASSERT_TRUE(link.SendWaitResponse("SetSpeed? X", 2000));
    EXPECT_EQ(Received(link).find("SetSpeed X,250.000000\r"), 0u) << Received(link);
    ASSERT_TRUE(link.SendWaitEndFlag("Position? X", 2000));
    EXPECT_EQ(Received(link).find("Position X,"), 0u);
    const std::uint8_t raw[] = {'H', 'e', 'l', 'l', 'o'};
    ASSERT_TRUE(link.SendBytesWaitCount(raw, sizeof raw, 3, 2000));
    EXPECT_TRUE(link.CloseLink());
    EXPECT_FALSE(link.IsLinkOpen());
    EXPECT_TRUE(link.CloseLink()) << "closing a closed link";
}

TEST_F(UsbLink, ListsTheDevices) {
    ScopedEnv devices("KORVA_SIM_USB", "A1:One;:Blank;C3:Three");
    KorvaComPort link;
    int count = 0;
    ASSERT_TRUE(link.GetUSBDeviceCount(&count));
    ASSERT_EQ(count, 3);
    std::string serial;
    ASSERT_TRUE(link.GetUSBDeviceSerial(1, serial));
    EXPECT_EQ(serial, "");
    ASSERT_TRUE(link.GetUSBDeviceSerial(2, serial));
    EXPECT_EQ(serial, "C3");
    EXPECT_FALSE(link.GetUSBDeviceSerial(3, serial));
}

TEST_F(UsbLink, OpenWriteAndCloseFailuresGiveTheirCodes) {
    KorvaComPort link;
    UseUsb(link, "NO-SUCH");
    EXPECT_FALSE(link.OpenLink());
    EXPECT_EQ(link.GetLinkErrorCode(), KorvaComPort::kErrOpenUsb);
    EXPECT_EQ(link.GetLinkErrorText(), "Open USB device failure!");

    link.SetUSBSerial("KT0001");
    ASSERT_TRUE(link.OpenLink());
    Sim().setFault("KT0001", "write");
    EXPECT_FALSE(link.SendWaitResponse("Hello", 1000));
    EXPECT_EQ(link.GetLinkErrorCode(), KorvaComPort::kErrUsbWrite);
    Sim().setFault("KT0001", "short-write");
    EXPECT_FALSE(link.SendNoWait("Hello"));
    EXPECT_EQ(link.GetLinkErrorCode(), KorvaComPort::kErrUsbWrite);

    Sim().setFault("KT0001", nullptr);
    Sim().setFault("KT0001", "close");
    EXPECT_FALSE(link.CloseLink());
    EXPECT_EQ(link.GetLinkErrorCode(), KorvaComPort::kErrCloseUsb);
    EXPECT_FALSE(link.IsLinkOpen());
    // The device itself is still open and still cannot be closed: no reopen.
    EXPECT_FALSE(link.OpenLink());
    EXPECT_EQ(link.GetLinkErrorCode(), KorvaComPort::kErrOpenUsb);
    Sim().setFault("KT0001", nullptr);
    ASSERT_TRUE(link.OpenLink());
    EXPECT_TRUE(link.SendWaitResponse("Hello", 3000));
    EXPECT_TRUE(link.CloseLink());
}

TEST_F(UsbLink, SilentOrVanishedDeviceFailsWithoutHanging) {
    KorvaComPort link;
    UseUsb(link, "KT0001");
    Sim().setFault("KT0001", "notify");
    ASSERT_TRUE(link.OpenLink()) << "open, but nothing is ever received";
    EXPECT_FALSE(link.SendWaitResponse("Hello", 200));
    EXPECT_EQ(link.GetLinkErrorCode(), KorvaComPort::kErrNoFlag);
    EXPECT_TRUE(link.CloseLink());

    Sim().setFault("KT0001", nullptr);
    ASSERT_TRUE(link.OpenLink());
    ASSERT_TRUE(link.SendWaitResponse("Hello", 3000));
    Sim().setFault("KT0001", "vanish");
    EXPECT_FALSE(link.SendWaitResponse("Hello", 3000));
    EXPECT_EQ(link.GetLinkErrorCode(), KorvaComPort::kErrUsbWrite);
    EXPECT_TRUE(link.CloseLink());
    EXPECT_FALSE(link.OpenLink());
    EXPECT_EQ(link.GetLinkErrorCode(), KorvaComPort::kErrOpenUsb);
}

TEST_F(UsbLink, ProtocolConnectsAndTalksOverUsb) {
    KT300Protocol protocol;
    UseUsb(protocol, "KT0002");
    ASSERT_TRUE(protocol.Connect())
        << protocol.GetErrorCode() << " " << protocol.GetLinkErrorCode();
    EXPECT_TRUE(protocol.IsConnected());
    ASSERT_TRUE(protocol.SetSpeed(1, 321.5f));
    float speed = -1;
    ASSERT_TRUE(protocol.GetSpeed(1, &speed));
    EXPECT_FLOAT_EQ(speed, 321.5f);
    EXPECT_TRUE(protocol.Disconnect());
}

// The handshake check for "L"/"POSITION" in the reply belongs to COM links.
TEST_F(UsbLink, HandshakeReplyWithPositionPassesOverUsb) {
    KT300Protocol protocol;
    UseUsb(protocol, "KT0001");
    ASSERT_EQ(Sim().setFault("KT0001", "reply:X POSITION\rOK\r"), 0);
    ASSERT_TRUE(protocol.Connect()) << protocol.GetErrorCode();
    EXPECT_EQ(protocol.GetErrorCode(), 0);
    EXPECT_NE(protocol.GetReply().find("POSITION"), std::string::npos) << protocol.GetReply();
    EXPECT_TRUE(protocol.Disconnect());
}

TEST_F(UsbLink, ProtocolConnectFailsCleanlyWithoutTheDevice) {
    ScopedEnv devices("KORVA_SIM_USB", "");
    KT300Protocol protocol;
    UseUsb(protocol, "KT0001");
    EXPECT_FALSE(protocol.Connect());
    EXPECT_EQ(protocol.GetLinkErrorCode(), KorvaComPort::kErrOpenUsb);
    EXPECT_FALSE(protocol.IsConnected());
}

}  // namespace

KORVA_TRACE_TEST_MAIN
