#pragma once
// One controller as the device server sees it, without any TANGO type: the
// control object, an optional built-in simulator, the queue that keeps
// requests from many clients one at a time, and the one poller that follows
// moving axes. The TANGO devices (KT300Controller, KT300Axis) are thin faces
// over this class.
#include <array>
#include <atomic>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "KORVAKT3002CtlInternal.h"

namespace korva::sim {
class PtySimulator;
}

namespace kt300ds {

inline constexpr int kAxes = 4;

// What a failed request tells its client: a short reason word (the TANGO
// exception's reason) and a sentence that says what went wrong.
struct Result {
    bool ok = true;
    std::string reason;
    std::string text;

    static Result Ok() { return {}; }
    static Result Fail(std::string reason, std::string text) {
        return {false, std::move(reason), std::move(text)};
    }
};

struct LinkSettings {
    int port = 1;            // serial port number 1..255 (KORVA_COM<n> or the port map)
    std::string devicePath;  // a device path instead of a port number
    std::string usbSerial;   // USB FIFO device by serial number instead of a port
    int select = 0;          // controller select number sent before the handshake (0: none)
    bool simulator = false;  // serve the built-in simulator on a pseudo-terminal
    int simulatorBaud = 19200;
    std::string simulatorModel = "KT3007Q";
    int pollPeriodMs = 20;       // pause between two polling rounds while something moves
    int archivePeriodMs = 1000;  // archive events on Position while moving (0: none)
    int planIdleMs = 2000;       // a plan run counts as ended after all axes stood this long
};

enum class LinkState { kDisable, kOn, kMoving, kFault };
enum class AxisState { kDisable, kOn, kMoving, kAlarm, kFault };

struct AxisSnapshot {
    double position = 0;
    bool positionKnown = false;
    bool moving = false;
    AxisState state = AxisState::kDisable;
    std::string status;
};

struct Snapshot {
    LinkState state = LinkState::kDisable;
    std::string status;
    bool planRunning = false;
    int archivePeriodMs = 0;
    std::array<AxisSnapshot, kAxes> axes{};
};

// Receives the state after every polling round and after every change a
// request made. Called on the poller thread, never with a lock of the link held.
class Listener {
  public:
    virtual ~Listener() = default;
    virtual void OnSnapshot(const Snapshot& snapshot) = 0;
};

class ControllerLink {
  public:
    ControllerLink();
    ~ControllerLink();  // stops the poller, closes the link and the simulator
    ControllerLink(const ControllerLink&) = delete;
    ControllerLink& operator=(const ControllerLink&) = delete;

    // Applies new settings: ends the poller and closes the link first.
    void Configure(const LinkSettings& settings);

    Result Connect();  // also recovers from a fault (closes and opens again)
    // The controller cannot be used as configured: FAULT with this reason
    // until the next Configure.
    void SetUnusable(const std::string& reason);
    void Disconnect();

    // --- requests, one at a time per controller, in arrival order ---
    // Runs fn(control) alone on the line. Stops skip this queue.
    template <typename Fn>
    auto Run(Fn&& fn) {
        Turn turn(*this);
        return fn(ctrl_);
    }
    // Runs a parameter read or write: link checks, the exchange, the result
    // code turned into a Result (and a link failure into FAULT).
    Result Exchange(const std::string& what, const std::function<bool(KT300Protocol&)>& fn);

    // Motion: moves are accepted when the controller answers READY; its
    // refusal (E0n) becomes the Result.
    Result MoveAbsolute(int axis, double position);
    Result MoveRelative(int axis, double distance);
    Result Home(int axis, bool optical);
    Result GoUserOrigin(int axis);
    Result StartPlan(const std::string& name);
    Result EndPlan();

    // Stops go to the line at once, next to any exchange in flight, and hold
    // back the requests that wait for their turn until they are sent.
    Result Stop(int axis, bool slow);
    Result StopAll();

    // Reads the position: while the axis moves, the poller's latest value
    // (no line traffic); standing, a fresh query.
    Result ReadPosition(int axis, double* position);
    // Caches the user limits for the ALARM state (after a write of them).
    Result RefreshLimits(int axis);

    Snapshot State() const;
    bool Connected() const;
    // Built-in simulator only: closes the pty master as a cable pulled out would.
    Result SimulatorHangUp();

    void AddListener(Listener* listener);
    // With wait, returns only when no call to any listener runs: for a
    // listener about to be destroyed (never from a thread that holds what a
    // listener's OnSnapshot waits for).
    void RemoveListener(Listener* listener, bool wait);

  private:
    // A place in the request queue (RAII): waits for its ticket and for stops
    // in progress, releases on destruction.
    class Turn {
      public:
        explicit Turn(ControllerLink& link);
        ~Turn();
        Turn(const Turn&) = delete;
        Turn& operator=(const Turn&) = delete;

      private:
        ControllerLink& link_;
    };
    struct StopScope;

    struct AxisTrack {
        bool moving = false;
        bool stopSeen = false;
        bool verifying = false;  // after Connect: polled until it is seen standing or moving
        std::string lastText;    // position as last read, to see it stand
        int samePolls = 0;
        long long sameSinceNs = 0;
        double position = 0;
        bool positionKnown = false;
        bool limitsEnabled = false;
        double limitPos = 0;
        double limitNeg = 0;
        int workState = 1;  // GoPosition's work state: as the axis has it stored
    };

    void StartPoller();
    void StopPoller();
    void PollLoop();
    bool PollAxis(int axis);
    void Notify();
    void Kick();
    Result Motion(int axis, const std::string& what, const std::function<bool()>& send);
    Result CheckUsable() const;
    int WorkState(int axis) const;
    Result FailFromCode(const std::string& what, long code, const std::string& linkText);
    void EnterFault(const std::string& text);
    Result OpenSimulator();
    Snapshot MakeSnapshot() const;
    Result RunStop(const std::string& what, const std::function<bool()>& send);
    void WaitForStops();

    CKORVAKT3002Ctrl ctrl_;
    std::unique_ptr<korva::sim::PtySimulator> sim_;
    LinkSettings settings_;
    int mappedPort_ = 0;  // port number whose KORVA_COM<n> names our device path

    // Request queue: tickets in arrival order; stops in progress hold it back.
    std::mutex queueLock_;
    std::condition_variable queueCv_;
    unsigned long long nextTicket_ = 0;
    unsigned long long serving_ = 0;
    int stopsInFlight_ = 0;
    std::atomic<unsigned long long> stopGeneration_{0};  // counts the stops sent

    // Motion and link state, guarded by stateLock_.
    mutable std::mutex stateLock_;
    std::array<AxisTrack, kAxes> track_{};
    bool planRunning_ = false;
    long long planStillSinceNs_ = 0;
    bool connected_ = false;
    bool fault_ = false;
    std::string faultText_;
    std::string disableText_ = "not connected";
    std::string lastRefusal_;  // the last controller refusal, shown in the status

    // Poller.
    std::thread poller_;
    std::mutex pollLock_;
    std::condition_variable pollCv_;
    bool pollQuit_ = false;
    bool pollKick_ = false;

    std::mutex listenerLock_;
    std::condition_variable listenerCv_;
    std::vector<Listener*> listeners_;
    int notifying_ = 0;
};

// The first line of a reply, without the line end a previous reply may have
// left at its start.
std::string FirstReplyLine(const std::string& reply);
// The text for a protocol or link code, as a client should read it.
std::string DescribeCode(long code);
// "deg", "mm", "step", "um" for unit 0..3; "" otherwise.
const char* UnitName(int unit);
int UnitFromName(const std::string& name);  // -1 when unknown
// "X".."T" (any case, blanks around) to 0..3; -1 otherwise.
int AxisFromName(const std::string& name);

}  // namespace kt300ds
