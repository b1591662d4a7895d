// Numbers on the wire do not follow the process locale.
#include <clocale>
#include <string>

#include "ProtocolFixture.h"

namespace korva::test {
namespace {

class CommaLocale : public ProtocolOnPty {
  protected:
    void SetUp() override {
        ProtocolOnPty::SetUp();
        saved_ = std::setlocale(LC_ALL, nullptr);
        if (!std::setlocale(LC_ALL, "de_DE.UTF-8")) GTEST_SKIP() << "de_DE.UTF-8 not installed";
        switched_ = true;
    }
    void TearDown() override {
        if (switched_) std::setlocale(LC_ALL, saved_.c_str());
    }
    std::string saved_;
    bool switched_ = false;
};

TEST_F(CommaLocale, NumbersKeepTheirPoint) {
    char probe[32];
    std::snprintf(probe, sizeof probe, "%.1f", 1.5);
    ASSERT_STREQ(probe, "1,5") << "the locale did not switch the decimal point";

    ConnectPlain();
    peer.Expect("SetSpeed X,1000.000000", "OK\r");
    EXPECT_TRUE(proto.SetSpeed(0, 1000.0f));
    peer.Expect("SetSpeed? X", "SetSpeed X,1.5\rOK\r");
    float speed = 0;
    EXPECT_TRUE(proto.GetSpeed(0, &speed));
    EXPECT_EQ(speed, 1.5f);
    peer.Expect("Position? Y", "Position Y,-0.25\rOK\r");
    double pos = 0;
    EXPECT_TRUE(proto.GetPosition(1, &pos));
    EXPECT_EQ(pos, -0.25);
    EXPECT_EQ(peer.Lines(),
              (std::vector<std::string>{"SetSpeed X,1000.000000", "SetSpeed? X", "Position? Y"}));
    EXPECT_TRUE(peer.Unexpected().empty());
}

}  // namespace
}  // namespace korva::test
