#pragma once
// The DXF panel (template 149): a drawing turned into motion of X and Y. The
// shell creates it with the view, gives it the fourth tab and stops it at
// shutdown; the panel's controls and its run threads live here.
#include <QWidget>

namespace stagedesk {

class CKT300View;
class CKT300Doc;

class CDxfRunDlg : public QWidget {
    Q_OBJECT
  public:
    CDxfRunDlg(CKT300View* view, QWidget* parent);
    ~CDxfRunDlg() override;

    // Dialog texts of template 149.
    void ApplyLanguage(const CKT300Doc& doc);
    // Ends the panel's threads and waits for them (shutdown). Idempotent.
    void StopThreads();

  private:
    CKT300View* m_pView;
};

}  // namespace stagedesk
