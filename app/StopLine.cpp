#include "StopLine.h"

namespace stagedesk {

CStopLine::CStopLine(Sender send) : m_send(std::move(send)) {
    m_now.thread = std::thread([this] { Main(m_now); });
    m_slow.thread = std::thread([this] { Main(m_slow); });
}

CStopLine::~CStopLine() {
    Shutdown();
}

void CStopLine::Request(bool slow) {
    std::lock_guard<std::mutex> hold(m_lock);
    if (m_bQuit) return;
    if (slow) {
        m_slow.requested = true;
    } else {
        ++m_nImmediate;
        m_slow.requested = false;  // the immediate stop covers it
        m_now.requested = true;
    }
    m_wake.notify_all();
}

bool CStopLine::Pending() const {
    std::lock_guard<std::mutex> hold(m_lock);
    return Busy(m_now) || Busy(m_slow);
}

bool CStopLine::WaitDone(std::chrono::milliseconds limit) const {
    std::unique_lock<std::mutex> hold(m_lock);
    return m_wake.wait_for(hold, limit,
                           [this] { return m_bQuit || !(Busy(m_now) || Busy(m_slow)); });
}

bool CStopLine::Overtaking() const {
    std::lock_guard<std::mutex> hold(m_lock);
    if (m_bQuit) return false;
    return Overtaking(m_now) || Overtaking(m_slow);
}

void CStopLine::Shutdown() {
    {
        std::lock_guard<std::mutex> hold(m_lock);
        m_bQuit = true;
        m_wake.notify_all();
    }
    if (m_now.thread.joinable()) m_now.thread.join();
    if (m_slow.thread.joinable()) m_slow.thread.join();
}

void CStopLine::Main(Lane& lane) {
    std::unique_lock<std::mutex> hold(m_lock);
    for (;;) {
        m_wake.wait(hold, [&] { return m_bQuit || lane.requested; });
        if (m_bQuit) return;
        lane.requested = false;
        lane.sending = true;
        const unsigned immediateBefore = m_nImmediate.load();
        hold.unlock();
        const std::function<bool()> superseded = [this, &lane, immediateBefore] {
            return lane.slow && m_nImmediate.load() != immediateBefore;
        };
        const Clock::time_point first = Clock::now();
        for (;;) {
            const Clock::time_point tried = Clock::now();
            {
                std::lock_guard<std::mutex> mark(m_lock);
                lane.attempt = tried;
            }
            if (superseded() || m_send(lane.slow, superseded)) break;
            // Refused at once: another exchange held the line. A stop that
            // failed only after waiting was sent, so it is not repeated.
            const Clock::time_point now = Clock::now();
            if (now - tried > kOnLineAfter || now - first > kRetryFor) break;
            std::unique_lock<std::mutex> check(m_lock);
            if (m_bQuit) break;
            check.unlock();
            std::this_thread::sleep_for(kRetryEvery);
        }
        hold.lock();
        lane.sending = false;
        m_wake.notify_all();
    }
}

}  // namespace stagedesk
