#pragma once
// The stop line: Stop all hands its request to this thread and returns at
// once. The thread sends the stop outside the device worker's queue and the
// wrapper's call lock, so it overtakes whatever waits there; the window never
// waits for the stop's own reply (a mute controller would hold it for the
// stop's full time limit).
//
// Immediate and slow stops go out on lanes of their own: a slow stop goes
// axis by axis, and on a controller that does not answer each axis waits out
// the stop's time limit, so an immediate stop queued behind it would wait
// minutes. The immediate lane sends at once (the protocol lets a stop cut
// short the wait of another), and the slow stop then gives up on the axes
// it has not reached.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

namespace stagedesk {

class CStopLine {
  public:
    using Clock = std::chrono::steady_clock;
    // send(slow, superseded) sends the stop to every axis; true when it was
    // taken. A slow stop checks superseded() before each axis and leaves the
    // rest when an immediate stop has been requested since it began.
    using Sender = std::function<bool(bool slow, const std::function<bool()>& superseded)>;

    explicit CStopLine(Sender send);
    ~CStopLine();
    CStopLine(const CStopLine&) = delete;
    CStopLine& operator=(const CStopLine&) = delete;

    // Queues a stop; requests made while one of the same kind is being sent
    // are merged into the next. An immediate stop drops a queued slow one.
    void Request(bool slow);
    // True while a stop is queued or being sent.
    bool Pending() const;
    // Waits (bounded) until no stop is queued or being sent.
    bool WaitDone(std::chrono::milliseconds limit) const;
    // True while a stop is queued or still trying to get the line: an
    // attempt refused at once (another exchange held the line) is tried
    // again; one that has been waiting longer than kOnLineAfter has the
    // line and waits for its reply, so other requests may follow it.
    bool Overtaking() const;
    static constexpr std::chrono::milliseconds kOnLineAfter{20};
    // Ends the threads after the stops in progress. Idempotent.
    void Shutdown();

    // A stop refused at once (the old protocol's "busy" answer while another
    // exchange holds the line) is tried again this often, for this long.
    static constexpr std::chrono::milliseconds kRetryEvery{5};
    static constexpr std::chrono::milliseconds kRetryFor{3000};

  private:
    struct Lane {
        explicit Lane(bool isSlow) : slow(isSlow) {}
        const bool slow;
        bool requested = false;
        bool sending = false;
        Clock::time_point attempt{};  // start of the attempt in progress
        std::thread thread;
    };
    void Main(Lane& lane);
    bool Busy(const Lane& lane) const { return lane.requested || lane.sending; }
    bool Overtaking(const Lane& lane) const {
        return lane.requested || (lane.sending && Clock::now() - lane.attempt < kOnLineAfter);
    }

    Sender m_send;
    mutable std::mutex m_lock;
    mutable std::condition_variable m_wake;
    bool m_bQuit = false;
    std::atomic<unsigned> m_nImmediate{0};  // immediate stops requested so far
    Lane m_slow{true};
    Lane m_now{false};
};

}  // namespace stagedesk
