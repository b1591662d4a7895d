#include "SimEngine.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <limits>
#include <mutex>
#include <span>
#include <vector>

#include "Motion.h"
#include "NumText.h"
#include "SimPlan.h"
#include "SimText.h"
#include "Trace.h"

namespace korva::sim {

namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr std::size_t kMaxLine = 1024;   // longer lines are refused whole
constexpr std::size_t kMaxPlans = 32;    // stored plans per controller
constexpr double kStatementTime = 1e-4;  // a plan statement takes 0.1 ms of controller time
constexpr int kEventBudget = 100000;     // events handled per update, bounds its cost

// ---------------------------------------------------------------- parameters

struct AxisParams {
    char style = 'T';
    double pitch = 5.0;  // mm per stage revolution
    double stepAngle = 1.8;
    int microStep = 8;
    int driveRatio = 1;
    int radius = 50;
    double distance = 200.0;
    char workState = 'O';
    // Speeds, accelerations and user coordinates are kept in steps so that a
    // change of unit changes only how they are shown.
    double speed = 3200;     // 10 mm/s
    double initSpeed = 320;  // 1 mm/s
    double acc = 16000;      // 50 mm/s^2
    double dcc = 16000;
    double homeSpeed = 1600;  // 5 mm/s
    double homeSpeedFactor = 0.5;
    int secondHomeMode = 1;
    char unit = 'M';
    double origin = 0;
    double posLimit = 32000;   // +100 mm
    double negLimit = -32000;  // -100 mm
    char limitAble = 'D';      // "D" disabled, "E" enabled
    int offset = 0;
    double encoderResolution = 3.125;  // um per step
    std::string encoderStyle = "Linear";
    int commandPulses = 1600;
    double stepsRev = 1600;  // steps per stage revolution (200 full steps x 8)

    // User units per step.
    double Upp() const {
        switch (unit) {
            case 'S':
                return 1.0;
            case 'D':
                return 360.0 / stepsRev;
            case 'U':
                return 1000.0 * pitch / stepsRev;
            default:
                return pitch / stepsRev;
        }
    }
    bool LimitsOn() const { return limitAble == 'E'; }
};

enum class PKind { kFloat, kSteps, kInt, kLetter, kText };

struct ParamSpec {
    const char* word;
    const char* queryAlias;  // a second spelling of the query, or nullptr
    PKind kind;
    double AxisParams::*d;
    int AxisParams::*i;
    char AxisParams::*c;
    const char* letters;  // allowed letters, upper case
    double lo, hi;
    bool loOpen;  // lo itself not allowed
};

constexpr double kBig = 1e12;
constexpr double kIntMin = std::numeric_limits<int>::min();
constexpr double kIntMax = std::numeric_limits<int>::max();

// clang-format off
const ParamSpec kParams[] = {
    {"SetStageStyle", nullptr, PKind::kLetter, nullptr, nullptr, &AxisParams::style, "TR", 0, 0, false},
    {"SetStagePitch", nullptr, PKind::kFloat, &AxisParams::pitch, nullptr, nullptr, nullptr, 0, kBig, true},
    {"SetStageStepAngle", nullptr, PKind::kFloat, &AxisParams::stepAngle, nullptr, nullptr, nullptr, 0, 360, true},
    {"SetStageMicroStep", nullptr, PKind::kInt, nullptr, &AxisParams::microStep, nullptr, nullptr, 1, 1048576, false},
    {"SetStageDriveRat", nullptr, PKind::kInt, nullptr, &AxisParams::driveRatio, nullptr, nullptr, 1, kIntMax, false},
    {"SetStageRadius", nullptr, PKind::kInt, nullptr, &AxisParams::radius, nullptr, nullptr, 0, kIntMax, false},
    {"SetStageDistance", nullptr, PKind::kFloat, &AxisParams::distance, nullptr, nullptr, nullptr, 0, kBig, false},
    {"SetStageWorkState", nullptr, PKind::kLetter, nullptr, nullptr, &AxisParams::workState, "OC", 0, 0, false},
    {"SetSpeed", nullptr, PKind::kSteps, &AxisParams::speed, nullptr, nullptr, nullptr, 0, kBig, true},
    {"SetInitSpeed", nullptr, PKind::kSteps, &AxisParams::initSpeed, nullptr, nullptr, nullptr, 0, kBig, false},
    {"SetAccSpeed", nullptr, PKind::kSteps, &AxisParams::acc, nullptr, nullptr, nullptr, 0, kBig, true},
    {"SetDccSpeed", nullptr, PKind::kSteps, &AxisParams::dcc, nullptr, nullptr, nullptr, 0, kBig, true},
    {"SetHomeSpeed", nullptr, PKind::kSteps, &AxisParams::homeSpeed, nullptr, nullptr, nullptr, 0, kBig, true},
    {"SetHomeSpeedFactor", nullptr, PKind::kFloat, &AxisParams::homeSpeedFactor, nullptr, nullptr, nullptr, 0, 1, true},
    {"Setsechhomemode", nullptr, PKind::kInt, nullptr, &AxisParams::secondHomeMode, nullptr, nullptr, 1, 2, false},
    {"SetUnit", nullptr, PKind::kLetter, nullptr, nullptr, &AxisParams::unit, "DMSU", 0, 0, false},
    {"SetUserOrigin", nullptr, PKind::kSteps, &AxisParams::origin, nullptr, nullptr, nullptr, -kBig, kBig, false},
    {"SetUserPositiveLimit", nullptr, PKind::kSteps, &AxisParams::posLimit, nullptr, nullptr, nullptr, -kBig, kBig, false},
    {"SetUserNegativeLimit", nullptr, PKind::kSteps, &AxisParams::negLimit, nullptr, nullptr, nullptr, -kBig, kBig, false},
    {"SetUserLimitAble", "SetUserlimitable?", PKind::kLetter, nullptr, nullptr, &AxisParams::limitAble, "DE", 0, 0, false},
    {"SetOffset", nullptr, PKind::kInt, nullptr, &AxisParams::offset, nullptr, nullptr, kIntMin, kIntMax, false},
    {"SetEncoderResolution", nullptr, PKind::kFloat, &AxisParams::encoderResolution, nullptr, nullptr, nullptr, 0, kBig, true},
    {"SetEncoderStyle", nullptr, PKind::kText, nullptr, nullptr, nullptr, nullptr, 0, 0, false},
    {"SetCommandPulses", nullptr, PKind::kInt, nullptr, &AxisParams::commandPulses, nullptr, nullptr, 1, 1048576, false},
    {"SetStageStepsRev", nullptr, PKind::kFloat, &AxisParams::stepsRev, nullptr, nullptr, nullptr, 0, kBig, true},
};
// clang-format on
// ---------------------------------------------------------------- state

struct Move {
    int id = 0;
    std::uint8_t axes = 0;
    bool fromPlan = false;
    Path path;
    double sOffset = 0;  // path parameter where the current profile starts
    Profile prof;
    double t0 = 0;
    // Profile parameters in path units, for a slow stop.
    double acc = 1, dcc = 1, vStop = 0;
    // Homing legs still to run: target (steps) and speed (steps/s).
    std::vector<std::pair<double, double>> nextLegs;

    bool Endless() const { return prof.Endless(); }
    double EndTime() const { return t0 + prof.Duration(); }
    void Positions(double t, double* steps) const { path.At(sOffset + prof.S(t - t0), steps); }
};

struct Axis {
    AxisParams p;
    double pos = 0;  // steps, valid while no move owns the axis
    int moveId = 0;
};

struct Controller {
    std::array<Axis, kAxes> axes;
    std::vector<Move> moves;
    std::uint16_t inputs = 0;
    std::uint16_t outputs = 0;
    std::uint8_t pendingStops = 0;  // stops not yet reported to the host
    std::vector<Plan> plans;        // in order of creation
    Recording rec;
    Run run;
};

// What a command produced, before it is turned into reply bytes.
struct Out {
    enum class Kind { kOk, kReady, kDeferred } kind = Kind::kOk;
    std::vector<std::string> lines;  // content lines before "OK"
    std::uint8_t stopAxes = 0;       // axes reported stopped in this reply
    std::vector<int> moveIds;        // motion started (kReady) or awaited (kDeferred)
    bool plan = false;               // kReady of a plan run
    bool endless = false;            // continuous motion: a plan does not wait for it
};

// Where a command comes from: the host, the host while a plan is recorded
// (checked as it would be executed, less the state-dependent checks, and not
// executed), or a running plan.
enum class Ctx { kHost, kValidate, kPlan };

// One command to execute, as every handler receives it.
struct Call {
    int ci;  // controller index
    const Cmd& cmd;
    Ctx ctx;
    double t;  // simulated time
    Out& o;
    bool dry() const { return ctx == Ctx::kValidate; }
    bool plan() const { return ctx == Ctx::kPlan; }
};

// What the host-command rules need to know about a word.
enum CommandFlag : unsigned {
    kImmediate = 1u << 0,    // answered at once while recording, never stored in a plan
    kPlanControl = 1u << 1,  // runs, pauses or deletes plans: refused (E07) while recording
    kInRun = 1u << 2,        // allowed while a plan runs or is paused
    kMotion = 1u << 3,       // starts motion and answers "READY"
};

// The host command awaiting completion: its "OK" comes through Poll unless
// another command arrives first.
struct Waiter {
    bool active = false;
    int ctl = 0;
    bool plan = false;
    std::vector<int> moveIds;
    std::uint8_t doneAxes = 0;
};

}  // namespace
// ---------------------------------------------------------------- engine

struct Engine::Impl {
    explicit Impl(SimOptions o) : opt(std::move(o)) {
        opt.controllers = std::clamp(opt.controllers, 1, 99);
        if (!(opt.timeScale > 0) || !std::isfinite(opt.timeScale)) opt.timeScale = 1.0;
        if (opt.model.empty()) opt.model = "KT3007Q";
        ctls.resize(static_cast<std::size_t>(opt.controllers));
        auto origin = std::chrono::steady_clock::now();
        double scale = opt.timeScale;
        clock = [origin, scale] {
            std::chrono::duration<double> d = std::chrono::steady_clock::now() - origin;
            return d.count() * scale;
        };
    }

    SimOptions opt;
    mutable std::mutex mu;
    std::function<double()> clock;
    double clockOffset = 0;
    double simTime = 0;
    std::vector<Controller> ctls;
    int sel = 0;
    std::string lineBuf;
    bool lineTooLong = false;
    std::string out;
    Waiter waiter;
    int nextMoveId = 1;
    int dropCount = 0;
    int errorCount = 0;
    int errorCode = 0;
    int garbageCount = 0;
    std::string garbage;

    double Now() const { return std::max(simTime, clock() + clockOffset); }

    // ------------------------------------------------------------ positions

    Move* FindMove(Controller& c, int id) {
        for (auto& m : c.moves)
            if (m.id == id) return &m;
        return nullptr;
    }

    double AxisSteps(Controller& c, int a, double t) {
        Axis& ax = c.axes[a];
        if (ax.moveId == 0) return ax.pos;
        Move* m = FindMove(c, ax.moveId);
        if (m == nullptr) return ax.pos;
        double s[3];
        m->Positions(t, s);
        for (int i = 0; i < m->path.count; ++i)
            if (m->path.axis[i] == a) return s[i];
        return ax.pos;
    }

    std::uint8_t MovingAxes(const Controller& c) const {
        std::uint8_t mask = 0;
        for (const auto& m : c.moves) mask |= m.axes;
        return mask;
    }

    // Ends a move where it is now, without reporting.
    void Freeze(Controller& c, std::size_t index, double t) {
        Move m = std::move(c.moves[index]);
        c.moves.erase(c.moves.begin() + static_cast<std::ptrdiff_t>(index));
        double s[3];
        m.Positions(t, s);
        for (int i = 0; i < m.path.count; ++i) {
            c.axes[m.path.axis[i]].pos = s[i];
            c.axes[m.path.axis[i]].moveId = 0;
        }
    }

    // Decelerates a move to its stop speed from where it is now.
    void SlowDown(Move& m, double t) {
        double tl = t - m.t0;
        double s = m.prof.S(tl);
        double v = m.prof.V(tl);
        m.nextLegs.clear();
        double need = v > m.vStop ? (v * v - m.vStop * m.vStop) / (2 * m.dcc) : 0;
        if (!m.Endless() && m.prof.Distance() - s <= need) return;  // already stopping sooner
        m.sOffset += s;
        m.prof = Profile::Make(need, v, std::max(v, m.vStop), m.vStop, m.acc, m.dcc);
        m.t0 = t;
    }

    int AddMove(Controller& c, Move m, bool fromPlan) {
        m.id = nextMoveId++;
        m.fromPlan = fromPlan;
        for (int i = 0; i < m.path.count; ++i) c.axes[m.path.axis[i]].moveId = m.id;
        c.moves.push_back(std::move(m));
        return c.moves.back().id;
    }

    // A single-axis move from where the axis stands to a target in steps.
    Move AxisMove(Controller& c, int a, double target, double speed, double t) {
        const AxisParams& p = c.axes[a].p;
        double start = c.axes[a].pos;
        double delta = target - start;
        double one = 1.0;
        Move m;
        m.axes = Bit(a);
        m.path = Path::Line(1, &a, &start, &one, &delta);
        m.path.end[0] = target;
        double v0 = std::min(p.initSpeed, speed);
        m.prof = Profile::Make(std::fabs(delta), v0, speed, v0, p.acc, p.dcc);
        m.t0 = t;
        m.acc = p.acc;
        m.dcc = p.dcc;
        m.vStop = v0;
        return m;
    }

    // ------------------------------------------------------------ time

    void FinishLeg(int ci, std::size_t index, double te) {
        Controller& c = ctls[ci];
        Move& m = c.moves[index];
        double s[3];
        m.path.At(m.sOffset + m.prof.Distance(),
                  s);  // exactly the end, whatever the rounding of te
        for (int i = 0; i < m.path.count; ++i) c.axes[m.path.axis[i]].pos = s[i];
        if (!m.nextLegs.empty()) {
            auto [target, speed] = m.nextLegs.front();
            int a = m.path.axis[0];
            Move next = AxisMove(c, a, target, speed, te);
            next.nextLegs.assign(m.nextLegs.begin() + 1, m.nextLegs.end());
            next.id = m.id;
            next.axes = m.axes;
            next.fromPlan = m.fromPlan;
            m = std::move(next);
            return;
        }
        Move done = std::move(m);
        c.moves.erase(c.moves.begin() + static_cast<std::ptrdiff_t>(index));
        for (int i = 0; i < done.path.count; ++i) c.axes[done.path.axis[i]].moveId = 0;
        OnMoveDone(ci, done);
    }

    void OnMoveDone(int ci, const Move& m) {
        if (waiter.active && waiter.ctl == ci && !waiter.plan) {
            auto it = std::find(waiter.moveIds.begin(), waiter.moveIds.end(), m.id);
            if (it != waiter.moveIds.end()) {
                waiter.moveIds.erase(it);
                waiter.doneAxes |= m.axes;
                CheckWaiter();
                return;
            }
        }
        if (!m.fromPlan) ctls[ci].pendingStops |= m.axes;
    }

    void CheckWaiter() {
        if (!waiter.active || waiter.plan || !waiter.moveIds.empty()) return;
        out += StopLines(waiter.doneAxes);
        out += "OK\r";
        waiter.active = false;
    }

    void CancelWaiter() {
        if (!waiter.active) return;
        if (!waiter.plan) ctls[waiter.ctl].pendingStops |= waiter.doneAxes;
        waiter.active = false;
    }

    void Advance(double now) {
        if (now < simTime) now = simTime;
        for (int guard = 0; guard < kEventBudget; ++guard) {
            double te = kInf;
            int ci = -1;
            std::size_t mi = 0;
            bool planEvent = false;
            for (std::size_t k = 0; k < ctls.size(); ++k) {
                Controller& c = ctls[k];
                for (std::size_t j = 0; j < c.moves.size(); ++j) {
                    if (c.moves[j].Endless()) continue;
                    double e = c.moves[j].EndTime();
                    if (e < te) te = e, ci = static_cast<int>(k), mi = j, planEvent = false;
                }
                double e = PlanEventTime(c);
                if (e < te) te = e, ci = static_cast<int>(k), planEvent = true;
            }
            if (ci < 0 || te > now) break;
            te = std::max(te, simTime);
            if (!planEvent) FinishLeg(ci, mi, te);
            for (std::size_t k = 0; k < ctls.size(); ++k) StepPlan(static_cast<int>(k), te);
        }
        simTime = now;
        for (std::size_t k = 0; k < ctls.size(); ++k) StepPlan(static_cast<int>(k), now);
    }

    // ------------------------------------------------------------ plans

    // When a run can go on by itself; waits for motion and inputs that are not
    // over yet end through their own events.
    double PlanEventTime(Controller& c) {
        const Run& r = c.run;
        if (!r.active || r.paused) return kInf;
        switch (r.wait) {
            case Run::Wait::kNone:
                return r.readyAt;
            case Run::Wait::kDelay:
                return std::max(r.delayEnd, r.readyAt);
            case Run::Wait::kUntil:
            case Run::Wait::kMoves:
                return WaitOver(c, simTime) ? r.readyAt : kInf;
        }
        return kInf;
    }

    bool WaitOver(Controller& c, double t) {
        Run& r = c.run;
        switch (r.wait) {
            case Run::Wait::kNone:
                return true;
            case Run::Wait::kDelay:
                return t >= r.delayEnd;
            case Run::Wait::kUntil:
                return r.until.Holds(c.inputs);
            case Run::Wait::kMoves:
                for (int id : r.waitMoves)
                    if (FindMove(c, id) != nullptr) return false;
                return true;
        }
        return true;
    }

    void StepPlan(int ci, double t) {
        Controller& c = ctls[ci];
        Run& r = c.run;
        if (!r.active || r.paused || !WaitOver(c, t)) return;
        r.wait = Run::Wait::kNone;
        if (t < r.readyAt) return;
        if (r.pc >= r.prog.lines.size()) {
            EndRun(ci, Reply::kOk);
            return;
        }
        r.readyAt = t + kStatementTime;
        ExecStatement(ci, t);
    }

    void ExecStatement(int ci, double t) {
        Controller& c = ctls[ci];
        Run& r = c.run;
        std::size_t pc = r.pc;
        Cmd cmd = ParseCmd(r.prog.lines[pc]);
        if (r.StepFlow(cmd, c.inputs, t)) return;
        Out o;
        Reply err = Dispatch({ci, cmd, Ctx::kPlan, t, o});
        r.pc = pc + 1;
        if (err != Reply::kOk) {
            if (TraceEnabled())
                Trace("kt300sim: plan %s stopped at \"%s\": E0%d\n", r.prog.name.c_str(),
                      r.prog.lines[pc].c_str(), ErrorNumber(err));
            EndRun(ci, err);
            return;
        }
        if (!o.moveIds.empty() && !o.endless) {
            r.wait = Run::Wait::kMoves;
            r.waitMoves = o.moveIds;
        }
    }

    void EndRun(int ci, Reply err) {
        Controller& c = ctls[ci];
        Run& r = c.run;
        r.active = false;
        r.paused = false;
        for (auto& m : c.moves) m.fromPlan = false;  // left running: reported as host motion
        std::uint8_t report = r.usedAxes & static_cast<std::uint8_t>(~MovingAxes(c));
        if (waiter.active && waiter.plan && waiter.ctl == ci) {
            out += StopLines(report);
            out += err == Reply::kOk ? std::string("OK\r") : ErrorReply(err);
            waiter.active = false;
        } else {
            c.pendingStops |= report;
        }
    }

    // Ends a run at once from a host command: its motion stops where it is.
    std::uint8_t AbortRun(Controller& c, double t) {
        Run& r = c.run;
        if (!r.active) return 0;
        std::uint8_t axes = r.usedAxes;
        for (std::size_t k = c.moves.size(); k-- > 0;) {
            if (c.moves[k].fromPlan) {
                axes |= c.moves[k].axes;
                Freeze(c, k, t);
            }
        }
        r.active = false;
        r.paused = false;
        return axes;
    }

    // ------------------------------------------------------------ commands

    // A command word: its handler and the rules that decide when it may run.
    using Handler = Reply (Impl::*)(const Call&);
    struct Command {
        std::string_view word;
        Handler handler;
        unsigned flags;
    };

    // Queries answer at once everywhere; motion is recorded and refused
    // while a plan runs, so it can be neither immediate nor allowed in a run.
    static constexpr bool FlagsConsistent(std::span<const Command> table) {
        for (const Command& def : table) {
            bool query = def.word.ends_with('?');
            if (query && !(def.flags & kImmediate)) return false;
            if ((def.flags & kMotion) && (def.flags & (kImmediate | kInRun | kPlanControl)))
                return false;
        }
        return true;
    }

    // Adding a command is one row here and one handler below. Parameter words
    // (setter and query) come from kParams instead.
    static std::span<const Command> Commands() {
        // clang-format off
        static constexpr Command kTable[] = {
            {"GoPosition",           &Impl::GoPosition,  kMotion},
            {"Go",                   &Impl::Go,          kMotion},
            {"GoHome",               &Impl::GoHome,      kMotion},
            {"GoOrigion",            &Impl::GoOrigin,    kMotion},
            {"GonAxisHome",          &Impl::GoMultiHome, kMotion},
            {"GoInterpolationline2", &Impl::GoLine2,     kMotion},
            {"GoInterpolationline3", &Impl::GoLine3,     kMotion},
            {"GoInterpolationArc",   &Impl::GoArc,       kMotion},
            {"Stop",                 &Impl::StopAxis,    kInRun},
            {"StopSlow",             &Impl::StopSlow,    kInRun},
            {"STOPALL",              &Impl::StopAll,     kImmediate},
            {"PORTOUTPUT",           &Impl::PortOutput,  kInRun},
            {"PORTINPUT?",           &Impl::PortInput,   kImmediate},
            {"Position?",            &Impl::AxisQuery,   kImmediate},
            {"EncodeValue?",         &Impl::AxisQuery,   kImmediate},
            {"Loaddefault",          &Impl::LoadDefault, 0},
            {"SystemInfo?",          &Impl::SystemInfo,  kImmediate},
            {"Hello",                &Impl::Hello,       kImmediate},
            {"ID?",                  &Impl::Id,          kImmediate},
            {"select",               &Impl::Select,      kImmediate},
            {"end",                  &Impl::Deselect,    kImmediate},
            {"SAVE",                 &Impl::SavePlan,    0},
            {"OVER",                 &Impl::OverSave,    kImmediate},
            {"START",                &Impl::StartPlan,   kPlanControl},
            {"END",                  &Impl::EndPlan,     kPlanControl},
            {"BREAK",                &Impl::BreakPlan,   kPlanControl},
            {"PLAN?",                &Impl::PlanList,    kImmediate},
            {"DEL",                  &Impl::DeletePlan,  kPlanControl},
        };
        // clang-format on
        static_assert(FlagsConsistent(kTable));
        return kTable;
    }

    // A word looked up: a table command, a parameter setter or query, or none.
    struct Found {
        const Command* def = nullptr;
        const ParamSpec* param = nullptr;
        bool query = false;
        bool Known() const { return def != nullptr || param != nullptr; }
        unsigned Flags() const {
            return def != nullptr ? def->flags : query ? unsigned{kImmediate} : 0u;
        }
    };

    static Found Lookup(std::string_view w) {
        Found f;
        for (const Command& def : Commands()) {
            if (w == def.word) {
                f.def = &def;
                return f;
            }
        }
        for (const ParamSpec& ps : kParams) {
            std::string_view set = ps.word;
            bool query = (w.size() == set.size() + 1 && w.back() == '?' && w.starts_with(set)) ||
                         (ps.queryAlias != nullptr && w == ps.queryAlias);
            if (w == set || query) {
                f.param = &ps;
                f.query = query;
                return f;
            }
        }
        return f;
    }

    Reply Dispatch(const Call& k) {
        Found f = Lookup(k.cmd.word);
        if (f.def != nullptr) return (this->*f.def->handler)(k);
        if (f.param == nullptr) return Reply::kUnknown;
        Controller& c = ctls[k.ci];
        return f.query ? ParamQuery(c, *f.param, k.cmd, k.o) : ParamSet(c, *f.param, k.cmd, k.ctx);
    }

    // Host commands: the recording and plan-run rules, then the command itself.
    Reply HostCommand(int ci, const Cmd& cmd, const std::string& line, double t, Out& o) {
        Controller& c = ctls[ci];
        Found f = Lookup(cmd.word);
        unsigned flags = f.Flags();
        if (c.rec.active && !(flags & kImmediate)) {
            if (flags & kPlanControl) return Reply::kNotNow;
            return Record(ci, cmd, line, t);
        }
        if (StatementOf(cmd.word) != Stmt::kNone) return Reply::kPlan;  // only inside a recording
        bool allowedInRun = (flags & (kImmediate | kPlanControl | kInRun)) != 0;
        if (c.run.active && !allowedInRun) return f.Known() ? Reply::kNotNow : Reply::kUnknown;
        return Dispatch({ci, cmd, Ctx::kHost, t, o});
    }

    // Stores one statement of the plan being recorded, after checking it.
    Reply Record(int ci, const Cmd& cmd, const std::string& line, double t) {
        Stmt s = StatementOf(cmd.word);
        if (s != Stmt::kNone) {
            if (!StatementArgsOk(s, cmd)) return Reply::kArg;
        } else {
            Out o;
            Reply err = Dispatch({ci, cmd, Ctx::kValidate, t, o});
            if (err != Reply::kOk) return err;
        }
        return ctls[ci].rec.Add(s, line);
    }

    // ------------------------------------------------------------ parameters

    Reply ParamSet(Controller& c, const ParamSpec& ps, const Cmd& cmd, Ctx ctx) {
        int a = cmd.args.empty() ? -1 : AxisOf(cmd.args[0]);
        if (!cmd.args.empty() && a < 0) return Reply::kAxis;
        if (cmd.args.size() != 2) return Reply::kArg;
        AxisParams& p = c.axes[a].p;
        const std::string& text = cmd.args[1];
        double d = 0;
        long long n = 0;
        char letter = 0;
        switch (ps.kind) {
            case PKind::kFloat:
            case PKind::kSteps:
                if (!ParseDouble(text, &d) || d < ps.lo || d > ps.hi || (ps.loOpen && d == ps.lo))
                    return Reply::kArg;
                break;
            case PKind::kInt:
                if (!ParseIntIn(text, static_cast<long long>(ps.lo), static_cast<long long>(ps.hi),
                                &n))
                    return Reply::kArg;
                break;
            case PKind::kLetter:
                letter = LetterOf(text, ps.letters);
                if (letter == 0) return Reply::kArg;
                break;
            case PKind::kText:
                if (!PrintableText(text) || text.size() > 32) return Reply::kArg;
                break;
        }
        if (ctx == Ctx::kValidate) return Reply::kOk;
        switch (ps.kind) {
            case PKind::kFloat:
                p.*ps.d = d;
                break;
            case PKind::kSteps:
                p.*ps.d = d / p.Upp();
                break;
            case PKind::kInt:
                p.*ps.i = static_cast<int>(n);
                break;
            case PKind::kLetter:
                p.*ps.c = letter;
                break;
            case PKind::kText:
                p.encoderStyle = text;
                break;
        }
        return Reply::kOk;
    }

    Reply ParamQuery(Controller& c, const ParamSpec& ps, const Cmd& cmd, Out& o) {
        if (cmd.args.size() != 1) return Reply::kArg;
        int a = AxisOf(cmd.args[0]);
        if (a < 0) return Reply::kAxis;
        const AxisParams& p = c.axes[a].p;
        std::string value;
        switch (ps.kind) {
            case PKind::kFloat:
                value = FormatFixed(p.*ps.d, 6);
                break;
            case PKind::kSteps:
                value = FormatFixed(p.*ps.d * p.Upp(), 6);
                break;
            case PKind::kInt:
                value = std::to_string(p.*ps.i);
                break;
            case PKind::kLetter:
                value = std::string(1, p.*ps.c);
                break;
            case PKind::kText:
                value = p.encoderStyle;
                break;
        }
        std::string word = cmd.word.substr(0, cmd.word.size() - 1);
        o.lines.push_back(word + " " + kAxisLetters[a] + "," + value);
        return Reply::kOk;
    }

    // ------------------------------------------------------------ motion

    // Common tail of every motion command: the moves are registered, the
    // axes' unreported stops dropped, and the reply becomes "READY".
    Reply Started(int ci, std::vector<Move> moves, bool plan, Out& o) {
        Controller& c = ctls[ci];
        o.kind = Out::Kind::kReady;
        for (auto& m : moves) {
            c.pendingStops &= static_cast<std::uint8_t>(~m.axes);
            if (plan) c.run.usedAxes |= m.axes;
            o.moveIds.push_back(AddMove(c, std::move(m), plan));
        }
        return Reply::kOk;
    }

    bool Busy(const Controller& c, std::uint8_t axes) const { return (MovingAxes(c) & axes) != 0; }

    static bool OutsideLimits(const AxisParams& p, double steps) {
        constexpr double kEps = 1e-6;
        return p.LimitsOn() && (steps > p.posLimit + kEps || steps < p.negLimit - kEps);
    }

    // The one axis argument of "Stop X", "GoHome X" and the like; -1 with the
    // reply when it is missing or bad.
    static int SingleAxis(const Cmd& cmd, Reply* err) {
        if (cmd.args.size() != 1) {
            *err = Reply::kArg;
            return -1;
        }
        int a = AxisOf(cmd.args[0]);
        if (a < 0) *err = Reply::kAxis;
        return a;
    }

    Reply GoPosition(const Call& k) {
        Controller& c = ctls[k.ci];
        const Cmd& cmd = k.cmd;
        if (cmd.args.size() != 5) return Reply::kArg;
        int a = AxisOf(cmd.args[0]);
        if (a < 0) return Reply::kAxis;
        char ws = LetterOf(cmd.args[1], "OC");
        char mode = LetterOf(cmd.args[2], "RA");
        char dir = LetterOf(cmd.args[3], "PN");
        double x = 0;
        if (!ws || !mode || !dir || !ParseDouble(cmd.args[4], &x)) return Reply::kArg;
        if (k.dry()) return Reply::kOk;
        if (Busy(c, Bit(a))) return Reply::kBusy;
        const AxisParams& p = c.axes[a].p;
        double value = (dir == 'P' ? x : -x) / p.Upp();
        double target = mode == 'R' ? c.axes[a].pos + value : value;
        if (OutsideLimits(p, target)) return Reply::kLimit;
        return Started(k.ci, {AxisMove(c, a, target, p.speed, k.t)}, k.plan(), k.o);
    }

    Reply Go(const Call& k) {
        Controller& c = ctls[k.ci];
        const Cmd& cmd = k.cmd;
        if (cmd.args.size() != 2) return Reply::kArg;
        int a = AxisOf(cmd.args[0]);
        if (a < 0) return Reply::kAxis;
        char dir = LetterOf(cmd.args[1], "PN");
        if (!dir) return Reply::kArg;
        if (k.dry()) return Reply::kOk;
        if (Busy(c, Bit(a))) return Reply::kBusy;
        const AxisParams& p = c.axes[a].p;
        double pos = c.axes[a].pos;
        if (p.LimitsOn()) {
            // With limits on, continuous motion ends at the limit ahead.
            double target = dir == 'P' ? p.posLimit : p.negLimit;
            if (dir == 'P' ? pos >= target : pos <= target) return Reply::kLimit;
            return Started(k.ci, {AxisMove(c, a, target, p.speed, k.t)}, k.plan(), k.o);
        }
        Move m;
        m.axes = Bit(a);
        m.path = Path::Endless(a, pos, dir == 'P' ? 1 : -1);
        double v0 = std::min(p.initSpeed, p.speed);
        m.prof = Profile::Make(kInf, v0, p.speed, v0, p.acc, p.dcc);
        m.t0 = k.t;
        m.acc = p.acc;
        m.dcc = p.dcc;
        m.vStop = v0;
        k.o.endless = true;
        return Started(k.ci, {std::move(m)}, k.plan(), k.o);
    }

    Move HomeMove(Controller& c, int a, double t) {
        const AxisParams& p = c.axes[a].p;
        Move m = AxisMove(c, a, 0.0, p.homeSpeed, t);
        if (p.secondHomeMode == 2) {
            // Optical switch: after the fast approach, leave the switch and find
            // its edge again at the slow search speed.
            double slow = p.homeSpeed * p.homeSpeedFactor;
            m.nextLegs = {{p.stepsRev / 10, slow}, {0.0, slow}};
        }
        return m;
    }

    Reply GoHome(const Call& k) {
        Controller& c = ctls[k.ci];
        Reply err = Reply::kOk;
        int a = SingleAxis(k.cmd, &err);
        if (a < 0) return err;
        if (k.dry()) return Reply::kOk;
        if (Busy(c, Bit(a))) return Reply::kBusy;
        return Started(k.ci, {HomeMove(c, a, k.t)}, k.plan(), k.o);
    }

    Reply GoOrigin(const Call& k) {
        Controller& c = ctls[k.ci];
        Reply err = Reply::kOk;
        int a = SingleAxis(k.cmd, &err);
        if (a < 0) return err;
        if (k.dry()) return Reply::kOk;
        if (Busy(c, Bit(a))) return Reply::kBusy;
        const AxisParams& p = c.axes[a].p;
        if (OutsideLimits(p, p.origin)) return Reply::kLimit;
        return Started(k.ci, {AxisMove(c, a, p.origin, p.speed, k.t)}, k.plan(), k.o);
    }

    Reply GoMultiHome(const Call& k) {
        Controller& c = ctls[k.ci];
        const Cmd& cmd = k.cmd;
        if (cmd.args.size() != kAxes) return Reply::kArg;
        std::uint8_t axes = 0;
        for (int a = 0; a < kAxes; ++a) {
            char yn = LetterOf(cmd.args[a], "YN");
            if (!yn) return Reply::kArg;
            if (yn == 'Y') axes |= Bit(a);
        }
        if (k.dry()) return Reply::kOk;
        if (Busy(c, axes)) return Reply::kBusy;
        std::vector<Move> moves;
        for (int a = 0; a < kAxes; ++a)
            if (axes & Bit(a)) moves.push_back(HomeMove(c, a, k.t));
        return Started(k.ci, std::move(moves), k.plan(), k.o);
    }

    // Path motion runs at the first axis's speed, start speed, acceleration
    // and deceleration, in that axis's unit.
    void PathProfile(Controller& c, int firstAxis, Move& m, double t) {
        const AxisParams& p = c.axes[firstAxis].p;
        double upp = p.Upp();
        double v = p.speed * upp;
        double v0 = std::min(p.initSpeed * upp, v);
        m.acc = p.acc * upp;
        m.dcc = p.dcc * upp;
        m.vStop = v0;
        m.prof = Profile::Make(m.path.length, v0, v, v0, m.acc, m.dcc);
        m.t0 = t;
    }

    Reply GoLine2(const Call& k) { return GoLine(k, 2); }
    Reply GoLine3(const Call& k) { return GoLine(k, 3); }

    Reply GoLine(const Call& k, int n) {
        Controller& c = ctls[k.ci];
        const Cmd& cmd = k.cmd;
        if (static_cast<int>(cmd.args.size()) != 2 * n) return Reply::kArg;
        int axes[3];
        double target[3];
        std::uint8_t mask = 0;
        for (int i = 0; i < n; ++i) {
            axes[i] = AxisOf(cmd.args[2 * i]);
            if (axes[i] < 0 || (mask & Bit(axes[i]))) return Reply::kAxis;
            mask |= Bit(axes[i]);
            if (!ParseDouble(cmd.args[2 * i + 1], &target[i])) return Reply::kArg;
        }
        if (k.dry()) return Reply::kOk;
        if (Busy(c, mask)) return Reply::kBusy;
        double start[3], spu[3], delta[3], end[3];
        for (int i = 0; i < n; ++i) {
            const AxisParams& p = c.axes[axes[i]].p;
            start[i] = c.axes[axes[i]].pos;
            spu[i] = 1.0 / p.Upp();
            // Distances from where the axes stand, like the arc's target: hosts
            // send a drawing's moves as end minus start.
            end[i] = start[i] + target[i] * spu[i];
            if (OutsideLimits(p, end[i])) return Reply::kLimit;
            delta[i] = target[i];
        }
        Move m;
        m.axes = mask;
        m.path = Path::Line(n, axes, start, spu, delta);
        for (int i = 0; i < n; ++i) m.path.end[i] = end[i];
        PathProfile(c, axes[0], m, k.t);
        return Started(k.ci, {std::move(m)}, k.plan(), k.o);
    }

    Reply GoArc(const Call& k) {
        Controller& c = ctls[k.ci];
        const Cmd& cmd = k.cmd;
        if (cmd.args.size() != 7) return Reply::kArg;
        int axes[2] = {AxisOf(cmd.args[0]), AxisOf(cmd.args[1])};
        if (axes[0] < 0 || axes[1] < 0 || axes[0] == axes[1]) return Reply::kAxis;
        double v[4];
        for (int i = 0; i < 4; ++i)
            if (!ParseDouble(cmd.args[2 + i], &v[i])) return Reply::kArg;
        char dir = LetterOf(cmd.args[6], "PN");
        if (!dir) return Reply::kArg;
        if (k.dry()) return Reply::kOk;
        std::uint8_t mask = Bit(axes[0]) | Bit(axes[1]);
        if (Busy(c, mask)) return Reply::kBusy;
        double start[2], spu[2];
        for (int i = 0; i < 2; ++i) {
            start[i] = c.axes[axes[i]].pos;
            spu[i] = 1.0 / c.axes[axes[i]].p.Upp();
        }
        Move m;
        m.axes = mask;
        if (!Path::Arc(axes, start, spu, v[0], v[1], v[2], v[3], dir == 'P', &m.path))
            return Reply::kArg;
        // The whole way must stay inside the limits, not only the end point.
        constexpr int kSamples = 256;
        for (int n = 1; n <= kSamples; ++n) {
            double s[3];
            m.path.At(m.path.length * n / kSamples, s);
            for (int i = 0; i < 2; ++i)
                if (OutsideLimits(c.axes[axes[i]].p, s[i])) return Reply::kLimit;
        }
        PathProfile(c, axes[0], m, k.t);
        return Started(k.ci, {std::move(m)}, k.plan(), k.o);
    }

    int MoveIndexOf(const Controller& c, int axis) const {
        for (std::size_t k = 0; k < c.moves.size(); ++k)
            if (c.moves[k].axes & Bit(axis)) return static_cast<int>(k);
        return -1;
    }

    Reply StopAxis(const Call& k) {
        Controller& c = ctls[k.ci];
        Reply err = Reply::kOk;
        int a = SingleAxis(k.cmd, &err);
        if (a < 0) return err;
        if (k.dry()) return Reply::kOk;
        k.o.stopAxes = Bit(a);
        int m = MoveIndexOf(c, a);
        if (m >= 0) {
            k.o.stopAxes |= c.moves[m].axes;  // interpolated partners stop with it
            Freeze(c, static_cast<std::size_t>(m), k.t);
        }
        return Reply::kOk;
    }

    Reply StopSlow(const Call& k) {
        Controller& c = ctls[k.ci];
        Reply err = Reply::kOk;
        int a = SingleAxis(k.cmd, &err);
        if (a < 0) return err;
        if (k.dry()) return Reply::kOk;
        int m = MoveIndexOf(c, a);
        if (m < 0) {
            k.o.stopAxes = Bit(a);
            return Reply::kOk;
        }
        SlowDown(c.moves[m], k.t);
        // Acknowledged once the axis stands.
        k.o.kind = Out::Kind::kDeferred;
        k.o.moveIds.push_back(c.moves[m].id);
        return Reply::kOk;
    }

    Reply StopAll(const Call& k) {
        Controller& c = ctls[k.ci];
        if (!k.cmd.args.empty()) return Reply::kArg;
        std::uint8_t axes = MovingAxes(c) | AbortRun(c, k.t);
        for (std::size_t m = c.moves.size(); m-- > 0;) Freeze(c, m, k.t);
        k.o.stopAxes = axes;
        return Reply::kOk;
    }

    // ------------------------------------------------------------ ports, system

    Reply PortOutput(const Call& k) {
        long long v = 0;
        if (k.cmd.args.size() != 1 || !ParseIntIn(k.cmd.args[0], 0, 256, &v)) return Reply::kArg;
        if (!k.dry()) ctls[k.ci].outputs = static_cast<std::uint16_t>(v);
        return Reply::kOk;
    }

    Reply PortInput(const Call& k) {
        if (!k.cmd.args.empty()) return Reply::kArg;
        k.o.lines.push_back("PORTINPUT " + std::to_string(ctls[k.ci].inputs));
        return Reply::kOk;
    }

    // "Position?" in the axis's unit, "EncodeValue?" in whole steps.
    Reply AxisQuery(const Call& k) {
        Controller& c = ctls[k.ci];
        const std::string& w = k.cmd.word;
        Reply err = Reply::kOk;
        int a = SingleAxis(k.cmd, &err);
        if (a < 0) return err;
        double steps = AxisSteps(c, a, k.t);
        std::string value = w == "Position?" ? FormatFixed(steps * c.axes[a].p.Upp(), 6)
                                             : std::to_string(std::llround(steps));
        k.o.lines.push_back(w.substr(0, w.size() - 1) + " " + kAxisLetters[a] + "," + value);
        return Reply::kOk;
    }

    Reply LoadDefault(const Call& k) {
        if (!k.cmd.args.empty()) return Reply::kArg;
        if (!k.dry())
            for (auto& ax : ctls[k.ci].axes) ax.p = AxisParams{};
        return Reply::kOk;
    }

    Reply SystemInfo(const Call& k) {
        if (!k.cmd.args.empty()) return Reply::kArg;
        k.o.lines.push_back("SystemInfo " + opt.model + ",1.0,4");
        return Reply::kOk;
    }

    Reply Hello(const Call& k) { return k.cmd.args.empty() ? Reply::kOk : Reply::kArg; }

    Reply Id(const Call& k) {
        if (!k.cmd.args.empty()) return Reply::kArg;
        k.o.lines.push_back("ID " + std::to_string(sel + 1));
        return Reply::kOk;
    }

    Reply Select(const Call& k) {
        long long n = 0;
        if (k.cmd.args.size() != 1 || !ParseIntIn(k.cmd.args[0], 1, opt.controllers, &n))
            return Reply::kArg;
        sel = static_cast<int>(n - 1);
        return Reply::kOk;
    }

    Reply Deselect(const Call& k) {
        if (!k.cmd.args.empty()) return Reply::kArg;
        sel = 0;
        return Reply::kOk;
    }

    // ------------------------------------------------------------ plan commands

    Reply SavePlan(const Call& k) {
        // Reached while recording only as a statement to check: a recording
        // cannot hold another.
        if (k.dry()) return Reply::kPlan;
        Controller& c = ctls[k.ci];
        const Cmd& cmd = k.cmd;
        if (cmd.args.size() != 1 || !ValidPlanName(cmd.args[0])) return Reply::kPlan;
        bool exists = std::any_of(c.plans.begin(), c.plans.end(),
                                  [&](const Plan& p) { return p.name == cmd.args[0]; });
        if (!exists && c.plans.size() >= kMaxPlans) return Reply::kPlan;
        c.rec.Begin(cmd.args[0]);
        return Reply::kOk;
    }

    Reply OverSave(const Call& k) {
        Controller& c = ctls[k.ci];
        if (!c.rec.active) return Reply::kPlan;
        if (!k.cmd.args.empty()) return Reply::kArg;
        c.rec.active = false;
        if (!c.rec.blocks.empty())
            return Reply::kPlan;  // an open #loop or #if: the plan is dropped
        auto it = std::find_if(c.plans.begin(), c.plans.end(),
                               [&](const Plan& p) { return p.name == c.rec.plan.name; });
        if (it != c.plans.end())
            *it = std::move(c.rec.plan);
        else
            c.plans.push_back(std::move(c.rec.plan));
        return Reply::kOk;
    }

    Reply StartPlan(const Call& k) {
        Controller& c = ctls[k.ci];
        const Cmd& cmd = k.cmd;
        if (cmd.args.size() != 1) return Reply::kArg;
        Run& r = c.run;
        if (r.active) {
            if (!r.paused || r.prog.name != cmd.args[0]) return Reply::kNotNow;
            r.paused = false;
            if (r.wait == Run::Wait::kDelay) r.delayEnd = k.t + r.delayLeft;
        } else {
            auto it = std::find_if(c.plans.begin(), c.plans.end(),
                                   [&](const Plan& p) { return p.name == cmd.args[0]; });
            if (it == c.plans.end()) return Reply::kNoPlan;
            if (MovingAxes(c) != 0) return Reply::kBusy;
            r = Run{};
            r.active = true;
            r.prog = *it;
        }
        k.o.kind = Out::Kind::kReady;
        k.o.plan = true;
        return Reply::kOk;
    }

    Reply EndPlan(const Call& k) {
        if (!k.cmd.args.empty()) return Reply::kArg;
        k.o.stopAxes = AbortRun(ctls[k.ci], k.t);
        return Reply::kOk;
    }

    Reply BreakPlan(const Call& k) {
        if (!k.cmd.args.empty()) return Reply::kArg;
        Controller& c = ctls[k.ci];
        Run& r = c.run;
        if (!r.active) return Reply::kNoPlan;
        if (!r.paused) {
            r.paused = true;
            for (auto& m : c.moves)
                if (m.fromPlan) SlowDown(m, k.t);
            if (r.wait == Run::Wait::kDelay) r.delayLeft = std::max(0.0, r.delayEnd - k.t);
        }
        return Reply::kOk;
    }

    Reply PlanList(const Call& k) {
        if (!k.cmd.args.empty()) return Reply::kArg;
        const Controller& c = ctls[k.ci];
        std::string line = "PLAN";
        for (std::size_t n = 0; n < c.plans.size(); ++n)
            line += (n == 0 ? " " : ",") + c.plans[n].name;
        k.o.lines.push_back(line);
        return Reply::kOk;
    }

    Reply DeletePlan(const Call& k) {
        Controller& c = ctls[k.ci];
        const Cmd& cmd = k.cmd;
        if (cmd.args.size() != 1) return Reply::kArg;
        auto it = std::find_if(c.plans.begin(), c.plans.end(),
                               [&](const Plan& p) { return p.name == cmd.args[0]; });
        if (it == c.plans.end()) return Reply::kNoPlan;
        if (c.run.active && c.run.prog.name == cmd.args[0]) return Reply::kNotNow;
        c.plans.erase(it);
        return Reply::kOk;
    }

    // ------------------------------------------------------------ lines
    void HandleLine(const std::string& line, double t) {
        if (TraceEnabled()) Trace("kt300sim < %s\n", line.c_str());
        if (dropCount > 0) {
            --dropCount;
            return;
        }
        CancelWaiter();  // a command arrived: a waiting completion is reported later
        std::string reply;
        if (garbageCount > 0) {
            --garbageCount;
            reply = garbage;
        }
        if (errorCount > 0) {
            --errorCount;
            out += reply + ErrorReply(errorCode);
            return;
        }
        Cmd cmd = ParseCmd(line);
        Out o;
        int ci = sel;
        Reply err = HostCommand(ci, cmd, line, t, o);
        Controller& c = ctls[sel];  // "select" answers from the new controller
        if (err != Reply::kOk) {
            reply += ErrorReply(err);
        } else if (o.kind == Out::Kind::kReady) {
            reply += "READY\r";
            waiter = Waiter{true, ci, o.plan, o.moveIds, 0};
        } else if (o.kind == Out::Kind::kDeferred) {
            waiter = Waiter{true, ci, false, o.moveIds, 0};
        } else {
            // One unreported stop per reply: the host looks for an axis word
            // only at the start of the first two lines, so a second STOP line
            // in the same reply would never be seen.
            std::uint8_t pending = c.pendingStops & static_cast<std::uint8_t>(~o.stopAxes);
            std::uint8_t first = pending & static_cast<std::uint8_t>(-pending);
            c.pendingStops = pending & static_cast<std::uint8_t>(~first);
            std::uint8_t stops = o.stopAxes | first;
            std::string stopText = StopLines(stops);
            if (o.lines.empty()) {
                reply += stopText;
            } else {
                reply += o.lines[0] + "\r" + stopText;
                for (std::size_t k = 1; k < o.lines.size(); ++k) reply += o.lines[k] + "\r";
            }
            reply += "OK\r";
        }
        if (TraceEnabled()) Trace("kt300sim > %s\n", reply.c_str());
        out += reply;
        CheckWaiter();
    }

    std::string Take() {
        std::string s;
        s.swap(out);
        return s;
    }
};

Engine::Engine(SimOptions options) : impl_(std::make_unique<Impl>(std::move(options))) {}
Engine::~Engine() = default;

std::string Engine::Feed(std::string_view hostBytes) {
    std::lock_guard<std::mutex> lock(impl_->mu);
    Impl& s = *impl_;
    s.Advance(s.Now());
    for (char ch : hostBytes) {
        if (ch == '\n') continue;
        if (ch != '\r') {
            if (s.lineBuf.size() < kMaxLine)
                s.lineBuf.push_back(ch);
            else
                s.lineTooLong = true;
            continue;
        }
        std::string line;
        line.swap(s.lineBuf);
        if (s.lineTooLong) {
            s.lineTooLong = false;
            s.CancelWaiter();
            s.out += ErrorReply(Reply::kUnknown);
            continue;
        }
        if (Trim(line).empty()) continue;  // a bare CR is no command
        double t = s.Now();
        s.Advance(t);
        s.HandleLine(line, t);
        s.Advance(t);
    }
    return s.Take();
}

std::string Engine::Poll() {
    std::lock_guard<std::mutex> lock(impl_->mu);
    impl_->Advance(impl_->Now());
    return impl_->Take();
}

void Engine::SetClock(std::function<double()> secondsNow) {
    std::lock_guard<std::mutex> lock(impl_->mu);
    Impl& s = *impl_;
    s.Advance(s.Now());
    s.clock = std::move(secondsNow);
    s.clockOffset = s.simTime - s.clock();
}

void Engine::SetInputs(std::uint16_t bits) {
    std::lock_guard<std::mutex> lock(impl_->mu);
    Impl& s = *impl_;
    double t = s.Now();
    s.Advance(t);
    for (auto& c : s.ctls) c.inputs = bits;
    s.Advance(t);
}

void Engine::SetInputs(int controller, std::uint16_t bits) {
    std::lock_guard<std::mutex> lock(impl_->mu);
    Impl& s = *impl_;
    if (controller < 1 || controller > static_cast<int>(s.ctls.size())) return;
    double t = s.Now();
    s.Advance(t);
    s.ctls[controller - 1].inputs = bits;
    s.Advance(t);
}

std::uint16_t Engine::Outputs(int controller) const {
    std::lock_guard<std::mutex> lock(impl_->mu);
    if (controller < 1 || controller > static_cast<int>(impl_->ctls.size())) return 0;
    return impl_->ctls[controller - 1].outputs;
}

double Engine::PositionSteps(int controller, int axis) const {
    std::lock_guard<std::mutex> lock(impl_->mu);
    Impl& s = *impl_;
    if (controller < 1 || controller > static_cast<int>(s.ctls.size()) || axis < 0 || axis >= kAxes)
        return 0;
    s.Advance(s.Now());
    return s.AxisSteps(s.ctls[controller - 1], axis, s.simTime);
}

double Engine::Position(int controller, int axis) const {
    std::lock_guard<std::mutex> lock(impl_->mu);
    Impl& s = *impl_;
    if (controller < 1 || controller > static_cast<int>(s.ctls.size()) || axis < 0 || axis >= kAxes)
        return 0;
    s.Advance(s.Now());
    Controller& c = s.ctls[controller - 1];
    return s.AxisSteps(c, axis, s.simTime) * c.axes[axis].p.Upp();
}

bool Engine::Moving(int controller, int axis) const {
    std::lock_guard<std::mutex> lock(impl_->mu);
    Impl& s = *impl_;
    if (controller < 1 || controller > static_cast<int>(s.ctls.size()) || axis < 0 || axis >= kAxes)
        return false;
    s.Advance(s.Now());
    return s.ctls[controller - 1].axes[axis].moveId != 0;
}

bool Engine::PlanRunning(int controller) const {
    std::lock_guard<std::mutex> lock(impl_->mu);
    Impl& s = *impl_;
    if (controller < 1 || controller > static_cast<int>(s.ctls.size())) return false;
    s.Advance(s.Now());
    return s.ctls[controller - 1].run.active;
}

bool Engine::Busy() const {
    std::lock_guard<std::mutex> lock(impl_->mu);
    const Impl& s = *impl_;
    if (!s.out.empty()) return true;
    for (const auto& c : s.ctls)
        if (!c.moves.empty() || c.run.active) return true;
    return false;
}

void Engine::SetFault(const SimFault& fault) {
    std::lock_guard<std::mutex> lock(impl_->mu);
    Impl& s = *impl_;
    int count = std::max(0, fault.count);
    switch (fault.kind) {
        case SimFault::Kind::kNoReply:
            s.dropCount = count;
            break;
        case SimFault::Kind::kErrorReply:
            s.errorCount = count;
            s.errorCode = std::clamp(fault.errorCode, 0, 7);
            break;
        case SimFault::Kind::kGarbage:
            s.garbageCount = count;
            s.garbage = fault.garbage;
            break;
    }
}

void Engine::ClearFaults() {
    std::lock_guard<std::mutex> lock(impl_->mu);
    impl_->dropCount = impl_->errorCount = impl_->garbageCount = 0;
}

const SimOptions& Engine::options() const {
    return impl_->opt;
}

}  // namespace korva::sim