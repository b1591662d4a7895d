#pragma once
// The parameter sheet "KT300 Properties": Base, Position and Run Parameters
// and the plan editor, each bound to the control. A page is built the first
// time its tab is shown. The sheet has OK and Cancel only: the pages act
// through their own buttons, so there is never anything to apply.
#include <QDialog>
#include <array>
#include <optional>

class CKORVAKT3002Ctrl;
class QTabWidget;

namespace korva::ui {

class CParamPage;
class CProRunPlan;

class CSettingDlg : public QDialog {
    Q_OBJECT
  public:
    static constexpr int kPages = 4;

    explicit CSettingDlg(CKORVAKT3002Ctrl* control, QWidget* parent = nullptr);

    // The first tab's title for a language name ("English", case-sensitive,
    // gives the English title).
    static QString BaseTitle(const std::string& language);

    QTabWidget* Tabs() const { return m_pTabs; }
    // The pages built so far (nullptr until first shown).
    CParamPage* ParamPage(int index) const;
    CProRunPlan* PlanPage() const { return m_pPlan; }
    // Shows tab index, building its page when needed.
    void ShowPage(int index);

    // Closing during a plan run stops the run and closes when it has ended.
    void done(int result) override;

  private:
    void EnsurePage(int index);

    CKORVAKT3002Ctrl* m_pControl;
    int m_nSharedAxis = 0;
    QTabWidget* m_pTabs;
    std::array<QWidget*, kPages> m_pHolder{};
    std::array<CParamPage*, 3> m_pParam{};
    CProRunPlan* m_pPlan = nullptr;
    std::optional<int> m_pendingResult;
};

}  // namespace korva::ui
