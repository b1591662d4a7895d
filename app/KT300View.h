#pragma once
// The form view: the tab strip, the four panels and the one hidden control
// through which every device operation goes. Opening and closing the device
// and the language switch live here.
#include <QString>
#include <QWidget>
#include <array>
#include <string>

#include "KORVAKT3002.h"

class QTabBar;

namespace stagedesk {

class CKT300Doc;
class CSingleRunDlg;
class CParamSetDlg;
class CPlanRunDlg;
class CDxfRunDlg;

class CKT300View : public QWidget {
    Q_OBJECT
  public:
    enum Panel { kSingleRun = 0, kParamSet = 1, kPlanRun = 2, kDxfRun = 3, kPanels = 4 };

    CKT300View(CKT300Doc* doc, QWidget* parent);
    ~CKT300View() override;

    // Creates the control (hidden, as a child of the view). False with the
    // reason in *error; the program then runs without a device.
    bool CreateControl(std::string* error);
    // Loads the language file and applies the profile's language; shows the
    // single-axis panel.
    void OnInitialUpdate();
    // Stops the panels' threads and closes the control. Idempotent.
    void Shutdown();

    CKORVAKT3002& Control() { return m_Ctrl; }
    CKT300Doc& Doc() { return *m_pDoc; }
    QString GetText(const char* key) const;

    CSingleRunDlg* SingleRun() const { return m_pSingleRun; }
    CParamSetDlg* ParamSet() const { return m_pParamSet; }
    CPlanRunDlg* PlanRun() const { return m_pPlanRun; }
    CDxfRunDlg* DxfRun() const { return m_pDxfRun; }
    QTabBar* TabBar() const { return m_pTab; }
    QWidget* PanelAt(int index) const;
    // The panel shown now.
    int CurrentPanel() const { return m_nCurrentPanel; }

    // While an axis moves only the single-axis tab is offered.
    void ReduceTabs();
    void RestoreTabs();
    bool TabsReduced() const { return m_bTabsReduced; }
    // What selecting a tab does: show its panel, hide the others.
    void ShowPanel(int index);

    // Language: 0 English, 1 Chinese (any other value: "Default").
    int LanguageIndex() const { return m_nLanguage; }
    void SwitchLanguage(int index);
    void ApplyLanguage();

    // Menu commands.
    void OnComportOpen();  // Communication Select, then OpenDevice
    bool OpenDevice();     // the open sequence with the properties as they are
    void OnComportClose();

  signals:
    // The language file changed: the menu bar takes its texts again.
    void languageApplied();

  private:
    void OnTabChanged(int index);
    void RebuildTabs(bool reduced);
    static QString LanguageName(int index);

    CKT300Doc* m_pDoc;
    CKORVAKT3002 m_Ctrl;
    QTabBar* m_pTab = nullptr;
    CSingleRunDlg* m_pSingleRun = nullptr;
    CParamSetDlg* m_pParamSet = nullptr;
    CPlanRunDlg* m_pPlanRun = nullptr;
    CDxfRunDlg* m_pDxfRun = nullptr;
    int m_nLanguage = 0;
    int m_nCurrentPanel = kSingleRun;
    bool m_bTabsReduced = false;
    bool m_bRebuildingTabs = false;
    bool m_bShutDown = false;
};

}  // namespace stagedesk
