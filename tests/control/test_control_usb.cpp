// Device search and a USB connection through the simulated D2XX library
// (KORVA_FTD2XX points the link at it; KORVA_SIM_USB lists its devices).
#include <gtest/gtest.h>
#include <stdlib.h>

#include "KORVAKT3002CtlInternal.h"

namespace {

class ControlUsb : public ::testing::Test {
  protected:
    void SetUp() override { setenv("KORVA_FTD2XX", KORVA_SIM_D2XX_PATH, 1); }
    void TearDown() override { unsetenv("KORVA_SIM_USB"); }
};

TEST_F(ControlUsb, SearchListsTrimmedSerialsLongerThanOneCharacter) {
    // Four devices: padded, empty, one character, ordinary.
    setenv("KORVA_SIM_USB", " A1 :KT300 USB;:KT300 USB;B:KT300 USB;C33:KT300 USB", 1);
    CKORVAKT3002Ctrl ctl;
    EXPECT_EQ(ctl.SearchKorvaUSBDevice(), 2);
    EXPECT_EQ(ctl.GetKorvaUSBSerial(0), "A1");
    EXPECT_EQ(ctl.GetKorvaUSBSerial(1), "C33");
    EXPECT_EQ(ctl.GetKorvaUSBSerial(2), "");
    EXPECT_EQ(ctl.GetKorvaUSBSerial(-1), "");
    // A new search starts from an empty list.
    setenv("KORVA_SIM_USB", "", 1);
    EXPECT_EQ(ctl.SearchKorvaUSBDevice(), 0);
    EXPECT_EQ(ctl.GetKorvaUSBSerial(0), "");
}

TEST_F(ControlUsb, ConnectsToTheDeviceNamedByUSBSerials) {
    setenv("KORVA_SIM_USB", "KT0001:KT300 USB;KT0002:KT300 USB", 1);
    CKORVAKT3002Ctrl ctl;
    ASSERT_EQ(ctl.SearchKorvaUSBDevice(), 2);
    ctl.SetUSBMODE(true);
    ctl.SetUSBSerials(ctl.GetKorvaUSBSerial(1));
    ASSERT_TRUE(ctl.Connect()) << ctl.GetErrorCode() << " " << ctl.Protocol().GetLinkErrorCode();
    EXPECT_TRUE(ctl.GetIsOpen());
    EXPECT_EQ(ctl.GetSystemInfo(), 1);  // the simulator's default model
    ctl.SetUSBMODE(false);              // refused while open
    EXPECT_TRUE(ctl.GetUSBMODE());
    ctl.DisConnect();
    EXPECT_FALSE(ctl.GetIsOpen());
}

}  // namespace
