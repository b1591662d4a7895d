// UsbFifo's texts: the shipped language files against the keys the tool looks
// up, and the View menu's language choice in a running dialog (captions,
// menus, message boxes, the about box, remembered in the settings file).
#include <QAction>
#include <QGroupBox>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>
#include <set>

#include "FifoTestUtil.h"
#include "Ini.h"
#include "UsbFifoTexts.h"

using namespace usbfifo;
using fifotest::Harness;

namespace {

const std::string kLanguageDir = KORVA_LANGUAGE_SOURCE_DIR;

// Keys of section [String] as they stand in a file.
std::set<std::string> StringKeys(const std::string& path) {
    std::set<std::string> keys;
    QFile file(QString::fromStdString(path));
    if (!file.open(QIODevice::ReadOnly)) return keys;
    bool inString = false;
    for (const QByteArray& raw : file.readAll().split('\n')) {
        const std::string line = raw.trimmed().toStdString();
        if (!line.empty() && line[0] == '[') {
            inString = line == "[String]";
            continue;
        }
        const auto eq = line.find('=');
        if (inString && eq != std::string::npos && line[0] != ';') keys.insert(line.substr(0, eq));
    }
    return keys;
}

QAction* LanguageAction(CUsbFifoDlg& dlg, const QString& name) {
    for (QAction* a : dlg.findChildren<QAction*>())
        if (a->isCheckable() && a->data().toString() == name) return a;
    return nullptr;
}

}  // namespace

class LanguageTest : public QObject {
    Q_OBJECT
  private:
    QTemporaryDir m_dir;

    // The dialog reads the source tree's files and keeps its choice in a
    // scratch settings file.
    void PointAtFiles(CUsbFifoDlg& dlg, const std::string& languageDir = kLanguageDir) {
        dlg.Texts().File().SetLanguageDirectory(languageDir);
        dlg.Texts().File().SetSettingsFile(Settings());
    }
    std::string Settings() const { return m_dir.filePath("usbfifo.ini").toStdString(); }

  private slots:
    void initTestCase() {
        QVERIFY(m_dir.isValid());
        // No driver library: the texts do not depend on a device.
        setenv("KORVA_FTD2XX", "/nonexistent/libftd2xx.so", 1);
    }
    void cleanup() { QFile::remove(QString::fromStdString(Settings())); }

    void shippedFilesHoldEveryKey_data() {
        QTest::addColumn<QString>("file");
        QTest::addColumn<QString>("language");
        QTest::newRow("English") << "UsbFifo_English.ini"
                                 << "English";
        QTest::newRow("Chinese") << "UsbFifo_Chinese.ini"
                                 << "Chinese";
    }
    void shippedFilesHoldEveryKey() {
        QFETCH(QString, file);
        QFETCH(QString, language);
        const std::string path = kLanguageDir + "/" + file.toStdString();
        QCOMPARE(korva::GetPrivateProfileString("UsbFifo", "Language", "", 100, path),
                 language.toStdString());
        // Only UsbFifo's naming section: stagedesk and the control never pick it.
        for (const char* other : {"Setting", "KT300OCXSetting"})
            QCOMPARE(korva::GetPrivateProfileString(other, "Language", "", 100, path),
                     std::string());
        std::set<std::string> looked;
        for (const TextKey& t : AllTextKeys()) {
            looked.insert(t.key);
            const std::string value =
                korva::GetPrivateProfileString("String", t.key, "\x01", 1000, path);
            QVERIFY2(value != "\x01" && !value.empty(), t.key);
            // The English file says what the built-in texts say.
            if (language == "English") QCOMPARE(value, std::string(t.english));
        }
        for (const std::string& key : StringKeys(path))
            QVERIFY2(looked.count(key) != 0, ("nobody looks up " + key).c_str());
    }

    void viewMenuSwitchesAndRemembers() {
        Harness h;
        PointAtFiles(*h.dlg);
        QVERIFY(h.dlg->LoadLanguage());  // nothing remembered yet: English
        QCOMPARE(qobject_cast<QAbstractButton*>(h.Control(IDC_OPEN_DEVICE))->text(),
                 QStringLiteral("Open Device"));
        QAction* chinese = LanguageAction(*h.dlg, QStringLiteral("Chinese"));
        QAction* english = LanguageAction(*h.dlg, QStringLiteral("English"));
        QVERIFY(chinese != nullptr && english != nullptr);
        QVERIFY(english->isChecked());

        chinese->trigger();
        QVERIFY(chinese->isChecked() && !english->isChecked());
        const std::pair<int, const char*> captions[] = {{IDC_GET_DEVICE_COUNT, "获取设备数"},
                                                        {IDC_OPEN_DEVICE, "打开设备"},
                                                        {IDC_WRITE_DATA, "写数据"},
                                                        {IDC_CHAR_MODE, "字符/ASC"},
                                                        {IDC_CLEAR, "清除"}};
        for (const auto& [id, caption] : captions)
            QCOMPARE(qobject_cast<QAbstractButton*>(h.Control(id))->text(),
                     QString::fromUtf8(caption));
        QCOMPARE(h.dlg->findChild<QGroupBox*>()->title(), QStringLiteral("设备"));
        QCOMPARE(h.dlg->AboutAction()->text(), QStringLiteral("关于 UsbFifo(&A)..."));
        QCOMPARE(chinese->text(), QStringLiteral("中文"));
        QCOMPARE(h.dlg->findChild<QMenuBar*>()->actions().at(1)->text(),
                 QStringLiteral("查看(&V)"));

        // Message boxes and the about box follow.
        h.SetText(IDC_SERIAL, QString());
        h.Click(IDC_OPEN_DEVICE);
        QCOMPARE(h.messages.value(0), QStringLiteral("打开设备失败。"));
        QString title;
        QTimer::singleShot(0, [&] {
            auto* box = qobject_cast<QDialog*>(QApplication::activeModalWidget());
            QVERIFY(box != nullptr);
            title = box->windowTitle();
            box->accept();
        });
        h.dlg->AboutAction()->trigger();
        QCOMPARE(title, QStringLiteral("关于 UsbFifo"));

        // Remembered: the next start comes up in Chinese.
        QCOMPARE(korva::GetPrivateProfileString("UsbFifo", "Language", "", 100, Settings()),
                 std::string("Chinese"));
        {
            CUsbFifoDlg next;
            PointAtFiles(next);
            QVERIFY(next.LoadLanguage());
            QCOMPARE(qobject_cast<QAbstractButton*>(next.Control(IDC_OPEN_DEVICE))->text(),
                     QStringLiteral("打开设备"));
        }

        english->trigger();
        QCOMPARE(qobject_cast<QAbstractButton*>(h.Control(IDC_OPEN_DEVICE))->text(),
                 QStringLiteral("Open Device"));
        QCOMPARE(h.dlg->AboutAction()->text(), QStringLiteral("About UsbFifo(&A)..."));
        QCOMPARE(korva::GetPrivateProfileString("UsbFifo", "Language", "", 100, Settings()),
                 std::string("English"));
    }

    void unknownLanguageOrNoFolderKeepsTexts() {
        Harness h;
        PointAtFiles(*h.dlg);
        QVERIFY(h.dlg->LoadLanguage("Chinese"));
        QVERIFY(!h.dlg->SwitchLanguage("Klingon"));
        QCOMPARE(qobject_cast<QAbstractButton*>(h.Control(IDC_OPEN_DEVICE))->text(),
                 QStringLiteral("打开设备"));
        QCOMPARE(h.dlg->Texts().Name(), std::string("Chinese"));
        // The failed choice does not replace the remembered one.
        QCOMPARE(korva::GetPrivateProfileString("UsbFifo", "Language", "", 100, Settings()),
                 std::string("Chinese"));

        // Without the Language folder the tool still speaks English.
        CUsbFifoDlg bare;
        PointAtFiles(bare, m_dir.filePath("no-such-folder").toStdString());
        QVERIFY(!bare.LoadLanguage());
        QCOMPARE(qobject_cast<QAbstractButton*>(bare.Control(IDC_WRITE_DATA))->text(),
                 QStringLiteral("Write Data"));
        QCOMPARE(bare.AboutAction()->text(), QStringLiteral("About UsbFifo(&A)..."));
    }
};

QTEST_MAIN(LanguageTest)
#include "test_fifodebug_language.moc"
