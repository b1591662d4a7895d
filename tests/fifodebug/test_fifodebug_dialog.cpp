// The UsbFifo dialog against the simulated USB devices (the simulator D2XX
// library, two simulated controllers "KT0001" and "KT0002").
#include <QAction>
#include <QComboBox>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTimer>
#include <QtTest>
#include <thread>

#include "AboutDlg.h"
#include "FifoTestUtil.h"

using namespace usbfifo;
using fifotest::Harness;
using fifotest::WaitFor;

namespace {
using SetFault = int (*)(const char*, const char*);
}

class DialogTest : public QObject {
    Q_OBJECT
  private:
    SetFault m_setFault = nullptr;

    // Lists the devices and opens the first one.
    static void OpenFirst(Harness& h) {
        h.Click(IDC_GET_DEVICE_COUNT);
        h.Click(IDC_OPEN_DEVICE);
        QVERIFY(h.dlg->DeviceOpen());
    }

    // Writes "Hello" and waits for the controller's "OK\r" to be counted.
    static void Hello(Harness& h, std::int64_t replyBytes = 3) {
        h.Write(QStringLiteral("Hello"));
        QVERIFY(WaitFor([&] { return h.dlg->ReceiveCount() >= replyBytes; }));
    }

  private slots:
    void initTestCase() {
        setenv("KORVA_FTD2XX", KORVA_FTD2XX_SIM_PATH, 1);
        unsetenv("KORVA_SIM_USB");
        unsetenv("KORVA_SIM_USB_FAULTS");
        // The binding loads the library with the dialog; the switches live in it.
        Harness h;
        m_setFault = fifotest::Symbol<SetFault>(KORVA_FTD2XX_SIM_PATH, "korva_sim_usb_set_fault");
        QVERIFY(m_setFault != nullptr);
    }

    void cleanup() { m_setFault(nullptr, nullptr); }

    void listsOpensAndExchanges() {
        Harness h;
        h.Click(IDC_GET_DEVICE_COUNT);
        QCOMPARE(h.Text(IDC_DEVICE_COUNT), QStringLiteral("2"));
        auto* index = qobject_cast<QComboBox*>(h.Control(IDC_DEVICE_INDEX));
        QCOMPARE(index->count(), 2);
        QCOMPARE(index->itemText(1), QStringLiteral("1"));
        QCOMPARE(h.Text(IDC_SERIAL), QStringLiteral("KT0001"));
        QCOMPARE(h.Text(IDC_DESCRIPTION), QStringLiteral("KT300 USB"));
        index->setCurrentIndex(1);
        QCOMPARE(h.Text(IDC_SERIAL), QStringLiteral("KT0002"));
        QVERIFY(h.dlg->HelpText().isEmpty());

        h.Click(IDC_OPEN_DEVICE);
        QVERIFY(h.dlg->DeviceOpen());
        QVERIFY(h.ListDisabled());
        QVERIFY(h.Control(IDC_OPEN_DEVICE)->isEnabled());
        QVERIFY(h.Control(IDC_CLOSE_DEVICE)->isEnabled());

        Hello(h);
        QCOMPARE(h.dlg->ReceivedText(), std::string("OK\r"));
        auto* box = qobject_cast<QPlainTextEdit*>(h.Control(IDC_RECEIVED));
        QCOMPARE(box->toPlainText(), QStringLiteral("OK\n"));
        // Counters show at once; the time runs from the start of the write,
        // which pauses 50 ms after sending.
        QCOMPARE(h.Text(IDC_RECEIVE_COUNT), QStringLiteral("3"));
        QVERIFY2(h.dlg->SpentMs() >= 50, qPrintable(QString::number(h.dlg->SpentMs())));
        QCOMPARE(h.Text(IDC_SPENT_MS), QString::number(h.dlg->SpentMs()));
        QCOMPARE(h.dlg->Speed(), 3.0 / static_cast<double>(h.dlg->SpentMs()));

        h.Click(IDC_CLOSE_DEVICE);
        QVERIFY(!h.dlg->DeviceOpen());
        QVERIFY(h.ListEnabled());
        QVERIFY(h.messages.isEmpty());
    }

    void openFailures_data() {
        QTest::addColumn<QString>("serial");
        QTest::addColumn<QString>("why");
        QTest::newRow("empty serial") << QString() << QStringLiteral("serial number box is empty");
        QTest::newRow("unknown serial")
            << QStringLiteral("KT9999") << QStringLiteral("listed now: KT0001, KT0002");
    }
    void openFailures() {
        QFETCH(QString, serial);
        QFETCH(QString, why);
        Harness h;
        h.SetText(IDC_SERIAL, serial);
        h.Click(IDC_OPEN_DEVICE);
        QCOMPARE(h.messages, QStringList{QStringLiteral("Open device failed.")});
        QVERIFY(!h.dlg->DeviceOpen());
        QVERIFY(h.ListEnabled());
        QVERIFY2(h.dlg->HelpText().contains(why), qPrintable(h.dlg->HelpText()));
    }

    void openFaultExplainsSimulator() {
        QCOMPARE(m_setFault("KT0001", "open"), 0);
        Harness h;
        h.Click(IDC_GET_DEVICE_COUNT);
        h.Click(IDC_OPEN_DEVICE);
        QCOMPARE(h.messages, QStringList{QStringLiteral("Open device failed.")});
        QVERIFY(h.ListEnabled());
        QVERIFY2(h.dlg->HelpText().contains(QStringLiteral("KORVA_SIM_USB_FAULTS")),
                 qPrintable(h.dlg->HelpText()));
        // A later success takes the explanation away.
        m_setFault("KT0001", nullptr);
        h.Click(IDC_OPEN_DEVICE);
        QVERIFY(h.dlg->DeviceOpen());
        QVERIFY(h.dlg->HelpText().isEmpty());
    }

    void noDeviceListedExplains_data() {
        QTest::addColumn<QByteArray>("library");
        QTest::addColumn<QByteArray>("devices");
        QTest::addColumn<QString>("why");
        QTest::newRow("no simulated device") << QByteArray(KORVA_FTD2XX_SIM_PATH) << QByteArray("")
                                             << QStringLiteral("KORVA_SIM_USB=\"\"");
        QTest::newRow("library missing")
            << QByteArray("/nonexistent/libftd2xx.so") << QByteArray("KT0001")
            << QStringLiteral("No D2XX driver library could be loaded");
        QTest::newRow("not a D2XX library") << QByteArray("libdl.so.2") << QByteArray("KT0001")
                                            << QStringLiteral("lacks D2XX functions");
    }
    void noDeviceListedExplains() {
        QFETCH(QByteArray, library);
        QFETCH(QByteArray, devices);
        QFETCH(QString, why);
        fifotest::ScopedEnv lib("KORVA_FTD2XX", library.constData());
        fifotest::ScopedEnv sim("KORVA_SIM_USB", devices.constData());
        Harness h;
        h.Click(IDC_GET_DEVICE_COUNT);
        QCOMPARE(h.Text(IDC_DEVICE_COUNT), QStringLiteral("0"));
        QCOMPARE(h.Text(IDC_SERIAL), QStringLiteral(" --- Error ---"));
        QCOMPARE(h.Text(IDC_DESCRIPTION), QStringLiteral(" --- Error ---"));
        QVERIFY2(h.dlg->HelpText().contains(why), qPrintable(h.dlg->HelpText()));
        QVERIFY(h.messages.isEmpty());
        // Every device action fails cleanly afterwards.
        h.Click(IDC_OPEN_DEVICE);
        h.Write(QStringLiteral("Hello"));
        QCOMPARE(h.messages,
                 (QStringList{QStringLiteral("Open device failed."), QStringLiteral("Error!")}));
    }

    void closeFailureKeepsState() {
        Harness h;
        OpenFirst(h);
        QCOMPARE(m_setFault("KT0001", "close"), 0);
        h.Click(IDC_CLOSE_DEVICE);
        QCOMPARE(h.messages, QStringList{QStringLiteral("Close failed.")});
        QVERIFY(h.dlg->DeviceOpen());
        QVERIFY(h.ListDisabled());
        // Still open and still receiving.
        Hello(h);
        QCOMPARE(h.dlg->ReceivedText(), std::string("OK\r"));

        m_setFault("KT0001", nullptr);
        h.Click(IDC_CLOSE_DEVICE);
        QVERIFY(!h.dlg->DeviceOpen());
        QVERIFY(h.ListEnabled());
        QCOMPARE(h.messages.size(), 1);
    }

    void writeFailureShowsError() {
        Harness h;
        OpenFirst(h);
        QCOMPARE(m_setFault("KT0001", "write"), 0);
        h.Write(QStringLiteral("Hello"));
        QCOMPARE(h.messages, QStringList{QStringLiteral("Error!")});
        // The line is kept for another try.
        QCOMPARE(h.Command()->itemText(0), QStringLiteral("Hello"));
        m_setFault("KT0001", nullptr);
        Hello(h);
    }

    void showDataOffStillCounts() {
        Harness h;
        OpenFirst(h);
        h.SetChecked(IDC_SHOW_DATA, false);
        Hello(h);
        fifotest::Settle();
        QCOMPARE(h.dlg->ReceiveCount(), std::int64_t{3});
        QCOMPARE(h.Text(IDC_RECEIVE_COUNT), QStringLiteral("3"));
        QVERIFY(h.dlg->ReceivedText().empty());
        QVERIFY(qobject_cast<QPlainTextEdit*>(h.Control(IDC_RECEIVED))->toPlainText().isEmpty());
        // The next write counts from zero again.
        h.SetChecked(IDC_SHOW_DATA, true);
        Hello(h);
        fifotest::Settle();
        QCOMPARE(h.dlg->ReceiveCount(), std::int64_t{3});
        QCOMPARE(h.dlg->ReceivedText(), std::string("OK\r"));
    }

    void displayModes_data() {
        QTest::addColumn<QByteArray>("reply");
        QTest::addColumn<bool>("charMode");
        QTest::addColumn<bool>("addEnter");
        QTest::addColumn<QByteArray>("shown");
        QTest::newRow("decimal") << QByteArray(
                                        "\xff\x80\x7f"
                                        "A")
                                 << false << false << QByteArray("-1 -128 127 65 ");
        QTest::newRow("decimal, add enter")
            << QByteArray("\xff") << false << true << QByteArray("-1 \r\n");
        QTest::newRow("characters, add enter")
            << QByteArray("OK\r") << true << true << QByteArray("OK\r\r\n");
    }
    void displayModes() {
        QFETCH(QByteArray, reply);
        QFETCH(bool, charMode);
        QFETCH(bool, addEnter);
        QFETCH(QByteArray, shown);
        Harness h;
        OpenFirst(h);
        h.SetChecked(IDC_CHAR_MODE, charMode);
        h.SetChecked(IDC_ADD_ENTER, addEnter);
        QCOMPARE(m_setFault("KT0001", ("reply:" + reply).constData()), 0);
        Hello(h, reply.size());
        fifotest::Settle();
        QCOMPARE(QByteArray::fromStdString(h.dlg->ReceivedText()), shown);
        QCOMPARE(h.dlg->ReceiveCount(), static_cast<std::int64_t>(reply.size()));
    }

    void clearEmptiesTheBox() {
        Harness h;
        OpenFirst(h);
        Hello(h);
        h.Click(IDC_CLEAR);
        QVERIFY(h.dlg->ReceivedText().empty());
        QVERIFY(qobject_cast<QPlainTextEdit*>(h.Control(IDC_RECEIVED))->toPlainText().isEmpty());
        QCOMPARE(h.dlg->ReceiveCount(), std::int64_t{3});  // the count belongs to the write
    }

    // The notification thread waits for the GUI thread to take the reply; the
    // GUI thread then closes, reopens or destroys without running its event
    // loop. None of these may wait for the notification thread forever, and
    // the reply that was waiting still reaches the dialog before the close.
    void closeWhileDeliveryWaits_data() {
        QTest::addColumn<int>("action");
        QTest::newRow("close") << 0;
        QTest::newRow("reopen") << 1;
        QTest::newRow("destroy") << 2;
    }
    void closeWhileDeliveryWaits() {
        QFETCH(int, action);
        Harness h;
        OpenFirst(h);
        h.Write(QStringLiteral("Hello"));  // no events run: the reply waits for the GUI thread
        QVERIFY(fifotest::DeliveryWaits(*h.dlg));
        QVERIFY(h.dlg->ReceivedText().empty());
        const fifotest::Watchdog watchdog("the GUI thread waits for the notification thread",
                                          std::chrono::seconds(20));
        if (action == 0) {
            h.Click(IDC_CLOSE_DEVICE);
            QVERIFY(!h.dlg->DeviceOpen());
            QCOMPARE(h.dlg->ReceivedText(), std::string("OK\r"));
        } else if (action == 1) {
            h.Click(IDC_OPEN_DEVICE);
            QVERIFY(h.dlg->DeviceOpen());
            QCOMPARE(h.dlg->ReceivedText(), std::string("OK\r"));
            Hello(h);
        } else {
            h.dlg.reset();
        }
        QVERIFY(h.messages.isEmpty());
    }

    void controlIdsAndCaptions() {
        Harness h;
        const std::pair<int, const char*> captions[] = {{IDC_GET_DEVICE_COUNT, "Get Device Count"},
                                                        {IDC_GET_SERIAL, "Get Series Number"},
                                                        {IDC_GET_DESCRIPTION, "Get Description"},
                                                        {IDC_GET_POSITION, "Get Position"},
                                                        {IDC_OPEN_DEVICE, "Open Device"},
                                                        {IDC_CLOSE_DEVICE, "Close Device"},
                                                        {IDC_SEND_ENTER, "Enter"},
                                                        {IDC_WRITE_DATA, "Write Data"},
                                                        {IDC_READ_DATA, "Read Data"},
                                                        {IDC_SHOW_DATA, "Show Data"},
                                                        {IDC_ADD_ENTER, "Add Enter"},
                                                        {IDC_CHAR_MODE, "CHAR/ASC"},
                                                        {IDC_CLEAR, "Clear"}};
        for (const auto& [id, caption] : captions) {
            auto* button = qobject_cast<QAbstractButton*>(h.Control(id));
            QVERIFY2(button != nullptr, qPrintable(QString::number(id)));
            QCOMPARE(button->text(), QString::fromLatin1(caption));
        }
        for (int id : {IDC_DEVICE_COUNT, IDC_SERIAL, IDC_DESCRIPTION, IDC_POSITION,
                       IDC_RECEIVE_COUNT, IDC_SPENT_MS, IDC_SPEED})
            QVERIFY2(qobject_cast<QLineEdit*>(h.Control(id)) != nullptr,
                     qPrintable(QString::number(id)));
        QVERIFY(qobject_cast<QComboBox*>(h.Control(IDC_DEVICE_INDEX)) != nullptr);
        QVERIFY(h.Command()->isEditable());
        QVERIFY(qobject_cast<QPlainTextEdit*>(h.Control(IDC_RECEIVED)) != nullptr);
        QVERIFY(qobject_cast<QPushButton*>(h.Control(IDC_WRITE_DATA))->isDefault());
        // Defaults: Enter, Show Data and CHAR/ASC on, Add Enter off.
        QVERIFY(qobject_cast<QCheckBox*>(h.Control(IDC_SEND_ENTER))->isChecked());
        QVERIFY(qobject_cast<QCheckBox*>(h.Control(IDC_SHOW_DATA))->isChecked());
        QVERIFY(qobject_cast<QCheckBox*>(h.Control(IDC_CHAR_MODE))->isChecked());
        QVERIFY(!qobject_cast<QCheckBox*>(h.Control(IDC_ADD_ENTER))->isChecked());
        QCOMPARE(h.dlg->windowTitle(), QStringLiteral("UsbFifo"));
    }

    void aboutBoxFromTheMenus() {
        Harness h;
        QAction* about = h.dlg->AboutAction();
        QVERIFY(about != nullptr);
        QCOMPARE(about->text(), QStringLiteral("About UsbFifo(&A)..."));
        QCOMPARE(about->property("commandId").toInt(), IDM_ABOUTBOX);
        // Reachable from the window's menu and from its context menu.
        QVERIFY(h.dlg->actions().contains(about));
        QCOMPARE(h.dlg->contextMenuPolicy(), Qt::ActionsContextMenu);
        auto* bar = h.dlg->findChild<QMenuBar*>();
        QVERIFY(bar != nullptr);
        QVERIFY(bar->actions().first()->menu()->actions().contains(about));

        QString title;
        QString text;
        QTimer::singleShot(0, [&] {
            auto* box = qobject_cast<QDialog*>(QApplication::activeModalWidget());
            QVERIFY(box != nullptr);
            title = box->windowTitle();
            text = box->findChild<QLabel*>(QStringLiteral("aboutText"))->text();
            box->accept();
        });
        about->trigger();
        QCOMPARE(title, QStringLiteral("About UsbFifo"));
        QCOMPARE(text, QStringLiteral("UsbFifo V1.1"));
    }
};

QTEST_MAIN(DialogTest)
#include "test_fifodebug_dialog.moc"
