#pragma once
// The frame: menu, tool bar, status bar and the form view. It owns the
// document (the language file) and the view.
#include <QMainWindow>
#include <map>
#include <memory>
#include <string>

#include "KT300Doc.h"

class QAction;
class QLabel;
class QMenu;

namespace stagedesk {

class CKT300View;

class CMainFrame : public QMainWindow {
    Q_OBJECT
  public:
    CMainFrame();
    ~CMainFrame() override;

    // Creates the control and runs the view's initial update. A control
    // module that cannot be loaded is reported; the program runs on without it.
    void Initialize();

    CKT300View* View() const { return m_pView; }
    CKT300Doc& Doc() { return m_Doc; }
    // A menu command by its command id (nullptr when unknown).
    QAction* Command(int id) const;
    // The popups of the menu bar by position; the language sub-popup.
    QMenu* Popup(int position) const;
    QMenu* LanguageMenu() const { return m_pLanguageMenu; }

    void OnAppAbout();

    // Stop all: the immediate stop (button and shortcut) and the
    // decelerating stop (second action).
    QAction* StopAllAction() const { return m_pStopAll; }
    QAction* StopAllSlowAction() const { return m_pStopAllSlow; }
    static constexpr const char* kStopAllShortcut = "F12";
    QLabel* ReadoutLabel() const { return m_pReadout; }
    QLabel* ConnectionLabel() const { return m_pConnection; }
    QLabel* FailureLabel() const { return m_pFailure; }

  protected:
    void closeEvent(QCloseEvent* event) override;

  private:
    void CreateMenu();
    void ApplyMenuTexts();
    void UpdateLanguageChecks();
    void UpdateStatus();
    bool eventFilter(QObject* watched, QEvent* event) override;
    QAction* AddCommand(QMenu* menu, int id, const char* text);

    CKT300Doc m_Doc;
    CKT300View* m_pView = nullptr;
    std::map<int, QAction*> m_commands;
    QMenu* m_pPopup[3] = {nullptr, nullptr, nullptr};
    QMenu* m_pLanguageMenu = nullptr;
    QAction* m_pStopAll = nullptr;
    QAction* m_pStopAllSlow = nullptr;
    QLabel* m_pReadout = nullptr;
    QLabel* m_pConnection = nullptr;
    QLabel* m_pFailure = nullptr;
    bool m_bCloseAllowed = false;
};

}  // namespace stagedesk
