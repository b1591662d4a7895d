#pragma once
// A drawing as a job: the calls of a run with the operator's choices of
// placement, speeds and tool output, as steps the run makes one by one and
// the dry run prints. Qt-free.
//
// Speeds: a drawing speed and a travel speed (user units per second), each
// optional. When either is set, the run first reads the axes' own speeds
// (GetSpeed of X and Y); before a stretch of drawing moves, and before a
// travel line, it sends SetSpeed for X and Y when the speed that stretch
// needs (its own, or the axes' own when unset) differs from the one in force;
// at the end the axes' own speeds are sent back.
//
// Tool: a port bit 0..7 (or none). SetPortOutput(2^bit) before each stretch
// of drawing moves, then the on-delay; SetPortOutput(0) before each travel
// line that follows drawing, then the off-delay, and at the end.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "DxfPath.h"

namespace stagedesk::dxf {

struct JobOptions {
    Placement placement;
    std::optional<double> drawSpeed, travelSpeed;  // user units per second
    int toolBit = -1;                              // -1: no tool output
    int toolOnDelayMs = 0, toolOffDelayMs = 0;
    bool UsesSpeeds() const { return drawSpeed.has_value() || travelSpeed.has_value(); }
    bool UsesTool() const { return toolBit >= 0; }
};

// Empty when the options can be used, else what is wrong with them.
std::string CheckOptions(const JobOptions& options);

struct JobStep {
    enum class Kind { kMotion, kGetSpeed, kSetSpeed, kPortOutput, kWait };
    Kind kind = Kind::kMotion;
    MotionCall motion;      // kMotion
    std::size_t move = 0;   // kMotion: its number, 1..moves
    std::int16_t axis = 0;  // kGetSpeed, kSetSpeed
    float speed = 0;        // kSetSpeed
    bool ownSpeed = false;  // kSetSpeed: the speed GetSpeed read at the start
    std::int16_t port = 0;  // kPortOutput
    int ms = 0;             // kWait
    bool Drawing() const {
        return kind == Kind::kMotion && motion.method != MotionCall::Method::kGoOrigion &&
               !motion.travel;
    }
};

// The steps of a run of the path with the options; false with the reason
// when the options or a placed value cannot be used.
bool BuildJob(const std::vector<PathElement>& path, const JobOptions& options,
              std::vector<JobStep>* steps, std::string* error);

// One line of the dry run: the call as FormatCall writes it, "wait N" for a
// delay; the axes' own speed is written as the call that read it, e.g.
// "SetSpeed(0, GetSpeed(0))".
std::string FormatStep(const JobStep& step);

// What the operator sees before a run.
struct JobSummary {
    std::size_t moves = 0;                    // motion calls, the returns to the origin included
    double drawLength = 0, travelLength = 0;  // user units, as placed
};
JobSummary Summarize(const std::vector<JobStep>& steps);

// Length of one motion call (user units): lines straight, arcs along the arc.
double MoveLength(const MotionCall& call);

// The speeds and accelerations in force on X and Y (user units per second,
// per second squared), for the time estimate.
struct AxisDynamics {
    double speed = 0, acceleration = 0, deceleration = 0;
};

// Seconds left before each step (and, last, 0 after the end): each move a
// trapezoid (or triangle) at the speed in force, plus the waits, plus
// `perMove` seconds of completion wait after each move. Empty when the speed
// in force is not known (0) for some move.
std::vector<double> EstimateRemaining(const std::vector<JobStep>& steps, const AxisDynamics& own,
                                      double perMove);

}  // namespace stagedesk::dxf
