// How long the stagedesk window stops answering: the real window (Qt
// offscreen) runs each operator flow while a 5 ms timer on its thread records
// the longest gap between two ticks. Once against the simulator at 19200
// baud, once against a controller that answers the handshake and then
// nothing but stops. Then the time from Stop all to the stop line on the wire
// while a read waits on that mute controller.
#include <QAbstractButton>
#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QFocusEvent>
#include <QLineEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "AppMessage.h"
#include "DxfRunDlg.h"
#include "KORVAKT3002.h"
#include "KT300View.h"
#include "MainFrm.h"
#include "ParamSetDlg.h"
#include "PlanRunDlg.h"
#include "PtyPair.h"
#include "PtySimulator.h"
#include "Resource.h"
#include "ScriptedPeer.h"
#include "SingleRunDlg.h"
#include "UserMessageBridge.h"

using namespace stagedesk;
using Clock = std::chrono::steady_clock;

namespace {

// The longest gap between two ticks of a 5 ms timer on the window's thread,
// and, for comparison, of a plain thread that sleeps 5 ms at a time in the
// same window: a gap both see is the machine not running the process (other
// load), not the window waiting.
class StallMeter {
  public:
    StallMeter() {
        m_timer.setInterval(5);
        m_timer.setTimerType(Qt::PreciseTimer);
        QObject::connect(&m_timer, &QTimer::timeout, [this] { Tick(); });
    }
    ~StallMeter() { StopReference(); }
    void Start() {
        m_longest = 0;
        m_clock.start();
        m_last = 0;
        m_timer.start();
        m_refLongest = 0;
        m_run = true;
        m_reference = std::thread([this] {
            auto last = Clock::now();
            while (m_run.load()) {
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
                const auto now = Clock::now();
                const auto gap =
                    std::chrono::duration_cast<std::chrono::milliseconds>(now - last).count();
                if (gap > m_refLongest.load()) m_refLongest = gap;
                last = now;
            }
        });
    }
    qint64 Stop() {
        Tick();
        m_timer.stop();
        StopReference();
        return m_longest;
    }
    qint64 Reference() const { return m_refLongest.load(); }

  private:
    void Tick() {
        const qint64 now = m_clock.elapsed();
        m_longest = std::max(m_longest, now - m_last);
        m_last = now;
    }
    void StopReference() {
        m_run = false;
        if (m_reference.joinable()) m_reference.join();
    }
    QTimer m_timer;
    QElapsedTimer m_clock;
    qint64 m_last = 0;
    qint64 m_longest = 0;
    std::atomic<bool> m_run{false};
    std::atomic<long long> m_refLongest{0};
    std::thread m_reference;
};

// Lets the window run until done() or the limit (the window's own event
// loop, as an operator's session would).
bool RunUntil(const std::function<bool()>& done, int limitMs) {
    QElapsedTimer clock;
    clock.start();
    while (!done()) {
        if (clock.elapsed() > limitMs) return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        QThread::msleep(1);
    }
    return true;
}

void RunFor(int ms) {
    RunUntil([] { return false; }, ms);
}

struct Program {
    QTemporaryDir dir;
    std::unique_ptr<UserMessageBridge> bridge;
    std::unique_ptr<CMainFrame> frame;
    CKT300View* view = nullptr;

    bool Start() {
        const QByteArray base = dir.path().toUtf8();
        setenv("XDG_CONFIG_HOME", (base + "/config").constData(), 1);
        setenv("XDG_DATA_HOME", (base + "/data").constData(), 1);
        // Message boxes would wait for a click: they are counted instead.
        SetMessageHook([](const QString&, const QString&, MsgIcon) {});
        bridge = std::make_unique<UserMessageBridge>();
        frame = std::make_unique<CMainFrame>();
        frame->Doc().Language().SetSettingsFile((dir.path() + "/setting.ini").toStdString());
        frame->show();
        frame->Initialize();
        view = frame->View();
        return view->Control().IsCreated();
    }
    bool Idle() { return !view->Worker().Busy() && !view->StopLine().Overtaking(); }
    bool Quiet() {
        return Idle() && view->MotionOwner() == -1 && !view->SingleRun()->HasMonitorThreads() &&
               !view->PlanRun()->IsRunning() && !view->DxfRun()->IsRunning();
    }
};

struct Flow {
    const char* name;
    // Starts the flow; returns false when it could not.
    std::function<bool(Program&)> start;
    // File work before the flow (reading a plan or a drawing), not measured:
    // it is no device exchange.
    std::function<bool(Program&)> prepare = {};
};

QString WritePlan(const QString& dir) {
    const QString path = dir + "/bench.pla";
    QFile f(path);
    if (f.open(QIODevice::WriteOnly)) {
        f.write(
            "1\r\n2\r\n"
            "GoPosition\t1\tX\t\t\t4\t\t\tR\t0\tO\tP\t\t\t\t\tmm\t10\r\n"
            "Goline2\t1\tX\tY\t\t-2\t3\t\t\t0\t\t\t\t\t\t\tmm\t10\r\n");
    }
    return path;
}

std::vector<Flow> Flows(const QString& fixtures) {
    return {
        {"open", [](Program& p) { return p.view->OpenDevice(); }},
        {"reload-all",
         [](Program& p) {
             p.view->ParamSet()->PushButton(IDC_PS_RELOAD)->click();
             return true;
         }},
        {"parameter write",
         [](Program& p) {
             QLineEdit* speed = p.view->ParamSet()->Edit(IDC_PS_SPEED);
             speed->setText(QStringLiteral("12"));
             QFocusEvent out(QEvent::FocusOut, Qt::TabFocusReason);
             QCoreApplication::sendEvent(speed, &out);
             return true;
         }},
        {"relative move",
         [](Program& p) {
             p.view->ShowPanel(CKT300View::kSingleRun);
             p.view->SingleRun()->Edit(IDC_SR_DISTANCE)->setText(QStringLiteral("3"));
             QAbstractButton* forward = p.view->SingleRun()->Button(IDC_SR_FORWARD);
             if (!forward->isEnabled()) return false;
             forward->click();
             return true;
         }},
        {"plan run",
         [](Program& p) {
             p.view->ShowPanel(CKT300View::kPlanRun);
             p.view->PlanRun()->OnRun();
             return p.view->PlanRun()->IsRunning();
         },
         [](Program& p) {
             CPlanRunDlg* plan = p.view->PlanRun();
             plan->Edit(CPlanRunDlg::IDC_TOTAL)->setText(QStringLiteral("1"));
             return plan->ImportFile(WritePlan(p.dir.path()));
         }},
        {"DXF run",
         [](Program& p) {
             p.view->ShowPanel(CKT300View::kDxfRun);
             p.view->DxfRun()->OnRun();
             return p.view->DxfRun()->IsRunning();
         },
         [fixtures](Program& p) {
             CDxfRunDlg* dxf = p.view->DxfRun();
             if (!dxf->OpenFile(fixtures + "/run_small.dxf")) return false;
             dxf->OnImport();
             return true;
         }},
        {"Stop all",
         [](Program& p) {
             // During a continuous move and a reload waiting for its reads.
             p.view->ShowPanel(CKT300View::kParamSet);
             p.view->SingleRun()->Button(IDC_SR_CONTFORWARD)->click();
             RunFor(300);
             p.view->ParamSet()->PushButton(IDC_PS_RELOAD)->click();
             RunFor(20);
             p.frame->StopAllAction()->trigger();
             return true;
         }},
    };
}

// Runs every flow in one mode; returns the longest stall.
qint64 RunMode(Program& p, const char* mode, const std::vector<Flow>& flows, int limitMs) {
    qint64 overall = 0;
    StallMeter meter;
    // The machine's own scheduling noise, for reference.
    meter.Start();
    RunFor(2000);
    const qint64 idle = meter.Stop();
    std::printf("idle %s: longest stall %lld ms (not a flow; plain thread %lld ms)\n", mode,
                static_cast<long long>(idle), static_cast<long long>(meter.Reference()));
    for (const Flow& flow : flows) {
        if (flow.prepare && !flow.prepare(p)) {
            std::printf("%s %s: could not prepare\n", flow.name, mode);
            continue;
        }
        meter.Start();
        const bool started = flow.start(p);
        bool ended = started && RunUntil([&p] { return p.Quiet(); }, limitMs);
        if (started && !ended) {
            // A motion on a controller that does not answer never reports
            // its end: the operator presses Stop all, which is part of it.
            p.frame->StopAllAction()->trigger();
            // Runs wind down once their calls in progress have timed out.
            ended = RunUntil([&p] { return p.Quiet(); }, 90000);
        }
        const qint64 stall = meter.Stop();
        overall = std::max(overall, stall);
        std::printf("%s %s: longest stall %lld ms%s (plain thread %lld ms)\n", flow.name, mode,
                    static_cast<long long>(stall),
                    started ? (ended ? "" : " (did not end)") : " (could not start)",
                    static_cast<long long>(meter.Reference()));
        std::fflush(stdout);
    }
    return overall;
}

}  // namespace

int main(int argc, char** argv) {
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    setenv("KORVA_CADIO", CADIO_PATH, 0);
    QApplication app(argc, argv);
    QCoreApplication::setOrganizationName(QStringLiteral("Local AppWizard-Generated Applications"));
    QCoreApplication::setApplicationName(QStringLiteral("stagedesk-bench"));
    const QString fixtures = QStringLiteral(DXF_FIXTURES);
    const std::vector<Flow> flows = Flows(fixtures);
    qint64 overall = 0;

    {
        // The simulator at 19200 baud, in real time.
        korva::sim::PtySimulator sim;
        if (!sim.Start()) return 1;
        setenv("KORVA_COM1", sim.SlavePath().c_str(), 1);
        Program p;
        if (!p.Start()) return 1;
        p.view->Control().SetComPort(1);
        overall = std::max(overall, RunMode(p, "19200", flows, 30000));
        p.view->OnComportClose();
        RunUntil([&p] { return p.Quiet(); }, 30000);
    }

    std::vector<double> toWire;
    {
        // Stop all to the wire while a read waits for its reply, on a
        // controller that answers the handshake and the stops, nothing else.
        korva::test::PtyPair pty;
        korva::test::ScriptedPeer peer(pty);
        peer.Expect("Hello", "OK\r");
        for (int i = 0; i < 40; ++i) peer.Expect("STOPALL", "OK\r");
        setenv("KORVA_COM2", pty.SlavePath().c_str(), 1);
        Program p;
        if (!p.Start()) return 1;
        p.view->Control().SetComPort(2);
        p.view->OpenDevice();
        RunUntil([&p] { return p.Quiet(); }, 60000);
        for (int round = 0; round < 10; ++round) {
            RunUntil([&p] { return p.Quiet(); }, 30000);
            const std::size_t before = peer.Lines().size();
            p.view->ParamSet()->PushButton(IDC_PS_RELOAD)->click();
            RunUntil([&] { return peer.Lines().size() > before; }, 5000);  // the read is out
            RunFor(50);
            const std::size_t lines = peer.Lines().size();
            Clock::time_point arrived{};
            std::thread watch([&] {
                peer.WaitForLines(lines + 1, std::chrono::seconds(10));
                arrived = Clock::now();
            });
            const Clock::time_point clicked = Clock::now();
            p.frame->StopAllAction()->trigger();
            watch.join();
            const std::vector<std::string> all = peer.Lines();
            const bool stop = all.size() > lines && all[lines] == "STOPALL";
            toWire.push_back(
                stop ? std::chrono::duration<double, std::milli>(arrived - clicked).count() : -1.0);
        }
        p.view->OnComportClose();
        RunUntil([&p] { return p.Quiet(); }, 30000);
    }
    {
        // The flows on the same kind of controller.
        korva::test::PtyPair pty;
        korva::test::ScriptedPeer peer(pty);
        peer.Expect("Hello", "OK\r");
        for (int i = 0; i < 40; ++i) peer.Expect("STOPALL", "OK\r");
        setenv("KORVA_COM2", pty.SlavePath().c_str(), 1);
        Program p;
        if (!p.Start()) return 1;
        p.view->Control().SetComPort(2);
        overall = std::max(overall, RunMode(p, "mute", flows, 12000));
        p.view->OnComportClose();
        RunUntil([&p] { return p.Quiet(); }, 30000);
    }

    std::vector<double> sorted = toWire;
    std::sort(sorted.begin(), sorted.end());
    std::printf(
        "Stop all to the wire, read waiting on a mute controller (%zu rounds): "
        "median %.1f ms, max %.1f ms%s\n",
        sorted.size(), sorted[sorted.size() / 2], sorted.back(),
        sorted.front() < 0 ? " (a round saw another line first)" : "");
    std::printf("longest stall overall: %lld ms\n", static_cast<long long>(overall));
    return 0;
}
