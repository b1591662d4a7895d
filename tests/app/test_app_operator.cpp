// The operator stays in control, in the whole program against the simulator
// (and a mute controller on a pseudo-terminal): Stop all from every tab, by
// button and by shortcut, also while a read waits for a controller that does
// not answer; one motion at a time; leaving (exit, close, language) stops
// what moves; bad plan rows start nothing; the status bar and the readout.
#include <QAbstractButton>
#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QElapsedTimer>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QStatusBar>
#include <QTemporaryFile>
#include <QTest>
#include <QTimer>
#include <chrono>
#include <cstdlib>
#include <memory>

#include "AppFixture.h"
#include "AppMessage.h"
#include "DxfRunDlg.h"
#include "KORVAKT3002.h"
#include "KT300View.h"
#include "MainFrm.h"
#include "ParamSetDlg.h"
#include "PlanRunDlg.h"
#include "PtyPair.h"
#include "Resource.h"
#include "ScriptedPeer.h"
#include "SimEngine.h"
#include "SingleRunDlg.h"

using namespace stagedesk;
using namespace std::chrono_literals;

namespace {

const QString kFixtures = QStringLiteral(DXF_FIXTURES);

enum Activity { kNothing, kSingle, kPlan, kDxf };

// A plan row of the plan panel (18 cells) moving axis far at speed 10.
std::string LongMoveRow(const char* axis) {
    return std::string("GoPosition\t1\t") + axis + "\t\t\t400\t\t\tR\t0\tO\tP\t\t\t\t\tmm\t10\r\n";
}

}  // namespace

class TestOperator : public QObject {
    Q_OBJECT
  private slots:
    void init();
    void cleanup();
    void stopAllHaltsTheAxesFromEveryTab_data();
    void stopAllHaltsTheAxesFromEveryTab();
    void theShortcutStopsWhileADialogIsOpen();
    void stopAllReachesTheWireWhileAReadWaitsOnAMuteController_data();
    void stopAllReachesTheWireWhileAReadWaitsOnAMuteController();
    void aDxfRunOnAMuteControllerHoldsNeitherTheWindowNorTheInterlock();
    void aPlanRunOnAMuteControllerEndsAtStopAll();
    void stopAllOvertakesASlowStopAllOnAMuteController();
    void oneMotionAtATime_data();
    void oneMotionAtATime();
    void leavingStopsWhatMoves_data();
    void leavingStopsWhatMoves();
    void aPlanWithABadRowIsRefusedBeforeMoving();
    void statusBarShowsConnectionReadoutAndLastFailure();

  private:
    // Starts an activity that moves X (and Y for the DXF run).
    bool Start(Activity activity);
    bool Moving() {
        return m_app->Sim().engine().Moving(1, 0) || m_app->Sim().engine().Moving(1, 1);
    }
    QString WritePlan(const std::string& rows, int count);
    // Reopens the device on a controller that answers the handshake, then
    // nothing but STOPALL.
    bool OpenMute(korva::test::PtyPair& pty, korva::test::ScriptedPeer& peer);
    static int StopLines(const korva::test::ScriptedPeer& peer, const char* word);

    std::unique_ptr<AppFixture> m_app;
    std::unique_ptr<QTemporaryDir> m_dir;
};

void TestOperator::init() {
    setenv("KORVA_CADIO", CADIO_PATH, 1);
    m_app = std::make_unique<AppFixture>(1.0);
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_app->Start());
    QVERIFY(m_app->Open());
    m_app->TakeMessages();
}

void TestOperator::cleanup() {
    m_app.reset();
}

QString TestOperator::WritePlan(const std::string& rows, int count) {
    const QString path = m_dir->filePath(QStringLiteral("plan%1.pla").arg(count));
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly)) return {};
    f.write(("1\r\n" + std::to_string(count) + "\r\n" + rows).c_str());
    return path;
}

bool TestOperator::OpenMute(korva::test::PtyPair& pty, korva::test::ScriptedPeer& peer) {
    CKT300View* view = m_app->View();
    view->OnComportClose();
    if (!view->WaitIdle()) return false;
    peer.SetDefaultReply("OK\r");
    setenv("KORVA_COM2", pty.SlavePath().c_str(), 1);
    m_app->Control().SetComPort(2);
    if (!m_app->OpenAsSet() || !view->WaitIdle()) return false;
    m_app->TakeMessages();
    peer.SetDefaultReply(std::nullopt);
    peer.Expect("STOPALL", "OK\r");
    peer.ClearReceived();
    return true;
}

int TestOperator::StopLines(const korva::test::ScriptedPeer& peer, const char* word) {
    int n = 0;
    for (const std::string& line : peer.Lines())
        n += QString::fromStdString(line).startsWith(QLatin1String(word), Qt::CaseInsensitive);
    return n;
}

bool TestOperator::Start(Activity activity) {
    CKT300View* view = m_app->View();
    switch (activity) {
        case kNothing: {
            // Axes started straight through the control: no panel knows.
            CKORVAKT3002& c = m_app->Control();
            c.Go(0, 1);
            c.Go(1, 0);
            break;
        }
        case kSingle:
            view->SingleRun()->Button(IDC_SR_CONTFORWARD)->click();
            break;
        case kPlan: {
            CPlanRunDlg* plan = view->PlanRun();
            if (!plan->ImportFile(WritePlan(LongMoveRow("X"), 1))) return false;
            plan->Edit(CPlanRunDlg::IDC_TOTAL)->setText(QStringLiteral("1"));
            plan->OnRun();
            break;
        }
        case kDxf: {
            CDxfRunDlg* dxf = view->DxfRun();
            if (!dxf->OpenFile(kFixtures + "/r2000_lwpolyline.dxf")) return false;
            dxf->OnImport();
            dxf->OnRun();
            break;
        }
    }
    return AppFixture::WaitFor([this] { return Moving(); });
}

// --- Stop all ---

void TestOperator::stopAllHaltsTheAxesFromEveryTab_data() {
    QTest::addColumn<int>("activity");
    QTest::addColumn<int>("tab");
    QTest::addColumn<bool>("shortcut");
    const char* names[] = {"axes moved by the control", "single-axis motion", "plan run",
                           "DXF run"};
    for (int activity : {kNothing, kSingle, kPlan, kDxf}) {
        for (int tab = 0; tab < CKT300View::kPanels; ++tab) {
            QTest::addRow("%s, tab %d, button", names[activity], tab) << activity << tab << false;
        }
        QTest::addRow("%s, shortcut", names[activity]) << activity << activity % 4 << true;
    }
}

void TestOperator::stopAllHaltsTheAxesFromEveryTab() {
    QFETCH(int, activity);
    QFETCH(int, tab);
    QFETCH(bool, shortcut);
    CMainFrame& frame = m_app->Frame();
    CKT300View* view = m_app->View();
    QVERIFY(frame.StopAllAction()->isEnabled());
    QVERIFY(frame.StopAllAction()->toolTip().contains(QLatin1String(CMainFrame::kStopAllShortcut)));
    QVERIFY(Start(static_cast<Activity>(activity)));
    view->ShowPanel(tab);
    if (shortcut) {
        QTest::keyClick(view->PanelAt(tab), Qt::Key_F12);
    } else {
        frame.StopAllAction()->trigger();
    }
    QVERIFY2(AppFixture::WaitFor([this] { return !Moving(); }, 5000), "the axes still move");
    // Every activity has ended and the window offers everything again.
    QVERIFY(AppFixture::WaitFor([view] {
        return !view->PlanRun()->IsRunning() && !view->DxfRun()->IsRunning() &&
               !view->SingleRun()->HasMonitorThreads() && view->MotionOwner() == -1;
    }));
    QVERIFY(view->WaitIdle());
    QCOMPARE(view->TabBar()->count(), static_cast<int>(CKT300View::kPanels));
    QVERIFY(view->SingleRun()->Button(IDC_SR_FORWARD)->isEnabled());
    QVERIFY(view->PlanRun()->Button(CPlanRunDlg::IDC_RUN)->isEnabled());
    const double x = m_app->Sim().engine().Position(1, 0);
    AppFixture::Pump(300);
    QCOMPARE(m_app->Sim().engine().Position(1, 0), x);  // nothing started again
}

void TestOperator::theShortcutStopsWhileADialogIsOpen() {
    QVERIFY(Start(kNothing));
    bool wasModal = false;
    QTimer::singleShot(0, [&] {
        QWidget* modal = nullptr;
        AppFixture::WaitFor([&] { return (modal = QApplication::activeModalWidget()) != nullptr; },
                            5000);
        if (modal == nullptr) return;
        wasModal = true;
        QTest::keyClick(modal, Qt::Key_F12);
        AppFixture::WaitFor([this] { return !Moving(); }, 5000);
        modal->close();
    });
    m_app->Frame().OnAppAbout();
    QVERIFY(wasModal);
    QVERIFY(!Moving());
}

// --- a controller that stops answering ---

void TestOperator::stopAllReachesTheWireWhileAReadWaitsOnAMuteController_data() {
    QTest::addColumn<int>("tab");
    for (int tab = 0; tab < CKT300View::kPanels; ++tab) QTest::addRow("tab %d", tab) << tab;
}

void TestOperator::stopAllReachesTheWireWhileAReadWaitsOnAMuteController() {
    QFETCH(int, tab);
    CKT300View* view = m_app->View();
    view->OnComportClose();
    QVERIFY(view->WaitIdle());

    korva::test::PtyPair pty;
    korva::test::ScriptedPeer peer(pty);
    peer.SetDefaultReply("OK\r");  // the handshake, then anything
    setenv("KORVA_COM2", pty.SlavePath().c_str(), 1);
    m_app->Control().SetComPort(2);
    QVERIFY(m_app->OpenAsSet());
    m_app->TakeMessages();

    // From now on reads go unanswered; only the stop is acknowledged.
    peer.SetDefaultReply(std::nullopt);
    peer.Expect("STOPALL", "OK\r");
    peer.ClearReceived();
    CParamSetDlg* params = view->ParamSet();
    params->PushButton(IDC_PS_RELOAD)->click();
    QVERIFY(peer.WaitForLines(1, 2000s));  // the first read is out and waits
    QVERIFY(params->RequestRunning());

    // The window answers: tabs switch, the reload shows it waits.
    view->ShowPanel(tab);
    QVERIFY(view->PanelAt(tab)->isVisible());
    QVERIFY(!params->PushButton(IDC_PS_RELOAD)->isEnabled());
    QElapsedTimer clock;
    clock.start();
    m_app->Frame().StopAllAction()->trigger();
    QVERIFY2(clock.elapsed() < 1000, "Stop all waited for the controller");
    QVERIFY2(AppFixture::WaitFor(
                 [&] {
                     for (const std::string& line : peer.Lines())
                         if (line == "STOPALL") return true;
                     return false;
                 },
                 5000),
             qPrintable("the stop never reached the wire; it got: " +
                        QString::fromStdString(peer.Received()).replace('\r', '|')));
    // The reload was dropped with the rest of the queue: the panel is free.
    QVERIFY(view->WaitIdle());
    QVERIFY(params->PushButton(IDC_PS_RELOAD)->isEnabled());
    QVERIFY(!params->RequestRunning());
    view->OnComportClose();
    QVERIFY(view->WaitIdle());
}

// Run right after Import, while the read of X's speeds for the estimate still
// waits for a controller that does not answer: the click returns at once (the
// run thread, not the window, waits for that read). Stop all then ends the run
// and frees the other panels without the run waiting for any stop's reply.
void TestOperator::aDxfRunOnAMuteControllerHoldsNeitherTheWindowNorTheInterlock() {
    CKT300View* view = m_app->View();
    view->OnComportClose();
    QVERIFY(view->WaitIdle());
    korva::test::PtyPair pty;
    korva::test::ScriptedPeer peer(pty);
    peer.SetDefaultReply("OK\r");
    setenv("KORVA_COM2", pty.SlavePath().c_str(), 1);
    m_app->Control().SetComPort(2);
    QVERIFY(m_app->OpenAsSet());
    QVERIFY(view->WaitIdle());
    m_app->TakeMessages();

    peer.SetDefaultReply(std::nullopt);
    peer.Expect("STOPALL", "OK\r");
    peer.ClearReceived();
    CDxfRunDlg* dxf = view->DxfRun();
    view->ShowPanel(CKT300View::kDxfRun);
    QVERIFY(dxf->OpenFile(kFixtures + "/r2000_lwpolyline.dxf"));
    dxf->OnImport();
    QVERIFY(peer.WaitForLines(1, 2000s));  // the speed read is out and waits

    QElapsedTimer clock;
    clock.start();
    dxf->OnRun();
    QVERIFY2(clock.elapsed() < 1000, "Run waited for the controller on the window's thread");
    QVERIFY(dxf->IsRunning());
    QAbstractButton* planRun = view->PlanRun()->Button(CPlanRunDlg::IDC_RUN);
    QVERIFY(!planRun->isEnabled());

    clock.restart();
    m_app->Frame().StopAllAction()->trigger();
    QVERIFY2(clock.elapsed() < 1000, "Stop all waited for the controller");
    // Bounded by the read in flight and the tool-off/speed calls of the end,
    // each at most one reply's time limit; no stop's reply is waited for.
    QVERIFY2(AppFixture::WaitFor([&] { return !dxf->IsRunning(); }, 15000),
             "the stopped run did not end");
    QCOMPARE(dxf->LastEnd().how, dxf::JobEnd::How::kStopped);
    QVERIFY(AppFixture::WaitFor([&] { return planRun->isEnabled(); }, 1000));
    int stops = 0;
    for (const std::string& line : peer.Lines())
        stops +=
            QString::fromStdString(line).startsWith(QLatin1String("stop"), Qt::CaseInsensitive);
    QCOMPARE(stops, 1);  // Stop all's, and no Stop or StopSlow of the run's own
    m_app->TakeMessages();
    view->OnComportClose();
    QVERIFY(view->WaitIdle());
}

// A plan run waiting for its axes on a controller that stopped answering:
// Stop all ends it without the run sending stops of its own (each would wait
// out the stop's time limit), and the other panels are free again.
void TestOperator::aPlanRunOnAMuteControllerEndsAtStopAll() {
    CKT300View* view = m_app->View();
    korva::test::PtyPair pty;
    korva::test::ScriptedPeer peer(pty);
    QVERIFY(OpenMute(pty, peer));
    CPlanRunDlg* plan = view->PlanRun();
    view->ShowPanel(CKT300View::kPlanRun);
    QVERIFY(plan->ImportFile(WritePlan(LongMoveRow("X"), 1)));
    plan->Edit(CPlanRunDlg::IDC_TOTAL)->setText(QStringLiteral("1"));
    // The controller takes the plan's settings and the move, then falls mute.
    peer.SetDefaultReply("OK\r");
    plan->OnRun();
    QVERIFY(plan->IsRunning());
    QVERIFY(AppFixture::WaitFor([&] { return StopLines(peer, "Go") > 0; }, 5000));
    peer.SetDefaultReply(std::nullopt);
    // The completion wait reads X, unanswered.
    QVERIFY(AppFixture::WaitFor([&] { return StopLines(peer, "Position?") > 0; }, 5000));
    QVERIFY(plan->IsRunning());

    m_app->Frame().StopAllAction()->trigger();
    // Bounded by the read in flight (one reply's time limit), not by stops.
    QVERIFY2(AppFixture::WaitFor([&] { return !plan->IsRunning(); }, 8000),
             "the stopped plan run did not end");
    QVERIFY(
        AppFixture::WaitFor([&] { return view->DxfRun()->StartBlockedReason().isEmpty(); }, 1000));
    QVERIFY(AppFixture::WaitFor([&] { return StopLines(peer, "STOPALL") == 1; }, 1000));
    QVERIFY(view->StopLine().WaitDone(std::chrono::seconds(5)));
    QCOMPARE(StopLines(peer, "stop"), 1);  // Stop all's STOPALL only
    peer.SetDefaultReply("OK\r");
    m_app->TakeMessages();
    view->OnComportClose();
    QVERIFY(view->WaitIdle());
}

// "Slow stop all" on a mute controller waits for each axis's reply in turn;
// the immediate Stop all clicked meanwhile goes out at once instead of after
// them, and the slow stop leaves the axes it has not reached.
void TestOperator::stopAllOvertakesASlowStopAllOnAMuteController() {
    CKT300View* view = m_app->View();
    korva::test::PtyPair pty;
    korva::test::ScriptedPeer peer(pty);
    QVERIFY(OpenMute(pty, peer));
    m_app->Frame().StopAllSlowAction()->trigger();
    QVERIFY(AppFixture::WaitFor([&] { return StopLines(peer, "StopSlow") == 1; }, 2000));
    QElapsedTimer clock;
    clock.start();
    m_app->Frame().StopAllAction()->trigger();
    QVERIFY2(AppFixture::WaitFor([&] { return StopLines(peer, "STOPALL") == 1; }, 1000),
             "STOPALL queued behind the slow stops");
    QVERIFY(view->StopLine().WaitDone(std::chrono::seconds(5)));
    QCOMPARE(StopLines(peer, "StopSlow"), 1);
    view->OnComportClose();
    QVERIFY(view->WaitIdle());
}

// --- one motion at a time ---

void TestOperator::oneMotionAtATime_data() {
    QTest::addColumn<int>("running");
    QTest::addColumn<int>("other");
    const char* names[] = {"", "single", "plan", "DXF"};
    for (int running : {kSingle, kPlan, kDxf}) {
        for (int other : {kSingle, kPlan, kDxf}) {
            if (other != running)
                QTest::addRow("%s blocks %s", names[running], names[other]) << running << other;
        }
    }
}

void TestOperator::oneMotionAtATime() {
    QFETCH(int, running);
    QFETCH(int, other);
    CKT300View* view = m_app->View();
    CMainFrame& frame = m_app->Frame();
    if (other == kDxf) {
        // Ready to run, so only the interlock can hold it back.
        QVERIFY(view->DxfRun()->OpenFile(kFixtures + "/run_small.dxf"));
        view->DxfRun()->OnImport();
    }
    QVERIFY(Start(static_cast<Activity>(running)));
    QAbstractButton* start = nullptr;
    switch (other) {
        case kSingle:
            start = view->SingleRun()->Button(IDC_SR_FORWARD);
            break;
        case kPlan:
            start = view->PlanRun()->Button(CPlanRunDlg::IDC_RUN);
            break;
        default:
            start = view->DxfRun()->Button(CDxfRunDlg::IDC_RUN);
            break;
    }
    QVERIFY(!start->isEnabled());
    QVERIFY2(!start->toolTip().isEmpty(), "no reason on the tooltip");
    QCOMPARE(frame.statusBar()->currentMessage(), start->toolTip());
    QVERIFY(frame.StopAllAction()->isEnabled());

    // Starting anyway (a click that got through, a call) starts nothing.
    const double y = m_app->Sim().engine().Position(1, 1);
    if (other == kPlan) {
        QVERIFY(view->PlanRun()->ImportFile(WritePlan(LongMoveRow("Y"), 1)));
        view->PlanRun()->OnRun();
        QVERIFY(!view->PlanRun()->IsRunning());
    } else if (other == kDxf) {
        view->DxfRun()->OnRun();
        QVERIFY(!view->DxfRun()->IsRunning());
    }
    // The running panel's own stop stays available.
    if (running == kSingle) QVERIFY(view->SingleRun()->Button(IDC_SR_STOP)->isEnabled());
    if (running == kPlan) QVERIFY(view->PlanRun()->Button(CPlanRunDlg::IDC_STOP)->isEnabled());

    frame.StopAllAction()->trigger();
    QVERIFY(AppFixture::WaitFor([&] { return !Moving() && view->MotionOwner() == -1; }));
    QVERIFY(view->WaitIdle());
    if (running != kDxf) QCOMPARE(m_app->Sim().engine().Position(1, 1), y);
    QVERIFY(start->isEnabled());
    QVERIFY(start->toolTip().isEmpty());
}

// --- leaving ---

void TestOperator::leavingStopsWhatMoves_data() {
    QTest::addColumn<QString>("how");
    QTest::addColumn<int>("activity");
    for (const char* how : {"exit", "close device", "language"}) {
        QTest::addRow("%s during a single-axis motion", how) << QString(how) << int(kSingle);
        QTest::addRow("%s during a plan run", how) << QString(how) << int(kPlan);
    }
}

void TestOperator::leavingStopsWhatMoves() {
    QFETCH(QString, how);
    QFETCH(int, activity);
    CKT300View* view = m_app->View();
    QVERIFY(Start(static_cast<Activity>(activity)));
    if (how == QLatin1String("exit")) {
        m_app->Frame().Command(ID_APP_EXIT)->trigger();
        QVERIFY(AppFixture::WaitFor([this] { return !m_app->Frame().isVisible(); }));
    } else if (how == QLatin1String("close device")) {
        m_app->Frame().Command(ID_COMPORT_CLOSE)->trigger();
        QVERIFY(view->WaitIdle());
        QVERIFY(!m_app->Control().GetIsOpen());
    } else {
        m_app->Frame().Command(ID_LANGUAGE_CHINESE)->trigger();
        QVERIFY(view->WaitIdle());
        QCOMPARE(view->LanguageIndex(), 1);
    }
    // Stopped and seen standing before the program went on.
    QVERIFY(!Moving());
    const double x = m_app->Sim().engine().Position(1, 0);
    AppFixture::Pump(300);
    QCOMPARE(m_app->Sim().engine().Position(1, 0), x);
    QVERIFY(!view->PlanRun()->IsRunning());
    const QStringList messages = m_app->TakeMessages();
    for (const QString& m : messages) QVERIFY2(!m.contains("did not report"), qPrintable(m));
    if (how == QLatin1String("language")) m_app->Frame().Command(ID_LANGUAGE_ENGLISH)->trigger();
}

// --- plans ---

void TestOperator::aPlanWithABadRowIsRefusedBeforeMoving() {
    CPlanRunDlg* plan = m_app->View()->PlanRun();
    const std::string bad = "GoPosition\t1\tQ\t\t\t5\t\t\tR\t0\tO\tP\t\t\t\t\tmm\t10\r\n";
    QVERIFY(plan->ImportFile(WritePlan(LongMoveRow("X") + bad, 2)));
    m_app->TakeMessages();
    plan->Edit(CPlanRunDlg::IDC_TOTAL)->setText(QStringLiteral("1"));
    plan->Button(CPlanRunDlg::IDC_RUN)->click();
    QVERIFY(!plan->IsRunning());
    const QStringList messages = m_app->TakeMessages();
    QCOMPARE(messages.size(), 1);
    QVERIFY2(messages[0].contains("Step 2 cannot run"), qPrintable(messages[0]));
    AppFixture::Pump(300);
    QVERIFY(!Moving());
    QCOMPARE(m_app->Sim().engine().Position(1, 0), 0.0);
}

// --- what the operator sees ---

void TestOperator::statusBarShowsConnectionReadoutAndLastFailure() {
    CMainFrame& frame = m_app->Frame();
    CKT300View* view = m_app->View();
    const QString connection = frame.ConnectionLabel()->text();
    QVERIFY2(connection.startsWith("Serial port COM1 (" +
                                   QString::fromStdString(m_app->Sim().SlavePath()) + ")"),
             qPrintable(connection));
    QVERIFY2(connection.contains("controller KT3007Q"), qPrintable(connection));
    QVERIFY(frame.FailureLabel()->text().isEmpty());

    // A relative move of X: the readout follows and ends where X stands.
    CSingleRunDlg* single = view->SingleRun();
    single->Edit(IDC_SR_DISTANCE)->setText(QStringLiteral("3"));
    single->Button(IDC_SR_FORWARD)->click();
    QVERIFY(AppFixture::WaitFor([&] { return view->MotionOwner() == -1 && !Moving(); }, 20000));
    QVERIFY(view->WaitIdle());
    const QString readout = frame.ReadoutLabel()->text();
    QVERIFY2(readout.startsWith(QStringLiteral("X 3 mm")), qPrintable(readout));
    QVERIFY(readout.contains(QStringLiteral("T 0")));

    // A write the controller refuses: its code and text in the status bar.
    korva::sim::SimFault fault;
    fault.kind = korva::sim::SimFault::Kind::kErrorReply;
    fault.errorCode = 1;
    m_app->Sim().engine().SetFault(fault);
    view->ShowPanel(CKT300View::kParamSet);
    QLineEdit* speed = view->ParamSet()->Edit(IDC_PS_SPEED);
    speed->setText(QStringLiteral("7"));
    QFocusEvent out(QEvent::FocusOut, Qt::TabFocusReason);
    QCoreApplication::sendEvent(speed, &out);
    QVERIFY(view->WaitIdle());
    const QString failure = frame.FailureLabel()->text();
    QVERIFY2(failure.contains("code 20041") && failure.contains("E01"), qPrintable(failure));

    view->OnComportClose();
    QVERIFY(view->WaitIdle());
    QCOMPARE(frame.ConnectionLabel()->text(), QStringLiteral("No device open"));
    QVERIFY(!frame.StopAllAction()->isEnabled());
}

QTEST_MAIN(TestOperator)
#include "test_app_operator.moc"
