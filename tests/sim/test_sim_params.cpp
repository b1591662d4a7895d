// Axis parameters: set/query round trips, argument checks, units, defaults.
#include <cctype>
#include <clocale>

#include "SimFixture.h"

namespace korva::sim::test {
namespace {

struct RoundTrip {
    const char* set;
    const char* query;
    const char* reply;  // first line of the query reply
};

// clang-format off
const RoundTrip kRoundTrips[] = {
    {"SetStageStyle X,R", "SetStageStyle? X", "SetStageStyle X,R"},
    {"SetStageStyle Y,T", "SetStageStyle? Y", "SetStageStyle Y,T"},
    {"SetStagePitch Y,2.500000", "SetStagePitch? Y", "SetStagePitch Y,2.500000"},
    {"SetStageStepAngle Z,0.900000", "SetStageStepAngle? Z", "SetStageStepAngle Z,0.900000"},
    {"SetStageMicroStep T,16", "SetStageMicroStep? T", "SetStageMicroStep T,16"},
    {"SetStageDriveRat X,3", "SetStageDriveRat? X", "SetStageDriveRat X,3"},
    {"SetStageRadius X,25", "SetStageRadius? X", "SetStageRadius X,25"},
    {"SetStageDistance X,150.000000", "SetStageDistance? X", "SetStageDistance X,150.000000"},
    {"SetStageWorkState X,C", "SetStageWorkState? X", "SetStageWorkState X,C"},
    {"SetStageWorkState X,O", "SetStageWorkState? X", "SetStageWorkState X,O"},
    {"SetSpeed X,1000.000000", "SetSpeed? X", "SetSpeed X,1000.000000"},
    {"SetInitSpeed Y,2.000000", "SetInitSpeed? Y", "SetInitSpeed Y,2.000000"},
    {"SetAccSpeed Z,100.000000", "SetAccSpeed? Z", "SetAccSpeed Z,100.000000"},
    {"SetDccSpeed T,80.000000", "SetDccSpeed? T", "SetDccSpeed T,80.000000"},
    {"SetHomeSpeed X,3.000000", "SetHomeSpeed? X", "SetHomeSpeed X,3.000000"},
    {"SetHomeSpeedFactor X,0.250000", "SetHomeSpeedFactor? X", "SetHomeSpeedFactor X,0.250000"},
    {"Setsechhomemode X,2", "Setsechhomemode? X", "Setsechhomemode X,2"},
    {"SetUnit X,u", "SetUnit? X", "SetUnit X,U"},
    {"SetUnit X,d", "SetUnit? X", "SetUnit X,D"},
    {"SetUnit X,s", "SetUnit? X", "SetUnit X,S"},
    {"SetUnit X,m", "SetUnit? X", "SetUnit X,M"},
    {"SetUserOrigin X,12.500000", "SetUserOrigin? X", "SetUserOrigin X,12.500000"},
    {"SetUserPositiveLimit X,50.000000", "SetUserPositiveLimit? X", "SetUserPositiveLimit X,50.000000"},
    {"SetUserNegativeLimit X,-50.000000", "SetUserNegativeLimit? X", "SetUserNegativeLimit X,-50.000000"},
    {"SetUserLimitAble X,E", "SetUserlimitable? X", "SetUserlimitable X,E"},
    {"SetUserLimitAble X,D", "SetUserlimitable? X", "SetUserlimitable X,D"},
    {"SetOffset X,-7", "SetOffset? X", "SetOffset X,-7"},
    {"SetEncoderResolution X,0.500000", "SetEncoderResolution? X", "SetEncoderResolution X,0.500000"},
    {"SetEncoderStyle X,Round", "SetEncoderStyle? X", "SetEncoderStyle X,Round"},
    {"SetCommandPulses X,1", "SetCommandPulses? X", "SetCommandPulses X,1"},
    {"SetCommandPulses X,1048576", "SetCommandPulses? X", "SetCommandPulses X,1048576"},
    {"SetStageStepsRev X,3200.000000", "SetStageStepsRev? X", "SetStageStepsRev X,3200.000000"},
};
// clang-format on

void PrintTo(const RoundTrip& rt, std::ostream* os) {
    *os << '"' << rt.set << '"';
}

class ParamRoundTrip : public SimTest, public ::testing::WithParamInterface<RoundTrip> {};

TEST_P(ParamRoundTrip, SetThenQueryAnswersTheValue) {
    const RoundTrip& rt = GetParam();
    EXPECT_EQ(Send(rt.set), "OK\r");
    std::string reply = Send(rt.query);
    EXPECT_EQ(reply, std::string(rt.reply) + "\rOK\r");
    // The host takes field 1 of the second word of the first line.
    std::string expected = rt.reply;
    EXPECT_EQ(ValueField(reply, 1), expected.substr(expected.find(',') + 1));
    EXPECT_EQ(ValueField(reply, 0), expected.substr(expected.find(' ') + 1, 1));
}

// Test names from the set line: "SetUnit X,u" gives SetUnitXu.
std::string RoundTripName(const ::testing::TestParamInfo<RoundTrip>& info) {
    std::string name;
    for (const char* p = info.param.set; *p != '\0'; ++p)
        if (std::isalnum(static_cast<unsigned char>(*p))) name.push_back(*p);
    return name;
}

INSTANTIATE_TEST_SUITE_P(AllParameters, ParamRoundTrip, ::testing::ValuesIn(kRoundTrips),
                         RoundTripName);

struct Refused {
    const char* line;
    const char* reply;
};

// clang-format off
const Refused kRefused[] = {
    {"SetSpeed Q,10", "E01\r"},
    {"SetSpeed x,10", "E01\r"},
    {"SetSpeed? W", "E01\r"},
    {"SetSpeed X,0", "E02\r"},
    {"SetSpeed X,-5", "E02\r"},
    {"SetSpeed X,abc", "E02\r"},
    {"SetSpeed X,12abc", "E02\r"},
    {"SetSpeed X,nan", "E02\r"},
    {"SetSpeed X,inf", "E02\r"},
    {"SetSpeed X", "E02\r"},
    {"SetSpeed X,1,2", "E02\r"},
    {"SetSpeed X,", "E02\r"},
    {"SetSpeed", "E02\r"},
    {"SetSpeed? X,1", "E02\r"},
    {"SetStageMicroStep X,2.5", "E02\r"},
    {"SetCommandPulses X,0", "E02\r"},
    {"SetCommandPulses X,1048577", "E02\r"},
    {"Setsechhomemode X,3", "E02\r"},
    {"SetUnit X,q", "E02\r"},
    {"SetUnit X,mm", "E02\r"},
    {"SetStageStyle X,X", "E02\r"},
    {"SetStageWorkState X,Z", "E02\r"},
    {"SetUserLimitAble X,Y", "E02\r"},
    {"SetEncoderStyle X,a b", "E02\r"},
    {"SetEncoderStyle X,", "E02\r"},
    {"SetStagePitch X,0", "E02\r"},
    {"SetStageStepsRev X,-1600", "E02\r"},
    {"SetHomeSpeedFactor X,0", "E02\r"},
    {"setspeed X,10", "E00\r"},
    {"SetSpeedy X,10", "E00\r"},
};
// clang-format on

TEST_F(SimTest, RefusedParameterCommandsAnswerTheirErrorAndChangeNothing) {
    std::string before = Send("SetSpeed? X");
    for (const Refused& r : kRefused) EXPECT_EQ(Send(r.line), r.reply) << r.line;
    EXPECT_EQ(Send("SetSpeed? X"), before);
    EXPECT_EQ(Send("SetCommandPulses? X"), "SetCommandPulses X,1600\rOK\r");
}

TEST_F(SimTest, ParametersBelongToTheirAxis) {
    ASSERT_EQ(Send("SetSpeed Y,33"), "OK\r");
    EXPECT_EQ(Send("SetSpeed? Y"), "SetSpeed Y,33.000000\rOK\r");
    EXPECT_EQ(Send("SetSpeed? X"), "SetSpeed X,10.000000\rOK\r");
}

TEST_F(SimTest, UnitChangesTheNumbersNotThePhysicalValues) {
    // 5 mm per revolution, 1600 steps per revolution: 10 mm/s is 3200 steps/s.
    ASSERT_EQ(Send("SetUnit X,s"), "OK\r");
    EXPECT_EQ(Send("SetSpeed? X"), "SetSpeed X,3200.000000\rOK\r");
    ASSERT_EQ(Send("SetUnit X,u"), "OK\r");
    EXPECT_EQ(Send("SetSpeed? X"), "SetSpeed X,10000.000000\rOK\r");
    ASSERT_EQ(Send("SetUnit X,d"), "OK\r");
    EXPECT_EQ(Send("SetSpeed? X"), "SetSpeed X,720.000000\rOK\r");

    ASSERT_EQ(Send("SetUnit X,s"), "OK\r");
    ASSERT_EQ(Send("GoPosition X,O,A,P,1600"), "READY\r");
    Run(5);
    ASSERT_EQ(Send("SetUnit X,m"), "OK\r");
    EXPECT_EQ(Send("Position? X"), "Position X,5.000000\rOK\r");
    EXPECT_EQ(Send("EncodeValue? X"), "EncodeValue X,1600\rOK\r");
    ASSERT_EQ(Send("SetStageStepsRev X,3200"), "OK\r");
    EXPECT_EQ(Send("Position? X"), "Position X,2.500000\rOK\r");
}

TEST_F(SimTest, LoaddefaultRestoresFactoryParametersButNotPositions) {
    std::string speed = Send("SetSpeed? X");
    std::string unit = Send("SetUnit? Z");
    ASSERT_EQ(Send("GoPosition X,O,A,P,2"), "READY\r");
    Run(5);
    ASSERT_EQ(Send("SetSpeed X,99"), "OK\r");
    ASSERT_EQ(Send("SetUnit Z,s"), "OK\r");
    ASSERT_EQ(Send("Loaddefault"), "OK\r");
    EXPECT_EQ(Send("SetSpeed? X"), speed);
    EXPECT_EQ(Send("SetUnit? Z"), unit);
    EXPECT_EQ(Send("Position? X"), "Position X,2.000000\rOK\r");
}

TEST_F(SimTest, NumbersIgnoreTheProcessLocale) {
    const char* old = std::setlocale(LC_ALL, nullptr);
    std::string saved = old ? old : "C";
    if (std::setlocale(LC_ALL, "de_DE.UTF-8") == nullptr) GTEST_SKIP() << "no de_DE.UTF-8 locale";
    std::string set = Send("SetSpeed X,12.5");
    std::string reply = Send("SetSpeed? X");
    std::setlocale(LC_ALL, saved.c_str());
    EXPECT_EQ(set, "OK\r");
    EXPECT_EQ(reply, "SetSpeed X,12.500000\rOK\r");
}

}  // namespace
}  // namespace korva::sim::test
