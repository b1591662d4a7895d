// The parameter panel against the simulated controller: writes confirmed or
// refused by message, reloads where they change other values, unit refusals
// that send nothing, lists written with the device closed.
#include <QApplication>
#include <QComboBox>
#include <QCoreApplication>
#include <QFocusEvent>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTest>
#include <memory>

#include "AppFixture.h"
#include "DialogFields.h"
#include "KORVAKT3002.h"
#include "KT300View.h"
#include "ParamSetDlg.h"
#include "Resource.h"
#include "SimEngine.h"
#include "SingleRunDlg.h"

using namespace stagedesk;

namespace {

// The window's requests run on the device worker: wait for their answers.
void Settle(QWidget* panel) {
    auto* view = qobject_cast<CKT300View*>(panel->parentWidget());
    QVERIFY(view != nullptr && view->WaitIdle());
}

// The operator leaves a field (Tab, or a click elsewhere).
void Leave(QLineEdit* edit) {
    QFocusEvent out(QEvent::FocusOut, Qt::TabFocusReason);
    QCoreApplication::sendEvent(edit, &out);
    Settle(edit->parentWidget());
}

// The operator picks a list entry.
void Pick(QComboBox* combo, const QString& text) {
    const int index = combo->findText(text);
    QVERIFY2(index >= 0, qPrintable(text));
    combo->setCurrentIndex(index);
    emit combo->activated(index);
    Settle(combo->parentWidget());
}

}  // namespace

class TestParamSet : public QObject {
    Q_OBJECT
  private slots:
    void init();
    void cleanup();
    void editWriteConfirmsAndReloadsWhereMarked_data();
    void editWriteConfirmsAndReloadsWhereMarked();
    void leavingUnchangedFieldStillWrites();
    void refusedUnitSendsNothing_data();
    void refusedUnitSendsNothing();
    void unitChangeRelabelsBothPanels();
    void stageTypeChangeSetsEncoderList();
    void listWritesWithDeviceClosedFailAndReRead_data();
    void listWritesWithDeviceClosedFailAndReRead();
    void nonNumericEntrySendsNothing();
    void reloadWithDeviceClosedIsNotReportedAsRead();
    void factorySettingsRestoreDefaults();
    void listWritesReloadOnlyWhereTheyChangeOtherValues();
    void enterMovesOnAndCommitsTheField();

  private:
    // Makes the controller refuse the next command; true afterwards when that
    // refusal is still pending, i.e. nothing was sent in between.
    void ArmRefusal();
    bool RefusalStillPending();

    std::unique_ptr<AppFixture> m_app;
    CParamSetDlg* m_panel = nullptr;
};

void TestParamSet::init() {
    m_app = std::make_unique<AppFixture>();
    QVERIFY(m_app->Start());
    // Nothing here moves: no need to wait for the wire.
    m_app->Sim().SetBaud(0);
    QVERIFY(m_app->Open());
    m_app->View()->ShowPanel(CKT300View::kParamSet);
    m_panel = m_app->Params();
    m_app->TakeMessages();
}

void TestParamSet::cleanup() {
    m_app.reset();
}

void TestParamSet::ArmRefusal() {
    korva::sim::SimFault fault;
    fault.kind = korva::sim::SimFault::Kind::kErrorReply;
    fault.count = 1;
    fault.errorCode = 1;
    m_app->Sim().engine().SetFault(fault);
}

bool TestParamSet::RefusalStillPending() {
    CKORVAKT3002& c = m_app->Control();
    auto hold = c.HoldCalls();
    c.GetSpeed(0);
    const bool pending = c.GetErrorCode() != 0;
    m_app->Sim().engine().ClearFaults();
    return pending;
}

void TestParamSet::editWriteConfirmsAndReloadsWhereMarked_data() {
    QTest::addColumn<int>("id");
    QTest::addColumn<QString>("value");
    QTest::addColumn<bool>("reload");

    QTest::newRow("pitch") << IDC_PS_PITCH << "2.5" << true;
    QTest::newRow("drive ratio") << IDC_PS_DRIVERAT << "3" << true;
    QTest::newRow("radius") << IDC_PS_RADIUS << "40" << true;
    QTest::newRow("steps per revolution") << IDC_PS_STAGESTEPS << "3200" << true;
    QTest::newRow("positive limit") << IDC_PS_LIMITPOS << "150" << false;
    QTest::newRow("negative limit") << IDC_PS_LIMITNEG << "-120.5" << false;
    QTest::newRow("encoder resolution") << IDC_PS_RESOLUTION << "1.5" << false;
    QTest::newRow("offset") << IDC_PS_OFFSET << "2" << false;
    QTest::newRow("speed") << IDC_PS_SPEED << "12.5" << false;
    QTest::newRow("start speed") << IDC_PS_INITSPEED << "2" << false;
    QTest::newRow("acceleration") << IDC_PS_ACCSPEED << "40" << false;
    QTest::newRow("home speed") << IDC_PS_HOMESPEED << "6" << false;
}

void TestParamSet::editWriteConfirmsAndReloadsWhereMarked() {
    QFETCH(int, id);
    QFETCH(QString, value);
    QFETCH(bool, reload);

    QLineEdit* edit = m_panel->Edit(id);
    edit->setText(value);
    Leave(edit);
    QStringList expected{m_app->Text("IDS_STRING_SETTINGOK")};
    if (reload) expected << m_app->Text("IDS_STRING_GETTINGOK");
    QCOMPARE(m_app->TakeMessages(), expected);
    QCOMPARE(edit->text().toDouble(), value.toDouble());

    // The controller holds the value: a reload shows it again.
    edit->setText(QStringLiteral("0"));
    m_panel->ReloadAll();
    QVERIFY(m_app->Settle());
    QCOMPARE(edit->text().toDouble(), value.toDouble());
}

void TestParamSet::leavingUnchangedFieldStillWrites() {
    Leave(m_panel->Edit(IDC_PS_SPEED));
    QCOMPARE(m_app->TakeMessages(), QStringList{m_app->Text("IDS_STRING_SETTINGOK")});

    // A refused write shows the error and the controller's value again.
    const QString before = m_panel->Edit(IDC_PS_SPEED)->text();
    ArmRefusal();
    m_panel->Edit(IDC_PS_SPEED)->setText(QStringLiteral("99"));
    Leave(m_panel->Edit(IDC_PS_SPEED));
    QCOMPARE(m_app->TakeMessages(), QStringList{m_app->Text("IDS_STRING_SETTINGERR")});
    QCOMPARE(m_panel->Edit(IDC_PS_SPEED)->text(), before);
}

void TestParamSet::refusedUnitSendsNothing_data() {
    QTest::addColumn<QString>("stage");
    QTest::addColumn<QString>("unit");
    QTest::addColumn<QString>("key");
    QTest::newRow("deg on a linear stage") << "Linear"
                                           << "deg"
                                           << "IDS_ERROR_DEG";
    QTest::newRow("mm on a rotary stage") << "Rotate"
                                          << "mm"
                                          << "IDS_ERROR_MMUM";
    QTest::newRow("um on a rotary stage") << "Rotate"
                                          << "um"
                                          << "IDS_ERROR_MMUM";
}

void TestParamSet::refusedUnitSendsNothing() {
    QFETCH(QString, stage);
    QFETCH(QString, unit);
    QFETCH(QString, key);

    if (stage == QLatin1String("Rotate")) {
        // A rotary stage measures in degrees first.
        Pick(m_panel->Combo(IDC_PS_STAGESTYLE), stage);
        Pick(m_panel->Combo(IDC_PS_UNIT), QStringLiteral("deg"));
        m_app->TakeMessages();
    }
    QComboBox* units = m_panel->Combo(IDC_PS_UNIT);
    const QString before = units->currentText();
    const QString label = m_panel->Label(IDC_PS_UNIT_SPEED)->text();

    ArmRefusal();
    Pick(units, unit);
    QCOMPARE(m_app->TakeMessages(), QStringList{m_app->Text(key.toLatin1().constData())});
    QCOMPARE(units->currentText(), before);
    QCOMPARE(m_panel->Label(IDC_PS_UNIT_SPEED)->text(), label);
    QVERIFY2(RefusalStillPending(), "a command was sent");
}

void TestParamSet::unitChangeRelabelsBothPanels() {
    CSingleRunDlg* single = m_app->Single();
    Pick(m_panel->Combo(IDC_PS_UNIT), QStringLiteral("PP"));
    QCOMPARE(m_app->TakeMessages(), QStringList{m_app->Text("IDS_STRING_GETTINGOK")});
    QCOMPARE(m_app->Control().GetUnit(0), QStringLiteral("s"));
    QCOMPARE(m_panel->Label(IDC_PS_UNIT_SPEED)->text(), QStringLiteral("PP/s"));
    QCOMPARE(m_panel->Label(IDC_PS_UNIT_ACC)->text(), QStringLiteral("PP/s*s"));
    QCOMPARE(m_panel->Label(IDC_PS_UNIT_LEN_FIRST)->text(), QStringLiteral("PP"));
    // The single-axis panel shows X too, so its labels follow at once.
    QCOMPARE(single->UnitLabelText(), QStringLiteral("PP"));

    // Y on this panel: only Y's stored code changes over there.
    m_panel->SelectAxis(1);
    QVERIFY(m_app->Settle());
    m_app->TakeMessages();
    Pick(m_panel->Combo(IDC_PS_UNIT), QStringLiteral("um"));
    QCOMPARE(single->UnitCode(1), QStringLiteral("u"));
    QCOMPARE(single->UnitLabelText(), QStringLiteral("PP"));
    QCOMPARE(m_panel->Label(IDC_PS_UNIT_SPEED)->text(), QStringLiteral("um/s"));
}

void TestParamSet::stageTypeChangeSetsEncoderList() {
    CKORVAKT3002& c = m_app->Control();
    QComboBox* encoder = m_panel->Combo(IDC_PS_ENCODER);
    QCOMPARE(encoder->count(), 1);

    Pick(m_panel->Combo(IDC_PS_STAGESTYLE), QStringLiteral("Rotate"));
    QCOMPARE(m_app->TakeMessages(), (QStringList{m_app->Text("IDS_STRING_SETTINGOK"),
                                                 m_app->Text("IDS_STRING_GETTINGOK")}));
    QCOMPARE(c.GetAxisStyle(0), static_cast<std::int16_t>(1));
    QCOMPARE(encoder->count(), 2);
    QCOMPARE(m_panel->Label(IDC_PS_RESUNIT)->text(), QStringLiteral("deg/PP"));

    Pick(encoder, QStringLiteral("Round"));
    QCOMPARE(m_app->TakeMessages().value(0), m_app->Text("IDS_STRING_SETTINGOK"));
    QVERIFY(c.GetEncoderStyle(0).startsWith(QLatin1Char('R')));

    // Back to linear: the encoder becomes linear as well.
    Pick(m_panel->Combo(IDC_PS_STAGESTYLE), QStringLiteral("Linear"));
    QCOMPARE(m_app->TakeMessages().value(0), m_app->Text("IDS_STRING_SETTINGOK"));
    QCOMPARE(c.GetAxisStyle(0), static_cast<std::int16_t>(0));
    QVERIFY(c.GetEncoderStyle(0).startsWith(QLatin1Char('L')));
    QCOMPARE(encoder->count(), 1);
    QCOMPARE(encoder->currentText(), QStringLiteral("Linear"));
    QCOMPARE(m_panel->Label(IDC_PS_RESUNIT)->text(), QStringLiteral("um/PP"));
}

void TestParamSet::listWritesWithDeviceClosedFailAndReRead_data() {
    QTest::addColumn<int>("id");
    QTest::addColumn<QString>("choice");
    QTest::newRow("work state") << IDC_PS_WORKSTATE << "Close";
    QTest::newRow("limit switching") << IDC_PS_LIMITABLE << "Enable";
    QTest::newRow("encoder") << IDC_PS_ENCODER << "Linear";
    QTest::newRow("stage type") << IDC_PS_STAGESTYLE << "Rotate";
}

void TestParamSet::listWritesWithDeviceClosedFailAndReRead() {
    QFETCH(int, id);
    QFETCH(QString, choice);

    QComboBox* list = m_panel->Combo(id);
    const QString before = list->currentText();
    m_app->View()->OnComportClose();
    QVERIFY(m_app->Settle());
    m_app->TakeMessages();

    Pick(list, choice);
    QCOMPARE(m_app->TakeMessages(), QStringList{m_app->Text("IDS_STRING_SETTINGERR")});
    QCOMPARE(list->currentText(), before);
}

void TestParamSet::nonNumericEntrySendsNothing() {
    QLineEdit* pitch = m_panel->Edit(IDC_PS_PITCH);
    ArmRefusal();
    pitch->setText(QStringLiteral("2,5"));
    Leave(pitch);
    QCOMPARE(m_app->TakeMessages(), QStringList{QStringLiteral("Please enter a number.")});
    QVERIFY2(RefusalStillPending(), "a command was sent");

    m_panel->Edit(IDC_PS_DRIVERAT)->setText(QStringLiteral("99999999999"));
    Leave(m_panel->Edit(IDC_PS_DRIVERAT));
    QCOMPARE(
        m_app->TakeMessages(),
        QStringList{QStringLiteral("Please enter an integer between -2147483648 and 2147483647.")});
    // The refused text stays for the operator to correct.
    QCOMPARE(m_panel->Edit(IDC_PS_PITCH)->text(), QStringLiteral("2,5"));
}

void TestParamSet::reloadWithDeviceClosedIsNotReportedAsRead() {
    m_app->View()->OnComportClose();
    QVERIFY(m_app->Settle());
    m_app->TakeMessages();
    m_panel->PushButton(IDC_PS_RELOAD)->click();
    QVERIFY(m_app->Settle());
    QCOMPARE(m_app->TakeMessages(), QStringList{m_app->Text("IDS_STRING_GETTINGERR")});
    QVERIFY(m_panel->PushButton(IDC_PS_RELOAD)->isEnabled());
    QVERIFY(m_panel->Label(IDC_PS_STATUS)->text().isEmpty());
}

void TestParamSet::factorySettingsRestoreDefaults() {
    QLineEdit* speed = m_panel->Edit(IDC_PS_SPEED);
    const QString factory = speed->text();
    speed->setText(QStringLiteral("33"));
    Leave(speed);
    m_app->TakeMessages();
    QCOMPARE(m_app->Control().GetSpeed(0), 33.0f);

    m_panel->PushButton(IDC_PS_FACTORY)->click();
    QVERIFY(!m_panel->PushButton(IDC_PS_RELOAD)->isEnabled());
    QVERIFY(!m_panel->PushButton(IDC_PS_FACTORY)->isEnabled());
    // The axis choice waits too: the reload that follows is for this axis.
    for (int id : {IDC_PS_RADIO_X, IDC_PS_RADIO_Y, IDC_PS_RADIO_Z, IDC_PS_RADIO_T})
        QVERIFY(!FindControl(m_panel, id)->isEnabled());
    QVERIFY(m_panel->Progress()->isVisible());
    QCOMPARE(m_panel->Label(IDC_PS_STATUS)->text(), m_app->Text("IDC_STATIC_READING"));
    QVERIFY(AppFixture::WaitFor([&] { return !m_panel->FactoryResetPending(); }, 8000));
    QVERIFY(m_app->Settle());
    QCOMPARE(m_app->TakeMessages(), QStringList{m_app->Text("IDS_STRING_GETTINGOK")});
    QCOMPARE(speed->text(), factory);
    QVERIFY(m_panel->PushButton(IDC_PS_RELOAD)->isEnabled());
    QVERIFY(FindControl(m_panel, IDC_PS_RADIO_Y)->isEnabled());
    QVERIFY(!m_panel->Progress()->isVisible());
}

void TestParamSet::enterMovesOnAndCommitsTheField() {
    QWidget* window = m_panel->window();
    QApplication::setActiveWindow(window);
    QVERIFY(QTest::qWaitForWindowActive(window));
    QLineEdit* home = m_panel->Edit(IDC_PS_HOMESPEED);
    home->setFocus(Qt::MouseFocusReason);
    QVERIFY(home->hasFocus());
    home->setText(QStringLiteral("7.5"));
    QTest::keyClick(home, Qt::Key_Escape);  // swallowed: nothing happens
    QVERIFY(home->hasFocus());
    QVERIFY(m_app->TakeMessages().isEmpty());

    QTest::keyClick(home, Qt::Key_Return);
    QVERIFY(!home->hasFocus());
    QVERIFY(m_app->Settle());
    QCOMPARE(m_app->TakeMessages(), QStringList{m_app->Text("IDS_STRING_SETTINGOK")});
    QCOMPARE(m_app->Control().GetHomeSpeed(0), 7.5f);
}

void TestParamSet::listWritesReloadOnlyWhereTheyChangeOtherValues() {
    // The limit switches change no other value: confirmed, no reload.
    Pick(m_panel->Combo(IDC_PS_LIMITABLE), QStringLiteral("Enable"));
    QCOMPARE(m_app->TakeMessages(), QStringList{m_app->Text("IDS_STRING_SETTINGOK")});
    QVERIFY(!m_app->Control().GetLimitAble(0));
    // The work state does reload.
    Pick(m_panel->Combo(IDC_PS_WORKSTATE), QStringLiteral("Close"));
    QCOMPARE(m_app->TakeMessages(), (QStringList{m_app->Text("IDS_STRING_SETTINGOK"),
                                                 m_app->Text("IDS_STRING_GETTINGOK")}));
}

QTEST_MAIN(TestParamSet)
#include "test_app_paramset.moc"
