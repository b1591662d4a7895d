#pragma once
// The control's about box: its icon, the name and version, and OK.
#include <QDialog>

namespace korva::ui {

class CAboutDlg : public QDialog {
    Q_OBJECT
  public:
    static constexpr int kDialogId = 1;  // dialog resource 1
    explicit CAboutDlg(QWidget* parent = nullptr);
};

}  // namespace korva::ui
