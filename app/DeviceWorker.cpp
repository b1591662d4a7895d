#include "DeviceWorker.h"

#include <QMetaObject>

namespace stagedesk {

CDeviceWorker::CDeviceWorker() : m_thread([this] { Main(); }) {}

CDeviceWorker::~CDeviceWorker() {
    Shutdown();
}

void CDeviceWorker::Enqueue(Job job) {
    std::lock_guard<std::mutex> hold(m_lock);
    if (m_bQuit) return;
    ++m_nOutstanding;
    m_queue.push_back(std::move(job));
    m_wake.notify_one();
}

int CDeviceWorker::CancelPending() {
    std::lock_guard<std::mutex> hold(m_lock);
    const int dropped = static_cast<int>(m_queue.size());
    m_queue.clear();
    m_nOutstanding -= dropped;
    // The request in progress keeps its count until its (undelivered) result
    // would have arrived, so Busy() stays true while it still holds the line.
    ++m_nGeneration;
    return dropped;
}

void CDeviceWorker::Shutdown() {
    {
        std::lock_guard<std::mutex> hold(m_lock);
        if (m_bQuit && !m_thread.joinable()) return;
        m_bQuit = true;
        m_nOutstanding -= static_cast<int>(m_queue.size());
        m_queue.clear();
        ++m_nGeneration;
        m_wake.notify_one();
    }
    if (m_thread.joinable()) m_thread.join();
    *m_alive = false;
}

void CDeviceWorker::Finished() {
    --m_nOutstanding;
}

void CDeviceWorker::Deliver(const QPointer<QObject>& ctx, const Ticket& ticket,
                            std::function<void()> fn) {
    CDeviceWorker* owner = ticket.owner;
    std::shared_ptr<std::atomic<bool>> alive = owner->m_alive;
    const unsigned generation = ticket.generation;
    QObject* target = ctx.data();
    if (target == nullptr || owner->m_nGeneration.load() != generation) {
        owner->Finished();
        return;
    }
    // The count drops on the GUI thread when the result is handled, so a
    // caller that sees Busy() false also sees the result's effects.
    QMetaObject::invokeMethod(
        target,
        [owner, alive, generation, fn = std::move(fn)] {
            if (!alive->load()) return;
            const bool current = owner->m_nGeneration.load() == generation;
            owner->Finished();
            if (current) fn();
        },
        Qt::QueuedConnection);
}

void CDeviceWorker::Main() {
    for (;;) {
        Job job;
        Ticket ticket{this, 0};
        {
            std::unique_lock<std::mutex> hold(m_lock);
            m_wake.wait(hold, [this] { return m_bQuit || !m_queue.empty(); });
            if (m_bQuit) return;
            job = std::move(m_queue.front());
            m_queue.pop_front();
            ticket.generation = m_nGeneration.load();
        }
        if (m_gate) m_gate();
        // A Stop all while the request waited at the gate drops it unrun.
        if (m_nGeneration.load() != ticket.generation) {
            Finished();
            continue;
        }
        job(ticket);
    }
}

}  // namespace stagedesk
