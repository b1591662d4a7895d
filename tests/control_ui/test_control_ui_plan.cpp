// The control's plan editor without a controller: steps composed through the
// step dialogs, the grid operations, plan files, and the run thread against a
// recording fake of the motion methods.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <QApplication>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTabWidget>
#include <QTemporaryDir>
#include <fstream>
#include <memory>
#include <sstream>

#include "GridWidget.h"
#include "KORVAKT3002Ctl.h"
#include "PlanStepDlg.h"
#include "PlanSteps.h"
#include "PlanTestSupport.h"
#include "ProRunPlan.h"
#include "UiMessage.h"

using korva::CGridWidget;
using korva::ui::CPlanRunWindow;
using korva::ui::CPlanStepDlg;
using korva::ui::CProRunPlan;
using plantest::Call;
using plantest::RecordingMotion;
using plantest::WaitFor;

namespace {

// --- the grid widget ---

TEST(Grid, RowsColumnsCellsAndHeader) {
    CGridWidget grid;
    grid.SetFormatString(QStringLiteral("^Step|<Name|>Value|Plain"));
    EXPECT_EQ(grid.Cols(), 4);
    EXPECT_EQ(grid.Rows(), 1);
    EXPECT_EQ(grid.Row(), 0);
    EXPECT_EQ(grid.TextMatrix(0, 0), "Step");
    EXPECT_EQ(grid.TextMatrix(0, 1), "Name");
    EXPECT_EQ(grid.TextMatrix(0, 2), "Value");
    EXPECT_EQ(grid.TextMatrix(0, 3), "Plain");
    EXPECT_EQ(CGridWidget::FormatColumns(QStringLiteral("^a|^b;^r1|^r2")), 2);

    // AddItem puts the text in column 0 of a new row at the index.
    EXPECT_TRUE(grid.AddItem(QStringLiteral("a"), 1));
    EXPECT_TRUE(grid.AddItem(QStringLiteral("c"), 2));
    EXPECT_TRUE(grid.AddItem(QStringLiteral("b"), 2));
    EXPECT_FALSE(grid.AddItem(QStringLiteral("x"), 0));  // never above the header
    EXPECT_FALSE(grid.AddItem(QStringLiteral("x"), 5));
    ASSERT_EQ(grid.Rows(), 4);
    EXPECT_EQ(grid.TextMatrix(1, 0), "a");
    EXPECT_EQ(grid.TextMatrix(2, 0), "b");
    EXPECT_EQ(grid.TextMatrix(3, 0), "c");
    EXPECT_EQ(grid.TextMatrix(2, 1), "");

    EXPECT_TRUE(grid.SetTextMatrix(2, 3, QStringLiteral("v")));
    EXPECT_EQ(grid.TextMatrix(2, 3), "v");
    EXPECT_FALSE(grid.SetTextMatrix(4, 0, QStringLiteral("v")));
    EXPECT_FALSE(grid.SetTextMatrix(1, 4, QStringLiteral("v")));
    EXPECT_EQ(grid.TextMatrix(9, 9), "");

    grid.SetRow(2);
    EXPECT_EQ(grid.Row(), 2);
    EXPECT_EQ(grid.RowSel(), 2);
    EXPECT_FALSE(grid.RemoveItem(0));
    EXPECT_TRUE(grid.RemoveItem(1));
    EXPECT_EQ(grid.TextMatrix(1, 0), "b");
    grid.SetRows(1);
    EXPECT_EQ(grid.Rows(), 1);
    EXPECT_EQ(grid.Row(), 0);
    EXPECT_EQ(grid.TextMatrix(0, 2), "Value");  // the header stays
    grid.SetRows(3);
    EXPECT_EQ(grid.Rows(), 3);
    EXPECT_EQ(grid.TextMatrix(2, 0), "");
}

// --- steps and their cells ---

TEST(PlanSteps, ListIndicesOfTheSortedAxisListsConvertBothWays) {
    // The lists hold T, X, Y, Z: index 0 is T (axis 3).
    const int axisOfIndex[] = {3, 0, 1, 2};
    for (int index = 0; index < 4; ++index) {
        EXPECT_EQ(korva::ui::AxisFromListIndex(index), axisOfIndex[index]);
        EXPECT_EQ(korva::ui::ListIndexFromAxis(axisOfIndex[index]), index);
    }
    EXPECT_EQ(korva::ui::AxisFromListIndex(4), -1);
    EXPECT_EQ(korva::ui::ListIndexFromAxis(-1), -1);
}

TEST(PlanSteps, KindsWriteTheirOwnCellsOnly) {
    korva::ui::PlanStep s;
    s.axis1 = 1;
    s.axis2 = 2;
    s.axis3 = 3;
    s.distance1 = 10;
    s.distance2 = -1.5f;
    s.distance3 = 0.25f;
    s.state = 1;
    s.workState = 1;
    s.runCount = 7;
    s.waitTime = 20;
    s.direction = 1;
    s.centreX = 1.5f;
    s.centreY = 2;
    s.targetX = 3;
    s.targetY = 4;
    struct Case {
        int kind;
        std::vector<std::string> cells;
    };
    const std::vector<Case> cases = {
        {korva::ui::kKindArc,
         {"GoArc", "7", "Y", "Z", "", "", "", "", "", "20", "", "P", "1.500000", "2.000000",
          "3.000000", "4.000000"}},
        {korva::ui::kKindHome,
         {"GoHome", "", "Y", "", "", "", "", "", "", "", "", "", "", "", "", ""}},
        {korva::ui::kKindLine2,
         {"Goline2", "7", "Y", "Z", "", "10.000000", "-1.500000", "", "", "20", "", "", "", "", "",
          ""}},
        {korva::ui::kKindLine3,
         {"Goline3", "7", "Y", "Z", "T", "10.000000", "-1.500000", "0.250000", "", "20", "", "", "",
          "", "", ""}},
        {korva::ui::kKindOrigin,
         {"GoOrigion", "", "Y", "", "", "", "", "", "", "", "", "", "", "", "", ""}},
        {korva::ui::kKindPosition,
         {"GoPosition", "7", "Y", "", "", "10.000000", "", "", "R", "20", "O", "P", "", "", "",
          ""}},
    };
    for (const Case& c : cases) {
        std::vector<std::string> cells;
        korva::ui::WriteStepCells(c.kind, s, cells);
        EXPECT_EQ(cells, c.cells) << korva::ui::StepKindName(c.kind);
        // Read back, every field the kind uses comes back.
        korva::ui::PlanStep back;
        std::string problem;
        EXPECT_EQ(korva::ui::ReadStepCells(cells, back, &problem), c.kind);
        EXPECT_TRUE(problem.empty()) << problem;
    }
    // Letters other than their two are reported, not guessed.
    std::vector<std::string> cells;
    korva::ui::WriteStepCells(korva::ui::kKindPosition, s, cells);
    cells[korva::ui::kCellDir] = "Q";
    korva::ui::PlanStep back;
    std::string problem;
    korva::ui::ReadStepCells(cells, back, &problem);
    EXPECT_NE(problem.find("Dir"), std::string::npos) << problem;
    EXPECT_EQ(korva::ui::StepKindOf("goarc"), korva::ui::kKindUnknown);
}

// --- the editor ---

class PlanEditor : public ::testing::Test {
  protected:
    void SetUp() override {
        korva::ui::SetMessageHook([this](const QString& text) { messages << text; });
        editor = std::make_unique<CProRunPlan>(&ctl);
        editor->SetMotion(&motion);
        editor->resize(900, 560);
        editor->show();
    }
    void TearDown() override {
        editor.reset();
        korva::ui::SetMessageHook({});
    }

    CGridWidget* Grid() { return editor->Grid(); }
    QLineEdit* Edit(int kind, int id) {
        return qobject_cast<QLineEdit*>(editor->StepDialog(kind)->Field(id));
    }
    QComboBox* List(int kind, int id) {
        return qobject_cast<QComboBox*>(editor->StepDialog(kind)->Field(id));
    }
    void Choose(int kind) {
        editor->RunModeList()->setCurrentIndex(kind);
        editor->OnRunModeChanged(kind);
    }
    // Composes a Goline2 step in its dialog and presses Insert. Axis lists
    // take list indices (0 T, 1 X, 2 Y, 3 Z).
    void InsertLine2(int list1, int list2, const char* d1, const char* d2, const char* count,
                     const char* wait) {
        Choose(korva::ui::kKindLine2);
        List(2, 299)->setCurrentIndex(list1);
        List(2, 301)->setCurrentIndex(list2);
        Edit(2, 303)->setText(QString::fromLatin1(d1));
        Edit(2, 305)->setText(QString::fromLatin1(d2));
        Edit(2, 307)->setText(QString::fromLatin1(count));
        Edit(2, 309)->setText(QString::fromLatin1(wait));
        editor->Button(CProRunPlan::IDC_INSERT)->click();
    }
    void InsertHome(int list) {
        Choose(korva::ui::kKindHome);
        List(1, 311)->setCurrentIndex(list);
        editor->Button(CProRunPlan::IDC_INSERT)->click();
    }
    void Run(const char* total) {
        editor->TotalEdit()->setText(QString::fromLatin1(total));
        editor->Button(CProRunPlan::IDC_RUN)->click();
    }
    bool WaitEnded() {
        return WaitFor([this] { return !editor->IsRunning(); }, 30000);
    }
    QStringList Column(int col) {
        QStringList texts;
        for (int r = 1; r < Grid()->Rows(); ++r) texts << Grid()->TextMatrix(r, col);
        return texts;
    }
    void ExpectEditingState() {
        for (int id : {CProRunPlan::IDC_INSERT, CProRunPlan::IDC_UPDATE, CProRunPlan::IDC_DELETE,
                       CProRunPlan::IDC_IMPORT, CProRunPlan::IDC_EXPORT, CProRunPlan::IDC_RUN}) {
            EXPECT_TRUE(editor->Button(id)->isEnabled()) << id;
        }
        EXPECT_FALSE(editor->Button(CProRunPlan::IDC_STOP)->isEnabled());
    }

    CKORVAKT3002Ctrl ctl;  // never connected: the run goes to the fake
    RecordingMotion motion;
    std::unique_ptr<CProRunPlan> editor;
    QStringList messages;
};

TEST_F(PlanEditor, OpensWithTheHeaderTabsAndKindsInListOrder) {
    EXPECT_EQ(Grid()->Rows(), 1);
    EXPECT_EQ(Grid()->Cols(), 17);
    EXPECT_EQ(Grid()->TextMatrix(0, 1), "RunMode");
    EXPECT_EQ(Grid()->TextMatrix(0, 16), "TargetPosy");
    const QStringList tabs = {"ArcParam",   "HomeParam",    "Line2Param",
                              "Line3Param", "OrigionParam", "PositionParam"};
    const QStringList kinds = {"GoArc", "GoHome", "Goline2", "Goline3", "GoOrigion", "GoPosition"};
    ASSERT_EQ(editor->Tabs()->count(), 6);
    for (int i = 0; i < 6; ++i) {
        EXPECT_EQ(editor->Tabs()->tabText(i), tabs[i]);
        EXPECT_EQ(editor->RunModeList()->itemText(i), kinds[i]);
        EXPECT_EQ(editor->StepDialog(i)->TemplateId(),
                  (std::vector<int>{210, 216, 214, 212, 218, 208})[i]);
    }
    EXPECT_EQ(editor->Caption(), "RunPlan");
    EXPECT_EQ(editor->TotalEdit()->text(), "1");
    // Every list starts on index 0: axis T, Dir N, State A, Workstate C.
    EXPECT_EQ(List(5, 256)->currentText(), "T");
    EXPECT_EQ(List(5, 280)->currentText(), "N");
    EXPECT_EQ(List(5, 276)->currentText(), "A");
    EXPECT_EQ(List(5, 278)->currentText(), "C");
    EXPECT_TRUE(messages.isEmpty()) << messages.join("|").toStdString();
}

TEST_F(PlanEditor, TwoPassesOfTwoLineRowsCallInRowOrderAndReportProgress) {
    InsertLine2(1, 2, "1.5", "2", "3", "100");  // X, Y
    InsertLine2(2, 3, "3", "-4", "3", "100");   // Y, Z
    ASSERT_EQ(Grid()->Rows(), 3);
    EXPECT_EQ(Column(1), QStringList({"Goline2", "Goline2"}));
    EXPECT_EQ(Column(3), QStringList({"X", "Y"}));
    EXPECT_EQ(Column(4), QStringList({"Y", "Z"}));
    EXPECT_EQ(Column(6), QStringList({"1.500000", "3.000000"}));
    EXPECT_EQ(Column(7), QStringList({"2.000000", "-4.000000"}));
    EXPECT_EQ(Column(10), QStringList({"100", "100"}));

    QList<int> progress;
    QObject::connect(editor->Progress(), &QProgressBar::valueChanged,
                     [&progress](int v) { progress << v; });
    Run("2");
    EXPECT_FALSE(editor->Button(CProRunPlan::IDC_RUN)->isEnabled());
    EXPECT_TRUE(editor->Button(CProRunPlan::IDC_STOP)->isEnabled());
    ASSERT_TRUE(WaitEnded());

    const std::vector<Call> calls = motion.Calls();
    ASSERT_EQ(calls.size(), 12u);
    for (std::size_t i = 0; i < calls.size(); ++i) {
        const bool firstRow = (i % 6) < 3;
        EXPECT_EQ(calls[i].name, "GoInterpolationline2");
        const std::vector<double> expected =
            firstRow ? std::vector<double>{0, 1, 1.5, 2} : std::vector<double>{1, 2, 3, -4};
        EXPECT_EQ(calls[i].args, expected) << "call " << i;
        // Each call is followed by its wait before the next one goes out.
        if (i > 0) {
            EXPECT_GE(calls[i].at - calls[i - 1].at, std::chrono::milliseconds(95)) << i;
        }
    }
    EXPECT_EQ(progress, QList<int>({5000, 10000}));
    ExpectEditingState();
}

TEST_F(PlanEditor, HomeAndOriginStepsRunOncePerPassWhateverTheirRunCount) {
    InsertHome(2);  // Y
    Choose(korva::ui::kKindOrigin);
    List(4, 313)->setCurrentIndex(0);  // T
    editor->Button(CProRunPlan::IDC_INSERT)->click();
    // A run count typed into the file's cell changes nothing.
    Grid()->SetTextMatrix(1, 2, QStringLiteral("5"));
    Run("3");
    ASSERT_TRUE(WaitEnded());
    std::vector<std::string> names;
    for (const Call& c : motion.Calls()) names.push_back(c.name + std::to_string(int(c.args[0])));
    EXPECT_EQ(names, (std::vector<std::string>{"GoHome1", "GoOrigion3", "GoHome1", "GoOrigion3",
                                               "GoHome1", "GoOrigion3"}));
}

TEST_F(PlanEditor, AFailedMotionEndsTheRunAndGivesTheEditingButtonsBack) {
    Choose(korva::ui::kKindPosition);
    Edit(5, 267)->setText("2");
    editor->Button(CProRunPlan::IDC_INSERT)->click();
    InsertLine2(1, 2, "1", "1", "4", "1");
    InsertHome(1);
    motion.answer = [](const Call& call, std::size_t) {
        return call.name != "GoInterpolationline2";
    };
    Run("3");
    ASSERT_TRUE(WaitEnded());
    std::vector<std::string> names;
    for (const Call& c : motion.Calls()) names.push_back(c.name);
    EXPECT_EQ(names,
              (std::vector<std::string>{"GoPosition", "GoPosition", "GoInterpolationline2"}));
    ExpectEditingState();
    EXPECT_TRUE(editor->Status()->text().contains("Step 2"))
        << editor->Status()->text().toStdString();
    EXPECT_LT(editor->Progress()->value(), 10000);
}

TEST_F(PlanEditor, StopDuringALongStepEndsBeforeTheNextRepetition) {
    Choose(korva::ui::kKindPosition);
    Edit(5, 267)->setText("1000");
    editor->Button(CProRunPlan::IDC_INSERT)->click();
    InsertHome(1);
    plantest::Gate gate;
    motion.answer = [&gate](const Call&, std::size_t index) {
        if (index == 2) gate.Arrive();  // the third repetition waits for the test
        return true;
    };
    Run("5");
    ASSERT_TRUE(WaitFor([&gate] { return gate.Arrived(); }));
    editor->Button(CProRunPlan::IDC_STOP)->click();
    gate.Open();
    ASSERT_TRUE(WaitEnded());
    EXPECT_EQ(motion.Count(), 3u);  // neither a fourth repetition nor the home step
    ExpectEditingState();
    // Stop halts the axes too, not only the plan.
    EXPECT_TRUE(WaitFor([this] { return motion.stops.load() == 1; }));
}

TEST_F(PlanEditor, StopCutsALongWaitShort) {
    Choose(korva::ui::kKindPosition);
    Edit(5, 261)->setText("1000000");  // about 17 minutes after each move
    editor->Button(CProRunPlan::IDC_INSERT)->click();
    Run("1");
    ASSERT_TRUE(WaitFor([this] { return motion.Count() == 1; }));
    editor->OnStop();
    EXPECT_TRUE(WaitFor([this] { return !editor->IsRunning(); }, 5000));
    EXPECT_EQ(motion.Count(), 1u);
}

TEST_F(PlanEditor, InsertGoesBelowTheCurrentRowAndDeleteTakesTheLastRow) {
    for (int list : {1, 2, 3, 0, 1}) InsertHome(list);  // X Y Z T X
    ASSERT_EQ(Grid()->Rows(), 6);
    EXPECT_EQ(Column(3), QStringList({"X", "Y", "Z", "T", "X"}));
    EXPECT_EQ(Column(0), QStringList({"1", "2", "3", "4", "5"}));

    Grid()->SetRow(2);
    Choose(korva::ui::kKindOrigin);
    List(4, 313)->setCurrentIndex(3);  // Z
    editor->Button(CProRunPlan::IDC_INSERT)->click();
    EXPECT_EQ(Column(0), QStringList({"1", "2", "3", "4", "5", "6"}));
    EXPECT_EQ(Column(1),
              QStringList({"GoHome", "GoHome", "GoOrigion", "GoHome", "GoHome", "GoHome"}));
    EXPECT_EQ(Column(3), QStringList({"X", "Y", "Z", "Z", "T", "X"}));

    // Delete removes the last step, whichever row is current.
    editor->Button(CProRunPlan::IDC_DELETE)->click();
    Grid()->SetRow(2);
    editor->Button(CProRunPlan::IDC_DELETE)->click();
    EXPECT_EQ(Column(3), QStringList({"X", "Y", "Z", "Z"}));
    for (int i = 0; i < 6; ++i) editor->Button(CProRunPlan::IDC_DELETE)->click();
    EXPECT_EQ(Grid()->Rows(), 1);
    EXPECT_EQ(Grid()->TextMatrix(0, 1), "RunMode");
}

TEST_F(PlanEditor, LettersPickedInTheDialogReachTheGridAndTheRun) {
    Choose(korva::ui::kKindPosition);
    List(5, 256)->setCurrentIndex(0);  // T
    Edit(5, 259)->setText("12.5");
    List(5, 276)->setCurrentIndex(1);  // R
    List(5, 278)->setCurrentIndex(1);  // O
    List(5, 280)->setCurrentIndex(1);  // P
    editor->Button(CProRunPlan::IDC_INSERT)->click();
    EXPECT_EQ(Grid()->TextMatrix(1, 3), "T");
    EXPECT_EQ(Grid()->TextMatrix(1, 9), "R");
    EXPECT_EQ(Grid()->TextMatrix(1, 11), "O");
    EXPECT_EQ(Grid()->TextMatrix(1, 12), "P");
    Run("1");
    ASSERT_TRUE(WaitEnded());
    ASSERT_EQ(motion.Count(), 1u);
    // GoPosition(axis, workstate, state, dir, distance)
    EXPECT_EQ(motion.Calls()[0].args, (std::vector<double>{3, 1, 1, 1, 12.5}));
}

TEST_F(PlanEditor, UpdateToAnotherKindKeepsTheOtherCellsAndRunsOnlyTheNewKind) {
    Choose(korva::ui::kKindPosition);
    Edit(5, 259)->setText("7");
    List(5, 276)->setCurrentIndex(1);
    editor->Button(CProRunPlan::IDC_INSERT)->click();
    Grid()->SetRow(1);
    Choose(korva::ui::kKindHome);
    List(1, 311)->setCurrentIndex(2);  // Y
    editor->Button(CProRunPlan::IDC_UPDATE)->click();
    EXPECT_EQ(Grid()->TextMatrix(1, 1), "GoHome");
    EXPECT_EQ(Grid()->TextMatrix(1, 3), "Y");
    EXPECT_EQ(Grid()->TextMatrix(1, 6), "7.000000");
    EXPECT_EQ(Grid()->TextMatrix(1, 9), "R");
    Run("1");
    ASSERT_TRUE(WaitEnded());
    ASSERT_EQ(motion.Count(), 1u);
    EXPECT_EQ(motion.Calls()[0].name, "GoHome");
    EXPECT_EQ(motion.Calls()[0].args, std::vector<double>{1});

    // On the header row Update changes nothing.
    Grid()->SetRow(0);
    Choose(korva::ui::kKindOrigin);
    editor->Button(CProRunPlan::IDC_UPDATE)->click();
    EXPECT_EQ(Grid()->TextMatrix(1, 1), "GoHome");
    EXPECT_EQ(Grid()->TextMatrix(0, 1), "RunMode");
}

TEST_F(PlanEditor, ClickingARowLoadsItIntoItsKindsDialog) {
    Choose(korva::ui::kKindArc);
    List(0, 295)->setCurrentIndex(3);  // Z
    List(0, 258)->setCurrentIndex(1);  // X
    List(0, 297)->setCurrentIndex(1);  // P
    Edit(0, 287)->setText("4");
    Edit(0, 288)->setText("50");
    Edit(0, 265)->setText("1.5");
    Edit(0, 273)->setText("-2");
    Edit(0, 269)->setText("3");
    Edit(0, 271)->setText("4.25");
    editor->Button(CProRunPlan::IDC_INSERT)->click();
    InsertHome(0);

    // Reset the arc dialog, then load the arc row back from the grid.
    Edit(0, 265)->setText("0");
    List(0, 295)->setCurrentIndex(0);
    Choose(korva::ui::kKindHome);
    editor->OnGridClick(1);
    EXPECT_EQ(editor->Kind(), korva::ui::kKindArc);
    EXPECT_EQ(editor->RunModeList()->currentIndex(), 0);
    EXPECT_EQ(editor->Tabs()->currentIndex(), 0);
    EXPECT_EQ(List(0, 295)->currentText(), "Z");
    EXPECT_EQ(List(0, 258)->currentText(), "X");
    EXPECT_EQ(List(0, 297)->currentText(), "P");
    EXPECT_EQ(Edit(0, 287)->text(), "4");
    EXPECT_EQ(Edit(0, 288)->text(), "50");
    EXPECT_EQ(Edit(0, 265)->text(), "1.5");
    EXPECT_EQ(Edit(0, 273)->text(), "-2");
    EXPECT_EQ(Edit(0, 271)->text(), "4.25");
    EXPECT_EQ(editor->Step().axis1, 2);

    // The tab alone shows another dialog without changing the kind.
    editor->Tabs()->setCurrentIndex(3);
    EXPECT_EQ(editor->Kind(), korva::ui::kKindArc);
}

TEST_F(PlanEditor, AnEntryOutOfRangeIsRefusedWithTheNumberMessage) {
    struct Case {
        int kind;
        int id;
        const char* text;
        const char* message;
    };
    const Case cases[] = {
        {2, 307, "0", "Please enter an integer between 1 and 10000000."},
        {2, 309, "1000001", "Please enter an integer between 1 and 1000000."},
        {0, 288, "100001", "Please enter an integer between 1 and 100000."},
        {3, 262, "one", "Please enter a number."},
        {5, 267, "2.5", "Please enter an integer between 1 and 10000000."},
    };
    for (const Case& c : cases) {
        messages.clear();
        Choose(c.kind);
        const QString previous = Edit(c.kind, c.id)->text();
        Edit(c.kind, c.id)->setText(QString::fromLatin1(c.text));
        editor->Button(CProRunPlan::IDC_INSERT)->click();
        EXPECT_EQ(Grid()->Rows(), 1) << c.id;
        EXPECT_EQ(messages, QStringList{QString::fromLatin1(c.message)}) << c.id;
        Edit(c.kind, c.id)->setText(previous);
    }
    // A total count out of range starts nothing.
    InsertHome(1);
    messages.clear();
    Run("0");
    EXPECT_FALSE(editor->IsRunning());
    EXPECT_EQ(messages, QStringList{"Please enter an integer between 1 and 10000000."});
    Run("10000001");
    EXPECT_FALSE(editor->IsRunning());
    EXPECT_EQ(motion.Count(), 0u);
}

class PlanFiles : public PlanEditor {
  protected:
    std::string Read(const QString& path) {
        std::ifstream in(path.toStdString(), std::ios::binary);
        std::ostringstream all;
        all << in.rdbuf();
        return all.str();
    }
    void Write(const QString& path, const std::string& bytes) {
        std::ofstream out(path.toStdString(), std::ios::binary);
        out << bytes;
    }
    QTemporaryDir dir;
};

TEST_F(PlanFiles, ExportWritesTheGridAsTabbedRows) {
    const QString empty = dir.filePath("empty.pla");
    ASSERT_TRUE(editor->ExportFile(empty));
    EXPECT_EQ(Read(empty), "1\r\n0\r\n");

    InsertHome(2);  // Y
    editor->TotalEdit()->setText("3");
    const QString home = dir.filePath("home.pla");
    ASSERT_TRUE(editor->ExportFile(home));
    EXPECT_EQ(Read(home), "3\r\n1\r\nGoHome\t\tY\t" + std::string(13, '\t') + "\r\n");
}

TEST_F(PlanFiles, ImportReplacesTheGridAndNumbersTheRows) {
    InsertHome(1);
    const std::string row2 = "Goline2\t2\tX\tY\t\t1.000000\t2.000000\t\t\t5\t\t\t\t\t\t\t\r\n";
    const std::string row1 = "GoOrigion\t\tT\t" + std::string(13, '\t') + "\r\n";
    const QString path = dir.filePath("two.pla");
    Write(path, "4\r\n2\r\n" + row1 + row2);
    ASSERT_TRUE(editor->ImportFile(path));
    EXPECT_EQ(Column(0), QStringList({"1", "2"}));
    EXPECT_EQ(Column(1), QStringList({"GoOrigion", "Goline2"}));
    EXPECT_EQ(Column(7), QStringList({"", "2.000000"}));
    EXPECT_EQ(editor->TotalEdit()->text(), "4");
    EXPECT_TRUE(messages.isEmpty());

    // Exported again, the file comes back byte for byte.
    const QString again = dir.filePath("again.pla");
    ASSERT_TRUE(editor->ExportFile(again));
    EXPECT_EQ(Read(again), Read(path));
}

TEST_F(PlanFiles, AFileThatCannotBeReadLeavesThePlanAsItWas) {
    InsertHome(1);
    InsertHome(2);
    EXPECT_FALSE(editor->ImportFile(dir.filePath("missing.pla")));
    ASSERT_EQ(messages.size(), 1);
    EXPECT_TRUE(messages[0].contains("missing.pla"));
    EXPECT_EQ(Column(3), QStringList({"X", "Y"}));
}

TEST_F(PlanFiles, RowsOfAnotherWidthAreLoadedWithAWarning) {
    // A stagedesk plan: 18 cells per row.
    const QString path = dir.filePath("wide.pla");
    Write(path, "1\r\n1\r\nGoHome\t\tX\t" + std::string(15, '\t') + "\r\n");
    ASSERT_TRUE(editor->ImportFile(path));
    EXPECT_EQ(Grid()->Rows(), 2);
    ASSERT_EQ(messages.size(), 1);
    EXPECT_TRUE(messages[0].contains("Steps 1")) << messages[0].toStdString();
}

// Hostile files: the warning names the first few bad rows and the count, a
// file of more bad rows than a plan may have and a FIFO are refused at once,
// and the grid keeps the plan it holds.
TEST_F(PlanFiles, HostileFilesAreSummarisedOrRefused) {
    const QString blank = dir.filePath("blank.pla");
    Write(blank, "1\r\n1000\r\n" + std::string(1000, '\n'));
    ASSERT_TRUE(editor->ImportFile(blank));
    EXPECT_EQ(Grid()->Rows(), 1001);
    ASSERT_EQ(messages.size(), 1);
    EXPECT_TRUE(messages[0].contains("Steps 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, ... (1000 in all)"))
        << messages[0].toStdString();
    EXPECT_LT(messages[0].size(), 400);

    InsertHome(1);
    const QString many = dir.filePath("many.pla");
    Write(many, "1\r\n5000\r\n" + std::string(5000, '\n'));
    ASSERT_EQ(::mkfifo(dir.filePath("fifo.pla").toLocal8Bit().constData(), 0600), 0);
    for (const QString& path : {many, dir.filePath("fifo.pla")}) {
        messages.clear();
        const int rows = Grid()->Rows();
        EXPECT_FALSE(editor->ImportFile(path));
        EXPECT_EQ(Grid()->Rows(), rows);
        ASSERT_EQ(messages.size(), 1);
        EXPECT_LT(messages[0].size(), 400);
    }
}

TEST_F(PlanFiles, ARowWithACellThatIsNoValueRefusesTheRunAndNamesIt) {
    const std::string badDir = "GoPosition\t1\tX\t\t\t5\t\t\tA\t1\tC\tQ\t\t\t\t\t\r\n";
    const std::string unknownKind = "GoSomewhere\t1\tX\t" + std::string(13, '\t') + "\r\n";
    const std::string badAxis = "GoHome\t\tW\t" + std::string(13, '\t') + "\r\n";
    const std::string good = "GoHome\t\tZ\t" + std::string(13, '\t') + "\r\n";
    const struct {
        std::string plan;
        const char* named;
    } cases[] = {
        {good + unknownKind + badAxis + good, "Step 3 cannot run:"},
        {good + badDir + good, "Step 2 cannot run"},
    };
    for (const auto& c : cases) {
        const QString path = dir.filePath("odd.pla");
        Write(path, "1\r\n" + std::to_string(std::count(c.plan.begin(), c.plan.end(), '\n')) +
                        "\r\n" + c.plan);
        ASSERT_TRUE(editor->ImportFile(path));
        messages.clear();
        Run("1");
        EXPECT_FALSE(editor->IsRunning());
        // Nothing moved, not even the good step before the bad one.
        EXPECT_EQ(motion.Count(), 0u);
        EXPECT_TRUE(editor->Status()->text().contains(c.named))
            << editor->Status()->text().toStdString();
        ASSERT_EQ(messages.size(), 1);
        EXPECT_EQ(messages[0], editor->Status()->text());
    }
    // RunPlan itself refuses too, for any other caller.
    korva::ui::StopSignal stop;
    const korva::ui::PlanRunResult result =
        korva::ui::RunPlan(motion, {{"GoHome", "", "W"}}, 1, stop, {});
    EXPECT_EQ(result.end, korva::ui::PlanRunEnd::kBadRow);
    EXPECT_EQ(result.row, 1);
    EXPECT_EQ(motion.Count(), 0u);
}

// --- closing during a run ---

TEST(PlanWindow, ClosingDuringARunStopsItAndClosesWhenItHasEnded) {
    QStringList messages;
    korva::ui::SetMessageHook([&messages](const QString& text) { messages << text; });
    CKORVAKT3002Ctrl ctl;
    RecordingMotion motion;
    plantest::Gate gate;
    motion.answer = [&gate](const Call&, std::size_t) {
        gate.Arrive();
        return true;
    };
    {
        CPlanRunWindow window(&ctl);
        CProRunPlan* page = window.Page();
        page->SetMotion(&motion);
        EXPECT_EQ(window.windowTitle(), "RunPlan");
        window.show();
        page->OnRunModeChanged(korva::ui::kKindHome);
        page->Button(CProRunPlan::IDC_INSERT)->click();
        page->Button(CProRunPlan::IDC_RUN)->click();
        ASSERT_TRUE(WaitFor([&gate] { return gate.Arrived(); }));
        window.reject();  // Escape or the close box
        EXPECT_TRUE(window.isVisible());
        gate.Open();
        EXPECT_TRUE(WaitFor([&window] { return !window.isVisible(); }));
        EXPECT_FALSE(page->IsRunning());
        EXPECT_EQ(window.result(), QDialog::Rejected);
    }
    EXPECT_EQ(motion.Count(), 1u);
    korva::ui::SetMessageHook({});
}

}  // namespace

int main(int argc, char** argv) {
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
