#include "KT300Protocol.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <chrono>
#include <climits>
#include <cmath>
#include <cstdint>
#include <initializer_list>
#include <span>
#include <string>
#include <string_view>
#include <thread>

#include "KorvaSplit.h"
#include "NumText.h"
#include "Trace.h"

namespace {

constexpr int kDefaultLimitMs = 2000;
constexpr int kHandshakeLimitMs = 3000;
constexpr int kMotionLimitMs = 60000;
constexpr int kStopLimitMs = 30000;
constexpr int kPlanStatementLimitMs = 30000;
constexpr int kDeletePlanLimitMs = 10000;
constexpr int kQuickLimitMs = 50;
constexpr int kMultiHomeLimitMs = 10000000;
constexpr int kNoWaitCaptureMs = 100;
constexpr std::size_t kMaxPlanName = 8;
constexpr int kRepeatsForStop = 5;  // a reading repeated more often than this means stopped
// How long a stop waits for a running exchange to give up the busy flag. The
// reply wait ends at once when a stop asks; only a line still being written
// (the write stall limit of the link, 1000 ms) can hold it longer.
constexpr int kStopTakeOverMs = 3000;

const char kCR = 13;

// The position query's last value text and repeat counter: one copy for the
// whole module, shared by every axis and every protocol object.
struct PositionTracking {
    std::mutex lock;
    std::string lastText;
    int repeatCount = 0;
};

PositionTracking& Tracking() {
    static PositionTracking tracking;
    return tracking;
}

bool IsAxis(int axis) {
    return axis >= 0 && axis <= 3;
}

char OptionLetter(int value, char ifOne, char ifZero) {
    return value == 1 ? ifOne : ifZero;
}

// A caller text carried by %s must stay one line: a CR or LF would end the
// command early and make the rest a second command, a NUL would cut it silently.
bool IsOneLineText(const std::string& text) {
    return text.find_first_of(std::string_view("\r\n\0", 3)) == std::string::npos;
}

// Line, word, field: the reply's first line (split at CR), that line's second
// word (split at space) and the word's comma field `field`.
enum class Extract { Ok, NoLine, NoWord, NoField };

Extract ExtractPiece(const std::string& reply, int field, std::string* out) {
    std::string line, word;
    if (!KorvaSplit(kCR, reply).GetAt(0, line)) return Extract::NoLine;
    if (!KorvaSplit(' ', line).GetAt(1, word)) return Extract::NoWord;
    if (field < 0) {
        *out = word;
        return Extract::Ok;
    }
    if (!KorvaSplit(',', word).GetAt(field, *out)) return Extract::NoField;
    return Extract::Ok;
}

bool ExtractValue(const std::string& reply, std::string* out) {
    return ExtractPiece(reply, 1, out) == Extract::Ok;
}

// First word (split at space) of `text`.
std::string FirstWord(const std::string& text) {
    std::string word;
    KorvaSplit(' ', text).GetAt(0, word);
    return word;
}

bool EqualNoCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) ==
                      std::tolower(static_cast<unsigned char>(y));
           });
}

// Whether a value text is one number in C notation (blanks around allowed),
// independent of the process locale. "nan" and "inf" count as numbers.
bool IsNumberText(std::string_view text) {
    while (!text.empty() && text.front() == ' ') text.remove_prefix(1);
    while (!text.empty() && text.back() == ' ') text.remove_suffix(1);
    if (!text.empty() && text.front() == '+') text.remove_prefix(1);
    if (text.empty()) return false;
    double value;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    return ec == std::errc() && end == text.data() + text.size();
}

// "E00".."E07" at the start of a line.
int ErrorDigit(std::string_view line) {
    if (line.size() >= 3 && line[0] == 'E' && line[1] == '0' && line[2] >= '0' && line[2] <= '7')
        return line[2] - '0';
    return -1;
}

bool IsStopLine(std::string_view line) {
    return line.size() == 6 && KT300Protocol::AxisIndex(std::string(line.substr(0, 1))) >= 0 &&
           line.substr(1) == " STOP";
}

// "OK" as a line of its own, or as the first word of a line.
bool IsOkLine(std::string_view line) {
    return line == "OK" || line.starts_with("OK ");
}

bool AllFinite(std::initializer_list<float> values) {
    for (float v : values)
        if (!std::isfinite(v)) {
            korva::Trace("KT300Protocol: a number argument is not finite, not sent\n");
            return false;
        }
    return true;
}

using Shape = KT300Protocol::ReplyShape;
using ReplyKind = KT300Protocol::ReplyKind;
const Shape kAckShape{ReplyKind::kAck, {}, 0};
const Shape kMotionShape{ReplyKind::kMotion, {}, 0};

// The reply shape of a query line "<word>? <axis>" or "<word>?".
Shape QueryShape(const std::string& line) {
    Shape shape{ReplyKind::kQuery, {}, 0};
    const std::size_t space = line.find(' ');
    shape.word = line.substr(0, std::min(space, line.find('?')));
    if (space != std::string::npos && space + 1 < line.size()) shape.axis = line[space + 1];
    return shape;
}

// The first line of a framed reply whose first word is the query's word.
bool FindValueLine(const std::string& reply, const Shape& shape, std::string* line) {
    KorvaSplit lines(kCR, reply);
    std::string candidate;
    for (int i = 0; lines.GetAt(i, candidate); ++i) {
        if (EqualNoCase(FirstWord(candidate), shape.word)) {
            *line = candidate;
            return true;
        }
    }
    return false;
}

// A letter code travels as one letter; the query reply is compared whole.
struct LetterCode {
    const char* text;
    int code;
};

enum class Kind { Float, Int, Letter, IntAsFloat, Text };

struct ValueRange {
    int min;
    int max;  // min > max: any value
};
constexpr ValueRange kAny{1, 0};

struct AxisParamRow {
    const char* setFormat;
    const char* queryFormat;
    Kind kind;
    bool checkAxis;
    ValueRange range;
    char (*toLetter)(int value) = nullptr;  // letter codes: the letter sent for a value
    std::span<const LetterCode> codes{};    // letter codes: reply texts in matching order
};

char StageStyleLetter(int v) {
    return OptionLetter(v, 'R', 'T');
}
char WorkStateLetter(int v) {
    return OptionLetter(v, 'O', 'C');
}
char LimitAbleLetter(int v) {
    return OptionLetter(v, 'D', 'E');
}

constexpr LetterCode kStageStyleCodes[] = {{"T", 0}, {"R", 1}};
constexpr LetterCode kWorkStateCodes[] = {{"O", 1}, {"C", 0}};
constexpr LetterCode kSecondHomeCodes[] = {{"1", 1}, {"2", 2}};
constexpr LetterCode kUnitCodes[] = {{"M", 1}, {"U", 3}, {"S", 2}, {"D", 0}};
constexpr LetterCode kLimitAbleCodes[] = {{"D", 1}, {"E", 0}};

}  // namespace

enum class KT300Protocol::ParamId : int {
    StageStyle,
    StagePitch,
    StepAngle,
    MicroStep,
    DriveRatio,
    Radius,
    Distance,
    WorkState,
    Speed,
    InitSpeed,
    AccSpeed,
    DccSpeed,
    HomeSpeed,
    HomeSpeedFactor,
    SecondHomeMode,
    Unit,
    UserOrigin,
    UserPositiveLimit,
    UserNegativeLimit,
    UserLimitAble,
    Offset,
    EncoderResolution,
    EncoderStyle,
    CommandPulses,
    StageStepsRev,
};

namespace {

// One row per axis parameter, in ParamId order.
const AxisParamRow kAxisParams[] = {
    {"SetStageStyle %c,%c",
     "SetStageStyle? %c",
     Kind::Letter,
     true,
     {0, 1},
     StageStyleLetter,
     kStageStyleCodes},
    {"SetStagePitch %c,%f", "SetStagePitch? %c", Kind::Float, true, kAny},
    {"SetStageStepAngle %c,%f", "SetStageStepAngle? %c", Kind::Float, true, kAny},
    {"SetStageMicroStep %c,%d", "SetStageMicroStep? %c", Kind::Int, true, kAny},
    {"SetStageDriveRat %c,%d", "SetStageDriveRat? %c", Kind::Int, true, kAny},
    {"SetStageRadius %c,%d", "SetStageRadius? %c", Kind::Int, true, kAny},
    {"SetStageDistance %c,%f", "SetStageDistance? %c", Kind::Float, true, kAny},
    {"SetStageWorkState %c,%c",
     "SetStageWorkState? %c",
     Kind::Letter,
     true,
     {0, 1},
     WorkStateLetter,
     kWorkStateCodes},
    {"SetSpeed %c,%f", "SetSpeed? %c", Kind::Float, true, kAny},
    {"SetInitSpeed %c,%f", "SetInitSpeed? %c", Kind::Float, true, kAny},
    {"SetAccSpeed %c,%f", "SetAccSpeed? %c", Kind::Float, true, kAny},
    {"SetDccSpeed %c,%f", "SetDccSpeed? %c", Kind::Float, true, kAny},
    {"SetHomeSpeed %c,%f", "SetHomeSpeed? %c", Kind::Float, true, kAny},
    {"SetHomeSpeedFactor %c,%f", "SetHomeSpeedFactor? %c", Kind::Float, true, kAny},
    // Sent as a number, read back as a code compared whole.
    {"Setsechhomemode %c,%d", "Setsechhomemode? %c", Kind::Letter, true, kAny, nullptr,
     kSecondHomeCodes},
    {"SetUnit %c,%c",
     "SetUnit? %c",
     Kind::Letter,
     true,
     {0, 3},
     KT300Protocol::UnitLetter,
     kUnitCodes},
    {"SetUserOrigin %c,%f", "SetUserOrigin? %c", Kind::Float, true, kAny},
    {"SetUserPositiveLimit %c,%f", "SetUserPositiveLimit? %c", Kind::Float, true, kAny},
    {"SetUserNegativeLimit %c,%f", "SetUserNegativeLimit? %c", Kind::Float, true, kAny},
    {"SetUserLimitAble %c,%c", "SetUserlimitable? %c", Kind::Letter, false, kAny, LimitAbleLetter,
     kLimitAbleCodes},
    {"SetOffset %c,%d", "SetOffset? %c", Kind::IntAsFloat, true, kAny},
    {"SetEncoderResolution %c,%f", "SetEncoderResolution? %c", Kind::Float, true, kAny},
    {"SetEncoderStyle %c,%s", "SetEncoderStyle? %c", Kind::Text, false, kAny},
    {"SetCommandPulses %c,%d", "SetCommandPulses? %c", Kind::Int, true, {1, 1048576}},
    {"SetStageStepsRev %c,%f", "SetStageStepsRev? %c", Kind::Float, true, kAny},
};
static_assert(std::size(kAxisParams) == 25);

const AxisParamRow& Row(int id) {
    return kAxisParams[id];
}

bool SetChecksPass(const AxisParamRow& row, int axis, int value) {
    if (row.checkAxis && !IsAxis(axis)) return false;
    if (row.range.min <= row.range.max && (value < row.range.min || value > row.range.max))
        return false;
    return true;
}

// Plan-body statements: how the 16-bit value is checked and sent.
enum class PlanValue { None, Unsigned16, Port, Input };

struct PlanRow {
    const char* format;
    PlanValue value;
};

}  // namespace

enum class KT300Protocol::PlanId : int {
    Delay,
    Until,
    UntilAt,
    UntilNon,
    UntilNonAt,
    Loop,
    EndLoop,
    If,
    IfAt,
    EndIf,
    IfNon,
    IfNonAt,
};

namespace {

// Port: a plain number 0..255; Input: an at-sign number 1..8.
const PlanRow kPlanRows[] = {
    {"delay %d", PlanValue::Unsigned16}, {"until %d", PlanValue::Port},
    {"until @%d", PlanValue::Input},     {"until_non %d", PlanValue::Port},
    {"until_non @%d", PlanValue::Input}, {"#loop %d", PlanValue::Unsigned16},
    {"#end_loop", PlanValue::None},      {"#if %d", PlanValue::Port},
    {"#if @%d", PlanValue::Input},       {"#end_if", PlanValue::None},
    {"#if_non %d", PlanValue::Port},     {"#if_non @%d", PlanValue::Input},
};
static_assert(std::size(kPlanRows) == 12);

}  // namespace

// ---------------------------------------------------------------- core

KT300Protocol::KT300Protocol() = default;

// The receive thread calls virtual members of this object: end it while the
// object is still whole, before the base destructor takes the link down.
KT300Protocol::~KT300Protocol() {
    CloseLink();
}

bool KT300Protocol::Connect() {
    if (m_bConnected) {
        m_LastError = 0;
        return true;
    }
    SetBaudRate(19200);
    if (!OpenLink()) {
        korva::Trace("KT300Protocol: open link failed (%d): %s\n", GetLinkErrorCode(),
                     GetOpenFailureText().c_str());
        // The reason, for GetErrorCode and GetLastErrorText.
        SetErrorCode(GetOpenFailureCode() != 0 ? GetOpenFailureCode() : GetLinkErrorCode(),
                     GetOpenFailureText());
        return false;
    }
    if (m_SelectNumber > 0) SelectDevice(m_SelectNumber);  // result deliberately not used
    ClearReceived();
    if (!Exchange("Hello", kHandshakeLimitMs, nullptr)) {
        const long code = m_LastError.load();
        korva::Trace("KT300Protocol: handshake failed (%ld)\n", code);
        const std::string device = GetUSBMode() ? "USB device \"" + GetUSBSerial() + "\""
                                                : "COM" + std::to_string(GetPortNumber()) + " (" +
                                                      m_Serial.DevicePath() + ")";
        std::string why =
            code == kErrController ? "the answer to \"Hello\" is text no controller sends"
            : code == kErrNoFlag   ? "no answer to \"Hello\" within 3000 ms"
                                   : "\"Hello\" failed: " + std::string(ErrorTextOf(code));
        CloseLink();
        SetLinkErrorCode(kLinkErrHandshake);
        SetErrorCode(code, "No controller on " + device + ": " + why);
        return false;
    }
    m_bConnected = true;
    return true;
}

void KT300Protocol::SetErrorCode(long code, const std::string& text) {
    std::lock_guard<std::mutex> guard(m_ReplyLock);
    m_LastError = code;
    m_TextCode = code;
    m_LastErrorText = text;
}

const char* KT300Protocol::ErrorTextOf(long code) {
    const char* text = ProtocolErrorText(code);
    return *text ? text : LinkErrorText(static_cast<int>(code));
}

std::string KT300Protocol::GetLastErrorText() const {
    const long code = m_LastError.load();
    if (code == 0) return std::string();
    {
        std::lock_guard<std::mutex> guard(m_ReplyLock);
        if (code == m_TextCode && !m_LastErrorText.empty()) return m_LastErrorText;
    }
    return ErrorTextOf(code);
}

bool KT300Protocol::Disconnect() {
    const bool closed = CloseLink();
    if (m_bAborted.exchange(false)) ReleaseWaitInterrupt();
    if (!closed) return false;
    m_bConnected = false;
    return true;
}

void KT300Protocol::SetReply(const std::string& text) {
    std::lock_guard<std::mutex> guard(m_ReplyLock);
    m_Reply = text;
}

std::string KT300Protocol::GetReply() const {
    std::lock_guard<std::mutex> guard(m_ReplyLock);
    return m_Reply;
}

const char* KT300Protocol::ProtocolErrorText(long code) {
    switch (code) {
        case kErrLinkClosed:
            return "Link not open";
        case kErrBusy:
            return "Another exchange is in progress";
        case kErrSendNoWait:
            return "Send without waiting failed";
        case kErrPortInput:
            return "Port input reply holds no readable value";
        case kErrBadReply:
            return "Reply holds no valid value for the query";
        case kErrInterrupted:
            return "Interrupted by a stop";
        default:
            break;
    }
    if (code >= kErrController && code <= kErrController + 7) return "Controller error reply";
    return "";
}

KT300Protocol::FramedReply KT300Protocol::FrameReply(std::string_view received,
                                                     const ReplyShape& shape) {
    FramedReply out;
    while (!received.empty()) {
        const std::size_t cr = received.find(kCR);
        if (cr == std::string_view::npos) break;  // a line still arriving
        std::string_view line = received.substr(0, cr);
        received.remove_prefix(cr + 1);
        while (!line.empty() && line.front() == '\n') line.remove_prefix(1);
        while (!line.empty() && line.back() == '\n') line.remove_suffix(1);
        if (line.empty()) continue;
        if (IsOkLine(line)) {
            out.text += "OK";
            out.text += kCR;
            out.complete = true;
            return out;
        }
        bool allowed = shape.kind == ReplyKind::kFree || ErrorDigit(line) >= 0 || IsStopLine(line);
        if (!allowed && shape.kind == ReplyKind::kMotion) allowed = line == "READY";
        if (!allowed && shape.kind == ReplyKind::kQuery) {
            const std::size_t space = line.find(' ');
            const std::string_view word = line.substr(0, space);
            allowed = EqualNoCase(word, shape.word);
            if (allowed && shape.axis != 0) {
                std::string_view rest =
                    space == std::string_view::npos ? std::string_view() : line.substr(space);
                while (!rest.empty() && rest.front() == ' ') rest.remove_prefix(1);
                allowed = rest.size() >= 2 && rest[0] == shape.axis && rest[1] == ',';
            }
        }
        if (!allowed) {
            ++out.discarded;
            continue;
        }
        out.text += line;
        out.text += kCR;
    }
    // An error reply may still lack its CR when the limit runs out.
    if (ErrorDigit(received) >= 0) out.text += received;
    return out;
}

bool KT300Protocol::TakeBusy(Priority priority) {
    bool idle = false;
    if (priority == Priority::kNormal) {
        // A stop that waits for the flag goes first.
        if (m_StopsWaiting.load() > 0) return false;
        return m_bBusy.compare_exchange_strong(idle, true);
    }
    // A stop ends a waiting exchange and takes the flag as soon as it is free.
    ++m_StopsWaiting;
    RequestWaitInterrupt();
    bool taken;
    {
        std::unique_lock<std::mutex> lock(m_BusyLock);
        taken = m_BusyReleased.wait_for(lock, std::chrono::milliseconds(kStopTakeOverMs), [&] {
            bool free = false;
            return m_bBusy.compare_exchange_strong(free, true);
        });
    }
    ReleaseWaitInterrupt();
    --m_StopsWaiting;
    return taken;
}

void KT300Protocol::ReleaseBusy() {
    {
        std::lock_guard<std::mutex> guard(m_BusyLock);
        m_bBusy = false;
    }
    m_BusyReleased.notify_all();
}

class KT300Protocol::BusyGuard {
  public:
    BusyGuard(KT300Protocol& protocol, Priority priority)
        : m_Protocol(protocol), m_bHeld(protocol.TakeBusy(priority)) {}
    ~BusyGuard() { Release(); }
    BusyGuard(const BusyGuard&) = delete;
    BusyGuard& operator=(const BusyGuard&) = delete;
    bool Held() const { return m_bHeld; }
    // Gives the flag back before the guard ends, so a waiting stop goes at
    // once while this exchange finishes its own bookkeeping.
    void Release() {
        if (!m_bHeld) return;
        m_bHeld = false;
        m_Protocol.ReleaseBusy();
    }

  private:
    KT300Protocol& m_Protocol;
    bool m_bHeld;
};

bool KT300Protocol::Exchange(const std::string& command, int timeLimitMs, std::string* reply,
                             const ReplyShape& shape, Priority priority) {
    m_LastError = 0;
    // Test and set in one step: two threads must never both pass.
    BusyGuard busy(*this, priority);
    if (!busy.Held()) {
        m_LastError = kErrBusy;
        return false;
    }
    if (!IsLinkOpen()) {
        busy.Release();
        m_LastError = kErrLinkClosed;
        return false;
    }
    SetReply(std::string());
    // A stop goes out at once: it neither waits for a quiet line nor is
    // refused because another stop is on its way (that one ends this wait).
    bool ok = SendWaitReply(
        command, timeLimitMs,
        [&shape](std::string_view received) { return FrameReply(received, shape).complete; },
        priority == Priority::kNormal);
    const int linkCode = GetLinkErrorCode();
    m_LastError = linkCode == kErrWaitInterrupted ? kErrInterrupted : linkCode;
    std::string text;
    GetReceivedText(text);
    SetReply(text);
    const FramedReply framed = FrameReply(text, shape);
    if (framed.discarded > 0) {
        m_DiscardedLines += framed.discarded;
        korva::Trace("KT300Protocol: %d reply line(s) left over from an earlier reply discarded\n",
                     framed.discarded);
    }
    if (reply) *reply = framed.text;
    if (!ok) {
        busy.Release();
        if (m_LastError != kErrInterrupted) {
            KorvaSplit lines(kCR, framed.text);
            std::string first;
            if (lines.GetAt(0, first) && ErrorDigit(first) >= 0)
                m_LastError = kErrController + ErrorDigit(first);
        }
        return false;
    }
    // A serial port that echoes or belongs to another device answers the
    // handshake with text no controller sends.
    if (!GetUSBMode() && command.find("Hello") != std::string::npos &&
        (text.find('L') != std::string::npos || text.find("POSITION") != std::string::npos)) {
        m_LastError = kErrController;
        return false;
    }
    return true;
}

bool KT300Protocol::Exchange(const std::string& command, int timeLimitMs, std::string* reply) {
    return Exchange(command, timeLimitMs, reply, ReplyShape());
}

bool KT300Protocol::SendCommand(const std::string& command, int timeLimitMs) {
    return Exchange(command, timeLimitMs, nullptr);
}

bool KT300Protocol::SendQuickCommand(const std::string& command) {
    return Exchange(command, kQuickLimitMs, nullptr);
}

bool KT300Protocol::SendNoWaitCapture(const std::string& command, std::string* reply) {
    if (!IsLinkOpen()) {
        m_LastError = kErrLinkClosed;
        return false;
    }
    // The same bytes as the link's SendNoWait, but the line must have left
    // whole: a controller that stopped reading must not be reported as told.
    SetLinkErrorCode(0);
    ResetReceiveState();
    if (!EndCutLine() || !WriteWhole(command + GetTerminator())) {
        m_LastError =
            GetLinkErrorCode() == kErrWriteIncomplete ? kErrWriteIncomplete : kErrSendNoWait;
        return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(kNoWaitCaptureMs));
    std::string text;
    GetReceivedText(text);
    SetReply(text);
    if (reply) *reply = text;
    return true;
}

bool KT300Protocol::SendCommandNoWait(const std::string& command) {
    return SendNoWaitCapture(command, nullptr);
}

bool KT300Protocol::SendMotion(const std::string& command, std::string* reply) {
    if (m_bSyncMode) return Exchange(command, kMotionLimitMs, reply, kMotionShape);
    if (!SendNoWaitCapture(command, reply)) return false;
    m_LastError = 0;  // a move that went out is a success like any other
    return true;
}

bool KT300Protocol::SetSyncMode(bool mode) {
    m_bSyncMode = mode;
    return true;
}

bool KT300Protocol::GetStopFlag(int axis) const {
    if (!IsAxis(axis)) return false;
    return m_StopFlag[static_cast<std::size_t>(axis)] == 1;
}

bool KT300Protocol::SetStopFlag(int axis, short flag) {
    if (IsAxis(axis)) m_StopFlag[static_cast<std::size_t>(axis)] = flag == 0 ? 0 : 1;
    return false;  // callers never look at the result; kept as it always was
}

char KT300Protocol::AxisLetter(int axis) {
    static constexpr char kLetters[] = {'X', 'Y', 'Z', 'T'};
    return IsAxis(axis) ? kLetters[axis] : '\0';
}

int KT300Protocol::AxisIndex(const std::string& letter) {
    if (letter == "X") return 0;
    if (letter == "Y") return 1;
    if (letter == "Z") return 2;
    if (letter == "T") return 3;
    return -1;
}

char KT300Protocol::UnitLetter(int unit) {
    static constexpr char kLetters[] = {'d', 'm', 's', 'u'};
    return unit >= 0 && unit <= 3 ? kLetters[unit] : '\0';
}

void KT300Protocol::MarkStopped(const std::string& axisWord) {
    int axis = AxisIndex(axisWord);
    if (IsAxis(axis)) m_StopFlag[static_cast<std::size_t>(axis)] = 1;
}

// ---------------------------------------------------------------- axis parameters

bool KT300Protocol::SetIntParam(ParamId id, int axis, int value) {
    const AxisParamRow& row = Row(static_cast<int>(id));
    if (!SetChecksPass(row, axis, value)) return false;
    std::string line;
    if (row.kind == Kind::Letter && row.toLetter)
        line = korva::FormatLine(row.setFormat, AxisLetter(axis), row.toLetter(value));
    else
        line = korva::FormatLine(row.setFormat, AxisLetter(axis), value);
    return Exchange(line, kDefaultLimitMs, nullptr, kAckShape);
}

bool KT300Protocol::SetFloatParam(ParamId id, int axis, float value) {
    const AxisParamRow& row = Row(static_cast<int>(id));
    if (!SetChecksPass(row, axis, 0) || !AllFinite({value})) return false;
    std::string line =
        korva::FormatLine(row.setFormat, AxisLetter(axis), static_cast<double>(value));
    return Exchange(line, kDefaultLimitMs, nullptr, kAckShape);
}

// The exchange of a query and its value line. A reply without a value line
// (lost, or only lines of other replies) fails with kErrBadReply.
bool KT300Protocol::QueryExchange(const std::string& command, const ReplyShape& shape,
                                  std::string* valueLine) {
    std::string reply;
    if (!Exchange(command, kDefaultLimitMs, &reply, shape)) return false;
    if (!FindValueLine(reply, shape, valueLine)) {
        korva::Trace("KT300Protocol: reply to \"%s\" holds no value line\n", command.c_str());
        m_LastError = kErrBadReply;
        return false;
    }
    return true;
}

bool KT300Protocol::GetIntParam(ParamId id, int axis, int* value) {
    const AxisParamRow& row = Row(static_cast<int>(id));
    if (!value) return false;
    *value = -1;
    const std::string command = korva::FormatLine(row.queryFormat, AxisLetter(axis));
    std::string line, field;
    if (!QueryExchange(command, QueryShape(command), &line)) return false;
    if (!ExtractValue(line, &field) || (row.kind != Kind::Letter && !IsNumberText(field))) {
        m_LastError = kErrBadReply;
        return false;
    }
    if (row.kind == Kind::Letter) {
        for (const LetterCode& code : row.codes) {
            if (field == code.text) {
                *value = code.code;
                break;
            }
        }
        return true;  // an unknown letter leaves -1 but is still a reply
    }
    *value = korva::AtoI(field);
    return true;
}

bool KT300Protocol::GetFloatParam(ParamId id, int axis, float* value) {
    const AxisParamRow& row = Row(static_cast<int>(id));
    if (!value) return false;
    *value = -1.0f;
    const std::string command = korva::FormatLine(row.queryFormat, AxisLetter(axis));
    std::string line, field;
    if (!QueryExchange(command, QueryShape(command), &line)) return false;
    if (!ExtractValue(line, &field) || !IsNumberText(field)) {
        m_LastError = kErrBadReply;
        return false;
    }
    if (row.kind == Kind::IntAsFloat)
        *value = static_cast<float>(korva::AtoI(field));
    else
        *value = static_cast<float>(korva::AtoF(field));
    return true;
}

#define KORVA_INT_PARAM(Name)                             \
    bool KT300Protocol::Set##Name(int axis, int value) {  \
        return SetIntParam(ParamId::Name, axis, value);   \
    }                                                     \
    bool KT300Protocol::Get##Name(int axis, int* value) { \
        return GetIntParam(ParamId::Name, axis, value);   \
    }
#define KORVA_FLOAT_PARAM(Name)                             \
    bool KT300Protocol::Set##Name(int axis, float value) {  \
        return SetFloatParam(ParamId::Name, axis, value);   \
    }                                                       \
    bool KT300Protocol::Get##Name(int axis, float* value) { \
        return GetFloatParam(ParamId::Name, axis, value);   \
    }

KORVA_INT_PARAM(StageStyle)
KORVA_FLOAT_PARAM(StagePitch)
KORVA_FLOAT_PARAM(StepAngle)
KORVA_INT_PARAM(MicroStep)
KORVA_INT_PARAM(DriveRatio)
KORVA_INT_PARAM(Radius)
KORVA_FLOAT_PARAM(Distance)
KORVA_INT_PARAM(WorkState)
KORVA_FLOAT_PARAM(Speed)
KORVA_FLOAT_PARAM(InitSpeed)
KORVA_FLOAT_PARAM(AccSpeed)
KORVA_FLOAT_PARAM(DccSpeed)
KORVA_FLOAT_PARAM(HomeSpeed)
KORVA_FLOAT_PARAM(HomeSpeedFactor)
KORVA_INT_PARAM(SecondHomeMode)
KORVA_INT_PARAM(Unit)
KORVA_FLOAT_PARAM(UserOrigin)
KORVA_FLOAT_PARAM(UserPositiveLimit)
KORVA_FLOAT_PARAM(UserNegativeLimit)
KORVA_INT_PARAM(UserLimitAble)
KORVA_FLOAT_PARAM(EncoderResolution)
KORVA_INT_PARAM(CommandPulses)
KORVA_FLOAT_PARAM(StageStepsRev)

#undef KORVA_INT_PARAM
#undef KORVA_FLOAT_PARAM

// The offset is sent as an int and read back through atoi into a float.
bool KT300Protocol::SetOffset(int axis, int value) {
    return SetIntParam(ParamId::Offset, axis, value);
}

bool KT300Protocol::GetOffset(int axis, float* value) {
    return GetFloatParam(ParamId::Offset, axis, value);
}

bool KT300Protocol::SetEncoderStyle(int axis, const std::string& value) {
    const AxisParamRow& row = Row(static_cast<int>(ParamId::EncoderStyle));
    if (!IsOneLineText(value)) {
        korva::Trace("KT300Protocol: encoder style text holds a line break or NUL, not sent\n");
        return false;
    }
    return Exchange(korva::FormatLine(row.setFormat, AxisLetter(axis), value.c_str()),
                    kDefaultLimitMs, nullptr, kAckShape);
}

bool KT300Protocol::GetEncoderStyle(int axis, std::string* value) {
    const AxisParamRow& row = Row(static_cast<int>(ParamId::EncoderStyle));
    if (!value) return false;
    const std::string command = korva::FormatLine(row.queryFormat, AxisLetter(axis));
    std::string reply, field;
    if (!Exchange(command, kDefaultLimitMs, &reply, QueryShape(command))) return false;
    std::string line;
    const bool found = FindValueLine(reply, QueryShape(command), &line);
    switch (found ? ExtractPiece(line, 1, &field) : Extract::NoLine) {
        case Extract::Ok:
            break;
        case Extract::NoLine:
            // No value line: reported as the missing field it always was.
            SetLinkErrorCode(found ? kLinkErrNoLine : kLinkErrNoField);
            m_LastError = kErrBadReply;
            return false;
        case Extract::NoWord:
        case Extract::NoField:
            SetLinkErrorCode(kLinkErrNoField);
            m_LastError = kErrBadReply;
            return false;
    }
    *value = field;
    return true;
}

// ---------------------------------------------------------------- motion

bool KT300Protocol::ReadyCheck(int axis, const std::string& reply) {
    KorvaSplit lines(kCR, reply);
    std::string first, second;
    if (!lines.GetAt(0, first) || first != "READY") return false;
    if (!lines.GetAt(1, second) || second == "READY") return true;
    m_StopFlag[static_cast<std::size_t>(axis)] = 1;
    return true;
}

bool KT300Protocol::GoOrigin(int axis) {
    if (!IsAxis(axis)) return false;
    std::string reply;
    if (!Exchange(korva::FormatLine("GoOrigion %c", AxisLetter(axis)), kDefaultLimitMs, &reply,
                  kMotionShape))
        return false;
    return ReadyCheck(axis, reply);
}

bool KT300Protocol::GoHome(int axis) {
    if (!IsAxis(axis)) return false;
    std::string reply;
    if (!SendMotion(korva::FormatLine("GoHome %c", AxisLetter(axis)), &reply)) return false;
    return ReadyCheck(axis, reply);
}

bool KT300Protocol::Go(int axis, int dir) {
    if (!IsAxis(axis) || dir < 0 || dir > 1) return false;
    std::string reply;
    if (!SendMotion(korva::FormatLine("Go %c,%c", AxisLetter(axis), OptionLetter(dir, 'P', 'N')),
                    &reply))
        return false;
    return ReadyCheck(axis, reply);
}

bool KT300Protocol::GoPosition(int axis, int workstate, int state, int dir, float x) {
    if (!IsAxis(axis)) return false;
    for (int option : {workstate, state, dir})
        if (option < 0 || option > 1) return false;
    if (!AllFinite({x})) return false;
    std::string reply;
    std::string line = korva::FormatLine(
        "GoPosition %c,%c,%c,%c,%f", AxisLetter(axis), OptionLetter(workstate, 'O', 'C'),
        OptionLetter(state, 'R', 'A'), OptionLetter(dir, 'P', 'N'), static_cast<double>(x));
    if (!SendMotion(line, &reply)) return false;
    // The reply's second line (or the only one) names an axis that has stopped,
    // whichever axis this command moved.
    std::string second;
    if (!KorvaSplit(kCR, reply).GetAt(1, second)) second = reply;
    MarkStopped(FirstWord(second));
    return true;
}

bool KT300Protocol::GoLine2(int axis1, float p1, int axis2, float p2) {
    if (!IsAxis(axis1) || !IsAxis(axis2) || axis1 == axis2 || !AllFinite({p1, p2})) return false;
    return SendMotion(
        korva::FormatLine("GoInterpolationline2 %c,%f,%c,%f", AxisLetter(axis1),
                          static_cast<double>(p1), AxisLetter(axis2), static_cast<double>(p2)),
        nullptr);
}

bool KT300Protocol::GoLine3(int axis1, float p1, int axis2, float p2, int axis3, float p3) {
    if (!IsAxis(axis1) || !IsAxis(axis2) || !IsAxis(axis3)) return false;
    if (axis1 == axis2 || axis1 == axis3 || axis2 == axis3) return false;
    if (!AllFinite({p1, p2, p3})) return false;
    return SendMotion(
        korva::FormatLine("GoInterpolationline3 %c,%f,%c,%f,%c,%f", AxisLetter(axis1),
                          static_cast<double>(p1), AxisLetter(axis2), static_cast<double>(p2),
                          AxisLetter(axis3), static_cast<double>(p3)),
        nullptr);
}

bool KT300Protocol::GoArc(int axis1, int axis2, float target_posx, float target_posy,
                          float cen_posx, float cen_posy, int arc_dir) {
    if (!IsAxis(axis1) || !IsAxis(axis2) || axis1 == axis2) return false;
    if (!AllFinite({target_posx, target_posy, cen_posx, cen_posy})) return false;
    return SendMotion(
        korva::FormatLine("GoInterpolationArc %c,%c,%f,%f,%f,%f,%c", AxisLetter(axis1),
                          AxisLetter(axis2), static_cast<double>(target_posx),
                          static_cast<double>(target_posy), static_cast<double>(cen_posx),
                          static_cast<double>(cen_posy), OptionLetter(arc_dir, 'P', 'N')),
        nullptr);
}

bool KT300Protocol::GoMultiAxisHome(const std::string& xYN, const std::string& yYN,
                                    const std::string& zYN, const std::string& tYN) {
    for (const std::string* text : {&xYN, &yYN, &zYN, &tYN}) {
        if (!IsOneLineText(*text)) {
            korva::Trace("KT300Protocol: home selection holds a line break or NUL, not sent\n");
            return false;
        }
    }
    return Exchange(korva::FormatLine("GonAxisHome %s,%s,%s,%s", xYN.c_str(), yYN.c_str(),
                                      zYN.c_str(), tYN.c_str()),
                    kMultiHomeLimitMs, nullptr, kMotionShape);
}

bool KT300Protocol::Stop(int axis) {
    if (!IsAxis(axis)) return false;
    std::string reply, first;
    if (!Exchange(korva::FormatLine("Stop %c", AxisLetter(axis)), kStopLimitMs, &reply,
                  kMotionShape, Priority::kStop))
        return false;
    if (!KorvaSplit(kCR, reply).GetAt(0, first)) return false;
    m_StopFlag[static_cast<std::size_t>(axis)] = 1;
    return true;
}

bool KT300Protocol::StopSlow(int axis) {
    if (!IsAxis(axis)) return false;
    std::string reply, first;
    if (!Exchange(korva::FormatLine("StopSlow %c", AxisLetter(axis)), kStopLimitMs, &reply,
                  kMotionShape, Priority::kStop))
        return false;
    if (!KorvaSplit(kCR, reply).GetAt(0, first)) return false;
    m_StopFlag[static_cast<std::size_t>(axis)] = 1;
    return true;
}

bool KT300Protocol::StopAll() {
    return Exchange("STOPALL", kStopLimitMs, nullptr, kMotionShape, Priority::kStop);
}

bool KT300Protocol::Abort(unsigned axes) {
    if (!m_bAborted.exchange(true)) RequestWaitInterrupt();  // stands until Disconnect
    BusyGuard busy(*this, Priority::kStop);
    if (!busy.Held()) return false;
    bool ok = true;
    for (int axis = 0; axis < 4; ++axis) {
        if ((axes & (1u << axis)) == 0) continue;
        if (!IsLinkOpen() ||
            !WriteWhole(korva::FormatLine("StopSlow %c", AxisLetter(axis)) + GetTerminator()))
            ok = false;
    }
    return ok;
}

bool KT300Protocol::GetPosition(int axis, double* position) {
    if (!position) return false;
    *position = 0.0;
    const std::string command = korva::FormatLine("Position? %c", AxisLetter(axis));
    const Shape shape = QueryShape(command);
    std::string reply;
    if (!Exchange(command, kDefaultLimitMs, &reply, shape)) return false;

    // A line that starts with an axis letter reports that axis stopped.
    KorvaSplit lines(kCR, reply);
    std::string first, second;
    if (!lines.GetAt(1, second)) second = reply;
    MarkStopped(FirstWord(second));
    if (!lines.GetAt(0, first)) return false;
    MarkStopped(FirstWord(first));

    std::string valueLine, word, valueText, axisText;
    if (!FindValueLine(reply, shape, &valueLine) || !KorvaSplit(' ', valueLine).GetAt(1, word)) {
        m_LastError = kErrBadReply;
        return false;
    }
    KorvaSplit fields(',', word);
    if (!fields.GetAt(1, valueText) || !IsNumberText(valueText)) {
        m_LastError = kErrBadReply;
        return false;
    }
    fields.GetAt(0, axisText);
    *position = korva::AtoF(valueText);

    // The same reading seen over and over means the axis is not moving any more.
    bool stopped = false;
    {
        PositionTracking& tracking = Tracking();
        std::lock_guard<std::mutex> guard(tracking.lock);
        if (valueText == tracking.lastText && ++tracking.repeatCount > kRepeatsForStop) {
            tracking.repeatCount = 0;
            stopped = true;
        }
        tracking.lastText = valueText;
    }
    if (stopped) MarkStopped(axisText);
    return true;
}

void KT300Protocol::ResetPositionTracking() {
    PositionTracking& tracking = Tracking();
    std::lock_guard<std::mutex> guard(tracking.lock);
    tracking.lastText.clear();
    tracking.repeatCount = 0;
}

bool KT300Protocol::GetEncoderValue(int axis, long* value) {
    if (!value) return false;
    *value = -1;
    const std::string command = korva::FormatLine("EncodeValue? %c", AxisLetter(axis));
    std::string line, field;
    if (!QueryExchange(command, QueryShape(command), &line)) return false;
    if (!ExtractValue(line, &field) || !IsNumberText(field)) {
        m_LastError = kErrBadReply;
        return false;
    }
    // Converting an out-of-range double is undefined: clamp to the 32-bit
    // range the automation layer carries, and take NaN as 0.
    double v = std::trunc(korva::AtoF(field));
    if (std::isnan(v))
        v = 0.0;
    else if (v > INT32_MAX)
        v = INT32_MAX;
    else if (v < INT32_MIN)
        v = INT32_MIN;
    *value = static_cast<long>(v);
    return true;
}

bool KT300Protocol::SetPortOutput(short value) {
    if (value < 0 || value > 256) return false;
    return Exchange(korva::FormatLine("PORTOUTPUT %d", static_cast<int>(value)), kDefaultLimitMs,
                    nullptr, kAckShape);
}

bool KT300Protocol::GetPortInput(short* value) {
    if (!value) return false;
    std::string reply, line, word;
    const Shape shape = QueryShape("PORTINPUT?");
    if (!Exchange("PORTINPUT?", kDefaultLimitMs, &reply, shape)) return false;
    m_LastError = kErrPortInput;
    if (!FindValueLine(reply, shape, &line) || ExtractPiece(line, -1, &word) != Extract::Ok ||
        !IsNumberText(word))
        return false;
    *value = static_cast<short>(korva::AtoI(word));
    m_LastError = 0;
    return true;
}

// ---------------------------------------------------------------- stored plans

namespace {
bool PlanNameFits(const std::string& name) {
    return name.size() <= kMaxPlanName && IsOneLineText(name);
}
}  // namespace

bool KT300Protocol::SavePlan(const std::string& name) {
    if (!PlanNameFits(name)) {
        SetLinkErrorCode(kLinkErrPlanName);
        return false;
    }
    return Exchange(korva::FormatLine("SAVE %s", name.c_str()), kDefaultLimitMs, nullptr,
                    kAckShape);
}

bool KT300Protocol::OverSave() {
    return Exchange("OVER", kDefaultLimitMs, nullptr, kAckShape);
}

bool KT300Protocol::StartPlan(const std::string& name) {
    if (!IsOneLineText(name)) {
        korva::Trace("KT300Protocol: plan name holds a line break or NUL, not sent\n");
        return false;
    }
    return SendMotion(korva::FormatLine("START %s", name.c_str()), nullptr);
}

bool KT300Protocol::EndRun() {
    return Exchange("END", kDefaultLimitMs, nullptr, kAckShape);
}

bool KT300Protocol::BreakRun() {
    return Exchange("BREAK", kDefaultLimitMs, nullptr, kAckShape);
}

bool KT300Protocol::GetPlan() {
    return Exchange("PLAN?", kQuickLimitMs, nullptr);
}

bool KT300Protocol::DeletePlan(const std::string& name) {
    if (!PlanNameFits(name)) {
        SetLinkErrorCode(kLinkErrPlanName);
        return false;
    }
    return Exchange(korva::FormatLine("DEL %s", name.c_str()), kDeletePlanLimitMs, nullptr,
                    kAckShape);
}

bool KT300Protocol::SendPlanStatement(PlanId id, short value) {
    const PlanRow& row = kPlanRows[static_cast<int>(id)];
    int sent = value;
    switch (row.value) {
        case PlanValue::None:
            break;
        case PlanValue::Unsigned16:
            sent = static_cast<std::uint16_t>(value);
            break;
        case PlanValue::Port:
            if (value < 0 || value > 255) return false;
            break;
        case PlanValue::Input:
            if (value < 1 || value > 8) return false;
            break;
    }
    return Exchange(korva::FormatLine(row.format, sent), kPlanStatementLimitMs, nullptr, kAckShape);
}

bool KT300Protocol::PlanDelay(short value) {
    return SendPlanStatement(PlanId::Delay, value);
}
bool KT300Protocol::PlanUntil(short value) {
    return SendPlanStatement(PlanId::Until, value);
}
bool KT300Protocol::PlanUntilAt(short value) {
    return SendPlanStatement(PlanId::UntilAt, value);
}
bool KT300Protocol::PlanUntilNon(short value) {
    return SendPlanStatement(PlanId::UntilNon, value);
}
bool KT300Protocol::PlanUntilNonAt(short value) {
    return SendPlanStatement(PlanId::UntilNonAt, value);
}
bool KT300Protocol::PlanLoop(short value) {
    return SendPlanStatement(PlanId::Loop, value);
}
bool KT300Protocol::PlanEndLoop() {
    return SendPlanStatement(PlanId::EndLoop, 0);
}
bool KT300Protocol::PlanIf(short value) {
    return SendPlanStatement(PlanId::If, value);
}
bool KT300Protocol::PlanIfAt(short value) {
    return SendPlanStatement(PlanId::IfAt, value);
}
bool KT300Protocol::PlanEndIf() {
    return SendPlanStatement(PlanId::EndIf, 0);
}
bool KT300Protocol::PlanIfNon(short value) {
    return SendPlanStatement(PlanId::IfNon, value);
}
bool KT300Protocol::PlanIfNonAt(short value) {
    return SendPlanStatement(PlanId::IfNonAt, value);
}

bool KT300Protocol::SelectDevice(short number) {
    return SendNoWaitCapture(korva::FormatLine("select %d", static_cast<int>(number)), nullptr);
}

bool KT300Protocol::GetSelectId(short* number) {
    if (!number) return false;
    std::string line, word;
    if (!QueryExchange("ID?", QueryShape("ID?"), &line)) return false;
    if (ExtractPiece(line, -1, &word) != Extract::Ok || !IsNumberText(word)) {
        m_LastError = kErrBadReply;
        return false;
    }
    *number = static_cast<short>(korva::AtoI(word));
    return true;
}

bool KT300Protocol::EndSelect() {
    return Exchange("end", kStopLimitMs, nullptr, kAckShape);
}

// ---------------------------------------------------------------- system

short KT300Protocol::GetModel() {
    std::string line, name;
    if (!QueryExchange("SystemInfo?", QueryShape("SystemInfo?"), &line)) return 0;
    if (ExtractPiece(line, 0, &name) != Extract::Ok) {
        m_LastError = kErrBadReply;
        return 0;
    }
    if (name == "KT3007Q") return 1;
    if (name == "KT300RSX") return 2;
    return 0;
}

bool KT300Protocol::LoadDefault() {
    return Exchange("Loaddefault", kDefaultLimitMs, nullptr, kAckShape);
}
