#pragma once
// "Communication Select" (template 138): the serial port or the USB device
// the control opens next. Every "COM n" shows the device path it maps to.
#include <QDialog>

class QCheckBox;
class QComboBox;

namespace stagedesk {

class CKORVAKT3002;
class CKT300Doc;

class CCommSelectDlg : public QDialog {
    Q_OBJECT
  public:
    static constexpr int kPorts = 20;

    CCommSelectDlg(CKORVAKT3002* control, const CKT300Doc* doc, QWidget* parent);

    // "COM n  (/dev/...)" for port n (1-based).
    static QString PortText(int port);

    QCheckBox* SerialCheck() const { return m_pSerialCheck; }
    QCheckBox* UsbCheck() const { return m_pUsbCheck; }
    QComboBox* PortList() const { return m_pPortList; }
    QComboBox* UsbList() const { return m_pUsbList; }

    void accept() override;

  protected:
    void keyPressEvent(QKeyEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

  private:
    void OnSerialToggled();
    void OnUsbToggled();

    CKORVAKT3002* m_pCtrl;
    QCheckBox* m_pSerialCheck = nullptr;
    QCheckBox* m_pUsbCheck = nullptr;
    QComboBox* m_pPortList = nullptr;
    QComboBox* m_pUsbList = nullptr;
};

}  // namespace stagedesk
