// The parameter sheet against the simulated controller on a pseudo-terminal:
// pages that reload and update every axis through the group methods, show the
// control's cache, and report failures with "Error".
#include <gtest/gtest.h>
#include <stdlib.h>

#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTabWidget>
#include <QTimer>
#include <memory>

#include "KORVAKT3002Ctl.h"
#include "KorvaUi.h"
#include "ParamPages.h"
#include "PlanTestSupport.h"
#include "ProRunPlan.h"
#include "PtySimulator.h"
#include "SettingDlg.h"
#include "UiMessage.h"

using korva::ui::CParamPage;
using korva::ui::CSettingDlg;

namespace {

constexpr std::int16_t kPort = 7;

class Sheet : public ::testing::Test {
  protected:
    void SetUp() override {
        korva::sim::SimOptions options;
        options.timeScale = 10.0;
        sim = std::make_unique<korva::sim::PtySimulator>(options);
        ASSERT_TRUE(sim->Start());
        sim->SetBaud(0);
        setenv(("KORVA_COM" + std::to_string(kPort)).c_str(), sim->SlavePath().c_str(), 1);
        ctl.SetComPort(kPort);
        korva::ui::SetMessageHook([this](const QString& text) { messages << text; });
    }
    void TearDown() override {
        sheet.reset();
        ctl.DisConnect();
        korva::ui::SetMessageHook({});
    }
    void Connect() { ASSERT_TRUE(ctl.Connect()) << ctl.GetErrorCode(); }
    void Open() {
        sheet = std::make_unique<CSettingDlg>(&ctl);
        sheet->show();
    }
    CParamPage* Page(int index) {
        sheet->ShowPage(index);
        return sheet->ParamPage(index);
    }
    static QString Text(CParamPage* page, int id) {
        QWidget* w = page->Field(id);
        if (auto* edit = qobject_cast<QLineEdit*>(w)) return edit->text();
        if (auto* list = qobject_cast<QComboBox*>(w)) return list->currentText();
        return QStringLiteral("<no field %1>").arg(id);
    }
    static void Type(CParamPage* page, int id, const QString& text) {
        qobject_cast<QLineEdit*>(page->Field(id))->setText(text);
    }
    static void Pick(CParamPage* page, int id, int index) {
        qobject_cast<QComboBox*>(page->Field(id))->setCurrentIndex(index);
    }
    // Field texts of a page by control id.
    static std::map<int, QString> Fields(CParamPage* page, std::initializer_list<int> ids) {
        std::map<int, QString> texts;
        for (int id : ids) texts[id] = Text(page, id);
        return texts;
    }

    std::unique_ptr<korva::sim::PtySimulator> sim;
    CKORVAKT3002Ctrl ctl;
    std::unique_ptr<CSettingDlg> sheet;
    QStringList messages;
};

const std::initializer_list<int> kBaseIds = {208, 210, 212, 214, 216, 218, 220, 222};
const std::initializer_list<int> kPosIds = {226, 228, 231, 234};
const std::initializer_list<int> kRunIds = {237, 239, 241, 243, 245, 247, 249, 251};

TEST_F(Sheet, OpensWithItsCaptionTabsAndFieldsAtZero) {
    ctl.SetLangenge("English");
    Open();
    EXPECT_EQ(sheet->windowTitle(), "KT300 Properties");
    ASSERT_EQ(sheet->Tabs()->count(), 4);
    EXPECT_EQ(sheet->Tabs()->tabText(0), "Base Parameters Setting");
    EXPECT_EQ(sheet->Tabs()->tabText(3), "RunPlan");
    CParamPage* base = Page(0);
    EXPECT_EQ(base->windowTitle(), "Base Parameters Setting");  // its language caption
    EXPECT_TRUE(base->AxisRadio(0)->isChecked());
    for (int id : {208, 212, 214, 216, 218, 220}) EXPECT_EQ(Text(base, id), "0") << id;
    EXPECT_EQ(Text(base, 210), "Moving");
    EXPECT_EQ(Text(base, 222), "close loop");
    EXPECT_EQ(base->ReloadButton()->text(), "Reload");
    // Pages come into being when first shown.
    EXPECT_EQ(sheet->ParamPage(2), nullptr);
    EXPECT_NE(Page(2), nullptr);
    EXPECT_TRUE(messages.isEmpty()) << messages.join("|").toStdString();

    for (const char* language : {"Chinese", "english", ""}) {
        sheet.reset();
        ctl.SetLangenge(language);
        Open();
        EXPECT_EQ(sheet->Tabs()->tabText(0), QString::fromUtf8("基本参数设置")) << language;
    }
    // The Chinese language file gives the pages their Chinese texts.
    ctl.SetLangenge("Chinese");
    sheet.reset();
    Open();
    EXPECT_EQ(Page(0)->ReloadButton()->text(), QString::fromUtf8("重新读取"));
}

TEST_F(Sheet, ReloadShowsTheControllersValuesAndAxisRadiosShowTheCache) {
    Connect();
    Open();
    CParamPage* base = Page(0);
    base->SelectAxis(1);
    base->ReloadButton()->click();
    EXPECT_TRUE(messages.isEmpty()) << messages.join("|").toStdString();
    const std::map<int, QString> simDefaults = {{208, "1.8"}, {210, "Moving"},   {212, "5"},
                                                {214, "8"},   {216, "1"},        {218, "50"},
                                                {220, "200"}, {222, "open loop"}};
    EXPECT_EQ(Fields(base, kBaseIds), simDefaults);

    // Z was never read: the cache still holds the values of construction.
    base->AxisRadio(2)->click();
    EXPECT_EQ(base->Axis(), 2);
    EXPECT_EQ(Text(base, 212), "0");
    EXPECT_EQ(Text(base, 222), "close loop");
    base->AxisRadio(1)->click();
    EXPECT_EQ(Fields(base, kBaseIds), simDefaults);

    CParamPage* pos = Page(1);
    EXPECT_EQ(pos->Axis(), 0);  // every page starts on X
    pos->ReloadButton()->click();
    EXPECT_EQ(Fields(pos, kPosIds),
              (std::map<int, QString>{{226, "0"}, {228, "100"}, {231, "-100"}, {234, "3.125"}}));

    // The position changes only through Reload.
    CParamPage* run = Page(2);
    run->ReloadButton()->click();
    EXPECT_EQ(Fields(run, kRunIds), (std::map<int, QString>{{237, "10"},
                                                            {239, "1"},
                                                            {241, "50"},
                                                            {243, "50"},
                                                            {245, "5"},
                                                            {247, "0.5"},
                                                            {249, "mm"},
                                                            {251, "0"}}));
    ctl.SetchroMode(true);
    ASSERT_TRUE(ctl.GoPosition(0, 1, 0, 1, 2.5f));
    run->AxisRadio(0)->click();
    EXPECT_EQ(Text(run, 251), "0");
    run->ReloadButton()->click();
    EXPECT_EQ(Text(run, 251), "2.5");
    EXPECT_TRUE(qobject_cast<QLineEdit*>(run->Field(251))->isReadOnly());
    EXPECT_TRUE(messages.isEmpty()) << messages.join("|").toStdString();
}

TEST_F(Sheet, UpdateWritesEveryPageOfEveryAxis) {
    Connect();
    Open();
    for (std::int16_t axis = 0; axis < 4; ++axis) {
        CParamPage* base = Page(0);
        base->SelectAxis(axis);
        Type(base, 208, "0.9");
        Pick(base, 210, 1);  // Rotate
        Type(base, 212, QString::number(2 + axis));
        Type(base, 214, "16");
        Type(base, 216, "3");
        Type(base, 218, "40");
        Type(base, 220, "150");
        Pick(base, 222, 0);  // close loop
        base->UpdateButton()->click();

        CParamPage* pos = Page(1);
        pos->SelectAxis(axis);
        Type(pos, 226, "1.5");
        Type(pos, 228, "80");
        Type(pos, 231, "-70");
        Type(pos, 234, "2.5");
        pos->UpdateButton()->click();

        CParamPage* run = Page(2);
        run->SelectAxis(axis);
        Type(run, 237, QString::number(20 + axis));
        Type(run, 239, "2");
        Type(run, 241, "40");
        Type(run, 243, "30");
        Type(run, 245, "4");
        Type(run, 247, "0.25");
        Pick(run, 249, 1);  // mm: the controller gets the letter m
        run->UpdateButton()->click();
    }
    EXPECT_TRUE(messages.isEmpty()) << messages.join("|").toStdString();
    // Read back from the controller itself, not from the cache.
    for (std::int16_t axis = 0; axis < 4; ++axis) {
        EXPECT_EQ(ctl.GetAxisStyle(axis), 1);
        EXPECT_FLOAT_EQ(ctl.GetPitch(axis), 2.0f + axis);
        EXPECT_EQ(ctl.GetMicroStep(axis), 16);
        EXPECT_EQ(ctl.Getradius(axis), 40);
        EXPECT_EQ(ctl.Getworkstate(axis), 0);
        EXPECT_FLOAT_EQ(ctl.GetLimitNeg(axis), -70.0f);
        EXPECT_FLOAT_EQ(ctl.Getresolution(axis), 2.5f);
        EXPECT_EQ(ctl.GetUnit(axis), "m");
        EXPECT_FLOAT_EQ(ctl.GetSpeed(axis), 20.0f + axis);
        EXPECT_FLOAT_EQ(ctl.GetDccSpeed(axis), 30.0f);
    }
}

TEST_F(Sheet, AFailedUpdateShowsErrorAndThenTheValuesFromBefore) {
    Connect();
    Open();
    CParamPage* run = Page(2);
    run->ReloadButton()->click();
    const auto before = Fields(run, kRunIds);
    Type(run, 237, "33");
    Type(run, 245, "7");
    korva::sim::SimFault fault;
    fault.kind = korva::sim::SimFault::Kind::kErrorReply;
    fault.count = 1;
    fault.errorCode = 3;
    sim->engine().SetFault(fault);  // the speed write is refused
    run->UpdateButton()->click();
    EXPECT_EQ(messages, QStringList{"Error"});
    EXPECT_EQ(Fields(run, kRunIds), before);
    // The other writes went through; a Reload brings the page in line.
    messages.clear();
    run->ReloadButton()->click();
    EXPECT_TRUE(messages.isEmpty());
    EXPECT_EQ(Text(run, 237), "10");
    EXPECT_EQ(Text(run, 245), "7");
}

TEST_F(Sheet, WithTheLinkClosedReloadAndUpdateSayError) {
    Open();
    for (int index = 0; index < 3; ++index) {
        CParamPage* page = Page(index);
        messages.clear();
        page->ReloadButton()->click();
        EXPECT_EQ(messages, QStringList{"Error"}) << index;
        messages.clear();
        page->UpdateButton()->click();
        EXPECT_EQ(messages, QStringList{"Error"}) << index;
    }
}

TEST_F(Sheet, AFieldThatIsNoNumberStopsTheWrite) {
    Connect();
    Open();
    CParamPage* base = Page(0);
    base->ReloadButton()->click();
    Type(base, 212, "7");
    Type(base, 214, "eight");
    base->UpdateButton()->click();
    EXPECT_EQ(messages, QStringList{"Please enter an integer between -2147483648 and 2147483647."});
    EXPECT_EQ(Text(base, 214), "eight");     // kept for correction
    EXPECT_FLOAT_EQ(ctl.GetPitch(0), 5.0f);  // nothing was written
}

TEST_F(Sheet, ClosingDuringAPlanRunWaitsForTheRunToEnd) {
    Open();
    sheet->ShowPage(3);
    korva::ui::CProRunPlan* plan = sheet->PlanPage();
    ASSERT_NE(plan, nullptr);
    plantest::RecordingMotion motion;
    plantest::Gate gate;
    motion.answer = [&gate](const plantest::Call&, std::size_t) {
        gate.Arrive();
        return true;
    };
    plan->SetMotion(&motion);
    plan->OnRunModeChanged(korva::ui::kKindOrigin);
    plan->Button(korva::ui::CProRunPlan::IDC_INSERT)->click();
    plan->Button(korva::ui::CProRunPlan::IDC_RUN)->click();
    ASSERT_TRUE(plantest::WaitFor([&gate] { return gate.Arrived(); }));
    sheet->accept();
    EXPECT_TRUE(sheet->isVisible());
    gate.Open();
    EXPECT_TRUE(plantest::WaitFor([this] { return !sheet->isVisible(); }));
    EXPECT_EQ(sheet->result(), QDialog::Accepted);
}

// Presses Cancel on the modal dialog once it is up; records its title.
void CloseModalWhenShown(QString& title, QString& firstTab) {
    QTimer::singleShot(50, [&title, &firstTab] {
        QWidget* dialog = QApplication::activeModalWidget();
        if (dialog == nullptr) {
            CloseModalWhenShown(title, firstTab);
            return;
        }
        title = dialog->windowTitle();
        if (auto* tabs = dialog->findChild<QTabWidget*>()) firstTab = tabs->tabText(0);
        qobject_cast<QDialog*>(dialog)->reject();
    });
}

TEST_F(Sheet, TheControlsDialogMethodsShowTheSheetAndTheEditor) {
    ctl.SetLangenge("English");
    QString title, firstTab;
    CloseModalWhenShown(title, firstTab);
    korva::Variant result;
    ASSERT_EQ(ctl.Invoke(6, korva::kInvokeMethod, {}, &result), korva::S_OK);  // ShowSettingDialog
    EXPECT_EQ(title, "KT300 Properties");
    EXPECT_EQ(firstTab, "Base Parameters Setting");
    title.clear();
    CloseModalWhenShown(title, firstTab);
    ASSERT_EQ(ctl.Invoke(13, korva::kInvokeMethod, {}, &result), korva::S_OK);  // ShowPlanRunWindow
    EXPECT_EQ(title, "RunPlan");
}

TEST_F(Sheet, Screenshot) {
    const char* dir = getenv("KORVA_SCREENSHOT_DIR");
    if (dir == nullptr || *dir == '\0') GTEST_SKIP() << "KORVA_SCREENSHOT_DIR not set";
    ctl.SetLangenge("English");
    Connect();
    Open();
    sheet->resize(940, 680);
    CParamPage* base = Page(0);
    base->SelectAxis(1);
    base->ReloadButton()->click();
    plantest::WaitFor([] { return false; }, 100);
    ASSERT_TRUE(sheet->grab().save(
        QDir(QString::fromLocal8Bit(dir)).filePath("control-parameter-sheet.png"), "PNG"));
}

}  // namespace

int main(int argc, char** argv) {
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
