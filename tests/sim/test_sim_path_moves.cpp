// Interpolated moves as a host runs a drawing: each line and arc starts where
// the previous one ended and is given relative to that point; "P" turns
// counter-clockwise and "N" clockwise (first axis to the right, second up).
#include <cmath>

#include "SimFixture.h"

namespace korva::sim::test {
namespace {

class SimPathMoves : public SimTest {
  protected:
    // Sends one move and runs it to its end.
    void Move(const std::string& line) {
        ASSERT_EQ(Send(line), "READY\r") << line;
        std::string out;
        ASSERT_GT(TimeUntilOutput(&out), 0) << line;
    }
    void ExpectAt(double x, double y, const std::string& after) {
        EXPECT_NEAR(engine.Position(1, 0), x, 1e-6) << after;
        EXPECT_NEAR(engine.Position(1, 1), y, 1e-6) << after;
    }
};

TEST_F(SimPathMoves, ConsecutiveMovesAddUp) {
    Move("GoInterpolationline2 X,10.000000,Y,0.000000");
    ExpectAt(10, 0, "a line from the origin");
    Move("GoInterpolationArc X,Y,0.000000,8.000000,0.000000,4.000000,P");
    ExpectAt(10, 8, "a half circle from where the line ended");
    Move("GoInterpolationline2 X,2.000000,Y,0.000000");
    ExpectAt(12, 8, "a line from where the arc ended");
    Move("GoInterpolationArc X,Y,4.000000,0.000000,2.000000,0.000000,N");
    ExpectAt(16, 8, "a clockwise half circle");
    Move("GoInterpolationline2 X,-16.000000,Y,-8.000000");
    ExpectAt(0, 0, "back by the sum of the moves");
    // A repeated line keeps going: the same distance again.
    Move("GoInterpolationline2 Y,1.5,X,0");
    Move("GoInterpolationline2 Y,1.5,X,0");
    ExpectAt(0, 3, "the same line twice");
}

// The side an arc takes shows which way it turned: the half circle from
// (10, 8) to (10, 16) about (10, 12) passes (14, 12) counter-clockwise and
// (6, 12) clockwise.
TEST_F(SimPathMoves, PTurnsCounterClockwiseAndNClockwise) {
    struct Case {
        const char* letter;
        double sideX;
    } cases[] = {{"P", 14}, {"N", 6}};
    for (const Case& c : cases) {
        // To the start (10, 8); a stop of the last move may come along.
        ASSERT_EQ(Send("GoPosition X,O,A,P,10").rfind("READY\r", 0), 0u);
        ASSERT_EQ(Send("GoPosition Y,O,A,P,8").rfind("READY\r", 0), 0u);
        Run(10);
        const std::string arc =
            std::string("GoInterpolationArc X,Y,0.000000,8.000000,0.000000,4.000000,") + c.letter;
        ASSERT_EQ(Send(arc), "READY\r");
        // Sample the way: it stays on the circle and reaches the side.
        double farthest = 10;
        std::string out;
        for (int i = 0; i < 20000 && out.empty(); ++i) {
            now += 0.001;
            out = engine.Poll();
            const double x = engine.Position(1, 0), y = engine.Position(1, 1);
            EXPECT_NEAR(std::hypot(x - 10, y - 12), 4, 1e-6) << c.letter;
            if (std::fabs(x - 10) > std::fabs(farthest - 10)) farthest = x;
        }
        EXPECT_FALSE(out.empty()) << c.letter;
        EXPECT_NEAR(farthest, c.sideX, 0.01) << c.letter;
        ExpectAt(10, 16, c.letter);
    }
}

}  // namespace
}  // namespace korva::sim::test
