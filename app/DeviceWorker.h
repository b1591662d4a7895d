#pragma once
// The device worker: every control call the window's thread wants made runs
// here, one request after the other, so the window never waits for the
// controller. Results come back to the window as queued calls. Stop all does
// not come through here (see StopLine): it must overtake the queue.
#include <QObject>
#include <QPointer>
#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

namespace stagedesk {

class CDeviceWorker {
  public:
    CDeviceWorker();
    ~CDeviceWorker();
    CDeviceWorker(const CDeviceWorker&) = delete;
    CDeviceWorker& operator=(const CDeviceWorker&) = delete;

    // Runs work() on the worker thread, then done(result) on context's thread
    // (the GUI thread), unless the request was cancelled meanwhile or context
    // is gone. Requests run in the order posted.
    template <class R>
    void Post(QObject* context, std::function<R()> work, std::function<void(R)> done) {
        QPointer<QObject> ctx(context);
        Enqueue([ctx, work = std::move(work), done = std::move(done)](const Ticket& ticket) {
            R result = work();
            Deliver(ctx, ticket, [done, result] {
                if (done) done(result);
            });
        });
    }
    void Post(QObject* context, std::function<void()> work, std::function<void()> done) {
        QPointer<QObject> ctx(context);
        Enqueue([ctx, work = std::move(work), done = std::move(done)](const Ticket& ticket) {
            work();
            Deliver(ctx, ticket, [done] {
                if (done) done();
            });
        });
    }

    // Drops every request not yet started; the one running finishes, but its
    // result is not delivered. Returns how many were dropped.
    int CancelPending();
    // True from Post until the request's result has been delivered (or
    // dropped). GUI thread.
    bool Busy() const { return m_nOutstanding.load() > 0; }
    // Ends the thread after the request in progress; later posts do nothing.
    void Shutdown();
    // Called on the worker thread before each request starts (the view
    // makes requests wait while a stop is on its way, so the stop is not
    // overtaken on the line).
    void SetGate(std::function<void()> gate) { m_gate = std::move(gate); }

  private:
    struct Ticket {
        CDeviceWorker* owner;
        unsigned generation;
    };
    using Job = std::function<void(const Ticket&)>;
    void Enqueue(Job job);
    void Main();
    static void Deliver(const QPointer<QObject>& ctx, const Ticket& ticket,
                        std::function<void()> fn);
    void Finished();

    std::mutex m_lock;
    std::condition_variable m_wake;
    std::deque<Job> m_queue;
    bool m_bQuit = false;
    std::atomic<unsigned> m_nGeneration{0};
    std::atomic<int> m_nOutstanding{0};
    std::shared_ptr<std::atomic<bool>> m_alive = std::make_shared<std::atomic<bool>>(true);
    std::function<void()> m_gate;  // set before the first Post
    std::thread m_thread;
};

}  // namespace stagedesk
