// The shell: opening and closing the device, Communication Select, the
// language switch and its texts, and library messages from other threads.
#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QGroupBox>
#include <QLabel>
#include <QMenu>
#include <QSettings>
#include <QTabBar>
#include <QTest>
#include <QTimer>
#include <memory>
#include <thread>

#include "AppFixture.h"
#include "CommSelectDlg.h"
#include "DialogFields.h"
#include "Ini.h"
#include "KORVAKT3002.h"
#include "KT300Doc.h"
#include "KT300View.h"
#include "MainFrm.h"
#include "ParamSetDlg.h"
#include "Resource.h"
#include "SingleRunDlg.h"
#include "UserMessage.h"
#include "UserMessageBridge.h"

using namespace stagedesk;

namespace {

// A text of a shipped language file, read without the program's help.
QString ShippedText(const char* file, const char* key) {
    const std::string path = korva::LanguageDirectory() + file;
    return QString::fromStdString(korva::GetPrivateProfileString("String", key, "", 1000, path));
}

// Runs `act` on the modal dialog that the next call opens.
void OnNextModal(std::function<void(QWidget*)> act) {
    QTimer::singleShot(0, [act] {
        QWidget* modal = nullptr;
        AppFixture::WaitFor([&] { return (modal = QApplication::activeModalWidget()) != nullptr; },
                            5000);
        if (modal != nullptr) act(modal);
    });
}

}  // namespace

class TestShell : public QObject {
    Q_OBJECT
  private slots:
    void init();
    void cleanup();
    void openSucceedsAndTakesUnitLabelsFromX();
    void openFailureShowsFailingTextAndLeavesPanels();
    void libraryMessagesOfTheModuleReachTheProgram();
    void closeReportsCompletion();
    void commSelectShowsDevicePathsAndKeepsKeys();
    void commSelectCancelLeavesDevice();
    void commSelectOkOpensChosenPort();
    void languageSwitchRewritesMenuTabsAndPanels();
    void missingKeyShowsNotFound();
    void noLanguageFileIsReportedAtStart();
    void libraryMessageFromWorkerIsShownOnGuiThread();

  private:
    std::unique_ptr<AppFixture> m_app;
};

void TestShell::init() {
    m_app = std::make_unique<AppFixture>();
    QVERIFY(m_app->Start());
    m_app->TakeMessages();
}

void TestShell::cleanup() {
    m_app.reset();
}

void TestShell::openSucceedsAndTakesUnitLabelsFromX() {
    QVERIFY(m_app->Open());
    QCOMPARE(m_app->TakeMessages(), (QStringList{m_app->Text("IDS_OPEN_EQUIP_SUCCESS"),
                                                 m_app->Text("IDS_STRING_GETTINGOK")}));
    CSingleRunDlg* single = m_app->Single();
    QCOMPARE(single->UnitLabelText(), QStringLiteral("mm"));
    QVERIFY(single->Button(IDC_SR_FORWARD)->isEnabled());
    QCOMPARE(single->CurrentAxis(), 0);

    // X in steps, Y in micrometres: after the next open the labels follow X
    // alone, and Y's code waits for Y to be selected.
    CKORVAKT3002& c = m_app->Control();
    QVERIFY(c.SetUnit(0, 2));
    QVERIFY(c.SetUnit(1, 3));
    m_app->View()->OnComportClose();
    m_app->Settle();
    m_app->TakeMessages();
    QVERIFY(m_app->Open());
    QCOMPARE(single->UnitLabelText(), QStringLiteral("PP"));
    QCOMPARE(single->UnitCode(1), QStringLiteral("u"));
    single->SelectAxis(1);
    m_app->Settle();
    QCOMPARE(single->UnitLabelText(), QStringLiteral("um"));
}

void TestShell::openFailureShowsFailingTextAndLeavesPanels() {
    setenv("KORVA_COM2", (m_app->Dir().path() + "/no-such-tty").toUtf8().constData(), 1);
    m_app->Control().SetComPort(2);
    CSingleRunDlg* single = m_app->Single();
    single->SetStatusText(QStringLiteral("before"));
    QVERIFY(!m_app->OpenAsSet());
    const QStringList messages = m_app->TakeMessages();
    QVERIFY(!messages.isEmpty());
    QCOMPARE(messages.last(), m_app->Text("IDS_OPEN_EQUIP_FAILING"));
    QVERIFY(!messages.contains(m_app->Text("IDS_OPEN_EQUIP_SUCCESS")));
    QVERIFY(!m_app->Control().GetIsOpen());
    QVERIFY(single->Button(IDC_SR_FORWARD)->isEnabled());
    QCOMPARE(FindControlAs<QLabel>(single, IDC_SR_STATUS)->text(), QStringLiteral("before"));
}

void TestShell::libraryMessagesOfTheModuleReachTheProgram() {
    // Not a terminal: the serial channel reports the failed call itself.
    setenv("KORVA_COM3", "/dev/null", 1);
    m_app->Control().SetComPort(3);
    QVERIFY(!m_app->OpenAsSet());
    const QStringList messages = m_app->TakeMessages();
    QCOMPARE(messages.size(), 2);
    QVERIFY2(messages[0].startsWith(QStringLiteral("WARNING:")), qPrintable(messages[0]));
    QVERIFY(messages[0].contains(QStringLiteral("/dev/null")));
    QCOMPARE(messages[1], m_app->Text("IDS_OPEN_EQUIP_FAILING"));
}

void TestShell::closeReportsCompletion() {
    // Closing a closed device is a completed close too.
    m_app->View()->OnComportClose();
    m_app->Settle();
    QCOMPARE(m_app->TakeMessages(), QStringList{m_app->Text("IDS_CLOSE_EQUIP_COMPLETE")});
    QVERIFY(m_app->Open());
    m_app->TakeMessages();
    m_app->View()->OnComportClose();
    m_app->Settle();
    QCOMPARE(m_app->TakeMessages(), QStringList{m_app->Text("IDS_CLOSE_EQUIP_COMPLETE")});
    QVERIFY(!m_app->Control().GetIsOpen());
}

void TestShell::commSelectShowsDevicePathsAndKeepsKeys() {
    CCommSelectDlg dlg(&m_app->Control(), &m_app->Frame().Doc(), &m_app->Frame());
    QCOMPARE(dlg.PortList()->count(), CCommSelectDlg::kPorts);
    QVERIFY(dlg.PortList()->itemText(0).startsWith(QStringLiteral("COM 1 ")));
    QVERIFY(dlg.PortList()->itemText(0).contains(QString::fromStdString(m_app->Sim().SlavePath())));
    QVERIFY(dlg.PortList()->itemText(19).startsWith(QStringLiteral("COM 20 ")));
    QCOMPARE(dlg.PortList()->currentIndex(), 0);
    QVERIFY(dlg.SerialCheck()->isChecked());
    QCOMPARE(dlg.windowTitle(), ShippedText("English.ini", "IDD138_Title"));

    dlg.show();
    QApplication::setActiveWindow(&dlg);
    QVERIFY(QTest::qWaitForWindowActive(&dlg));
    dlg.PortList()->setFocus();
    QTest::keyClick(dlg.PortList(), Qt::Key_Escape);
    QVERIFY(dlg.isVisible());
    QCOMPARE(dlg.result(), 0);
    // Enter moves on instead of pressing OK.
    QTest::keyClick(dlg.PortList(), Qt::Key_Return);
    QVERIFY(dlg.isVisible());
    QVERIFY(dlg.focusWidget() != nullptr);
    QVERIFY(dlg.focusWidget() != dlg.PortList());

    // The USB check box lists the devices found (none here) and switches
    // the control to USB mode; clearing it switches back.
    dlg.UsbCheck()->click();
    QVERIFY(m_app->Control().GetUSBMODE());
    QVERIFY(dlg.UsbList()->isEnabled());
    dlg.UsbCheck()->click();
    QVERIFY(!m_app->Control().GetUSBMODE());
    QVERIFY(!dlg.UsbList()->isEnabled());
}

void TestShell::commSelectCancelLeavesDevice() {
    OnNextModal([](QWidget* dlg) {
        auto* d = qobject_cast<CCommSelectDlg*>(dlg);
        d->PortList()->setCurrentIndex(4);
        d->reject();
    });
    m_app->View()->OnComportOpen();
    m_app->Settle();
    QVERIFY(m_app->TakeMessages().isEmpty());
    QVERIFY(!m_app->Control().GetIsOpen());
    QCOMPARE(m_app->Control().GetComPort(), static_cast<std::int16_t>(1));
}

void TestShell::commSelectOkOpensChosenPort() {
    m_app->Control().SetComPort(7);
    OnNextModal([](QWidget* dlg) {
        auto* d = qobject_cast<CCommSelectDlg*>(dlg);
        QCOMPARE(d->PortList()->currentIndex(), 6);
        d->PortList()->setCurrentIndex(0);
        d->accept();
    });
    m_app->View()->OnComportOpen();
    m_app->Settle();
    QCOMPARE(m_app->Control().GetComPort(), static_cast<std::int16_t>(1));
    QVERIFY(m_app->Control().GetIsOpen());
    QCOMPARE(m_app->TakeMessages().value(0), m_app->Text("IDS_OPEN_EQUIP_SUCCESS"));
}

void TestShell::languageSwitchRewritesMenuTabsAndPanels() {
    CMainFrame& frame = m_app->Frame();
    QVERIFY(frame.Command(ID_LANGUAGE_ENGLISH)->isChecked());
    QCOMPARE(frame.Popup(0)->title(), ShippedText("English.ini", "ID_MENU_FILE1"));

    frame.Command(ID_LANGUAGE_CHINESE)->trigger();
    QCOMPARE(frame.Popup(0)->title(), ShippedText("Chinese.ini", "ID_MENU_FILE1"));
    QCOMPARE(frame.Popup(2)->title(), ShippedText("Chinese.ini", "ID_MENU_HELP"));
    QCOMPARE(frame.LanguageMenu()->title(), ShippedText("Chinese.ini", "ID_MENU_LANGUAGE"));
    QCOMPARE(frame.Command(ID_COMPORT_OPEN)->text(), ShippedText("Chinese.ini", "ID_COMPORT_OPEN"));
    QVERIFY(frame.Command(ID_LANGUAGE_CHINESE)->isChecked());
    QVERIFY(!frame.Command(ID_LANGUAGE_ENGLISH)->isChecked());
    QTabBar* tabs = m_app->View()->TabBar();
    QCOMPARE(tabs->count(), static_cast<int>(CKT300View::kPanels));
    QCOMPARE(tabs->tabText(0), ShippedText("Chinese.ini", "IDS_SINGLERUN"));
    QCOMPARE(tabs->tabText(3), ShippedText("Chinese.ini", "IDS_DXFRUN"));
    auto* group = qobject_cast<QGroupBox*>(FindControl(m_app->Single(), IDC_SR_RELGROUP));
    QCOMPARE(group->title(), ShippedText("Chinese.ini", "IDD157_1220"));
    QCOMPARE(QSettings().value(QStringLiteral("setting/Language")).toInt(), 1);

    // Choosing the selected language again rewrites the same texts.
    frame.Command(ID_LANGUAGE_CHINESE)->trigger();
    QCOMPARE(tabs->count(), static_cast<int>(CKT300View::kPanels));
    QCOMPARE(frame.Popup(0)->title(), ShippedText("Chinese.ini", "ID_MENU_FILE1"));

    // The profile keeps the choice for the next start.
    {
        CMainFrame second;
        QCOMPARE(second.View()->LanguageIndex(), 1);
    }
    frame.Command(ID_LANGUAGE_ENGLISH)->trigger();
    QCOMPARE(frame.Popup(0)->title(), ShippedText("English.ini", "ID_MENU_FILE1"));
    QCOMPARE(group->title(), ShippedText("English.ini", "IDD157_1220"));
    QCOMPARE(QSettings().value(QStringLiteral("setting/Language")).toInt(), 0);
}

void TestShell::missingKeyShowsNotFound() {
    // An English file without two keys, in a folder of its own.
    const QString dir = m_app->Dir().path() + "/Language";
    QVERIFY(QDir().mkpath(dir));
    QFile in(QString::fromStdString(korva::LanguageDirectory()) + "English.ini");
    QVERIFY(in.open(QIODevice::ReadOnly));
    QByteArray kept;
    for (const QByteArray& line : in.readAll().split('\n')) {
        if (line.startsWith("ID_COMPORT_CLOSE=") || line.startsWith("IDS_CLOSE_EQUIP_COMPLETE=")) {
            continue;
        }
        kept += line + '\n';
    }
    QFile out(dir + "/English.ini");
    QVERIFY(out.open(QIODevice::WriteOnly));
    out.write(kept);
    out.close();
    m_app->Frame().Doc().Language().SetLanguageDirectory(dir.toStdString());
    m_app->View()->SwitchLanguage(0);
    m_app->Settle();

    QCOMPARE(m_app->Frame().Command(ID_COMPORT_CLOSE)->text(), QStringLiteral("Not found"));
    QCOMPARE(m_app->Frame().Command(ID_COMPORT_OPEN)->text(),
             ShippedText("English.ini", "ID_COMPORT_OPEN"));
    m_app->View()->OnComportClose();
    m_app->Settle();
    QCOMPARE(m_app->TakeMessages(), QStringList{QStringLiteral("Not found")});
}

void TestShell::noLanguageFileIsReportedAtStart() {
    const QString empty = m_app->Dir().path() + "/NoLanguage";
    QVERIFY(QDir().mkpath(empty));
    CMainFrame frame;
    frame.Doc().Language().SetLanguageDirectory(empty.toStdString());
    frame.Doc().Language().SetSettingsFile((m_app->Dir().path() + "/other.ini").toStdString());
    const QString tab0 = frame.View()->TabBar()->tabText(0);
    frame.Initialize();
    QCOMPARE(m_app->TakeMessages(), QStringList{QStringLiteral("Load language resource failure!")});
    // The program runs on with the texts it has; lookups say "Not found".
    QCOMPARE(frame.View()->TabBar()->tabText(0), tab0);
    QCOMPARE(frame.Doc().GetText("IDS_SINGLERUN"), QStringLiteral("Not found"));
    QCOMPARE(frame.View()->TabBar()->count(), static_cast<int>(CKT300View::kPanels));
}

void TestShell::libraryMessageFromWorkerIsShownOnGuiThread() {
    // A message from another thread waits until the box was shown...
    std::atomic<bool> returned{false};
    std::thread reporter([&] {
        korva::ShowUserMessage("port gone", "Application Error");
        returned = true;
    });
    AppFixture::Pump(100);
    QVERIFY(AppFixture::WaitFor([&] { return returned.load(); }));
    reporter.join();
    QCOMPARE(m_app->TakeMessages(), QStringList{QStringLiteral("port gone")});

    // ...but never while the GUI thread waits for that thread: the box
    // follows once the GUI thread runs its events again.
    std::thread blocked([] { korva::ShowUserMessage("while joining", "Application Error"); });
    {
        GuiBlockingScope joining;
        blocked.join();
    }
    QStringList later;
    QVERIFY(AppFixture::WaitFor([&] {
        later += m_app->TakeMessages();
        return !later.isEmpty();
    }));
    QCOMPARE(later, QStringList{QStringLiteral("while joining")});
}

QTEST_MAIN(TestShell)
#include "test_app_shell.moc"
