#include "SimPlan.h"

namespace korva::sim {

namespace {

constexpr std::size_t kMaxPlanLines = 2000;  // statements per plan

bool ParseCond(const Cmd& cmd, bool non, Cond* out) {
    if (cmd.args.size() != 1) return false;
    std::string_view t = cmd.args[0];
    Cond c;
    c.non = non;
    if (!t.empty() && t[0] == '@') {
        c.at = true;
        t = Trim(t.substr(1));
    }
    long long v = 0;
    if (!(c.at ? ParseIntIn(t, 1, 8, &v) : ParseIntIn(t, 0, 255, &v))) return false;
    c.value = static_cast<int>(v);
    *out = c;
    return true;
}

bool ParseCount(const Cmd& cmd, int* out) {
    long long v = 0;
    if (cmd.args.size() != 1 || !ParseIntIn(cmd.args[0], 0, 65535, &v)) return false;
    *out = static_cast<int>(v);
    return true;
}

}  // namespace

Stmt StatementOf(std::string_view word) {
    if (word == "delay") return Stmt::kDelay;
    if (word == "until") return Stmt::kUntil;
    if (word == "until_non") return Stmt::kUntilNon;
    if (word == "#loop") return Stmt::kLoop;
    if (word == "#end_loop") return Stmt::kEndLoop;
    if (word == "#if") return Stmt::kIf;
    if (word == "#if_non") return Stmt::kIfNon;
    if (word == "#end_if") return Stmt::kEndIf;
    return Stmt::kNone;
}

bool StatementArgsOk(Stmt s, const Cmd& cmd) {
    Cond c;
    int n = 0;
    switch (s) {
        case Stmt::kDelay:
        case Stmt::kLoop:
            return ParseCount(cmd, &n);
        case Stmt::kUntil:
        case Stmt::kIf:
            return ParseCond(cmd, false, &c);
        case Stmt::kUntilNon:
        case Stmt::kIfNon:
            return ParseCond(cmd, true, &c);
        case Stmt::kEndLoop:
        case Stmt::kEndIf:
            return cmd.args.empty();
        case Stmt::kNone:
            return false;
    }
    return false;
}

void Recording::Begin(const std::string& name) {
    active = true;
    plan = Plan{};
    plan.name = name;
    blocks.clear();
}

Reply Recording::Add(Stmt s, std::string_view line) {
    if (plan.lines.size() >= kMaxPlanLines) return Reply::kPlan;
    std::size_t index = plan.lines.size();
    int match = -1;
    if (s == Stmt::kEndLoop || s == Stmt::kEndIf) {
        if (blocks.empty()) return Reply::kPlan;
        std::size_t open = blocks.back();
        bool loop = StatementOf(ParseCmd(plan.lines[open]).word) == Stmt::kLoop;
        if (loop != (s == Stmt::kEndLoop)) return Reply::kPlan;
        blocks.pop_back();
        plan.match[open] = static_cast<int>(index);
        match = static_cast<int>(open);
    } else if (s == Stmt::kLoop || s == Stmt::kIf || s == Stmt::kIfNon) {
        blocks.push_back(index);
    }
    plan.lines.emplace_back(Trim(line));
    plan.match.push_back(match);
    return Reply::kOk;
}

bool Run::StepFlow(const Cmd& cmd, std::uint16_t inputs, double t) {
    Stmt s = StatementOf(cmd.word);
    Cond cond;
    int n = 0;
    switch (s) {
        case Stmt::kDelay:
            ParseCount(cmd, &n);
            wait = Wait::kDelay;
            delayEnd = t + n / 1000.0;
            ++pc;
            return true;
        case Stmt::kUntil:
        case Stmt::kUntilNon:
            ParseCond(cmd, s == Stmt::kUntilNon, &cond);
            wait = Wait::kUntil;
            until = cond;
            ++pc;
            return true;
        case Stmt::kLoop:
            ParseCount(cmd, &n);
            if (n == 0) {
                pc = static_cast<std::size_t>(prog.match[pc]) + 1;
            } else {
                loops.emplace_back(pc + 1, n);
                ++pc;
            }
            return true;
        case Stmt::kEndLoop:
            if (!loops.empty() && --loops.back().second > 0) {
                pc = loops.back().first;
            } else {
                if (!loops.empty()) loops.pop_back();
                ++pc;
            }
            return true;
        case Stmt::kIf:
        case Stmt::kIfNon:
            ParseCond(cmd, s == Stmt::kIfNon, &cond);
            pc = cond.Holds(inputs) ? pc + 1 : static_cast<std::size_t>(prog.match[pc]) + 1;
            return true;
        case Stmt::kEndIf:
            ++pc;
            return true;
        case Stmt::kNone:
            break;
    }
    return false;
}

}  // namespace korva::sim
