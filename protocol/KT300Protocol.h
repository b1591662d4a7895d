#pragma once
// The controller protocol: formats every command of the controller language,
// runs one exchange at a time over the link it derives from, recognises the
// controller's error replies and parses query replies.
#include <array>
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <string>
#include <string_view>

#include "KorvaComPort.h"

class KT300Protocol : public KorvaComPort {
  public:
    // Protocol error codes (GetErrorCode); link codes pass through otherwise.
    enum : int {
        kErrLinkClosed = 20004,
        kErrBusy = 20005,
        kErrSendNoWait = 20008,
        kErrPortInput = 20010,
        kErrBadReply = 20011,     // a query's reply holds no well-formed value line
        kErrInterrupted = 20012,  // the wait for the reply was ended by a stop
        kErrController = 20040,   // + the digit of "E00".."E07"
    };
    // Codes the protocol stores in the link's error code.
    enum : int {
        kLinkErrHandshake = 10302,
        kLinkErrNoLine = 10131,
        kLinkErrPlanName = 10134,
        kLinkErrNoField = 10135,
    };

    KT300Protocol();
    ~KT300Protocol() override;

    // Core.
    bool Connect();
    bool Disconnect();
    bool IsConnected() const { return m_bConnected; }
    bool SendCommand(const std::string& command, int timeLimitMs);
    bool SendQuickCommand(const std::string& command);
    bool SendCommandNoWait(const std::string& command);
    long GetErrorCode() const { return m_LastError.load(); }
    // Linux addition: one line of text for a protocol code ("" for others).
    static const char* ProtocolErrorText(long code);
    // A protocol text, else the link's text for the code.
    static const char* ErrorTextOf(long code);
    // Linux addition: reply lines discarded as left over from earlier replies.
    long GetDiscardedLines() const { return m_DiscardedLines.load(); }
    // Linux addition: a successful call that needs no exchange reports 0.
    void ClearErrorCode() { m_LastError = 0; }
    // Linux addition: a failure found above the protocol (an argument the
    // control refuses with a reason), reported like any other.
    void SetErrorCode(long code, const std::string& text);
    // Linux addition: one line saying what the last failure was ("" after a
    // success): the reason Connect failed with the device and what to do, or
    // the text of the code GetErrorCode reports.
    std::string GetLastErrorText() const;
    bool GetSyncMode() const { return m_bSyncMode.load(); }
    bool SetSyncMode(bool mode);
    bool GetStopFlag(int axis) const;
    bool SetStopFlag(int axis, short flag);
    static char AxisLetter(int axis);
    static int AxisIndex(const std::string& letter);
    static char UnitLetter(int unit);
    std::string GetReply() const;  // copy of the last exchange's reply text
    short GetSelectNumber() const { return m_SelectNumber; }
    void SetSelectNumber(short n) { m_SelectNumber = n; }

    // Axis parameters.
    bool SetStageStyle(int axis, int value);
    bool GetStageStyle(int axis, int* value);
    bool SetStagePitch(int axis, float value);
    bool GetStagePitch(int axis, float* value);
    bool SetStepAngle(int axis, float value);
    bool GetStepAngle(int axis, float* value);
    bool SetMicroStep(int axis, int value);
    bool GetMicroStep(int axis, int* value);
    bool SetDriveRatio(int axis, int value);
    bool GetDriveRatio(int axis, int* value);
    bool SetRadius(int axis, int value);
    bool GetRadius(int axis, int* value);
    bool SetDistance(int axis, float value);
    bool GetDistance(int axis, float* value);
    bool SetWorkState(int axis, int value);
    bool GetWorkState(int axis, int* value);
    bool SetSpeed(int axis, float value);
    bool GetSpeed(int axis, float* value);
    bool SetInitSpeed(int axis, float value);
    bool GetInitSpeed(int axis, float* value);
    bool SetAccSpeed(int axis, float value);
    bool GetAccSpeed(int axis, float* value);
    bool SetDccSpeed(int axis, float value);
    bool GetDccSpeed(int axis, float* value);
    bool SetHomeSpeed(int axis, float value);
    bool GetHomeSpeed(int axis, float* value);
    bool SetHomeSpeedFactor(int axis, float value);
    bool GetHomeSpeedFactor(int axis, float* value);
    bool SetSecondHomeMode(int axis, int value);
    bool GetSecondHomeMode(int axis, int* value);
    bool SetUnit(int axis, int value);
    bool GetUnit(int axis, int* value);
    bool SetUserOrigin(int axis, float value);
    bool GetUserOrigin(int axis, float* value);
    bool SetUserPositiveLimit(int axis, float value);
    bool GetUserPositiveLimit(int axis, float* value);
    bool SetUserNegativeLimit(int axis, float value);
    bool GetUserNegativeLimit(int axis, float* value);
    bool SetUserLimitAble(int axis, int value);
    bool GetUserLimitAble(int axis, int* value);
    bool SetOffset(int axis, int value);
    bool GetOffset(int axis, float* value);
    bool SetEncoderResolution(int axis, float value);
    bool GetEncoderResolution(int axis, float* value);
    bool SetEncoderStyle(int axis, const std::string& value);
    bool GetEncoderStyle(int axis, std::string* value);
    bool SetCommandPulses(int axis, int value);
    bool GetCommandPulses(int axis, int* value);
    bool SetStageStepsRev(int axis, float value);
    bool GetStageStepsRev(int axis, float* value);

    // Motion, position, stop, ports.
    bool GoOrigin(int axis);
    bool GoHome(int axis);
    bool Go(int axis, int dir);
    bool GoPosition(int axis, int workstate, int state, int dir, float x);
    bool GoLine2(int axis1, float p1, int axis2, float p2);
    bool GoLine3(int axis1, float p1, int axis2, float p2, int axis3, float p3);
    bool GoArc(int axis1, int axis2, float target_posx, float target_posy, float cen_posx,
               float cen_posy, int arc_dir);
    bool GoMultiAxisHome(const std::string& xYN, const std::string& yYN, const std::string& zYN,
                         const std::string& tYN);
    bool Stop(int axis);
    bool StopSlow(int axis);
    bool StopAll();
    // Linux addition, for a host that is shutting down: ends a waiting
    // exchange, refuses every further exchange with 20012 until Disconnect,
    // and writes "StopSlow <axis>" for each axis bit (1 = X ... 8 = T) set in
    // axes without waiting for the replies. FALSE when a line did not go out.
    bool Abort(unsigned axes);
    bool GetPosition(int axis, double* position);
    bool GetEncoderValue(int axis, long* value);
    bool SetPortOutput(short value);
    bool GetPortInput(short* value);

    // Stored plans and controller selection.
    bool SavePlan(const std::string& name);
    bool OverSave();
    bool StartPlan(const std::string& name);
    bool EndRun();
    bool BreakRun();
    bool GetPlan();
    bool DeletePlan(const std::string& name);
    bool PlanDelay(short value);
    bool PlanUntil(short value);
    bool PlanUntilAt(short value);
    bool PlanUntilNon(short value);
    bool PlanUntilNonAt(short value);
    bool PlanLoop(short value);
    bool PlanEndLoop();
    bool PlanIf(short value);
    bool PlanIfAt(short value);
    bool PlanEndIf();
    bool PlanIfNon(short value);
    bool PlanIfNonAt(short value);
    bool SelectDevice(short number);
    bool GetSelectId(short* number);
    bool EndSelect();

    // System.
    short GetModel();
    bool LoadDefault();

    // Test hook: the module-wide last position text and repeat counter.
    static void ResetPositionTracking();

  protected:
    std::array<std::atomic<int>, 4> m_StopFlag{};
    std::atomic<long> m_LastError{0};
    std::atomic<bool> m_bBusy{false};
    std::string m_Reply;  // guarded by m_ReplyLock
    std::atomic<bool> m_bConnected{false};
    std::atomic<bool> m_bSyncMode{false};
    std::atomic<short> m_SelectNumber{0};

  public:
    // What a command's reply may hold before its "OK" line: kFree anything;
    // kAck error lines ("E0n") and stop reports ("<axis> STOP"); kMotion also
    // "READY"; kQuery also its value line ("<word> <axis>,<value>", or
    // "<word> <value>" when axis is NUL). Any other line is left over from an
    // earlier reply and is discarded.
    enum class ReplyKind { kFree, kAck, kMotion, kQuery };
    struct ReplyShape {
        ReplyKind kind = ReplyKind::kFree;
        std::string word;  // kQuery: the value line's first word
        char axis = 0;     // kQuery: the axis the value line must name (NUL: none)
    };
    // The reply to one command as far as received: complete once an "OK" line
    // (ended by CR) follows only lines the shape allows.
    struct FramedReply {
        bool complete = false;
        std::string text;  // the allowed lines, each ended by CR, then "OK\r"
        int discarded = 0;
    };
    static FramedReply FrameReply(std::string_view received, const ReplyShape& shape);

  private:
    enum class ParamId : int;  // rows of the axis parameter table
    enum class PlanId : int;   // rows of the plan statement table

    // The exchange; *reply (when given) receives this exchange's own reply
    // (its allowed lines), so a parser never reads a reply that another
    // thread stored meanwhile. Stops take the busy flag from a waiting
    // exchange (see TakeBusy).
    enum class Priority { kNormal, kStop };
    bool Exchange(const std::string& command, int timeLimitMs, std::string* reply,
                  const ReplyShape& shape, Priority priority = Priority::kNormal);
    bool Exchange(const std::string& command, int timeLimitMs, std::string* reply);
    bool TakeBusy(Priority priority);
    void ReleaseBusy();
    class BusyGuard;  // holds the flag for one exchange, gives it back on every path
    bool QueryExchange(const std::string& command, const ReplyShape& shape, std::string* valueLine);
    bool SendNoWaitCapture(const std::string& command, std::string* reply);
    // Motion commands: waited for "OK" in synchronous mode, else sent without waiting.
    bool SendMotion(const std::string& command, std::string* reply);
    void SetReply(const std::string& text);
    void MarkStopped(const std::string& axisWord);

    bool SetIntParam(ParamId id, int axis, int value);
    bool SetFloatParam(ParamId id, int axis, float value);
    bool GetIntParam(ParamId id, int axis, int* value);
    bool GetFloatParam(ParamId id, int axis, float* value);
    bool SendPlanStatement(PlanId id, short value);
    bool ReadyCheck(int axis, const std::string& reply);

    mutable std::mutex m_ReplyLock;
    std::mutex m_BusyLock;  // with m_BusyReleased: a stop waits for the busy flag
    std::condition_variable m_BusyReleased;
    std::atomic<int> m_StopsWaiting{0};
    std::atomic<bool> m_bAborted{false};
    std::atomic<long> m_DiscardedLines{0};
    long m_TextCode = 0;          // the code m_LastErrorText belongs to; guarded by m_ReplyLock
    std::string m_LastErrorText;  // guarded by m_ReplyLock
};
