#pragma once
// Turning script statements into late-bound calls on a control and running
// them. Binding checks everything that can be checked without calling the
// control (name, property or method, argument count and types), so a whole
// script is known to be well-formed before its first call moves an axis.
#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "Format.h"
#include "KorvaModule.h"
#include "Script.h"

namespace korva::tools {

// "DISP_E_BADPARAMCOUNT" and so on; the hexadecimal code for others.
std::string DispErrorText(HRESULT code);

struct BoundCall {
    CallForm form = CallForm::Method;
    std::string name;                  // the member's own spelling, or the host command
    const DispEntry* entry = nullptr;  // nullptr for host commands
    // One value per parameter of the member, in order; by-reference
    // parameters hold an Empty placeholder (the runner points them at storage).
    std::vector<Variant> args;
};

struct BindResult {
    HRESULT code = S_OK;
    std::string message;  // "SetSpeed takes 2 arguments"
    BoundCall call;

    bool Ok() const { return code == S_OK; }
};

// Looks the name up through the control's GetIDsOfNames and its type
// information; converts each argument to its parameter's type.
BindResult Bind(KorvaDispatch& control, const Statement& statement);

struct RunResult {
    HRESULT code = S_OK;
    std::string message;
    CallRecord record;
    bool interrupted = false;  // a host command gave up because of a signal

    bool Ok() const { return code == S_OK; }
};

// Runs bound calls on one control. Host commands poll through the same
// control by dispatch id; `stop` (set by a signal handler) ends their waits.
class Runner {
  public:
    Runner(KorvaDispatch& control, const std::atomic<int>* stop);

    // Reads GetErrorCode after every call into the record (the JSON output's
    // "error"); off by default so plain output makes only the calls it prints.
    void SetReadErrorCode(bool on) { m_ReadErrorCode = on; }
    // Poll period of wait-stop.
    void SetPollMs(int ms) { m_PollMs = ms; }

    RunResult Run(const BoundCall& call);

    // Axis bits (1 = X ... 8 = T) of every motion call made so far (marked
    // before the call, so a move still waiting counts). Read from any thread.
    unsigned MovedAxes() const { return m_MovedAxes.load(); }
    // wait-stop calls that gave up because the link was closed or hung up.
    int LinkFailures() const { return m_LinkFailures; }

  private:
    RunResult RunMember(const BoundCall& call);
    RunResult RunHost(const BoundCall& call);
    RunResult WaitStop(const BoundCall& call);
    bool Stopped() const { return m_Stop != nullptr && m_Stop->load() != 0; }
    bool SleepMs(std::int64_t ms);  // false when interrupted
    HRESULT CallById(DISPID id, std::vector<Variant> args, Variant& result);
    std::optional<std::int32_t> ErrorCode();

    KorvaDispatch& m_Control;
    const std::atomic<int>* m_Stop;
    bool m_ReadErrorCode = false;
    int m_PollMs = 20;
    DISPID m_GetErrorCode = DISPID_UNKNOWN;
    DISPID m_GetPosition = DISPID_UNKNOWN;
    DISPID m_GetStopFlag = DISPID_UNKNOWN;
    std::atomic<unsigned> m_MovedAxes{0};
    int m_LinkFailures = 0;
};

}  // namespace korva::tools
