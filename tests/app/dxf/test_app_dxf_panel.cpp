// The DXF panel: opening (progress, errors), the drawing area and its drag,
// import and preview, and a run in the whole program against the simulator.
#include <gtest/gtest.h>

#include <QApplication>
#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QMouseEvent>
#include <QProgressBar>
#include <QPushButton>
#include <atomic>
#include <cstdlib>
#include <string>
#include <vector>

#include "AppFixture.h"
#include "AppMessage.h"
#include "CadIOBinding.h"
#include "DialogFields.h"
#include "DxfRunDlg.h"
#include "KT300View.h"

namespace stagedesk {
namespace {

const QString kFixtures = QStringLiteral(DXF_FIXTURES);

// Records the calls; a move takes the axes to its target at once.
class FakeControl : public DxfControl {
  public:
    std::vector<std::string> calls;
    bool GoOrigion(std::int16_t a) override {
        calls.push_back("GoOrigion(" + std::to_string(a) + ")");
        m_position[a == 1 ? 1 : 0] = 0;
        return true;
    }
    bool GoInterpolationline2(std::int16_t, std::int16_t, float x, float y) override {
        calls.push_back("GoInterpolationline2");
        lines.emplace_back(x, y);
        Move(x, y);
        return true;
    }
    std::vector<std::pair<float, float>> lines;
    void SetPosition(double x, double y) {
        m_position[0] = x;
        m_position[1] = y;
    }
    bool GoInterpolationArc(std::int16_t, std::int16_t, float x, float y, float, float,
                            std::int16_t) override {
        calls.push_back("GoInterpolationArc");
        Move(x, y);
        return true;
    }
    bool Stop(std::int16_t) override { return true; }
    double GetPosition(std::int16_t a) override { return m_position[a == 1 ? 1 : 0].load(); }
    bool SetSpeed(std::int16_t, float) override { return true; }
    bool GetSpeed(std::int16_t, float* speed) override {
        *speed = 10;
        return true;
    }
    bool SetPortOutput(std::int16_t) override { return true; }
    bool StopSlow(std::int16_t) override { return true; }
    std::int32_t LastErrorCode() override { return 0; }
    bool ReadDynamics(dxf::AxisDynamics*) override { return false; }

  private:
    void Move(float x, float y) {
        m_position[0] = m_position[0].load() + x;
        m_position[1] = m_position[1].load() + y;
    }
    std::atomic<double> m_position[2] = {0.0, 0.0};
};

struct Message {
    QString text, caption;
    MsgIcon icon;
};

class DxfPanel : public testing::Test {
  protected:
    void SetUp() override {
        setenv("KORVA_CADIO", CADIO_PATH, 1);
        previous =
            SetMessageHook([this](const QString& text, const QString& caption, MsgIcon icon) {
                messages.push_back({text, caption, icon});
            });
    }
    void TearDown() override { SetMessageHook(previous); }

    static bool Lit(const QImage& image, QColor ground) {
        for (int y = 0; y < image.height(); ++y)
            for (int x = 0; x < image.width(); ++x)
                if (image.pixelColor(x, y) != ground) return true;
        return false;
    }
    static bool WaitUntil(const std::function<bool()>& done, int ms = 20000) {
        return AppFixture::WaitFor(done, ms);
    }

    MessageHook previous;
    std::vector<Message> messages;
};

TEST_F(DxfPanel, OpeningShowsTheDrawingWithProgress) {
    FakeControl control;
    CDxfRunDlg panel(&control, nullptr);
    panel.resize(900, 700);
    // Black while there is no drawing.
    EXPECT_FALSE(Lit(panel.DrawingArea()->grab().toImage(), Qt::black));

    std::vector<int> seen;
    QString lastText;
    panel.SetProgressObserver([&](CDxfProgressDlg& dlg, int pos) {
        seen.push_back(pos);
        lastText = dlg.Percent()->text();
        EXPECT_TRUE(dlg.isVisible());
        EXPECT_FALSE(panel.isEnabled()) << "the owner is disabled while the dialog is up";
    });
    ASSERT_TRUE(panel.OpenFile(kFixtures + "/r12_shapes.dxf"));
    EXPECT_TRUE(messages.empty());
    ASSERT_FALSE(seen.empty());
    EXPECT_EQ(seen.back(), 100);
    EXPECT_EQ(lastText, "100%");
    EXPECT_TRUE(panel.isEnabled());
    EXPECT_TRUE(Lit(panel.DrawingArea()->grab().toImage(), Qt::black));
    // The view shows the whole drawing: its centre is the drawing's.
    DrwViewProperties view{};
    ASSERT_TRUE(panel.Cad().GetViewProperties(&view));
    EXPECT_NEAR(view.centerX, 17, 1e-9);
    EXPECT_NEAR(view.centerY, 5, 1e-9);
}

TEST_F(DxfPanel, TheProgressLabelShowsPercentOnlyWhenItChanges) {
    CDxfProgressDlg dlg(nullptr);
    struct Case {
        int pos;
        const char* text;
        int writes;
    } cases[] = {{0, "0%", 1},     {42, "42%", 2},  {42, "42%", 2},
                 {100, "100%", 3}, {150, "50%", 4}, {250, "50%", 4}};
    for (const Case& c : cases) {
        dlg.SetPos(c.pos);
        EXPECT_EQ(dlg.Percent()->text(), c.text) << c.pos;
        EXPECT_EQ(dlg.LabelWrites(), c.writes) << c.pos;
    }
    EXPECT_EQ(dlg.Bar()->value(), 100);
}

TEST_F(DxfPanel, FailuresShowTheirMessages) {
    FakeControl control;
    {
        CDxfRunDlg panel(&control, nullptr);
        EXPECT_FALSE(panel.OpenFile(kFixtures + "/no_such_drawing.dxf"));
        ASSERT_EQ(messages.size(), 1u);
        EXPECT_EQ(messages[0].text, "Error while loading dxf file!");
        EXPECT_EQ(messages[0].caption, "Error");
        EXPECT_EQ(messages[0].icon, MsgIcon::Critical);
        EXPECT_TRUE(panel.Status()->text().contains("cannot open"))
            << panel.Status()->text().toStdString();
        EXPECT_TRUE(panel.isEnabled());
        EXPECT_FALSE(Lit(panel.DrawingArea()->grab().toImage(), Qt::black));
    }
    messages.clear();
    setenv("KORVA_CADIO", "/nonexistent/libcadio.so", 1);
    CDxfRunDlg panel(&control, nullptr);
    EXPECT_FALSE(panel.OpenFile(kFixtures + "/r12_shapes.dxf"));
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].text, "Fatal error on creating CDrawing!");
    EXPECT_EQ(messages[0].caption, "Error");
    // Import without a drawing: an empty path; Run only returns to the origins.
    panel.OnImport();
    EXPECT_TRUE(panel.Imported());
    EXPECT_TRUE(panel.Path().empty());
}

TEST_F(DxfPanel, DraggingMovesTheViewCentre) {
    FakeControl control;
    CDxfRunDlg panel(&control, nullptr);
    panel.resize(900, 700);
    ASSERT_TRUE(panel.OpenFile(kFixtures + "/r12_shapes.dxf"));
    DrwViewProperties before{};
    panel.Cad().GetViewProperties(&before);
    const double scale = before.zoomLevel * before.pixelsPerUnit;
    CDrawingArea* area = panel.DrawingArea();
    auto send = [&](QEvent::Type type, QPointF at, Qt::MouseButton button, Qt::MouseButtons held) {
        QMouseEvent e(type, at, area->mapToGlobal(at), button, held, Qt::NoModifier);
        QApplication::sendEvent(area, &e);
    };
    send(QEvent::MouseButtonPress, {100, 100}, Qt::RightButton, Qt::RightButton);
    EXPECT_TRUE(area->Dragging());
    send(QEvent::MouseMove, {130, 110}, Qt::NoButton, Qt::RightButton);
    send(QEvent::MouseMove, {150, 90}, Qt::NoButton, Qt::RightButton);
    send(QEvent::MouseButtonRelease, {150, 90}, Qt::RightButton, Qt::NoButton);
    EXPECT_FALSE(area->Dragging());
    send(QEvent::MouseMove, {300, 300}, Qt::NoButton, Qt::NoButton);  // no longer dragging
    DrwViewProperties after{};
    panel.Cad().GetViewProperties(&after);
    // 50 pixels right and 10 up: the centre goes 50 left and 10 down.
    EXPECT_NEAR(after.centerX, before.centerX - 50 / scale, 1e-9);
    EXPECT_NEAR(after.centerY, before.centerY - 10 / scale, 1e-9);
    EXPECT_EQ(after.zoomLevel, before.zoomLevel);
}

TEST_F(DxfPanel, ImportOrdersThePathAndPreviewsIt) {
    FakeControl control;
    CDxfRunDlg panel(&control, nullptr, plan::CompletionTiming{std::chrono::milliseconds(5), 2});
    panel.resize(900, 700);
    ASSERT_TRUE(panel.OpenFile(kFixtures + "/r12_shapes.dxf"));
    panel.OnImport();
    ASSERT_TRUE(panel.Imported());
    // Ten moves (the polyline's three segments among them), three of them travel lines.
    std::size_t travel = 0, runs = 0;
    for (const dxf::PathElement& e : panel.Path()) {
        travel += e.travel;
        runs += e.run;
    }
    EXPECT_EQ(travel, 3u);
    EXPECT_EQ(runs, 10u);
    EXPECT_TRUE(panel.Status()->text().contains("Not part of the path: 1 point, 1 text"))
        << panel.Status()->text().toStdString();
    EXPECT_TRUE(Lit(panel.Preview()->grab().toImage(), Qt::white));

    panel.OnRun();
    EXPECT_FALSE(panel.Button(CDxfRunDlg::IDC_RUN)->isEnabled());
    ASSERT_TRUE(WaitUntil([&] { return !panel.IsRunning(); }));
    EXPECT_TRUE(panel.Button(CDxfRunDlg::IDC_RUN)->isEnabled());
    ASSERT_EQ(control.calls.size(), 12u);
    EXPECT_EQ(control.calls[0], "GoOrigion(0)");
    EXPECT_EQ(control.calls[1], "GoOrigion(1)");
}

// What the shell relies on: the signals around a run, StopRun, and a start
// that another panel's motion blocks (the reason on the tooltip).
TEST_F(DxfPanel, TheShellSeesRunsStartAndFinishAndCanBlockAndStopThem) {
    FakeControl control;
    CDxfRunDlg panel(&control, nullptr, plan::CompletionTiming{std::chrono::milliseconds(5), 2});
    ASSERT_TRUE(panel.OpenFile(kFixtures + "/r12_shapes.dxf"));
    panel.OnImport();
    int started = 0, finished = 0;
    QObject::connect(&panel, &CDxfRunDlg::RunStarted, [&] { ++started; });
    QObject::connect(&panel, &CDxfRunDlg::RunFinished, [&] { ++finished; });

    panel.SetStartBlocked(QStringLiteral("The single-axis panel is moving X."));
    QPushButton* run = panel.Button(CDxfRunDlg::IDC_RUN);
    EXPECT_FALSE(run->isEnabled());
    EXPECT_EQ(run->toolTip(), QStringLiteral("The single-axis panel is moving X."));
    panel.OnRun();
    EXPECT_FALSE(panel.IsRunning());
    EXPECT_TRUE(control.calls.empty());
    panel.SetStartBlocked(QString());
    EXPECT_TRUE(run->isEnabled());
    EXPECT_TRUE(run->toolTip().isEmpty());

    panel.OnRun();
    EXPECT_TRUE(panel.IsRunning());
    EXPECT_EQ(started, 1);
    EXPECT_TRUE(panel.Button(CDxfRunDlg::IDC_PAUSE)->isEnabled());
    panel.StopRun();
    ASSERT_TRUE(WaitUntil([&] { return !panel.IsRunning(); }));
    EXPECT_EQ(finished, 1);
    EXPECT_EQ(panel.LastEnd().how, dxf::JobEnd::How::kStopped);
    EXPECT_LT(control.calls.size(), 12u) << "the run ended early";
    EXPECT_TRUE(run->isEnabled());
    EXPECT_FALSE(panel.Button(CDxfRunDlg::IDC_PAUSE)->isEnabled());
}

// The job's fields: a bad value refuses the run with the field's name; good
// ones place the drawing and the progress says how far the run has come.
TEST_F(DxfPanel, JobFieldsAreCheckedAndTheProgressIsShown) {
    FakeControl control;
    CDxfRunDlg panel(&control, nullptr, plan::CompletionTiming{std::chrono::milliseconds(5), 2});
    ASSERT_TRUE(panel.OpenFile(kFixtures + "/r12_shapes.dxf"));
    panel.OnImport();
    dxf::JobOptions o;
    bool here = false;
    QString error;
    auto* scale = FindControlAs<QLineEdit>(&panel, CDxfRunDlg::IDC_SCALE);
    for (const char* bad : {"0", "-2", "abc", ""}) {
        scale->setText(QString::fromLatin1(bad));
        EXPECT_FALSE(panel.JobOptionsOf(&o, &here, &error)) << bad;
        messages.clear();
        panel.OnRun();
        EXPECT_FALSE(panel.IsRunning()) << bad;
        ASSERT_EQ(messages.size(), 1u) << bad;
        EXPECT_TRUE(messages[0].text.contains(QStringLiteral("cale")))
            << messages[0].text.toStdString();
    }
    o = dxf::JobOptions{};
    o.placement.scale = 2;
    o.placement.offsetX = 5;
    o.toolBit = 1;
    panel.SetJobOptions(o, false);
    ASSERT_TRUE(panel.JobOptionsOf(&o, &here, &error)) << error.toStdString();
    EXPECT_EQ(o.placement.scale, 2);
    EXPECT_EQ(o.toolBit, 1);
    panel.OnRun();
    ASSERT_TRUE(WaitUntil([&] { return !panel.IsRunning(); }));
    EXPECT_EQ(panel.LastEnd().how, dxf::JobEnd::How::kCompleted)
        << dxf::DescribeEnd(panel.LastEnd());
    EXPECT_TRUE(panel.Progress()->text().startsWith(QStringLiteral("Done:")))
        << panel.Progress()->text().toStdString();
    EXPECT_EQ(panel.Preview()->Done(), static_cast<int>(panel.Path().size()));
}

// "Start here": the axes' position when the run starts is the drawing's
// origin; the leading travel line goes there from the axes' origin.
TEST_F(DxfPanel, StartHereTakesTheAxesPositionAsTheOrigin) {
    FakeControl control;
    CDxfRunDlg panel(&control, nullptr, plan::CompletionTiming{std::chrono::milliseconds(5), 2});
    ASSERT_TRUE(panel.OpenFile(kFixtures + "/run_small.dxf"));
    panel.OnImport();
    dxf::JobOptions o;
    o.placement.offsetX = 100;  // not used: the position is
    panel.SetJobOptions(o, true);
    control.SetPosition(30, 40);
    panel.OnRun();
    ASSERT_TRUE(WaitUntil([&] { return !panel.IsRunning(); }));
    EXPECT_EQ(panel.LastEnd().how, dxf::JobEnd::How::kCompleted)
        << dxf::DescribeEnd(panel.LastEnd());
    ASSERT_FALSE(control.lines.empty());
    // run_small.dxf starts at the drawing's origin: the first line is the travel to (30, 40).
    EXPECT_EQ(control.lines.front(), std::make_pair(30.0f, 40.0f));
    EXPECT_EQ(control.lines[1], std::make_pair(10.0f, 0.0f));
}

// The whole program against the simulator: open, import, run; the axes end
// where the drawing ends and the panel shows it.
TEST_F(DxfPanel, ARunInStagedeskEndsWhereTheDrawingEnds) {
    SetMessageHook(previous);
    AppFixture app;
    ASSERT_TRUE(app.Start());
    ASSERT_TRUE(app.Open());
    app.TakeMessages();  // the open sequence's own
    CDxfRunDlg* panel = app.View()->DxfRun();
    app.View()->ShowPanel(CKT300View::kDxfRun);
    ASSERT_TRUE(panel->OpenFile(kFixtures + "/run_small.dxf"));
    panel->OnImport();
    panel->OnRun();
    ASSERT_TRUE(WaitUntil([&] { return !panel->IsRunning(); }, 60000));
    EXPECT_NEAR(app.Sim().engine().Position(1, 0), 16, 1e-3);
    EXPECT_NEAR(app.Sim().engine().Position(1, 1), 8, 1e-3);
    AppFixture::Pump(50);
    EXPECT_EQ(panel->PositionLabel(0)->text(), "16");
    EXPECT_EQ(panel->PositionLabel(1)->text(), "8");
    EXPECT_EQ(app.TakeMessages().join('|').toStdString(), "") << "no message on the way";
}

TEST_F(DxfPanel, StopEndsARunInStagedesk) {
    SetMessageHook(previous);
    AppFixture app(1.0);
    ASSERT_TRUE(app.Start());
    ASSERT_TRUE(app.Open());
    CDxfRunDlg* panel = app.View()->DxfRun();
    ASSERT_TRUE(panel->OpenFile(kFixtures + "/r2000_lwpolyline.dxf"));
    panel->OnImport();
    panel->OnRun();
    ASSERT_TRUE(WaitUntil([&] { return app.Sim().engine().Moving(1, 0); }));
    panel->OnStop();
    ASSERT_TRUE(WaitUntil([&] { return !panel->IsRunning(); }, 20000));
    EXPECT_FALSE(app.Sim().engine().Moving(1, 0));
    EXPECT_FALSE(app.Sim().engine().Moving(1, 1));
    // Stopped on the first arc, short of (10, 0).
    EXPECT_LT(app.Sim().engine().Position(1, 0), 9.5);
}

}  // namespace
}  // namespace stagedesk

int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    return RUN_ALL_TESTS();
}
