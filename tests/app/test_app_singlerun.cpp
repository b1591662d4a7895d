// The single-axis panel against the simulated controller: every motion ends
// with the buttons idle and the shown position equal to the controller's.
#include <QAbstractButton>
#include <QCoreApplication>
#include <QFocusEvent>
#include <QLineEdit>
#include <QTabBar>
#include <QTest>
#include <cmath>
#include <memory>

#include "AppFixture.h"
#include "KORVAKT3002.h"
#include "KT300View.h"
#include "MainFrm.h"
#include "Resource.h"
#include "SingleRunDlg.h"

using namespace stagedesk;

namespace {

enum class StopKind { None, Now, Slow };

bool IsIdle(CSingleRunDlg* p, int axis) {
    return !p->IsRunning(axis) && !p->HasMonitorThreads() &&
           p->Button(IDC_SR_FORWARD)->isEnabled() && !p->Button(IDC_SR_STOP)->isEnabled();
}

bool IsBusy(CSingleRunDlg* p) {
    return !p->Button(IDC_SR_FORWARD)->isEnabled() && !p->Button(IDC_SR_HOMEORIGIN)->isEnabled() &&
           p->Button(IDC_SR_STOP)->isEnabled() && p->Button(IDC_SR_STOPSLOW)->isEnabled();
}

bool SameNumber(double shown, double actual) {
    return std::fabs(shown - actual) <= 1e-3 + 1e-5 * std::fabs(actual);
}

}  // namespace

class TestSingleRun : public QObject {
    Q_OBJECT
  private slots:
    void init();
    void cleanup();
    void motionEndsIdleAtControllerPosition_data();
    void motionEndsIdleAtControllerPosition();
    void switchingAxisDuringMotion();
    void closingDuringMotionJoinsMonitor();
    void refusedNumberStartsNothing();
    void closedDeviceEndsTheMotion();
    void leavingTheCoordinateSetsIt();

  private:
    // Moves an axis straight through the control and waits until the
    // controller reports it stopped (its stop report is consumed here).
    void MoveDirect(int axis, float distance);
    void CheckIdleAt(int axis);

    std::unique_ptr<AppFixture> m_app;
};

void TestSingleRun::init() {
    m_app = std::make_unique<AppFixture>();
    QVERIFY(m_app->Start());
    QVERIFY(m_app->Open());
    m_app->TakeMessages();
}

void TestSingleRun::cleanup() {
    m_app.reset();
}

void TestSingleRun::MoveDirect(int axis, float distance) {
    CKORVAKT3002& c = m_app->Control();
    const auto a = static_cast<std::int16_t>(axis);
    c.SetStopFlag(a, 0);
    QVERIFY(c.GoPosition(a, c.Getworkstate(a), 1, distance >= 0 ? 1 : 0, std::fabs(distance)));
    QVERIFY(AppFixture::WaitFor([&] {
        c.GetPosition(a);
        return c.GetStopFlag(a);
    }));
    c.SetStopFlag(a, 0);
}

void TestSingleRun::CheckIdleAt(int axis) {
    CSingleRunDlg* p = m_app->Single();
    QVERIFY2(AppFixture::WaitFor([&] { return IsIdle(p, axis); }, 20000), "the motion never ended");
    QCOMPARE(m_app->View()->TabBar()->count(), static_cast<int>(CKT300View::kPanels));
    QVERIFY(!m_app->Sim().engine().Moving(1, axis));
    const double actual = m_app->Sim().engine().Position(1, axis);
    bool ok = false;
    const double shown = p->PositionText().toDouble(&ok);
    QVERIFY(ok);
    QVERIFY2(SameNumber(shown, actual),
             qPrintable(QStringLiteral("shown %1, controller %2").arg(shown).arg(actual)));
}

void TestSingleRun::motionEndsIdleAtControllerPosition_data() {
    QTest::addColumn<float>("before");  // a move made first, straight through the control
    QTest::addColumn<int>("button");
    QTest::addColumn<QString>("distance");
    QTest::addColumn<QString>("target");
    QTest::addColumn<int>("stop");
    QTest::addColumn<double>("expected");  // NaN: wherever the controller ended

    const double any = std::nan("");
    const int none = static_cast<int>(StopKind::None);
    QTest::newRow("forward") << 0.0f << IDC_SR_FORWARD << "5"
                             << "0" << none << 5.0;
    QTest::newRow("back") << 0.0f << IDC_SR_BACK << "2.5"
                          << "0" << none << -2.5;
    QTest::newRow("run to a negative target keeps fractions") << 0.0f << IDC_SR_RUN << "0"
                                                              << "-3.25" << none << -3.25;
    QTest::newRow("run to exactly zero") << 2.0f << IDC_SR_RUN << "0"
                                         << "0" << none << 0.0;
    QTest::newRow("run to a positive target") << 1.0f << IDC_SR_RUN << "0"
                                              << "4" << none << 4.0;
    QTest::newRow("continuous forward, stop now") << 0.0f << IDC_SR_CONTFORWARD << "0"
                                                  << "0" << static_cast<int>(StopKind::Now) << any;
    QTest::newRow("continuous back, slow stop") << 0.0f << IDC_SR_CONTBACK << "0"
                                                << "0" << static_cast<int>(StopKind::Slow) << any;
    QTest::newRow("home on the negative limit") << 3.0f << IDC_SR_HOMELIMIT << "0"
                                                << "0" << none << any;
    QTest::newRow("home on the optical switch") << 3.0f << IDC_SR_HOMEOPTICAL << "0"
                                                << "0" << none << any;
    QTest::newRow("return to the user origin") << 3.0f << IDC_SR_HOMEORIGIN << "0"
                                               << "0" << none << 0.0;
}

void TestSingleRun::motionEndsIdleAtControllerPosition() {
    QFETCH(float, before);
    QFETCH(int, button);
    QFETCH(QString, distance);
    QFETCH(QString, target);
    QFETCH(int, stop);
    QFETCH(double, expected);

    CSingleRunDlg* p = m_app->Single();
    if (before != 0.0f) MoveDirect(0, before);
    p->SelectAxis(0);
    QVERIFY(m_app->Settle());
    QVERIFY(IsIdle(p, 0));
    p->Edit(IDC_SR_DISTANCE)->setText(distance);
    p->Edit(IDC_SR_TARGET)->setText(target);

    p->Button(button)->click();
    // At once: busy, and only the single-axis tab offered.
    QVERIFY(IsBusy(p));
    QCOMPARE(m_app->View()->TabBar()->count(), 1);

    if (static_cast<StopKind>(stop) != StopKind::None) {
        QVERIFY(AppFixture::WaitFor([&] { return m_app->Sim().engine().Moving(1, 0); }));
        AppFixture::Pump(150);
        p->Button(stop == static_cast<int>(StopKind::Now) ? IDC_SR_STOP : IDC_SR_STOPSLOW)->click();
        // The tabs come back at once; the buttons only when the monitor ends.
        QCOMPARE(m_app->View()->TabBar()->count(), static_cast<int>(CKT300View::kPanels));
        QVERIFY(IsBusy(p));
    }
    CheckIdleAt(0);
    if (!std::isnan(expected)) {
        QVERIFY2(SameNumber(m_app->Sim().engine().Position(1, 0), expected),
                 qPrintable(QString::number(m_app->Sim().engine().Position(1, 0))));
    }
    QVERIFY(m_app->TakeMessages().isEmpty());
}

void TestSingleRun::switchingAxisDuringMotion() {
    CSingleRunDlg* p = m_app->Single();
    auto& engine = m_app->Sim().engine();
    p->Button(IDC_SR_CONTFORWARD)->click();
    QVERIFY(AppFixture::WaitFor([&] { return engine.Moving(1, 0) && p->HasMonitorThreads(); }));

    // To Y: X's monitor ends without touching the buttons; Y stands still,
    // so the panel is idle again and X keeps running on the controller.
    p->Button(IDC_SR_RADIO_Y)->click();
    QCOMPARE(p->CurrentAxis(), 1);
    QVERIFY(!p->IsMonitoring(0));
    QVERIFY(p->IsRunning(0));
    QVERIFY(AppFixture::WaitFor([&] { return IsIdle(p, 1); }));
    QCOMPARE(m_app->View()->TabBar()->count(), static_cast<int>(CKT300View::kPanels));
    QVERIFY(engine.Moving(1, 0));
    QVERIFY(p->IsRunning(0));

    // Back to X: it still moves, so the panel is busy and monitors it again.
    p->Button(IDC_SR_RADIO_X)->click();
    QVERIFY(AppFixture::WaitFor([&] { return IsBusy(p); }));
    QVERIFY(p->IsMonitoring(0));
    QCOMPARE(m_app->View()->TabBar()->count(), 1);
    p->Button(IDC_SR_STOP)->click();
    CheckIdleAt(0);
}

void TestSingleRun::closingDuringMotionJoinsMonitor() {
    CSingleRunDlg* p = m_app->Single();
    p->Button(IDC_SR_CONTBACK)->click();
    QVERIFY(AppFixture::WaitFor([&] { return m_app->Sim().engine().Moving(1, 0); }));
    AppFixture::Pump(100);
    // Closing the window stops the axis, waits for it to stand, and joins
    // the monitor thread even while it waits for the window to refresh.
    m_app->Frame().close();
    QVERIFY(AppFixture::WaitFor([&] { return !m_app->Frame().isVisible(); }));
    QVERIFY(!p->HasMonitorThreads());
    QVERIFY(!m_app->Sim().engine().Moving(1, 0));
    // Nothing left running: the axis stays where it stopped.
    const double stopped = m_app->Sim().engine().Position(1, 0);
    AppFixture::Pump(300);
    QCOMPARE(m_app->Sim().engine().Position(1, 0), stopped);
    QVERIFY(m_app->TakeMessages().isEmpty());
}

void TestSingleRun::refusedNumberStartsNothing() {
    CSingleRunDlg* p = m_app->Single();
    p->Edit(IDC_SR_DISTANCE)->setText(QStringLiteral("12abc"));
    p->Button(IDC_SR_FORWARD)->click();
    QCOMPARE(m_app->TakeMessages(), QStringList{QStringLiteral("Please enter a number.")});
    QVERIFY(IsIdle(p, 0));
    QCOMPARE(m_app->View()->TabBar()->count(), static_cast<int>(CKT300View::kPanels));
    AppFixture::Pump(200);
    QVERIFY(!m_app->Sim().engine().Moving(1, 0));
}

void TestSingleRun::closedDeviceEndsTheMotion() {
    CSingleRunDlg* p = m_app->Single();
    // Closed while an axis runs: nothing will report the stop any more.
    p->Button(IDC_SR_CONTFORWARD)->click();
    QVERIFY(AppFixture::WaitFor([&] { return m_app->Sim().engine().Moving(1, 0); }));
    m_app->View()->OnComportClose();
    QVERIFY(AppFixture::WaitFor([&] { return IsIdle(p, 0); }));
    QCOMPARE(m_app->View()->TabBar()->count(), static_cast<int>(CKT300View::kPanels));

    // A motion button pressed with no device open comes back as well.
    m_app->TakeMessages();
    p->Edit(IDC_SR_DISTANCE)->setText(QStringLiteral("1"));
    p->Button(IDC_SR_FORWARD)->click();
    QVERIFY(IsBusy(p));
    QVERIFY(AppFixture::WaitFor([&] { return IsIdle(p, 0); }));
    QCOMPARE(m_app->View()->TabBar()->count(), static_cast<int>(CKT300View::kPanels));
}

void TestSingleRun::leavingTheCoordinateSetsIt() {
    CSingleRunDlg* p = m_app->Single();
    CKORVAKT3002& c = m_app->Control();
    QLineEdit* coordinate = p->Edit(IDC_SR_POSITION);
    auto leave = [&] {
        QFocusEvent out(QEvent::FocusOut, Qt::MouseFocusReason);
        QCoreApplication::sendEvent(coordinate, &out);
    };
    coordinate->setText(QStringLiteral("12.5"));
    coordinate->setModified(true);  // as typing does
    leave();
    QVERIFY(m_app->Settle());
    QCOMPARE(c.GetUserOrg(0), 12.5f);

    // Clicking into the field and out again sends nothing: the six digits
    // shown would otherwise replace the value by its rounding.
    MoveDirect(0, 1.2345678f);
    p->SelectAxis(0);
    QVERIFY(m_app->Settle());
    QVERIFY(coordinate->text() != QStringLiteral("12.5"));
    leave();
    QVERIFY(m_app->Settle());
    QCOMPARE(c.GetUserOrg(0), 12.5f);
    QVERIFY(m_app->TakeMessages().isEmpty());
}

QTEST_MAIN(TestSingleRun)
#include "test_app_singlerun.moc"
