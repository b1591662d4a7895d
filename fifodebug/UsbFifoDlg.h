#pragma once
// The UsbFifo dialog: lists the attached USB FIFO devices, opens one by serial
// number, writes the command line and shows what the device sends back.
//
// Threads: everything runs on the GUI thread except the device interface's
// notification thread, which hands "bytes waiting" to OnUsbReceive through a
// NotifyBridge and waits until it has run.
#include <QDialog>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "NotifyBridge.h"
#include "UsbDiagnosis.h"
#include "UsbFifoBinding.h"
#include "UsbFifoTexts.h"

class QAction;
class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QGroupBox;
class QMenu;
class QPlainTextEdit;
class QPushButton;

namespace usbfifo {

class CHistoryComboBox;

class CUsbFifoDlg : public QDialog {
    Q_OBJECT
  public:
    // Shows the English texts until LoadLanguage; a language chosen in the
    // View menu is remembered unless rememberLanguage is false.
    explicit CUsbFifoDlg(QWidget* parent = nullptr, bool rememberLanguage = true);
    ~CUsbFifoDlg() override;

    // The widget carrying this control id, or null.
    QWidget* Control(int id) const;

    // State, for the screenshot run and the tests.
    bool DeviceOpen() const { return m_bDeviceOpen; }
    int DeviceCount() const { return m_DeviceCount; }
    std::int64_t ReceiveCount() const { return m_ReceiveCount; }
    std::int64_t SpentMs() const { return m_SpentMs; }
    double Speed() const { return m_Speed; }
    const std::string& ReceivedText() const { return m_ReceivedText; }
    // What the window says about why no device is listed or an open failed
    // (empty when hidden).
    QString HelpText() const;
    // Whether the notification thread waits for the dialog to take received bytes.
    bool ReceiveWaiting() const { return m_Bridge.Waiting(); }
    QAction* AboutAction() const { return m_aboutAction; }

    // The language files (tests point them elsewhere before loading).
    CUsbFifoTexts& Texts() { return m_Texts; }
    // Selects the remembered language (name empty) or the named one and
    // shows its texts; false when no language file names it (the texts stay).
    bool LoadLanguage(const std::string& name = {});
    // The View menu's choice: selects, shows and remembers a language.
    bool SwitchLanguage(const std::string& name);

  private:
    void CreateControls();
    void ApplyTexts();
    void UpdateLanguageChecks();
    QString T(const TextKey& key) const;
    void UpdateData(bool saveAndValidate);
    void ShowCounters();
    void EnableDeviceList(bool enable);
    void ShowHelp(const std::string& text);
    LibraryState Library() const;

    void OnGetDeviceCount();
    void OnRefreshSerial();
    void OnRefreshDescription();
    void OnOpenDevice();
    void OnCloseDevice();
    void OnWriteData();
    void OnClear();
    void OnAbout();
    // The notification message: `wParam` bytes were waiting when it was sent.
    void OnUsbReceive(unsigned long wParam, long lParam);

    // Dialog data, moved to and from the controls by UpdateData.
    int m_DeviceCount = 0;
    std::string m_SerialText;
    int m_DeviceIndex = -1;
    std::string m_DescriptionText;
    std::int32_t m_Position = 0;
    std::string m_ReceivedText;
    bool m_bAddEnter = false;
    std::int64_t m_ReceiveCount = 0;
    bool m_bCharMode = true;
    bool m_bSendEnter = true;
    std::int64_t m_SpentMs = 0;
    double m_Speed = 0.0;
    bool m_bShowData = true;
    QString m_CommandText;
    bool m_bDeviceOpen = false;
    // Monotonic: the elapsed time must not run backwards or jump with the wall clock.
    std::chrono::steady_clock::time_point m_WriteTime = std::chrono::steady_clock::now();
    bool m_bLibraryLoaded = false;
    bool m_bReceivedAfterCr = false;  // display state of the received-data box
    CUsbFifoTexts m_Texts;

    // The bridge outlives the device interface: the notification thread may
    // call it until the interface has closed.
    NotifyBridge m_Bridge;
    UsbFifoBinding m_Usb;

    QPushButton* m_getCount = nullptr;
    QLineEdit* m_countEdit = nullptr;
    QComboBox* m_indexList = nullptr;
    QPushButton* m_getSerial = nullptr;
    QLineEdit* m_serialEdit = nullptr;
    QPushButton* m_getDescription = nullptr;
    QLineEdit* m_descriptionEdit = nullptr;
    QPushButton* m_getPosition = nullptr;
    QLineEdit* m_positionEdit = nullptr;
    QPushButton* m_openButton = nullptr;
    QPushButton* m_closeButton = nullptr;
    CHistoryComboBox* m_command = nullptr;
    QPlainTextEdit* m_received = nullptr;
    QCheckBox* m_sendEnter = nullptr;
    QPushButton* m_writeButton = nullptr;
    QPushButton* m_readButton = nullptr;
    QLineEdit* m_receiveCountEdit = nullptr;
    QCheckBox* m_showData = nullptr;
    QCheckBox* m_addEnter = nullptr;
    QCheckBox* m_charMode = nullptr;
    QLineEdit* m_spentEdit = nullptr;
    QLineEdit* m_speedEdit = nullptr;
    QPushButton* m_clearButton = nullptr;
    QLabel* m_help = nullptr;
    QAction* m_aboutAction = nullptr;
    QAction* m_closeAction = nullptr;
    QMenu* m_systemMenu = nullptr;
    QMenu* m_viewMenu = nullptr;
    QMenu* m_languageMenu = nullptr;
    std::vector<QAction*> m_languageActions;
    QGroupBox* m_devices = nullptr;
    QLabel* m_countLabel = nullptr;
    QLabel* m_spentLabel = nullptr;
    QLabel* m_speedLabel = nullptr;
};

}  // namespace usbfifo
