#include "NotifyBridge.h"

#include <QCoreApplication>
#include <QEvent>
#include <QThread>
#include <chrono>

namespace usbfifo {

namespace {
// How long the GUI thread waits, between two looks at its event queue, for a
// delivery that has been counted but not yet posted.
constexpr auto kPostWait = std::chrono::milliseconds(1);
}  // namespace

NotifyBridge::NotifyBridge(QObject* receiver, Handler handler)
    : m_receiver(receiver), m_handler(std::move(handler)) {}

NotifyBridge::~NotifyBridge() {
    Close();
}

void NotifyBridge::OnNotifyMessage(unsigned message, unsigned long wParam, long lParam) {
    {
        std::lock_guard<std::mutex> guard(m_lock);
        if (!m_open) {
            m_missed = true;
            m_missedMessage = message;
            return;
        }
        ++m_inFlight;
    }
    // Never called on the receiver's own thread: the notification thread is
    // the only caller.
    QMetaObject::invokeMethod(
        m_receiver, [this, message, wParam, lParam] { m_handler(message, wParam, lParam); },
        Qt::BlockingQueuedConnection);
    {
        std::lock_guard<std::mutex> guard(m_lock);
        --m_inFlight;
    }
    m_done.notify_all();
}

bool NotifyBridge::Waiting() const {
    std::lock_guard<std::mutex> guard(m_lock);
    return m_inFlight > 0;
}

void NotifyBridge::Close() {
    std::unique_lock<std::mutex> lock(m_lock);
    m_open = false;
    while (m_inFlight > 0) {
        lock.unlock();
        // Runs the pending blocking call here; that releases the notification thread.
        QCoreApplication::sendPostedEvents(m_receiver, QEvent::MetaCall);
        lock.lock();
        m_done.wait_for(lock, kPostWait, [this] { return m_inFlight == 0; });
    }
}

void NotifyBridge::Open() {
    unsigned message = 0;
    {
        std::lock_guard<std::mutex> guard(m_lock);
        m_open = true;
        if (!m_missed) return;
        m_missed = false;
        message = m_missedMessage;
    }
    QMetaObject::invokeMethod(
        m_receiver, [this, message] { m_handler(message, 0, 0); }, Qt::QueuedConnection);
}

}  // namespace usbfifo
