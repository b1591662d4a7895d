#include "CommSelectDlg.h"

#include <QAbstractItemView>
#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QKeyEvent>
#include <QLabel>
#include <QPushButton>
#include <algorithm>

#include "DialogFields.h"
#include "KORVAKT3002.h"
#include "KT300Doc.h"
#include "PortMap.h"
#include "Resource.h"

namespace stagedesk {

QString CCommSelectDlg::PortText(int port) {
    return QStringLiteral("COM %1  (%2)")
        .arg(port)
        .arg(QString::fromStdString(korva::PortDevicePath(static_cast<unsigned>(port))));
}

CCommSelectDlg::CCommSelectDlg(CKORVAKT3002* control, const CKT300Doc* doc, QWidget* parent)
    : QDialog(parent), m_pCtrl(control) {
    setWindowTitle(QStringLiteral("Communication Select"));
    setFixedSize(420, 230);

    MakeControl<QGroupBox>(this, IDC_COMM_GROUP, QRect(12, 10, 396, 160),
                           QString::fromUtf8("通信端口"));
    m_pSerialCheck = MakeControl<QCheckBox>(this, IDC_COMM_SERIALCHECK, QRect(28, 42, 20, 24));
    MakeControl<QLabel>(this, IDC_COMM_SERIALLABEL, QRect(50, 42, 80, 24),
                        QString::fromUtf8("串口"));
    m_pPortList = MakeControl<QComboBox>(this, IDC_COMM_PORTLIST, QRect(140, 40, 250, 28));
    for (int port = 1; port <= kPorts; ++port) m_pPortList->addItem(PortText(port));
    m_pUsbCheck = MakeControl<QCheckBox>(this, IDC_COMM_USBCHECK, QRect(28, 86, 20, 24));
    MakeControl<QLabel>(this, IDC_COMM_USBLABEL, QRect(50, 86, 80, 24), QStringLiteral("USB"));
    m_pUsbList = MakeControl<QComboBox>(this, IDC_COMM_USBLIST, QRect(140, 84, 250, 28));
    auto* idLabel =
        MakeControl<QLabel>(this, IDC_COMM_IDLABEL, QRect(28, 130, 80, 24), QStringLiteral("ID"));
    auto* idList = MakeControl<QComboBox>(this, IDC_COMM_IDLIST, QRect(140, 128, 80, 28));
    idList->addItems({"1", "2", "3", "4", "5"});
    idLabel->hide();
    idList->hide();
    auto* ok =
        MakeControl<QPushButton>(this, IDOK, QRect(196, 186, 100, 30), QString::fromUtf8("确定"));
    auto* cancel = MakeControl<QPushButton>(this, IDCANCEL, QRect(308, 186, 100, 30),
                                            QString::fromUtf8("取消"));
    ok->setAutoDefault(false);
    cancel->setAutoDefault(false);
    connect(ok, &QPushButton::clicked, this, &QDialog::accept);
    connect(cancel, &QPushButton::clicked, this, &QDialog::reject);
    connect(m_pSerialCheck, &QCheckBox::clicked, this, [this] { OnSerialToggled(); });
    connect(m_pUsbCheck, &QCheckBox::clicked, this, [this] { OnUsbToggled(); });

    // Start from what the control will open: its port and its mode.
    const bool usb = m_pCtrl->GetUSBMODE();
    const int port = std::clamp<int>(m_pCtrl->GetComPort(), 1, kPorts);
    m_pPortList->setCurrentIndex(port - 1);
    m_pSerialCheck->setChecked(!usb);
    m_pPortList->setEnabled(!usb);
    m_pUsbCheck->setChecked(usb);
    m_pUsbList->setEnabled(usb);
    if (usb) {
        const QString serial = m_pCtrl->GetUSBSerials();
        if (!serial.isEmpty()) m_pUsbList->addItem(serial);
    }

    for (QWidget* w : findChildren<QWidget*>()) w->installEventFilter(this);
    if (doc != nullptr) doc->ApplyDialogTexts(this, IDD_COMMSELECT);
}

void CCommSelectDlg::OnSerialToggled() {
    if (m_pSerialCheck->isChecked()) {
        m_pUsbList->setEnabled(false);
        m_pPortList->setEnabled(true);
        m_pCtrl->SetUSBMODE(false);
    } else {
        m_pPortList->setEnabled(false);
        m_pCtrl->SetUSBMODE(true);
    }
}

void CCommSelectDlg::OnUsbToggled() {
    // Each search lists the devices present now, not those of earlier ones.
    m_pUsbList->clear();
    const std::int32_t count = m_pCtrl->SearchKorvaUSBDevice();
    for (std::int32_t i = 0; i < count; ++i) m_pUsbList->addItem(m_pCtrl->GetKorvaUSBSerial(i));
    if (m_pUsbCheck->isChecked()) {
        m_pUsbList->setCurrentIndex(m_pUsbList->count() > 0 ? 0 : -1);
        m_pUsbList->setEnabled(true);
        m_pCtrl->SetUSBMODE(true);
        m_pCtrl->SetUSBSerials(m_pUsbList->currentText());
    } else {
        m_pCtrl->SetUSBMODE(false);
        m_pUsbList->setEnabled(false);
    }
}

void CCommSelectDlg::accept() {
    m_pCtrl->SetComPort(static_cast<std::int16_t>(m_pPortList->currentIndex() + 1));
    // The device chosen in the list is the one opened, not only the first.
    if (m_pUsbCheck->isChecked() && m_pUsbList->currentIndex() >= 0) {
        m_pCtrl->SetUSBSerials(m_pUsbList->currentText());
    }
    QDialog::accept();
}

void CCommSelectDlg::keyPressEvent(QKeyEvent* event) {
    if (event->key() == Qt::Key_Escape) return;  // the dialog stays open
    QDialog::keyPressEvent(event);
}

bool CCommSelectDlg::eventFilter(QObject* watched, QEvent* event) {
    auto* watchedWidget = qobject_cast<QWidget*>(watched);
    // Drop-down lists are windows of their own and keep their keys.
    if (event->type() == QEvent::KeyPress && watchedWidget != nullptr &&
        watchedWidget->window() == this) {
        auto* key = static_cast<QKeyEvent*>(event);
        if (key->key() == Qt::Key_Escape) return true;
        if (key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter) {
            auto* w = qobject_cast<QWidget*>(watched);
            const int id = w != nullptr ? ControlId(w) : 0;
            // On OK and Cancel Enter presses the button; elsewhere it moves on.
            if (id == IDOK) {
                accept();
                return true;
            }
            if (id == IDCANCEL) {
                reject();
                return true;
            }
            auto* combo = qobject_cast<QComboBox*>(watched);
            if (combo != nullptr && combo->view() != nullptr && combo->view()->isVisible()) {
                return false;
            }
            MoveFocusToNext(w);
            return true;
        }
    }
    return QDialog::eventFilter(watched, event);
}

}  // namespace stagedesk
