#pragma once
// Carries the device interface's notification ("bytes waiting", sent from its
// notification thread) to the dialog as a blocking queued call: the
// notification thread waits until the dialog's handler has run on the GUI
// thread, as a synchronously sent window message would.
//
// Closing the device joins the notification thread. If the GUI thread did that
// while the thread waits for the GUI thread to run a delivery, neither could
// go on. So the GUI thread first closes the bridge: no new delivery starts, and
// a delivery already under way is run right there on the GUI thread (its
// handler reads the bytes that arrived before the close), after which the
// notification thread is free and the join cannot block for long.
#include <QObject>
#include <condition_variable>
#include <functional>
#include <mutex>

#include "UsbFifoBinding.h"

namespace usbfifo {

class NotifyBridge final : public UsbFifoBinding::NotifyTarget {
  public:
    using Handler = std::function<void(unsigned message, unsigned long wParam, long lParam)>;

    // `handler` runs on `receiver`'s thread (the GUI thread).
    NotifyBridge(QObject* receiver, Handler handler);
    ~NotifyBridge() override;
    NotifyBridge(const NotifyBridge&) = delete;
    NotifyBridge& operator=(const NotifyBridge&) = delete;

    // Notification thread.
    void OnNotifyMessage(unsigned message, unsigned long wParam, long lParam) override;

    // GUI thread: stops deliveries; one under way is completed before this returns.
    void Close();
    // GUI thread: lets deliveries through again. A notification turned away
    // while closed left its bytes queued in the driver, and the driver does not
    // signal them again; the handler is then queued once more (not waited for).
    void Open();

    // Whether the notification thread waits for a delivery to be handled.
    bool Waiting() const;

    // Closes the bridge for a scope, e.g. around closing or reopening the device.
    class Pause {
      public:
        explicit Pause(NotifyBridge& bridge) : m_bridge(bridge) { m_bridge.Close(); }
        ~Pause() { m_bridge.Open(); }
        Pause(const Pause&) = delete;
        Pause& operator=(const Pause&) = delete;

      private:
        NotifyBridge& m_bridge;
    };

  private:
    QObject* m_receiver;
    Handler m_handler;
    mutable std::mutex m_lock;
    std::condition_variable m_done;
    bool m_open = true;
    bool m_missed = false;
    unsigned m_missedMessage = 0;
    int m_inFlight = 0;
};

}  // namespace usbfifo
