#include "SimEngine.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <limits>
#include <mutex>
#include <vector>

#include "Motion.h"
#include "NumText.h"
#include "Trace.h"

namespace korva::sim {

namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr int kAxes = 4;
constexpr char kAxisLetters[] = "XYZT";
constexpr std::size_t kMaxLine = 1024;       // longer lines are refused whole
constexpr std::size_t kMaxPlans = 32;        // stored plans per controller
constexpr std::size_t kMaxPlanLines = 2000;  // statements per plan
constexpr std::size_t kMaxPlanName = 8;
constexpr double kStatementTime = 1e-4;  // a plan statement takes 0.1 ms of controller time
constexpr int kEventBudget = 100000;     // events handled per update, bounds its cost

// Reply error codes, "E00".."E07".
enum Err : int {
    kOk = -1,
    kErrUnknown = 0,  // unknown command word or unusable line
    kErrAxis = 1,     // bad axis letter, or one axis named twice
    kErrArg = 2,      // missing, extra or malformed argument, value out of range
    kErrLimit = 3,    // target outside the enabled user limits
    kErrBusy = 4,     // an axis of the motion is moving
    kErrPlan = 5,     // plan name, plan memory or plan structure
    kErrNoPlan = 6,   // plan not found, no plan run to interrupt
    kErrNotNow = 7,   // refused while a plan runs or is being recorded
};

std::uint8_t Bit(int axis) {
    return static_cast<std::uint8_t>(1u << axis);
}

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

// ---------------------------------------------------------------- text helpers

bool IsSpace(char c) {
    return c == ' ' || c == '\t';
}

std::string_view Trim(std::string_view t) {
    while (!t.empty() && IsSpace(t.front())) t.remove_prefix(1);
    while (!t.empty() && IsSpace(t.back())) t.remove_suffix(1);
    return t;
}

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

// A complete decimal number: sign, digits with an optional point, exponent.
bool ParseDouble(std::string_view t, double* out) {
    std::size_t i = 0;
    if (i < t.size() && (t[i] == '+' || t[i] == '-')) ++i;
    std::size_t digits = 0;
    while (i < t.size() && IsDigit(t[i])) ++i, ++digits;
    if (i < t.size() && t[i] == '.') {
        ++i;
        while (i < t.size() && IsDigit(t[i])) ++i, ++digits;
    }
    if (digits == 0) return false;
    if (i < t.size() && (t[i] == 'e' || t[i] == 'E')) {
        ++i;
        if (i < t.size() && (t[i] == '+' || t[i] == '-')) ++i;
        std::size_t exp = 0;
        while (i < t.size() && IsDigit(t[i])) ++i, ++exp;
        if (exp == 0) return false;
    }
    if (i != t.size()) return false;
    double v = AtoF(t);
    if (!(std::fabs(v) <= 1e15)) return false;  // keeps every derived step count finite
    *out = v;
    return true;
}

bool ParseInt(std::string_view t, long long* out) {
    std::size_t i = 0;
    if (i < t.size() && (t[i] == '+' || t[i] == '-')) ++i;
    if (i == t.size() || t.size() - i > 12) return false;
    for (std::size_t k = i; k < t.size(); ++k)
        if (!IsDigit(t[k])) return false;
    long long v = 0;
    for (std::size_t k = i; k < t.size(); ++k) v = v * 10 + (t[k] - '0');
    *out = t[0] == '-' ? -v : v;
    return true;
}

int AxisOf(std::string_view t) {
    if (t.size() != 1) return -1;
    for (int a = 0; a < kAxes; ++a)
        if (t[0] == kAxisLetters[a]) return a;
    return -1;
}

// One letter of `allowed` (upper case), either case accepted; 0 when none.
char LetterOf(std::string_view t, const char* allowed) {
    if (t.size() != 1) return 0;
    char c = t[0];
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    for (const char* p = allowed; *p != '\0'; ++p)
        if (*p == c) return c;
    return 0;
}

bool PrintableText(std::string_view t) {
    if (t.empty()) return false;
    for (char c : t) {
        auto u = static_cast<unsigned char>(c);
        if (u <= ' ' || u == ',' || u == 0x7f) return false;
    }
    return true;
}

bool ValidPlanName(std::string_view t) {
    if (t.empty() || t.size() > kMaxPlanName) return false;
    for (char c : t) {
        bool ok =
            IsDigit(c) || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_' || c == '-';
        if (!ok) return false;
    }
    return true;
}

std::string StopLines(std::uint8_t axes) {
    std::string s;
    for (int a = 0; a < kAxes; ++a) {
        if (axes & Bit(a)) {
            s.push_back(kAxisLetters[a]);
            s += " STOP\r";
        }
    }
    return s;
}

std::string ErrorReply(int err) {
    return "E0" + std::to_string(err) + "\r";
}

// A command line taken apart: the word up to the first space, then the
// comma-separated arguments, each trimmed.
struct Cmd {
    std::string word;
    std::vector<std::string> args;
};

Cmd ParseCmd(std::string_view line) {
    Cmd cmd;
    line = Trim(line);
    std::size_t sp = 0;
    while (sp < line.size() && !IsSpace(line[sp])) ++sp;
    cmd.word = std::string(line.substr(0, sp));
    std::string_view rest = Trim(line.substr(sp));
    if (rest.empty()) return cmd;
    std::size_t start = 0;
    for (;;) {
        std::size_t comma = rest.find(',', start);
        std::string_view piece = rest.substr(
            start, comma == std::string_view::npos ? std::string_view::npos : comma - start);
        cmd.args.emplace_back(Trim(piece));
        if (comma == std::string_view::npos) break;
        start = comma + 1;
    }
    return cmd;
}

// Plan statement conditions: "until 5" (port equals 5), "until @3" (input 3
// set), and the "_non" forms negate.
struct Cond {
    bool at = false;
    bool non = false;
    int value = 0;
    bool Holds(std::uint16_t inputs) const {
        bool x = at ? ((inputs >> (value - 1)) & 1u) != 0 : inputs == value;
        return non ? !x : x;
    }
};

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
    if (!ParseInt(t, &v)) return false;
    if (c.at ? (v < 1 || v > 8) : (v < 0 || v > 255)) return false;
    c.value = static_cast<int>(v);
    *out = c;
    return true;
}

bool ParseCount(const Cmd& cmd, int* out) {
    long long v = 0;
    if (cmd.args.size() != 1 || !ParseInt(cmd.args[0], &v) || v < 0 || v > 65535) return false;
    *out = static_cast<int>(v);
    return true;
}

bool KnownWord(const std::string& w) {
    for (const ParamSpec& ps : kParams) {
        std::string set = ps.word;
        if (w == set || w == set + "?" || (ps.queryAlias != nullptr && w == ps.queryAlias))
            return true;
    }
    static const char* const kWords[] = {"GoPosition",
                                         "Go",
                                         "GoHome",
                                         "GoOrigion",
                                         "GonAxisHome",
                                         "GoInterpolationline2",
                                         "GoInterpolationline3",
                                         "GoInterpolationArc",
                                         "Stop",
                                         "StopSlow",
                                         "STOPALL",
                                         "PORTOUTPUT",
                                         "PORTINPUT?",
                                         "Position?",
                                         "EncodeValue?",
                                         "Loaddefault",
                                         "SystemInfo?",
                                         "Hello",
                                         "ID?",
                                         "select",
                                         "end",
                                         "SAVE",
                                         "OVER",
                                         "START",
                                         "END",
                                         "BREAK",
                                         "PLAN?",
                                         "DEL"};
    for (const char* k : kWords)
        if (w == k) return true;
    return false;
}

enum class Stmt { kNone, kDelay, kUntil, kUntilNon, kLoop, kEndLoop, kIf, kIfNon, kEndIf };

Stmt StatementOf(const std::string& word) {
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

struct Plan {
    std::string name;
    std::vector<std::string> lines;
    std::vector<int> match;  // index of the matching block statement, else -1
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
};

struct Controller {
    std::array<Axis, kAxes> axes;
    std::vector<Move> moves;
    std::uint16_t inputs = 0;
    std::uint16_t outputs = 0;
    std::uint8_t pendingStops = 0;  // stops not yet reported to the host
    std::vector<Plan> plans;        // in order of creation
    bool recording = false;
    Plan rec;
    std::vector<std::size_t> recBlocks;  // open #loop / #if statements
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

enum class Ctx { kHost, kValidate, kPlan };

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
            EndRun(ci, kOk);
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
        Cond cond;
        int n = 0;
        switch (StatementOf(cmd.word)) {
            case Stmt::kDelay:
                ParseCount(cmd, &n);
                r.wait = Run::Wait::kDelay;
                r.delayEnd = t + n / 1000.0;
                r.pc = pc + 1;
                return;
            case Stmt::kUntil:
            case Stmt::kUntilNon:
                ParseCond(cmd, StatementOf(cmd.word) == Stmt::kUntilNon, &cond);
                r.wait = Run::Wait::kUntil;
                r.until = cond;
                r.pc = pc + 1;
                return;
            case Stmt::kLoop:
                ParseCount(cmd, &n);
                if (n == 0) {
                    r.pc = static_cast<std::size_t>(r.prog.match[pc]) + 1;
                } else {
                    r.loops.emplace_back(pc + 1, n);
                    r.pc = pc + 1;
                }
                return;
            case Stmt::kEndLoop:
                if (!r.loops.empty() && --r.loops.back().second > 0) {
                    r.pc = r.loops.back().first;
                } else {
                    if (!r.loops.empty()) r.loops.pop_back();
                    r.pc = pc + 1;
                }
                return;
            case Stmt::kIf:
            case Stmt::kIfNon:
                ParseCond(cmd, StatementOf(cmd.word) == Stmt::kIfNon, &cond);
                r.pc =
                    cond.Holds(c.inputs) ? pc + 1 : static_cast<std::size_t>(r.prog.match[pc]) + 1;
                return;
            case Stmt::kEndIf:
                r.pc = pc + 1;
                return;
            case Stmt::kNone:
                break;
        }
        Out o;
        int err = Dispatch(ci, cmd, Ctx::kPlan, t, o);
        r.pc = pc + 1;
        if (err != kOk) {
            if (TraceEnabled())
                Trace("kt300sim: plan %s stopped at \"%s\": E0%d\n", r.prog.name.c_str(),
                      r.prog.lines[pc].c_str(), err);
            EndRun(ci, err);
            return;
        }
        if (!o.moveIds.empty() && !o.endless) {
            r.wait = Run::Wait::kMoves;
            r.waitMoves = o.moveIds;
        }
    }

    void EndRun(int ci, int err) {
        Controller& c = ctls[ci];
        Run& r = c.run;
        r.active = false;
        r.paused = false;
        for (auto& m : c.moves) m.fromPlan = false;  // left running: reported as host motion
        std::uint8_t report = r.usedAxes & static_cast<std::uint8_t>(~MovingAxes(c));
        if (waiter.active && waiter.plan && waiter.ctl == ci) {
            out += StopLines(report);
            out += err == kOk ? std::string("OK\r") : ErrorReply(err);
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

    int Dispatch(int ci, const Cmd& cmd, Ctx ctx, double t, Out& o) {
        Controller& c = ctls[ci];
        const std::string& w = cmd.word;
        for (const ParamSpec& ps : kParams) {
            if (w == ps.word) return ParamSet(c, ps, cmd, ctx);
            if (w.size() == std::char_traits<char>::length(ps.word) + 1 && w.back() == '?' &&
                w.compare(0, w.size() - 1, ps.word) == 0)
                return ParamQuery(c, ps, cmd, o);
            if (ps.queryAlias != nullptr && w == ps.queryAlias) return ParamQuery(c, ps, cmd, o);
        }
        bool plan = ctx == Ctx::kPlan;
        bool dry = ctx == Ctx::kValidate;
        if (w == "GoPosition") return GoPosition(ci, cmd, dry, plan, t, o);
        if (w == "Go") return Go(ci, cmd, dry, plan, t, o);
        if (w == "GoHome") return GoHome(ci, cmd, dry, plan, t, o);
        if (w == "GoOrigion") return GoOrigin(ci, cmd, dry, plan, t, o);
        if (w == "GonAxisHome") return GoMultiHome(ci, cmd, dry, plan, t, o);
        if (w == "GoInterpolationline2") return GoLine(ci, cmd, 2, dry, plan, t, o);
        if (w == "GoInterpolationline3") return GoLine(ci, cmd, 3, dry, plan, t, o);
        if (w == "GoInterpolationArc") return GoArc(ci, cmd, dry, plan, t, o);
        if (w == "Stop") return StopAxis(ci, cmd, dry, t, o);
        if (w == "StopSlow") return StopSlow(ci, cmd, dry, t, o);
        if (w == "PORTOUTPUT") {
            long long v = 0;
            if (cmd.args.size() != 1 || !ParseInt(cmd.args[0], &v) || v < 0 || v > 256)
                return kErrArg;
            if (!dry) c.outputs = static_cast<std::uint16_t>(v);
            return kOk;
        }
        if (w == "Loaddefault") {
            if (!cmd.args.empty()) return kErrArg;
            if (!dry)
                for (auto& ax : c.axes) ax.p = AxisParams{};
            return kOk;
        }
        if (w == "Position?" || w == "EncodeValue?") {
            int a = cmd.args.size() == 1 ? AxisOf(cmd.args[0]) : -2;
            if (a == -2) return kErrArg;
            if (a < 0) return kErrAxis;
            double steps = AxisSteps(c, a, t);
            std::string value = w == "Position?" ? FormatFixed(steps * c.axes[a].p.Upp(), 6)
                                                 : std::to_string(std::llround(steps));
            o.lines.push_back(w.substr(0, w.size() - 1) + " " + kAxisLetters[a] + "," + value);
            return kOk;
        }
        if (w == "PORTINPUT?") {
            if (!cmd.args.empty()) return kErrArg;
            o.lines.push_back("PORTINPUT " + std::to_string(c.inputs));
            return kOk;
        }
        if (w == "SystemInfo?") {
            if (!cmd.args.empty()) return kErrArg;
            o.lines.push_back("SystemInfo " + opt.model + ",1.0,4");
            return kOk;
        }
        if (w == "Hello") return cmd.args.empty() ? kOk : kErrArg;
        if (w == "ID?") {
            if (!cmd.args.empty()) return kErrArg;
            o.lines.push_back("ID " + std::to_string(sel + 1));
            return kOk;
        }
        if (w == "select") {
            long long n = 0;
            if (cmd.args.size() != 1 || !ParseInt(cmd.args[0], &n) || n < 1 || n > opt.controllers)
                return kErrArg;
            sel = static_cast<int>(n - 1);
            return kOk;
        }
        if (w == "end") {
            if (!cmd.args.empty()) return kErrArg;
            sel = 0;
            return kOk;
        }
        if (w == "STOPALL") {
            if (!cmd.args.empty()) return kErrArg;
            std::uint8_t axes = MovingAxes(c) | AbortRun(c, t);
            for (std::size_t k = c.moves.size(); k-- > 0;) Freeze(c, k, t);
            o.stopAxes = axes;
            return kOk;
        }
        if (w == "SAVE") return SavePlan(c, cmd);
        if (w == "OVER") return OverSave(c, cmd);
        if (w == "START") return StartPlan(ci, cmd, t, o);
        if (w == "END") {
            if (!cmd.args.empty()) return kErrArg;
            o.stopAxes = AbortRun(c, t);
            return kOk;
        }
        if (w == "BREAK") {
            if (!cmd.args.empty()) return kErrArg;
            Run& r = c.run;
            if (!r.active) return kErrNoPlan;
            if (!r.paused) {
                r.paused = true;
                for (auto& m : c.moves)
                    if (m.fromPlan) SlowDown(m, t);
                if (r.wait == Run::Wait::kDelay) r.delayLeft = std::max(0.0, r.delayEnd - t);
            }
            return kOk;
        }
        if (w == "PLAN?") {
            if (!cmd.args.empty()) return kErrArg;
            std::string line = "PLAN";
            for (std::size_t k = 0; k < c.plans.size(); ++k)
                line += (k == 0 ? " " : ",") + c.plans[k].name;
            o.lines.push_back(line);
            return kOk;
        }
        if (w == "DEL") {
            if (cmd.args.size() != 1) return kErrArg;
            auto it = std::find_if(c.plans.begin(), c.plans.end(),
                                   [&](const Plan& p) { return p.name == cmd.args[0]; });
            if (it == c.plans.end()) return kErrNoPlan;
            if (c.run.active && c.run.prog.name == cmd.args[0]) return kErrNotNow;
            c.plans.erase(it);
            return kOk;
        }
        return kErrUnknown;
    }

    int ParamSet(Controller& c, const ParamSpec& ps, const Cmd& cmd, Ctx ctx) {
        int a = cmd.args.empty() ? -1 : AxisOf(cmd.args[0]);
        if (!cmd.args.empty() && a < 0) return kErrAxis;
        if (cmd.args.size() != 2) return kErrArg;
        AxisParams& p = c.axes[a].p;
        const std::string& text = cmd.args[1];
        double d = 0;
        long long n = 0;
        char letter = 0;
        switch (ps.kind) {
            case PKind::kFloat:
            case PKind::kSteps:
                if (!ParseDouble(text, &d) || d < ps.lo || d > ps.hi || (ps.loOpen && d == ps.lo))
                    return kErrArg;
                break;
            case PKind::kInt:
                if (!ParseInt(text, &n) || n < ps.lo || n > ps.hi) return kErrArg;
                break;
            case PKind::kLetter:
                letter = LetterOf(text, ps.letters);
                if (letter == 0) return kErrArg;
                break;
            case PKind::kText:
                if (!PrintableText(text) || text.size() > 32) return kErrArg;
                break;
        }
        if (ctx == Ctx::kValidate) return kOk;
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
        return kOk;
    }

    int ParamQuery(Controller& c, const ParamSpec& ps, const Cmd& cmd, Out& o) {
        if (cmd.args.size() != 1) return kErrArg;
        int a = AxisOf(cmd.args[0]);
        if (a < 0) return kErrAxis;
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
        return kOk;
    }

    // Common tail of every motion command: the moves are registered, the
    // axes' unreported stops dropped, and the reply becomes "READY".
    int Started(int ci, std::vector<Move> moves, bool plan, Out& o) {
        Controller& c = ctls[ci];
        o.kind = Out::Kind::kReady;
        for (auto& m : moves) {
            c.pendingStops &= static_cast<std::uint8_t>(~m.axes);
            if (plan) c.run.usedAxes |= m.axes;
            o.moveIds.push_back(AddMove(c, std::move(m), plan));
        }
        return kOk;
    }

    bool Busy(const Controller& c, std::uint8_t axes) const { return (MovingAxes(c) & axes) != 0; }

    static bool OutsideLimits(const AxisParams& p, double steps) {
        constexpr double kEps = 1e-6;
        return p.LimitsOn() && (steps > p.posLimit + kEps || steps < p.negLimit - kEps);
    }

    int GoPosition(int ci, const Cmd& cmd, bool dry, bool plan, double t, Out& o) {
        Controller& c = ctls[ci];
        if (cmd.args.size() != 5) return kErrArg;
        int a = AxisOf(cmd.args[0]);
        if (a < 0) return kErrAxis;
        char ws = LetterOf(cmd.args[1], "OC");
        char mode = LetterOf(cmd.args[2], "RA");
        char dir = LetterOf(cmd.args[3], "PN");
        double x = 0;
        if (!ws || !mode || !dir || !ParseDouble(cmd.args[4], &x)) return kErrArg;
        if (dry) return kOk;
        if (Busy(c, Bit(a))) return kErrBusy;
        const AxisParams& p = c.axes[a].p;
        double value = (dir == 'P' ? x : -x) / p.Upp();
        double target = mode == 'R' ? c.axes[a].pos + value : value;
        if (OutsideLimits(p, target)) return kErrLimit;
        return Started(ci, {AxisMove(c, a, target, p.speed, t)}, plan, o);
    }

    int Go(int ci, const Cmd& cmd, bool dry, bool plan, double t, Out& o) {
        Controller& c = ctls[ci];
        if (cmd.args.size() != 2) return kErrArg;
        int a = AxisOf(cmd.args[0]);
        if (a < 0) return kErrAxis;
        char dir = LetterOf(cmd.args[1], "PN");
        if (!dir) return kErrArg;
        if (dry) return kOk;
        if (Busy(c, Bit(a))) return kErrBusy;
        const AxisParams& p = c.axes[a].p;
        double pos = c.axes[a].pos;
        if (p.LimitsOn()) {
            // With limits on, continuous motion ends at the limit ahead.
            double target = dir == 'P' ? p.posLimit : p.negLimit;
            if (dir == 'P' ? pos >= target : pos <= target) return kErrLimit;
            return Started(ci, {AxisMove(c, a, target, p.speed, t)}, plan, o);
        }
        Move m;
        m.axes = Bit(a);
        m.path = Path::Endless(a, pos, dir == 'P' ? 1 : -1);
        double v0 = std::min(p.initSpeed, p.speed);
        m.prof = Profile::Make(kInf, v0, p.speed, v0, p.acc, p.dcc);
        m.t0 = t;
        m.acc = p.acc;
        m.dcc = p.dcc;
        m.vStop = v0;
        o.endless = true;
        return Started(ci, {std::move(m)}, plan, o);
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

    int GoHome(int ci, const Cmd& cmd, bool dry, bool plan, double t, Out& o) {
        Controller& c = ctls[ci];
        if (cmd.args.size() != 1) return kErrArg;
        int a = AxisOf(cmd.args[0]);
        if (a < 0) return kErrAxis;
        if (dry) return kOk;
        if (Busy(c, Bit(a))) return kErrBusy;
        return Started(ci, {HomeMove(c, a, t)}, plan, o);
    }

    int GoOrigin(int ci, const Cmd& cmd, bool dry, bool plan, double t, Out& o) {
        Controller& c = ctls[ci];
        if (cmd.args.size() != 1) return kErrArg;
        int a = AxisOf(cmd.args[0]);
        if (a < 0) return kErrAxis;
        if (dry) return kOk;
        if (Busy(c, Bit(a))) return kErrBusy;
        const AxisParams& p = c.axes[a].p;
        if (OutsideLimits(p, p.origin)) return kErrLimit;
        return Started(ci, {AxisMove(c, a, p.origin, p.speed, t)}, plan, o);
    }

    int GoMultiHome(int ci, const Cmd& cmd, bool dry, bool plan, double t, Out& o) {
        Controller& c = ctls[ci];
        if (cmd.args.size() != kAxes) return kErrArg;
        std::uint8_t axes = 0;
        for (int a = 0; a < kAxes; ++a) {
            char yn = LetterOf(cmd.args[a], "YN");
            if (!yn) return kErrArg;
            if (yn == 'Y') axes |= Bit(a);
        }
        if (dry) return kOk;
        if (Busy(c, axes)) return kErrBusy;
        std::vector<Move> moves;
        for (int a = 0; a < kAxes; ++a)
            if (axes & Bit(a)) moves.push_back(HomeMove(c, a, t));
        return Started(ci, std::move(moves), plan, o);
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

    int GoLine(int ci, const Cmd& cmd, int n, bool dry, bool plan, double t, Out& o) {
        Controller& c = ctls[ci];
        if (static_cast<int>(cmd.args.size()) != 2 * n) return kErrArg;
        int axes[3];
        double target[3];
        std::uint8_t mask = 0;
        for (int i = 0; i < n; ++i) {
            axes[i] = AxisOf(cmd.args[2 * i]);
            if (axes[i] < 0 || (mask & Bit(axes[i]))) return kErrAxis;
            mask |= Bit(axes[i]);
            if (!ParseDouble(cmd.args[2 * i + 1], &target[i])) return kErrArg;
        }
        if (dry) return kOk;
        if (Busy(c, mask)) return kErrBusy;
        double start[3], spu[3], delta[3], end[3];
        for (int i = 0; i < n; ++i) {
            const AxisParams& p = c.axes[axes[i]].p;
            start[i] = c.axes[axes[i]].pos;
            spu[i] = 1.0 / p.Upp();
            // Distances from where the axes stand, like the arc's target: hosts
            // send a drawing's moves as end minus start.
            end[i] = start[i] + target[i] * spu[i];
            if (OutsideLimits(p, end[i])) return kErrLimit;
            delta[i] = target[i];
        }
        Move m;
        m.axes = mask;
        m.path = Path::Line(n, axes, start, spu, delta);
        for (int i = 0; i < n; ++i) m.path.end[i] = end[i];
        PathProfile(c, axes[0], m, t);
        return Started(ci, {std::move(m)}, plan, o);
    }

    int GoArc(int ci, const Cmd& cmd, bool dry, bool plan, double t, Out& o) {
        Controller& c = ctls[ci];
        if (cmd.args.size() != 7) return kErrArg;
        int axes[2] = {AxisOf(cmd.args[0]), AxisOf(cmd.args[1])};
        if (axes[0] < 0 || axes[1] < 0 || axes[0] == axes[1]) return kErrAxis;
        double v[4];
        for (int i = 0; i < 4; ++i)
            if (!ParseDouble(cmd.args[2 + i], &v[i])) return kErrArg;
        char dir = LetterOf(cmd.args[6], "PN");
        if (!dir) return kErrArg;
        if (dry) return kOk;
        std::uint8_t mask = Bit(axes[0]) | Bit(axes[1]);
        if (Busy(c, mask)) return kErrBusy;
        double start[2], spu[2];
        for (int i = 0; i < 2; ++i) {
            start[i] = c.axes[axes[i]].pos;
            spu[i] = 1.0 / c.axes[axes[i]].p.Upp();
        }
        Move m;
        m.axes = mask;
        if (!Path::Arc(axes, start, spu, v[0], v[1], v[2], v[3], dir == 'P', &m.path))
            return kErrArg;
        // The whole way must stay inside the limits, not only the end point.
        constexpr int kSamples = 256;
        for (int k = 1; k <= kSamples; ++k) {
            double s[3];
            m.path.At(m.path.length * k / kSamples, s);
            for (int i = 0; i < 2; ++i)
                if (OutsideLimits(c.axes[axes[i]].p, s[i])) return kErrLimit;
        }
        PathProfile(c, axes[0], m, t);
        return Started(ci, {std::move(m)}, plan, o);
    }

    int MoveIndexOf(const Controller& c, int axis) const {
        for (std::size_t k = 0; k < c.moves.size(); ++k)
            if (c.moves[k].axes & Bit(axis)) return static_cast<int>(k);
        return -1;
    }

    int StopAxis(int ci, const Cmd& cmd, bool dry, double t, Out& o) {
        Controller& c = ctls[ci];
        if (cmd.args.size() != 1) return kErrArg;
        int a = AxisOf(cmd.args[0]);
        if (a < 0) return kErrAxis;
        if (dry) return kOk;
        o.stopAxes = Bit(a);
        int k = MoveIndexOf(c, a);
        if (k >= 0) {
            o.stopAxes |= c.moves[k].axes;  // interpolated partners stop with it
            Freeze(c, static_cast<std::size_t>(k), t);
        }
        return kOk;
    }

    int StopSlow(int ci, const Cmd& cmd, bool dry, double t, Out& o) {
        Controller& c = ctls[ci];
        if (cmd.args.size() != 1) return kErrArg;
        int a = AxisOf(cmd.args[0]);
        if (a < 0) return kErrAxis;
        if (dry) return kOk;
        int k = MoveIndexOf(c, a);
        if (k < 0) {
            o.stopAxes = Bit(a);
            return kOk;
        }
        SlowDown(c.moves[k], t);
        // Acknowledged once the axis stands.
        o.kind = Out::Kind::kDeferred;
        o.moveIds.push_back(c.moves[k].id);
        return kOk;
    }

    int SavePlan(Controller& c, const Cmd& cmd) {
        if (cmd.args.size() != 1 || !ValidPlanName(cmd.args[0])) return kErrPlan;
        bool exists = std::any_of(c.plans.begin(), c.plans.end(),
                                  [&](const Plan& p) { return p.name == cmd.args[0]; });
        if (!exists && c.plans.size() >= kMaxPlans) return kErrPlan;
        c.recording = true;
        c.rec = Plan{};
        c.rec.name = cmd.args[0];
        c.recBlocks.clear();
        return kOk;
    }

    int OverSave(Controller& c, const Cmd& cmd) {
        if (!c.recording) return kErrPlan;
        if (!cmd.args.empty()) return kErrArg;
        c.recording = false;
        if (!c.recBlocks.empty()) return kErrPlan;  // an open #loop or #if: the plan is dropped
        auto it = std::find_if(c.plans.begin(), c.plans.end(),
                               [&](const Plan& p) { return p.name == c.rec.name; });
        if (it != c.plans.end())
            *it = std::move(c.rec);
        else
            c.plans.push_back(std::move(c.rec));
        return kOk;
    }

    // Stores one statement of the plan being recorded, after checking it.
    int Record(int ci, const Cmd& cmd, const std::string& line, double t) {
        Controller& c = ctls[ci];
        Stmt s = StatementOf(cmd.word);
        if (s != Stmt::kNone) {
            if (!StatementArgsOk(s, cmd)) return kErrArg;
        } else {
            Out o;
            int err = Dispatch(ci, cmd, Ctx::kValidate, t, o);
            if (err != kOk) return err;
        }
        if (c.rec.lines.size() >= kMaxPlanLines) return kErrPlan;
        std::size_t index = c.rec.lines.size();
        int match = -1;
        if (s == Stmt::kEndLoop || s == Stmt::kEndIf) {
            if (c.recBlocks.empty()) return kErrPlan;
            std::size_t open = c.recBlocks.back();
            Stmt opened = StatementOf(ParseCmd(c.rec.lines[open]).word);
            bool loop = opened == Stmt::kLoop;
            if (loop != (s == Stmt::kEndLoop)) return kErrPlan;
            c.recBlocks.pop_back();
            c.rec.match[open] = static_cast<int>(index);
            match = static_cast<int>(open);
        } else if (s == Stmt::kLoop || s == Stmt::kIf || s == Stmt::kIfNon) {
            c.recBlocks.push_back(index);
        }
        c.rec.lines.push_back(std::string(Trim(line)));
        c.rec.match.push_back(match);
        return kOk;
    }

    int StartPlan(int ci, const Cmd& cmd, double t, Out& o) {
        Controller& c = ctls[ci];
        if (cmd.args.size() != 1) return kErrArg;
        Run& r = c.run;
        if (r.active) {
            if (!r.paused || r.prog.name != cmd.args[0]) return kErrNotNow;
            r.paused = false;
            if (r.wait == Run::Wait::kDelay) r.delayEnd = t + r.delayLeft;
        } else {
            auto it = std::find_if(c.plans.begin(), c.plans.end(),
                                   [&](const Plan& p) { return p.name == cmd.args[0]; });
            if (it == c.plans.end()) return kErrNoPlan;
            if (MovingAxes(c) != 0) return kErrBusy;
            r = Run{};
            r.active = true;
            r.prog = *it;
        }
        o.kind = Out::Kind::kReady;
        o.plan = true;
        return kOk;
    }

    // Host commands: the recording and plan-run rules, then the command itself.
    int HostCommand(int ci, const Cmd& cmd, const std::string& line, double t, Out& o) {
        Controller& c = ctls[ci];
        const std::string& w = cmd.word;
        bool query = !w.empty() && w.back() == '?';
        bool immediate =
            query || w == "Hello" || w == "select" || w == "end" || w == "STOPALL" || w == "OVER";
        bool planControl = w == "START" || w == "END" || w == "BREAK" || w == "DEL";
        if (c.recording && !immediate) {
            if (w == "SAVE") return kErrPlan;
            if (planControl) return kErrNotNow;
            return Record(ci, cmd, line, t);
        }
        if (StatementOf(w) != Stmt::kNone) return kErrPlan;  // only inside a recording
        bool allowedInRun =
            immediate || planControl || w == "Stop" || w == "StopSlow" || w == "PORTOUTPUT";
        if (c.run.active && !allowedInRun) return KnownWord(w) ? kErrNotNow : kErrUnknown;
        return Dispatch(ci, cmd, Ctx::kHost, t, o);
    }

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
        int err = HostCommand(ci, cmd, line, t, o);
        Controller& c = ctls[sel];  // "select" answers from the new controller
        if (err != kOk) {
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
            s.out += ErrorReply(kErrUnknown);
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
