#pragma once
// The stop line: Stop all hands its request to this thread and returns at
// once. The thread sends the stop outside the device worker's queue and the
// wrapper's call lock, so it overtakes whatever waits there; the window never
// waits for the stop's own reply (a mute controller would hold it for the
// stop's full time limit).
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

namespace stagedesk {

class CStopLine {
  public:
    using Clock = std::chrono::steady_clock;
    // send(slow) sends the stop to every axis; true when it was taken.
    using Sender = std::function<bool(bool slow)>;

    explicit CStopLine(Sender send);
    ~CStopLine();
    CStopLine(const CStopLine&) = delete;
    CStopLine& operator=(const CStopLine&) = delete;

    // Queues a stop; requests made while one is being sent are merged into
    // the next (an immediate stop wins over a slow one).
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
    // Ends the thread after the stop in progress. Idempotent.
    void Shutdown();

    // A stop refused at once (the old protocol's "busy" answer while another
    // exchange holds the line) is tried again this often, for this long.
    static constexpr std::chrono::milliseconds kRetryEvery{5};
    static constexpr std::chrono::milliseconds kRetryFor{3000};

  private:
    void Main();

    Sender m_send;
    mutable std::mutex m_lock;
    mutable std::condition_variable m_wake;
    bool m_bQuit = false;
    bool m_bRequested = false;
    bool m_bSlow = true;
    bool m_bSending = false;
    Clock::time_point m_attempt{};  // start of the attempt in progress
    std::thread m_thread;
};

}  // namespace stagedesk
