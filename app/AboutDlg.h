#pragma once
// The About box (template 100).
#include <QDialog>

namespace stagedesk {

class CKT300Doc;

class CAboutDlg : public QDialog {
    Q_OBJECT
  public:
    CAboutDlg(const CKT300Doc* doc, QWidget* parent);
};

}  // namespace stagedesk
