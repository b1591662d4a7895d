#pragma once
// Helpers of the UsbFifo tests: a dialog with its message boxes recorded,
// clicks and typing by control id, waiting while the GUI thread runs events,
// environment variables for a scope, and a watchdog that turns a hang into a
// failure with a message.
#include <dlfcn.h>

#include <QAbstractButton>
#include <QCheckBox>
#include <QComboBox>
#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QLineEdit>
#include <QStringList>
#include <QThread>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "../support/ScopedEnv.h"
#include "FifoMessage.h"
#include "Resource.h"
#include "UsbFifoDlg.h"

namespace fifotest {

using korva::test::ScopedEnv;

// Aborts the test program with `what` if it is still alive after `limit`.
class Watchdog {
  public:
    Watchdog(const char* what, std::chrono::seconds limit)
        : m_thread([this, what, limit] {
              std::unique_lock<std::mutex> lock(m_lock);
              if (!m_done.wait_for(lock, limit, [this] { return m_finished; })) {
                  std::fprintf(stderr, "HANG: %s\n", what);
                  std::abort();
              }
          }) {}
    ~Watchdog() {
        {
            std::lock_guard<std::mutex> guard(m_lock);
            m_finished = true;
        }
        m_done.notify_all();
        m_thread.join();
    }
    Watchdog(const Watchdog&) = delete;
    Watchdog& operator=(const Watchdog&) = delete;

  private:
    std::mutex m_lock;
    std::condition_variable m_done;
    bool m_finished = false;
    std::thread m_thread;
};

// Runs GUI events until `done` holds or `limitMs` passes.
template <typename Pred>
bool WaitFor(Pred done, int limitMs = 5000) {
    QDeadlineTimer deadline(limitMs);
    while (!done()) {
        if (deadline.hasExpired()) return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        QThread::msleep(1);
    }
    return true;
}

// Waits, without running GUI events, until the notification thread waits for
// the dialog to take received bytes.
inline bool DeliveryWaits(const usbfifo::CUsbFifoDlg& dlg, int limitMs = 5000) {
    QDeadlineTimer deadline(limitMs);
    while (!dlg.ReceiveWaiting()) {
        if (deadline.hasExpired()) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

// Runs GUI events for a while (lets late deliveries show up).
inline void Settle(int ms = 100) {
    WaitFor([] { return false; }, ms);
}

// A dialog whose message boxes are recorded instead of shown.
struct Harness {
    Harness() {
        usbfifo::SetMessageHook([this](const QString& text) { messages << text; });
        dlg = std::make_unique<usbfifo::CUsbFifoDlg>();
    }
    ~Harness() {
        dlg.reset();
        usbfifo::SetMessageHook({});
    }
    Harness(const Harness&) = delete;
    Harness& operator=(const Harness&) = delete;

    QWidget* Control(int id) const { return dlg->Control(id); }
    void Click(int id) const { qobject_cast<QAbstractButton*>(Control(id))->click(); }
    QString Text(int id) const { return qobject_cast<QLineEdit*>(Control(id))->text(); }
    void SetText(int id, const QString& text) const {
        qobject_cast<QLineEdit*>(Control(id))->setText(text);
    }
    void SetChecked(int id, bool on) const {
        auto* box = qobject_cast<QCheckBox*>(Control(id));
        if (box->isChecked() != on) box->click();
    }
    QComboBox* Command() const { return qobject_cast<QComboBox*>(Control(usbfifo::IDC_COMMAND)); }
    // Types a line into the command line and presses "Write Data".
    void Write(const QString& line) const {
        Command()->setEditText(line);
        Click(usbfifo::IDC_WRITE_DATA);
    }
    // The device-list controls, enabled or not.
    bool ListEnabled() const {
        for (int id :
             {usbfifo::IDC_GET_DEVICE_COUNT, usbfifo::IDC_DEVICE_INDEX, usbfifo::IDC_GET_SERIAL,
              usbfifo::IDC_GET_DESCRIPTION, usbfifo::IDC_GET_POSITION}) {
            if (!Control(id)->isEnabled()) return false;
        }
        return true;
    }
    bool ListDisabled() const {
        for (int id :
             {usbfifo::IDC_GET_DEVICE_COUNT, usbfifo::IDC_DEVICE_INDEX, usbfifo::IDC_GET_SERIAL,
              usbfifo::IDC_GET_DESCRIPTION, usbfifo::IDC_GET_POSITION}) {
            if (Control(id)->isEnabled()) return false;
        }
        return true;
    }

    QStringList messages;
    std::unique_ptr<usbfifo::CUsbFifoDlg> dlg;
};

// A symbol of a library the binding has loaded already.
template <typename Fn>
Fn Symbol(const char* path, const char* name) {
    void* handle = dlopen(path, RTLD_NOW | RTLD_LOCAL);
    return handle != nullptr ? reinterpret_cast<Fn>(dlsym(handle, name)) : nullptr;
}

}  // namespace fifotest
