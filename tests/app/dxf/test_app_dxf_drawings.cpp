// Real drawings (written by ezdxf) through libcadio.so to the calls of a run,
// as the dry run prints them; the dry run's options and failures; and
// `stagedesk --dxf-path` itself.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "DxfDryRun.h"

namespace stagedesk::dxf {
namespace {

const std::string kFixtures = DXF_FIXTURES;

struct Result {
    int status;
    std::string out, err;
};

Result Dry(const std::string& path) {
    std::ostringstream out, err;
    const int status = DryRun(path, out, err);
    return {status, out.str(), err.str()};
}

std::string Lines(std::initializer_list<const char*> lines) {
    std::string s;
    for (const char* l : lines) s += std::string(l) + "\n";
    return s;
}

const std::string kRunSmall = Lines({
    "GoOrigion(0)",
    "GoOrigion(1)",
    "GoInterpolationline2(0, 1, 10.000000, 0.000000)",
    "GoInterpolationArc(0, 1, 0.000000, 8.000000, 0.000000, 4.000000, 1)",
    "GoInterpolationline2(0, 1, 2.000000, 0.000000)",
    "GoInterpolationArc(0, 1, 4.000000, 0.000000, 2.000000, 0.000000, 0)",
});

class DxfDrawings : public testing::Test {
  protected:
    void SetUp() override { setenv("KORVA_CADIO", CADIO_PATH, 1); }
};

TEST_F(DxfDrawings, EachDrawingBecomesItsCalls) {
    struct Case {
        const char* file;
        std::string calls;
        const char* notes;
    } cases[] = {
        {"run_small.dxf", kRunSmall, ""},
        {"r12_shapes.dxf",
         Lines({
             "GoOrigion(0)", "GoOrigion(1)", "GoInterpolationline2(0, 1, 10.000000, 0.000000)",
             "GoInterpolationline2(0, 1, 0.000000, 10.000000)",
             "GoInterpolationline2(0, 1, -3.000000, -5.000000)",  // to the circle's start (7, 5)
             "GoInterpolationArc(0, 1, 0.000000, 0.000000, 3.000000, 0.000000, 1)",
             "GoInterpolationline2(0, 1, 13.000000, 0.000000)",  // the arc's end is nearer
             "GoInterpolationArc(0, 1, 5.000000, -5.000000, 0.000000, -5.000000, 0)",
             "GoInterpolationline2(0, 1, 5.000000, 0.000000)",
             "GoInterpolationArc(0, 1, 4.000000, 0.000000, 2.000000, 0.000000, 1)",  // bulge 1
             "GoInterpolationline2(0, 1, 0.000000, 4.000000)",
             "GoInterpolationline2(0, 1, -4.000000, -4.000000)",  // closing segment
         }),
         "stagedesk: not part of the path: 1 point, 1 text\n"},
        {"r2000_lwpolyline.dxf",
         Lines({
             "GoOrigion(0)",
             "GoOrigion(1)",
             "GoInterpolationArc(0, 1, 10.000000, 0.000000, 5.000000, -5.000000, 0)",
             "GoInterpolationline2(0, 1, 0.000000, 10.000000)",
             "GoInterpolationline2(0, 1, 10.000000, -10.000000)",
             "GoInterpolationline2(0, 1, 10.000000, 0.000000)",
             "GoInterpolationline2(0, 1, 0.000000, 10.000000)",
             "GoInterpolationline2(0, 1, -10.000000, 0.000000)",
             "GoInterpolationline2(0, 1, 0.000000, -10.000000)",  // the square's closing side
             "GoInterpolationline2(0, 1, 20.000000, 0.000000)",
             "GoInterpolationline2(0, 1, 4.000000, 0.000000)",
             "GoInterpolationline2(0, 1, 0.000000, 4.000000)",
             "GoInterpolationArc(0, 1, -4.000000, -4.000000, -2.000000, -2.000000, 1)",
         }),
         "stagedesk: not part of the path: 1 text\n"},
        {"r2000_mirrored.dxf",
         Lines({
             "GoOrigion(0)",
             "GoOrigion(1)",
             "GoInterpolationline2(0, 1, -1.000000, 0.000000)",
             "GoInterpolationArc(0, 1, -2.000000, 0.000000, -1.000000, 0.000000, 0)",
             "GoInterpolationline2(0, 1, -1.000000, 4.000000)",
             "GoInterpolationline2(0, 1, -1.000000, 0.000000)",
             "GoInterpolationline2(0, 1, -2.000000, 1.000000)",
             // Drawn from below, the arc is recorded counter-clockwise from
             // (-5, 7) to (-7, 5) as seen from above; the ordering turns it
             // round, so it is cut clockwise from (-7, 5) (counter-clockwise
             // would cut its complement).
             "GoInterpolationArc(0, 1, 2.000000, 2.000000, 2.000000, 0.000000, 0)",
             "GoInterpolationline2(0, 1, -4.000000, -7.000000)",
             "GoInterpolationArc(0, 1, 0.000000, 0.000000, -1.000000, 0.000000, 1)",
         }),
         ""},
        {"r2000_ignored.dxf",
         Lines({"GoOrigion(0)", "GoOrigion(1)", "GoInterpolationline2(0, 1, 1.000000, 0.000000)"}),
         "not loaded: 1 HATCH, 1 SPLINE\nstagedesk: not part of the path: 1 point, 2 text\n"},
    };
    for (const Case& c : cases) {
        const Result r = Dry(kFixtures + "/" + c.file);
        EXPECT_EQ(r.status, 0) << c.file << ": " << r.err;
        EXPECT_EQ(r.out, c.calls) << c.file;
        EXPECT_NE(r.err.find(c.notes), std::string::npos) << c.file << ": " << r.err;
    }
}

TEST_F(DxfDrawings, BlocksAreCutWhereTheyAreInserted) {
    const Result r = Dry(kFixtures + "/r2000_blocks.dxf");
    ASSERT_EQ(r.status, 0) << r.err;
    // The 22 elements the drawing expands to, each cut where its insert put it.
    std::istringstream in(r.out);
    int arcs = 0, lines = 0;
    for (std::string l; std::getline(in, l);) {
        arcs += l.rfind("GoInterpolationArc(", 0) == 0;
        lines += l.rfind("GoInterpolationline2(", 0) == 0;
    }
    EXPECT_EQ(arcs, 5 + 6);  // PART's arc in each of its five places, the array's six circles
    EXPECT_GT(lines, 100);   // the stretched ring is a hundred chords
}

TEST_F(DxfDrawings, FailuresSayWhatWentWrong) {
    Result r = Dry(kFixtures + "/no_such_drawing.dxf");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_NE(r.err.find("Error while loading dxf file!"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("cannot open"), std::string::npos) << r.err;
    r = Dry(kFixtures + "/make_fixtures.py");
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("group code was expected"), std::string::npos) << r.err;

    setenv("KORVA_CADIO", "/nonexistent/libcadio.so", 1);
    r = Dry(kFixtures + "/run_small.dxf");
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("drawing library could not be loaded"), std::string::npos) << r.err;
}

TEST_F(DxfDrawings, TheOptionIsFoundOnTheCommandLine) {
    const std::string file = kFixtures + "/run_small.dxf";
    const std::string joined = "--dxf-path=" + file;
    struct Case {
        std::vector<std::string> args;
        std::optional<int> status;
        bool prints;
    } cases[] = {
        {{"stagedesk"}, std::nullopt, false},
        {{"stagedesk", "--simulate"}, std::nullopt, false},
        {{"stagedesk", "--dxf-pathology", file}, std::nullopt, false},
        {{"stagedesk", "--", "--dxf-path", file}, std::nullopt, false},
        {{"stagedesk", "--dxf-path"}, 2, false},
        {{"stagedesk", "--dxf-path="}, 2, false},
        {{"stagedesk", "--dxf-path", file}, 0, true},
        {{"stagedesk", "--simulate", joined}, 0, true},
    };
    for (Case& c : cases) {
        std::vector<char*> argv;
        for (std::string& a : c.args) argv.push_back(a.data());
        argv.push_back(nullptr);
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        const std::optional<int> status =
            HandleDxfPathOption(static_cast<int>(c.args.size()), argv.data());
        const std::string out = testing::internal::GetCapturedStdout();
        const std::string err = testing::internal::GetCapturedStderr();
        EXPECT_EQ(status, c.status) << c.args.back() << ": " << err;
        EXPECT_EQ(out, c.prints ? kRunSmall : "") << c.args.back();
    }
}

#ifdef STAGEDESK_PATH
// The program itself: no window (no display at all), no device.
TEST_F(DxfDrawings, StagedeskPrintsTheCallsAndExits) {
    const std::string command = "env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM " +
                                std::string(STAGEDESK_PATH) + " --dxf-path " + kFixtures +
                                "/run_small.dxf 2>/dev/null";
    FILE* p = popen(command.c_str(), "r");
    ASSERT_NE(p, nullptr);
    std::string out;
    char buf[4096];
    for (std::size_t n; (n = fread(buf, 1, sizeof buf, p)) > 0;) out.append(buf, n);
    const int status = pclose(p);
    EXPECT_EQ(out, kRunSmall);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}
#endif

}  // namespace
}  // namespace stagedesk::dxf
