#pragma once
// The plan run panel (template 141). The shell creates it with the view,
// hands it the grid header text on every language change and stops it at
// shutdown; the panel's controls and its run threads live here.
#include <QString>
#include <QWidget>

namespace stagedesk {

class CKT300View;
class CKT300Doc;

class CPlanRunDlg : public QWidget {
    Q_OBJECT
  public:
    CPlanRunDlg(CKT300View* view, QWidget* parent);
    ~CPlanRunDlg() override;

    // Dialog texts of template 141.
    void ApplyLanguage(const CKT300Doc& doc);
    // The grid's header format text (language key "IDS_INIT_GRID").
    void SetGridHeaderFormat(const QString& format);
    QString GridHeaderFormat() const { return m_strGridHeader; }
    // Ends the panel's threads and waits for them (shutdown). Idempotent.
    void StopThreads();

  private:
    CKT300View* m_pView;
    QString m_strGridHeader;
};

}  // namespace stagedesk
