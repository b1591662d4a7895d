// Whole plans from the control's editor against the simulated controller: a
// three-step plan ends where it should, and the plan exported after that run
// is imported into a fresh editor and runs the same.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTemporaryDir>
#include <memory>

#include "GridWidget.h"
#include "KORVAKT3002Ctl.h"
#include "PlanStepDlg.h"
#include "PlanTestSupport.h"
#include "ProRunPlan.h"
#include "PtySimulator.h"
#include "UiMessage.h"

using korva::ui::CPlanRunWindow;
using korva::ui::CProRunPlan;

namespace {

constexpr std::int16_t kPort = 8;

class PlanOnSimulator : public ::testing::Test {
  protected:
    void SetUp() override {
        korva::sim::SimOptions options;
        options.timeScale = 10.0;
        sim = std::make_unique<korva::sim::PtySimulator>(options);
        ASSERT_TRUE(sim->Start());
        sim->SetBaud(0);
        setenv(("KORVA_COM" + std::to_string(kPort)).c_str(), sim->SlavePath().c_str(), 1);
        korva::ui::SetMessageHook([this](const QString& text) { messages << text; });
        ctl.SetComPort(kPort);
        ctl.SetLangenge("English");
        ASSERT_TRUE(ctl.Connect()) << ctl.GetErrorCode();
        // Each motion call returns when the controller reports the move done.
        ctl.SetchroMode(true);
    }
    void TearDown() override {
        ctl.DisConnect();
        korva::ui::SetMessageHook({});
    }

    static QLineEdit* Edit(CProRunPlan* e, int kind, int id) {
        return qobject_cast<QLineEdit*>(e->StepDialog(kind)->Field(id));
    }
    static QComboBox* List(CProRunPlan* e, int kind, int id) {
        return qobject_cast<QComboBox*>(e->StepDialog(kind)->Field(id));
    }
    static void Choose(CProRunPlan* e, int kind) {
        e->RunModeList()->setCurrentIndex(kind);
        e->OnRunModeChanged(kind);
    }
    // Y to 5 absolute; X and Z on a line by (3, -2); X 1.5 further.
    static void ComposeThreeSteps(CProRunPlan* e) {
        const int pos = korva::ui::kKindPosition;
        Choose(e, pos);
        List(e, pos, 256)->setCurrentIndex(2);  // Y
        Edit(e, pos, 259)->setText("5");
        List(e, pos, 276)->setCurrentIndex(0);  // A
        List(e, pos, 278)->setCurrentIndex(1);  // O
        List(e, pos, 280)->setCurrentIndex(1);  // P
        e->Button(CProRunPlan::IDC_INSERT)->click();

        const int line = korva::ui::kKindLine2;
        Choose(e, line);
        List(e, line, 299)->setCurrentIndex(1);  // X
        List(e, line, 301)->setCurrentIndex(3);  // Z
        Edit(e, line, 303)->setText("3");
        Edit(e, line, 305)->setText("-2");
        e->Button(CProRunPlan::IDC_INSERT)->click();

        Choose(e, pos);
        List(e, pos, 256)->setCurrentIndex(1);  // X
        Edit(e, pos, 259)->setText("1.5");
        List(e, pos, 276)->setCurrentIndex(1);  // R
        e->Button(CProRunPlan::IDC_INSERT)->click();
    }
    bool RunAndWait(CProRunPlan* e, const char* total) {
        e->TotalEdit()->setText(QString::fromLatin1(total));
        e->Button(CProRunPlan::IDC_RUN)->click();
        return plantest::WaitFor([e] { return !e->IsRunning(); }, 60000);
    }
    void ExpectAt(double x, double y, double z) {
        EXPECT_NEAR(sim->engine().Position(1, 0), x, 1e-3);
        EXPECT_NEAR(sim->engine().Position(1, 1), y, 1e-3);
        EXPECT_NEAR(sim->engine().Position(1, 2), z, 1e-3);
    }
    static QStringList Cells(CProRunPlan* e) {
        QStringList all;
        for (int r = 0; r < e->Grid()->Rows(); ++r) {
            for (int c = 0; c < e->Grid()->Cols(); ++c) all << e->Grid()->TextMatrix(r, c);
        }
        return all;
    }

    std::unique_ptr<korva::sim::PtySimulator> sim;
    CKORVAKT3002Ctrl ctl;
    QStringList messages;
};

TEST_F(PlanOnSimulator, AThreeStepPlanEndsWhereItShouldAndRunsTheSameAfterExportAndImport) {
    QTemporaryDir dir;
    const QString file = dir.filePath("three.pla");
    QStringList composed;
    {
        CPlanRunWindow window(&ctl);
        CProRunPlan* editor = window.Page();
        window.resize(920, 580);
        window.show();
        ComposeThreeSteps(editor);
        ASSERT_EQ(editor->Grid()->Rows(), 4);
        ASSERT_TRUE(RunAndWait(editor, "2"));
        EXPECT_EQ(editor->Progress()->value(), 10000);
        EXPECT_TRUE(editor->Status()->text().isEmpty()) << editor->Status()->text().toStdString();
        ExpectAt(9, 5, -4);  // two passes: the line and the last step move on
        ASSERT_TRUE(editor->ExportFile(file));
        composed = Cells(editor);
        if (const char* shots = getenv("KORVA_SCREENSHOT_DIR"); shots != nullptr && *shots) {
            editor->Grid()->SetRow(3);
            editor->OnGridClick(3);
            plantest::WaitFor([] { return false; }, 100);
            EXPECT_TRUE(window.grab().save(
                QDir(QString::fromLocal8Bit(shots)).filePath("control-plan-editor.png"), "PNG"));
        }
    }

    // Back to the origins, then the imported plan.
    for (std::int16_t axis = 0; axis < 3; ++axis) ASSERT_TRUE(ctl.GoOrigion(axis));
    ASSERT_TRUE(plantest::WaitFor([this] {
        return !sim->engine().Moving(1, 0) && !sim->engine().Moving(1, 1) &&
               !sim->engine().Moving(1, 2);
    }));
    ExpectAt(0, 0, 0);
    CProRunPlan imported(&ctl);
    imported.show();
    ASSERT_TRUE(imported.ImportFile(file));
    EXPECT_EQ(Cells(&imported), composed);
    EXPECT_EQ(imported.TotalEdit()->text(), "2");
    ASSERT_TRUE(RunAndWait(&imported, "2"));
    ExpectAt(9, 5, -4);  // two passes: the line and the last step move on
    EXPECT_TRUE(messages.isEmpty()) << messages.join("|").toStdString();
}

TEST_F(PlanOnSimulator, ARefusedMotionEndsTheRun) {
    CProRunPlan editor(&ctl);
    editor.show();
    // A line of X with X: the control refuses it without a word to the controller.
    const int line = korva::ui::kKindLine2;
    Choose(&editor, line);
    List(&editor, line, 299)->setCurrentIndex(1);  // X
    List(&editor, line, 301)->setCurrentIndex(1);  // X
    Edit(&editor, line, 303)->setText("4");
    editor.Button(CProRunPlan::IDC_INSERT)->click();
    Choose(&editor, korva::ui::kKindHome);
    List(&editor, korva::ui::kKindHome, 311)->setCurrentIndex(2);  // Y
    editor.Button(CProRunPlan::IDC_INSERT)->click();
    ASSERT_TRUE(ctl.GoPosition(1, 1, 0, 1, 3.0f));  // Y away from home
    ASSERT_TRUE(RunAndWait(&editor, "1"));
    EXPECT_TRUE(editor.Status()->text().contains("Step 1"))
        << editor.Status()->text().toStdString();
    EXPECT_LT(editor.Progress()->value(), 10000);
    EXPECT_NEAR(sim->engine().Position(1, 0), 0, 1e-3);
    EXPECT_NEAR(sim->engine().Position(1, 1), 3, 1e-3);  // the home step never ran
}

}  // namespace

int main(int argc, char** argv) {
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
