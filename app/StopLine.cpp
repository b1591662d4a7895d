#include "StopLine.h"

namespace stagedesk {

CStopLine::CStopLine(Sender send) : m_send(std::move(send)), m_thread([this] { Main(); }) {}

CStopLine::~CStopLine() {
    Shutdown();
}

void CStopLine::Request(bool slow) {
    std::lock_guard<std::mutex> hold(m_lock);
    if (m_bQuit) return;
    m_bSlow = m_bRequested ? (m_bSlow && slow) : slow;
    m_bRequested = true;
    m_wake.notify_all();
}

bool CStopLine::Pending() const {
    std::lock_guard<std::mutex> hold(m_lock);
    return m_bRequested || m_bSending;
}

bool CStopLine::WaitDone(std::chrono::milliseconds limit) const {
    std::unique_lock<std::mutex> hold(m_lock);
    return m_wake.wait_for(hold, limit,
                           [this] { return m_bQuit || !(m_bRequested || m_bSending); });
}

bool CStopLine::Overtaking() const {
    std::lock_guard<std::mutex> hold(m_lock);
    if (m_bQuit) return false;
    return m_bRequested || (m_bSending && Clock::now() - m_attempt < kOnLineAfter);
}

void CStopLine::Shutdown() {
    {
        std::lock_guard<std::mutex> hold(m_lock);
        m_bQuit = true;
        m_wake.notify_all();
    }
    if (m_thread.joinable()) m_thread.join();
}

void CStopLine::Main() {
    std::unique_lock<std::mutex> hold(m_lock);
    for (;;) {
        m_wake.wait(hold, [this] { return m_bQuit || m_bRequested; });
        if (m_bQuit) return;
        const bool slow = m_bSlow;
        m_bRequested = false;
        m_bSending = true;
        hold.unlock();
        const Clock::time_point first = Clock::now();
        for (;;) {
            const Clock::time_point tried = Clock::now();
            {
                std::lock_guard<std::mutex> mark(m_lock);
                m_attempt = tried;
            }
            if (m_send(slow)) break;
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
        m_bSending = false;
        m_wake.notify_all();
    }
}

}  // namespace stagedesk
