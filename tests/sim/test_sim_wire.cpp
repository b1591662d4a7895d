// Line handling, error replies, injected faults, controller selection and
// system queries.
#include "SimFixture.h"

namespace korva::sim::test {
namespace {

TEST_F(SimTest, LinesMayArriveInPiecesAndTogether) {
    EXPECT_EQ(engine.Feed("SetSp"), "");
    EXPECT_EQ(engine.Feed("eed? X"), "");
    EXPECT_EQ(engine.Feed("\r"), "SetSpeed X,10.000000\rOK\r");
    EXPECT_EQ(engine.Feed("Hello\r\n"), "OK\r");
    EXPECT_EQ(engine.Feed("\nHel\nlo\r"), "OK\r");  // line feeds are ignored
    EXPECT_EQ(engine.Feed("Hello\rID?\rSetUnit? T\r"), "OK\rID 1\rOK\rSetUnit T,M\rOK\r");
    EXPECT_EQ(engine.Feed("\r\r  \r"), "");  // empty lines are no commands
    EXPECT_EQ(engine.Feed("  SetSpeed   X , 5  \r"), "OK\r");
    EXPECT_EQ(Send("SetSpeed? X"), "SetSpeed X,5.000000\rOK\r");
}

TEST_F(SimTest, GarbageGetsAnErrorAndTheEngineKeepsWorking) {
    struct {
        std::string line;
        const char* reply;
    } cases[] = {
        {std::string("\x01\x02\xff", 3), "E00\r"},
        {std::string("Hel\0lo", 6), "E00\r"},
        {"hello", "E00\r"},
        {"Hello X", "E02\r"},
        {"Position?", "E02\r"},
        {"Position? X,Y", "E02\r"},
        {"Position? Q", "E01\r"},
        {"PORTOUTPUT 257", "E02\r"},
        {"PORTOUTPUT -1", "E02\r"},
        {"PORTOUTPUT", "E02\r"},
        {"select 0", "E02\r"},
        {"select 2", "E02\r"},
        {"GoPosition X,O,R,P,1e999", "E02\r"},
        {"GoPosition X,O,R,P,1e300", "E02\r"},
        {"GoPosition X,O,X,P,1", "E02\r"},
        {",,,", "E00\r"},
        {std::string(5000, 'A'), "E00\r"},
    };
    for (const auto& c : cases) EXPECT_EQ(Send(c.line), c.reply) << c.line;
    EXPECT_EQ(Send("PORTOUTPUT 256"), "OK\r");
    EXPECT_EQ(engine.Outputs(), 256);
    EXPECT_EQ(Send("Hello"), "OK\r");
}

TEST_F(SimTest, PortsAndHandshake) {
    engine.SetInputs(0xA5);
    EXPECT_EQ(Send("PORTINPUT?"), "PORTINPUT 165\rOK\r");
    EXPECT_EQ(Send("PORTOUTPUT 7"), "OK\r");
    EXPECT_EQ(engine.Outputs(), 7);
    // The host refuses a handshake reply containing "L" or "POSITION".
    std::string hello = Send("Hello");
    EXPECT_EQ(hello, "OK\r");
}

TEST_F(SimTest, InjectedFaults) {
    engine.SetFault({SimFault::Kind::kNoReply, 2});
    EXPECT_EQ(Send("SetSpeed X,5"), "");
    EXPECT_EQ(Send("Hello"), "");
    EXPECT_EQ(Send("SetSpeed? X"), "SetSpeed X,10.000000\rOK\r");  // the lost set did nothing

    SimFault err{SimFault::Kind::kErrorReply, 1};
    err.errorCode = 3;
    engine.SetFault(err);
    EXPECT_EQ(Send("SetSpeed X,5"), "E03\r");
    EXPECT_EQ(Send("SetSpeed? X"), "SetSpeed X,10.000000\rOK\r");

    SimFault junk{SimFault::Kind::kGarbage, 1};
    junk.garbage = "#~";
    engine.SetFault(junk);
    EXPECT_EQ(Send("Hello"), "#~OK\r");
    EXPECT_EQ(Send("Hello"), "OK\r");

    engine.SetFault({SimFault::Kind::kNoReply, 5});
    engine.ClearFaults();
    EXPECT_EQ(Send("Hello"), "OK\r");
}

TEST_F(SimTest, ALostCommandDoesNotCountAsArrived) {
    ASSERT_EQ(Send("GoPosition X,O,R,P,1"), "READY\r");
    engine.SetFault({SimFault::Kind::kNoReply, 1});
    EXPECT_EQ(Send("Position? X"), "");
    std::string out;
    ASSERT_GT(TimeUntilOutput(&out), 0);
    EXPECT_EQ(out, "X STOP\rOK\r");
}

TEST_F(SimTest, SystemInfoNamesTheModel) {
    std::string reply = Send("SystemInfo?");
    EXPECT_EQ(ValueField(reply, 0), "KT3007Q");
    EXPECT_EQ(reply.substr(reply.size() - 4), "\rOK\r");
    Engine rsx(SimOptions{"KT300RSX"});
    EXPECT_EQ(ValueField(rsx.Feed("SystemInfo?\r"), 0), "KT300RSX");
    EXPECT_EQ(Send("SystemInfo? X"), "E02\r");
}

class MultiTest : public SimTest {
  protected:
    MultiTest() : SimTest(SimOptions{"KT3007Q", 3}) {}
};

TEST_F(MultiTest, SelectChoosesWhichControllerAnswers) {
    EXPECT_EQ(Send("ID?"), "ID 1\rOK\r");
    EXPECT_EQ(Send("select 2"), "OK\r");
    EXPECT_EQ(ValueField(Send("ID?"), 0), "2");
    ASSERT_EQ(Send("SetSpeed X,42"), "OK\r");
    ASSERT_EQ(Send("GoPosition Y,O,R,P,1"), "READY\r");
    EXPECT_EQ(Send("select 4"), "E02\r");
    EXPECT_EQ(Send("ID?"), "ID 2\rOK\r");
    Run(5);
    EXPECT_NEAR(engine.Position(2, 1), 1, 1e-9);
    EXPECT_EQ(engine.Position(1, 1), 0);

    EXPECT_EQ(Send("select 3"), "OK\r");
    EXPECT_EQ(Send("SetSpeed? X"), "SetSpeed X,10.000000\rOK\r");
    EXPECT_EQ(Send("end"), "OK\r");  // back to the first controller
    EXPECT_EQ(Send("ID?"), "ID 1\rOK\r");
    EXPECT_EQ(Send("SetSpeed? X"), "SetSpeed X,10.000000\rOK\r");
    // Controller 2 keeps its unreported stop until it answers again.
    EXPECT_EQ(Send("select 2"), "Y STOP\rOK\r");
    EXPECT_EQ(Send("SetSpeed? X"), "SetSpeed X,42.000000\rOK\r");
    engine.SetInputs(2, 9);
    EXPECT_EQ(Send("PORTINPUT?"), "PORTINPUT 9\rOK\r");
    EXPECT_EQ(Send("select 1"), "OK\r");
    EXPECT_EQ(Send("PORTINPUT?"), "PORTINPUT 0\rOK\r");
}

}  // namespace
}  // namespace korva::sim::test
