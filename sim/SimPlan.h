#pragma once
// Stored plans of the simulated controller: the flow statements (delay, until,
// loop, if), recording with block matching, and the run state that steps
// through a plan. Commands inside a plan are executed by the engine; this part
// knows only the statements that steer the run.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "SimText.h"

namespace korva::sim {

// "until 5" (port equals 5), "until @3" (input 3 set); the "_non" forms negate.
struct Cond {
    bool at = false;
    bool non = false;
    int value = 0;
    bool Holds(std::uint16_t inputs) const {
        bool x = at ? ((inputs >> (value - 1)) & 1u) != 0 : inputs == value;
        return non ? !x : x;
    }
};

enum class Stmt { kNone, kDelay, kUntil, kUntilNon, kLoop, kEndLoop, kIf, kIfNon, kEndIf };

// The flow statement a word names; kNone for a command.
Stmt StatementOf(std::string_view word);
// Whether a flow statement's arguments are usable.
bool StatementArgsOk(Stmt s, const Cmd& cmd);

struct Plan {
    std::string name;
    std::vector<std::string> lines;
    std::vector<int> match;  // index of the matching block statement, else -1
};

// A plan being recorded between "SAVE" and "OVER".
struct Recording {
    bool active = false;
    Plan plan;
    std::vector<std::size_t> blocks;  // open #loop / #if statements

    void Begin(const std::string& name);
    // Stores one statement that has already passed its own checks: plan
    // memory and block structure are checked here.
    Reply Add(Stmt s, std::string_view line);
};

struct Run {
    bool active = false;
    bool paused = false;
    Plan prog;
    std::size_t pc = 0;
    std::vector<std::pair<std::size_t, int>> loops;  // body start, passes left
    enum class Wait { kNone, kDelay, kMoves, kUntil } wait = Wait::kNone;
    double delayEnd = 0;
    double delayLeft = 0;  // while paused
    double readyAt = 0;    // when the next statement may run
    std::vector<int> waitMoves;
    Cond until;
    std::uint8_t usedAxes = 0;

    // Executes the statement at pc when it is a flow statement (at time t,
    // with these inputs) and moves pc on; false for a command, pc unchanged.
    bool StepFlow(const Cmd& cmd, std::uint16_t inputs, double t);
};

}  // namespace korva::sim
