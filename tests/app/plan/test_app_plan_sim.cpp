// Whole plans from stagedesk's plan panel: the real program and control module
// against the simulated controller. A three-step plan ends where it should,
// and the plan exported after that run is imported and runs the same.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <QAbstractButton>
#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QLabel>
#include <QLineEdit>
#include <QRadioButton>
#include <QTabBar>

#include "AppFixture.h"
#include "GridWidget.h"
#include "KORVAKT3002.h"
#include "KT300View.h"
#include "MainFrm.h"
#include "PanelSteps.h"
#include "PlanRunDlg.h"

using stagedesk::CKT300View;
using stagedesk::CPlanRunDlg;
namespace plan = stagedesk::plan;

namespace {

void Type(CPlanRunDlg* p, int id, const char* text) {
    p->Edit(id)->setText(QString::fromLatin1(text));
}
void Pick(CPlanRunDlg* p, int id, const char* text) {
    p->List(id)->setCurrentIndex(p->List(id)->findText(QString::fromLatin1(text)));
}
void Kind(CPlanRunDlg* p, int kind) {
    p->Button(CPlanRunDlg::KindRadioIds()[kind])->click();
}

// X to 4 absolute; Y and Z on a line by (3, -2); Y 1.5 further.
void ComposeThreeSteps(CPlanRunDlg* p) {
    Kind(p, plan::kKindPosition);
    Pick(p, 1157, "X");
    Type(p, 1165, "4");
    Pick(p, 1077, "A");
    Pick(p, 1163, "P");
    Pick(p, 1181, "mm");
    Type(p, 1024, "20");
    p->Button(CPlanRunDlg::IDC_INSERT)->click();

    Kind(p, plan::kKindLine2);
    Pick(p, 1116, "Y");
    Pick(p, 1117, "Z");
    Type(p, 1120, "3");
    Type(p, 1121, "-2");
    Pick(p, 1175, "mm");
    Type(p, 1023, "20");
    p->Button(CPlanRunDlg::IDC_INSERT)->click();

    Kind(p, plan::kKindPosition);
    Pick(p, 1157, "Y");
    Type(p, 1165, "1.5");
    Pick(p, 1077, "R");
    p->Button(CPlanRunDlg::IDC_INSERT)->click();
}

bool RunAndWait(CPlanRunDlg* p) {
    p->Button(CPlanRunDlg::IDC_RUN)->click();
    return AppFixture::WaitFor([p] { return !p->IsRunning(); }, 120000);
}

void ExpectAt(AppFixture& fx, double x, double y, double z) {
    EXPECT_NEAR(fx.Sim().engine().Position(1, 0), x, 1e-3);
    EXPECT_NEAR(fx.Sim().engine().Position(1, 1), y, 1e-3);
    EXPECT_NEAR(fx.Sim().engine().Position(1, 2), z, 1e-3);
}

TEST(PlanOnSimulator, AThreeStepPlanEndsWhereItShouldAndRunsTheSameAfterExportAndImport) {
    AppFixture fx;
    ASSERT_TRUE(fx.Start());
    ASSERT_TRUE(fx.Open());
    fx.TakeMessages();
    CKT300View* view = fx.View();
    view->TabBar()->setCurrentIndex(CKT300View::kPlanRun);
    CPlanRunDlg* panel = view->PlanRun();
    ASSERT_TRUE(panel->isVisible());
    // The shell handed over the language's 19-column header.
    EXPECT_EQ(panel->Grid()->TextMatrix(0, 17), "Unit");

    ComposeThreeSteps(panel);
    ASSERT_EQ(panel->Grid()->Rows(), 4);
    Type(panel, CPlanRunDlg::IDC_TOTAL, "1");
    ASSERT_TRUE(RunAndWait(panel));
    ExpectAt(fx, 4, 4.5, -2);
    AppFixture::Pump(50);  // the last position message
    EXPECT_EQ(panel->Edit(1166)->text(), "4");
    EXPECT_EQ(panel->Edit(1170)->text(), "-2");
    EXPECT_EQ(panel->Edit(CPlanRunDlg::IDC_REPETITION)->text(), "1");
    EXPECT_TRUE(panel->Status()->text().isEmpty()) << panel->Status()->text().toStdString();

    if (const char* shots = getenv("KORVA_SCREENSHOT_DIR"); shots != nullptr && *shots) {
        panel->OnGridClick(2);
        AppFixture::Pump(100);
        EXPECT_TRUE(fx.Frame().grab().save(
            QDir(QString::fromLocal8Bit(shots)).filePath("plan-run-in-use.png"), "PNG"));
    }

    QTemporaryDir dir;
    const QString file = dir.filePath("three.pla");
    ASSERT_TRUE(panel->ExportFile(file));
    QStringList composed;
    for (int r = 0; r < panel->Grid()->Rows(); ++r) {
        for (int c = 0; c < panel->Grid()->Cols(); ++c) composed << panel->Grid()->TextMatrix(r, c);
    }

    // Back to the origins; the grid emptied; the exported plan loaded and run.
    stagedesk::CKORVAKT3002& ctl = fx.Control();
    for (std::int16_t axis = 0; axis < 3; ++axis) ctl.GoOrigion(axis);
    ASSERT_TRUE(AppFixture::WaitFor([&fx] {
        return !fx.Sim().engine().Moving(1, 0) && !fx.Sim().engine().Moving(1, 1) &&
               !fx.Sim().engine().Moving(1, 2);
    }));
    ExpectAt(fx, 0, 0, 0);
    panel->Grid()->SetRows(1);
    ASSERT_TRUE(panel->ImportFile(file));
    QStringList imported;
    for (int r = 0; r < panel->Grid()->Rows(); ++r) {
        for (int c = 0; c < panel->Grid()->Cols(); ++c) imported << panel->Grid()->TextMatrix(r, c);
    }
    EXPECT_EQ(imported, composed);
    ASSERT_TRUE(RunAndWait(panel));
    ExpectAt(fx, 4, 4.5, -2);
    EXPECT_TRUE(fx.TakeMessages().isEmpty());
}

}  // namespace

int main(int argc, char** argv) {
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
