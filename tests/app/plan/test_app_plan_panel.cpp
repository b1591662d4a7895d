// stagedesk's plan panel on the offscreen platform with a recording fake of the
// control: composing steps (with the equal-axis refusals), the grid's
// operations, plan files, and runs with their repetition and position displays.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <QAbstractButton>
#include <QApplication>
#include <QComboBox>
#include <QElapsedTimer>
#include <QLabel>
#include <QLineEdit>
#include <QRadioButton>
#include <QTemporaryDir>
#include <QThread>
#include <fstream>
#include <memory>
#include <sstream>

#include "AppMessage.h"
#include "FakeControl.h"
#include "GridWidget.h"
#include "PanelSteps.h"
#include "PlanRunDlg.h"

using plantest::Call;
using plantest::FakeControl;
using stagedesk::CPlanRunDlg;
using stagedesk::MsgIcon;
namespace plan = stagedesk::plan;

namespace {

bool WaitFor(const std::function<bool()>& done, int timeoutMs = 10000) {
    QElapsedTimer clock;
    clock.start();
    while (!done()) {
        if (clock.elapsed() > timeoutMs) return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        QThread::msleep(2);
    }
    return true;
}

class PlanPanel : public ::testing::Test {
  protected:
    void SetUp() override {
        stagedesk::SetMessageHook([this](const QString& text, const QString&, MsgIcon icon) {
            messages << text;
            icons << icon;
        });
        panel = std::make_unique<CPlanRunDlg>(
            &control, [](const char* key) { return QString::fromLatin1(key); }, nullptr,
            plan::CompletionTiming{std::chrono::milliseconds(2), 5});
        panel->resize(900, 700);
        panel->show();
    }
    void TearDown() override {
        panel.reset();
        stagedesk::SetMessageHook({});
    }

    korva::CGridWidget* Grid() { return panel->Grid(); }
    void Type(int id, const char* text) { panel->Edit(id)->setText(QString::fromLatin1(text)); }
    void Pick(int id, const char* text) {
        QComboBox* list = panel->List(id);
        const int index = list->findText(QString::fromLatin1(text));
        if (index >= 0) {
            list->setCurrentIndex(index);
        } else {
            list->setEditText(QString::fromLatin1(text));
        }
    }
    void Press(int id) { panel->Button(id)->click(); }
    void Kind(int kind) {
        qobject_cast<QRadioButton*>(panel->Button(CPlanRunDlg::KindRadioIds()[kind]))->click();
    }
    void InsertHome(const char* axis) {
        Kind(plan::kKindHome);
        Pick(1147, axis);
        Press(CPlanRunDlg::IDC_INSERT);
    }
    QStringList Column(int col) {
        QStringList texts;
        for (int r = 1; r < Grid()->Rows(); ++r) texts << Grid()->TextMatrix(r, col);
        return texts;
    }
    bool Run(const char* repetitions) {
        Type(CPlanRunDlg::IDC_TOTAL, repetitions);
        Press(CPlanRunDlg::IDC_RUN);
        return WaitFor([this] { return !panel->IsRunning(); });
    }

    FakeControl control;
    std::unique_ptr<CPlanRunDlg> panel;
    QStringList messages;
    QList<MsgIcon> icons;
};

TEST_F(PlanPanel, StartsOnGoArcWithTheListsOnTheirFirstChoices) {
    EXPECT_EQ(panel->Kind(), plan::kKindArc);
    EXPECT_TRUE(panel->Button(1081)->isChecked());
    const std::pair<int, const char*> lists[] = {
        {1062, "X"},  {1063, "X"},  {1064, "N"},  {1163, "N"},  {1078, "O"}, {1077, "R"},
        {1177, "PP"}, {1179, "PP"}, {1175, "PP"}, {1181, "PP"}, {1112, "X"}};
    for (const auto& [id, text] : lists) EXPECT_EQ(panel->List(id)->currentText(), text) << id;
    EXPECT_EQ(Grid()->Rows(), 1);
    EXPECT_EQ(Grid()->Cols(), 19);
    EXPECT_EQ(Grid()->TextMatrix(0, 18), "Speed");

    // The shell hands the language's header; one that is not 19 columns
    // wide leaves the built-in one.
    panel->SetGridHeaderFormat(QStringLiteral("^A|^B"));
    EXPECT_EQ(Grid()->Cols(), 19);
    QStringList titles;
    for (int c = 0; c < 19; ++c) titles << QStringLiteral("^T%1").arg(c);
    panel->SetGridHeaderFormat(titles.join('|'));
    EXPECT_EQ(Grid()->TextMatrix(0, 18), "T18");
}

TEST_F(PlanPanel, StepsWithEqualAxesAreRefused) {
    struct Case {
        int kind;
        std::vector<std::pair<int, const char*>> axes;
        const char* message;
    };
    const Case cases[] = {
        {plan::kKindArc, {{1062, "Y"}, {1063, "Y"}}, "IDS_ERROR_ANXITWO"},
        {plan::kKindLine2, {{1116, "T"}, {1117, "T"}}, "IDS_ERROR_ANXITWO"},
        {plan::kKindLine3, {{1140, "X"}, {1141, "Y"}, {1076, "X"}}, "IDS_ERROR_ANXITHREE"},
        {plan::kKindLine3, {{1140, "X"}, {1141, "Z"}, {1076, "Z"}}, "IDS_ERROR_ANXITHREE"},
    };
    for (const Case& c : cases) {
        messages.clear();
        icons.clear();
        Kind(c.kind);
        for (const auto& [id, axis] : c.axes) Pick(id, axis);
        Press(CPlanRunDlg::IDC_INSERT);
        EXPECT_EQ(messages, QStringList{c.message});
        EXPECT_EQ(icons, QList<MsgIcon>{MsgIcon::Warning});
        EXPECT_EQ(Grid()->Rows(), 1);
    }
    // Different axes go in.
    Kind(plan::kKindLine3);
    Pick(1140, "X");
    Pick(1141, "Y");
    Pick(1076, "Z");
    Press(CPlanRunDlg::IDC_INSERT);
    EXPECT_EQ(Column(1), QStringList{"Goline3"});
    EXPECT_EQ(Column(5), QStringList{"Z"});
}

TEST_F(PlanPanel, InsertGoesBelowTheCurrentRowAndDeleteTakesIt) {
    for (const char* axis : {"X", "Y", "Z", "T", "X"}) InsertHome(axis);
    EXPECT_EQ(Column(3), QStringList({"X", "Y", "Z", "T", "X"}));
    Grid()->SetRow(2);
    Kind(plan::kKindOpticsHome);
    Pick(1112, "Z");
    Press(CPlanRunDlg::IDC_INSERT);
    EXPECT_EQ(Column(0), QStringList({"1", "2", "3", "4", "5", "6"}));
    EXPECT_EQ(Column(1),
              QStringList({"GoHome", "GoHome", "GoOpticsHome", "GoHome", "GoHome", "GoHome"}));

    Grid()->SetRow(2);
    Press(CPlanRunDlg::IDC_DELETE);
    EXPECT_EQ(Column(0), QStringList({"1", "2", "3", "4", "5"}));
    EXPECT_EQ(Column(3), QStringList({"X", "Z", "Z", "T", "X"}));
    // The header row is not a step.
    Grid()->SetRow(0);
    Press(CPlanRunDlg::IDC_DELETE);
    EXPECT_EQ(Grid()->Rows(), 6);
    // With one step left, Delete leaves the header alone.
    while (Grid()->Rows() > 2) {
        Grid()->SetRow(1);
        Press(CPlanRunDlg::IDC_DELETE);
    }
    Grid()->SetRow(0);
    Press(CPlanRunDlg::IDC_DELETE);
    EXPECT_EQ(Grid()->Rows(), 1);
    EXPECT_EQ(Grid()->TextMatrix(0, 1), "RunMode");
}

TEST_F(PlanPanel, RowsKeepTheTextsAsTypedAndRefuseBadEntries) {
    Kind(plan::kKindPosition);
    Type(1160, "2");
    Pick(1157, "T");
    Type(1165, "1.50");
    Pick(1077, "A");
    Pick(1078, "C");
    Pick(1163, "P");
    Type(1161, "25");
    Pick(1181, "step");
    Type(1024, "2.5e1");
    Press(CPlanRunDlg::IDC_INSERT);
    ASSERT_EQ(Grid()->Rows(), 2);
    QStringList row;
    for (int c = 1; c <= 18; ++c) row << Grid()->TextMatrix(1, c);
    EXPECT_EQ(row, QStringList({"GoPosition", "2", "T", "", "", "1.50", "", "", "A", "25", "C", "P",
                                "", "", "", "", "step", "2.5e1"}));

    struct Case {
        int id;
        const char* text;
        const char* message;
    };
    const Case cases[] = {
        {1181, "inch", "The unit \"inch\" is not one of deg, mm, PP (step), um."},
        {1024, "100000001", "Please enter a number between 0 and 100000000."},
        {1024, "-1", "Please enter a number between 0 and 100000000."},
        {1165, "far", "Please enter a number."},
        {1160, "1.5", "Please enter an integer between -2147483648 and 2147483647."},
        {CPlanRunDlg::IDC_TOTAL, "x",
         "Please enter an integer between -2147483648 and 2147483647."},
    };
    for (const Case& c : cases) {
        messages.clear();
        QWidget* field = panel->Field(c.id);
        QString before;
        if (auto* edit = qobject_cast<QLineEdit*>(field)) {
            before = edit->text();
            edit->setText(QString::fromLatin1(c.text));
        } else {
            before = panel->List(c.id)->currentText();
            Pick(c.id, c.text);
        }
        Press(CPlanRunDlg::IDC_INSERT);
        EXPECT_EQ(messages, QStringList{c.message}) << c.id;
        EXPECT_EQ(Grid()->Rows(), 2) << c.id;
        if (auto* edit = qobject_cast<QLineEdit*>(field)) {
            edit->setText(before);
        } else {
            Pick(c.id, before.toLatin1().constData());
        }
    }
}

TEST_F(PlanPanel, ClickingARowLoadsItAndUpdateWritesThatRowsKind) {
    Kind(plan::kKindLine2);
    Pick(1116, "Z");
    Pick(1117, "X");
    Type(1120, "4");
    Type(1121, "-3");
    Pick(1175, "um");
    Press(CPlanRunDlg::IDC_INSERT);
    InsertHome("Y");

    Kind(plan::kKindLine2);
    Type(1120, "0");
    Pick(1116, "X");
    Kind(plan::kKindArc);
    panel->OnGridClick(1);
    EXPECT_EQ(panel->Kind(), plan::kKindLine2);
    EXPECT_TRUE(panel->Button(1087)->isChecked());
    EXPECT_EQ(panel->List(1116)->currentText(), "Z");
    EXPECT_EQ(panel->Edit(1120)->text(), "4");
    EXPECT_EQ(panel->List(1175)->currentText(), "um");

    // Update writes the fields of the row's own kind, whatever kind is
    // checked, and without the axis check.
    Type(1120, "9");
    Pick(1117, "Z");
    Kind(plan::kKindArc);
    Press(CPlanRunDlg::IDC_UPDATE);
    EXPECT_EQ(Grid()->TextMatrix(1, 1), "Goline2");
    EXPECT_EQ(Grid()->TextMatrix(1, 4), "Z");
    EXPECT_EQ(Grid()->TextMatrix(1, 6), "9");
    EXPECT_TRUE(messages.isEmpty()) << messages.join('|').toStdString();
}

TEST_F(PlanPanel, ARunShowsItsRepetitionsAndThePositionsOfTheMovedAxes) {
    Kind(plan::kKindPosition);
    Pick(1157, "Y");
    Type(1165, "2");
    Pick(1181, "mm");
    Press(CPlanRunDlg::IDC_INSERT);
    Type(CPlanRunDlg::IDC_TOTAL, "2");
    Press(CPlanRunDlg::IDC_RUN);
    EXPECT_FALSE(panel->Button(CPlanRunDlg::IDC_RUN)->isEnabled());
    ASSERT_TRUE(WaitFor([this] { return !panel->IsRunning(); }));
    EXPECT_TRUE(panel->Button(CPlanRunDlg::IDC_RUN)->isEnabled());
    EXPECT_EQ(panel->Edit(CPlanRunDlg::IDC_REPETITION)->text(), "2");
    // The fake moves an axis by 1 per reading for three readings per move.
    EXPECT_EQ(panel->Edit(1168)->text(), "6");
    EXPECT_EQ(panel->Edit(1166)->text(), "0");  // X was never used
    const std::vector<Call> calls = control.Calls();
    ASSERT_EQ(calls.size(), 6u);
    EXPECT_EQ(calls[2], (Call{"GoPosition", {1, 1, 1, 0, 2}}));  // work O, state R, dir N
}

TEST_F(PlanPanel, RepetitionsOfZeroEndAtOnceAndANonNumberStartsNothing) {
    InsertHome("X");
    ASSERT_TRUE(Run("0"));
    EXPECT_TRUE(panel->Button(CPlanRunDlg::IDC_RUN)->isEnabled());
    EXPECT_EQ(panel->Edit(CPlanRunDlg::IDC_REPETITION)->text(), "");
    Type(CPlanRunDlg::IDC_TOTAL, "two");
    Press(CPlanRunDlg::IDC_RUN);
    EXPECT_FALSE(panel->IsRunning());
    EXPECT_EQ(messages.size(), 1);
    EXPECT_TRUE(control.Calls().empty());
}

TEST_F(PlanPanel, StopDuringAMoveStopsTheAxesAndEndsTheRun) {
    control.MoveUntilStopped(true);
    Kind(plan::kKindLine2);
    Pick(1116, "X");
    Pick(1117, "T");
    Type(1124, "50");
    Press(CPlanRunDlg::IDC_INSERT);
    InsertHome("Z");
    Type(CPlanRunDlg::IDC_TOTAL, "3");
    Press(CPlanRunDlg::IDC_RUN);
    ASSERT_TRUE(WaitFor([this] { return control.Readings() > 4; }));
    Press(CPlanRunDlg::IDC_STOP);
    ASSERT_TRUE(WaitFor([this] { return !panel->IsRunning(); }));
    std::vector<int> stops = control.Stops();
    std::sort(stops.begin(), stops.end());
    stops.erase(std::unique(stops.begin(), stops.end()), stops.end());
    EXPECT_EQ(stops, (std::vector<int>{0, 3}));
    const std::vector<std::string> names = control.Names();
    EXPECT_EQ(std::count(names.begin(), names.end(), "GoInterpolationline2"), 1);
    EXPECT_EQ(std::count(names.begin(), names.end(), "GoHome"), 0);
    EXPECT_EQ(panel->Edit(CPlanRunDlg::IDC_REPETITION)->text(), "1");
}

TEST_F(PlanPanel, ShutdownDuringARunStopsTheAxesAndReturns) {
    control.MoveUntilStopped(true);
    Kind(plan::kKindPosition);
    Pick(1157, "Z");
    Press(CPlanRunDlg::IDC_INSERT);
    Press(CPlanRunDlg::IDC_RUN);
    ASSERT_TRUE(WaitFor([this] { return control.Readings() > 2; }));
    panel->StopThreads();
    EXPECT_FALSE(panel->IsRunning());
    const std::vector<int> stops = control.Stops();
    EXPECT_NE(std::find(stops.begin(), stops.end(), 2), stops.end());
    // Nothing starts after shutdown.
    const std::size_t calls = control.Calls().size();
    Press(CPlanRunDlg::IDC_RUN);
    EXPECT_FALSE(panel->IsRunning());
    EXPECT_EQ(control.Calls().size(), calls);
}

class PanelFiles : public PlanPanel {
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

TEST_F(PanelFiles, PlansGoOutAndComeBackWithEighteenCellsPerRow) {
    InsertHome("T");
    Kind(plan::kKindArc);
    Pick(1062, "X");
    Pick(1063, "Y");
    Type(1072, "1.5");
    Press(CPlanRunDlg::IDC_INSERT);
    Type(CPlanRunDlg::IDC_TOTAL, "3");
    const QString path = dir.filePath("plan.pla");
    ASSERT_TRUE(panel->ExportFile(path));
    const std::string bytes = Read(path);
    EXPECT_EQ(bytes.substr(0, 6), "3\r\n2\r\n");
    EXPECT_EQ(bytes.substr(6, bytes.find("\r\n", 6) - 6),
              "GoHome\t\tT\t" + std::string(14, '\t') + "10\t");

    CPlanRunDlg other(&control, {}, nullptr);
    ASSERT_TRUE(other.ImportFile(path));
    EXPECT_EQ(other.Edit(CPlanRunDlg::IDC_TOTAL)->text(), "3");
    for (int r = 0; r < 3; ++r) {
        for (int c = 0; c < 19; ++c) {
            EXPECT_EQ(other.Grid()->TextMatrix(r, c), Grid()->TextMatrix(r, c)) << r << "," << c;
        }
    }
    const QString again = dir.filePath("again.pla");
    ASSERT_TRUE(other.ExportFile(again));
    EXPECT_EQ(Read(again), bytes);
    EXPECT_TRUE(messages.isEmpty());
}

TEST_F(PanelFiles, AnUnreadableFileKeepsThePlanAndANarrowOneWarns) {
    InsertHome("Y");
    EXPECT_FALSE(panel->ImportFile(dir.filePath("none.pla")));
    EXPECT_EQ(Column(3), QStringList{"Y"});
    ASSERT_EQ(messages.size(), 1);

    messages.clear();
    const QString narrow = dir.filePath("control.pla");  // the control editor's 16 cells
    Write(narrow, "1\r\n1\r\nGoHome\t\tX\t" + std::string(13, '\t') + "\r\n");
    ASSERT_TRUE(panel->ImportFile(narrow));
    ASSERT_EQ(messages.size(), 1);
    EXPECT_TRUE(messages[0].contains("did not hold 18 cells")) << messages[0].toStdString();
}

TEST_F(PanelFiles, ALoadedStepWithAnUnknownUnitRefusesTheRunAndNamesTheStep) {
    const QString path = dir.filePath("units.pla");
    const std::string odd = "Goline2\t1\tX\tY\t\t1\t2\t\t\t0\t\t\t\t\t\t\tinch\t10\t\r\n";
    const std::string origin = "GoOrigion\t\tZ\t" + std::string(15, '\t') + "\r\n";
    Write(path, "1\r\n2\r\n" + origin + odd);
    ASSERT_TRUE(panel->ImportFile(path));
    messages.clear();
    panel->Edit(CPlanRunDlg::IDC_TOTAL)->setText("1");
    panel->OnRun();
    EXPECT_FALSE(panel->IsRunning());
    EXPECT_TRUE(control.Calls().empty());  // not even the good step before it
    ASSERT_EQ(messages.size(), 1);
    EXPECT_TRUE(messages[0].contains("Step 2 cannot run")) << messages[0].toStdString();
    EXPECT_TRUE(messages[0].contains("inch"));
    EXPECT_EQ(panel->Status()->text(), messages[0]);
    EXPECT_TRUE(panel->Button(CPlanRunDlg::IDC_RUN)->isEnabled());
}

TEST_F(PanelFiles, ARefusedCallEndsTheRunWithTheStepAndTheErrorText) {
    const QString path = dir.filePath("refused.pla");
    const std::string origin = "GoOrigion\t\tZ\t" + std::string(15, '\t') + "\r\n";
    Write(path, "1\r\n3\r\n" + origin + origin + origin);
    ASSERT_TRUE(panel->ImportFile(path));
    control.refuseCall = 2;
    control.refuseCode = 20042;
    messages.clear();
    ASSERT_TRUE(Run("2"));
    EXPECT_EQ(control.Calls().size(), 2u);  // the third step never ran
    ASSERT_EQ(messages.size(), 1);
    EXPECT_TRUE(messages[0].contains("Step 2: GoOrigion was refused (code 20042"))
        << messages[0].toStdString();
    EXPECT_TRUE(messages[0].contains("E02"));
}

}  // namespace

int main(int argc, char** argv) {
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
