#pragma once
#include <QDialog>
#include <QIcon>

namespace usbfifo {

// The program's icon, drawn (no image files to ship).
QIcon AppIcon();

// "About UsbFifo" (the title in the current language): the icon, "UsbFifo
// V1.1" and OK.
class CAboutDlg : public QDialog {
    Q_OBJECT
  public:
    explicit CAboutDlg(QWidget* parent = nullptr,
                       const QString& title = QStringLiteral("About UsbFifo"));
};

}  // namespace usbfifo
