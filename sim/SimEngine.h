#pragma once
// The simulated KT300 controller: a byte-in, byte-out engine that speaks the
// controller's line language (CR-terminated command lines, CR-terminated reply
// lines) and models four axes per controller in simulated time. Front ends (the
// pty server, the simulated D2XX library) move the bytes; the engine never
// touches a file descriptor. The reply dialect and every modelling decision are
// documented in sim/README.md.
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

namespace korva::sim {

struct SimOptions {
    std::string model = "KT3007Q";  // answered to "SystemInfo?"
    int controllers = 1;            // controllers behind the link, chosen by "select %d"
    double timeScale = 1.0;         // simulated seconds per real second (default clock)
};

// Injected faults. Each kind has its own counter of commands it still affects;
// setting a kind replaces that kind's counter only.
struct SimFault {
    enum class Kind {
        kNoReply,     // the next `count` commands are lost: not executed, not answered
        kErrorReply,  // the next `count` commands are answered "E0<errorCode>", not executed
        kGarbage,     // the next `count` replies returned by Feed start with `garbage`
    };
    Kind kind = Kind::kNoReply;
    int count = 1;
    int errorCode = 0;               // 0..7, for kErrorReply
    std::string garbage = "\x7f#~";  // for kGarbage
};

class Engine {
  public:
    explicit Engine(SimOptions options = {});
    ~Engine();
    Engine(const Engine&) = delete;
    Engine& operator=(const Engine&) = delete;

    // Raw bytes from the host. Lines end with CR; LF is ignored; a partial line
    // is kept until its CR arrives. Returns the bytes to send back now: any
    // asynchronous output that became due first, then the replies of the
    // completed lines in order (possibly empty).
    std::string Feed(std::string_view hostBytes);
    // Asynchronous output that became due (motion completions the host is
    // waiting for). Front ends call this every few milliseconds.
    std::string Poll();

    // Replaces the clock (seconds, any origin, should not run backwards; a
    // step back is ignored). Default: steady clock times timeScale.
    void SetClock(std::function<double()> secondsNow);

    // Digital inputs of every controller, or of one (1-based).
    void SetInputs(std::uint16_t bits);
    void SetInputs(int controller, std::uint16_t bits);
    // Output port value last set by "PORTOUTPUT" (controller 1-based).
    std::uint16_t Outputs(int controller = 1) const;

    // Test views at the current clock: position in the axis's current unit,
    // position in steps, and whether the axis moves. Controller 1-based, axis 0..3
    // (X, Y, Z, T); out of range gives 0 / false.
    double Position(int controller, int axis) const;
    double PositionSteps(int controller, int axis) const;
    bool Moving(int controller, int axis) const;
    bool PlanRunning(int controller = 1) const;
    // True while anything may produce output without a command: motion, a
    // plan run, or output not taken yet. Front ends may poll less when false.
    bool Busy() const;

    void SetFault(const SimFault& fault);
    void ClearFaults();

    const SimOptions& options() const;

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace korva::sim
