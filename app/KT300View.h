#pragma once
// The form view: the tab strip, the four panels and the one hidden control
// through which every device operation goes. Opening and closing the device
// and the language switch live here.
#include <QDeadlineTimer>
#include <QString>
#include <QTimer>
#include <QWidget>
#include <array>
#include <atomic>
#include <functional>
#include <memory>
#include <string>

#include "DeviceWorker.h"
#include "KORVAKT3002.h"
#include "StopLine.h"

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
    // Every control call the window's thread needs goes through here.
    CDeviceWorker& Worker() { return *m_worker; }
    // The device as the last open/close left it (the window never asks the
    // control itself: that call could wait behind an exchange).
    bool DeviceOpen() const { return m_bDeviceOpen; }
    // Pumps events until every request posted to the worker has been
    // answered and no stop is pending (tests, the screenshot run).
    bool WaitIdle(int timeoutMs = 30000);

    // --- Stop all ---
    // Ends every running activity (single-axis motion, plan run, DXF run,
    // queued requests) and sends the stop to every axis ahead of the queue:
    // immediate (one STOPALL line) or decelerating (StopSlow of each axis).
    void StopAll(bool slow);
    CStopLine& StopLine() { return *m_stopLine; }
    // Counts Stop all presses: a request that would start a motion checks
    // that it has not changed since the operator asked (any thread).
    unsigned StopEpoch() const { return m_nStopEpoch.load(); }

    // --- one motion at a time ---
    // A panel reports its motion; while one runs, the others cannot start.
    void MotionStarted(int panel);
    void MotionEnded(int panel);
    // The panel whose motion runs, or -1.
    int MotionOwner() const { return m_nMotionOwner; }
    // Why a panel may not start a motion now (empty: it may).
    QString StartBlockedReason(int panel) const;

    // --- what the operator sees ---
    QString ConnectionText() const { return m_strConnection; }
    QString LastFailureText() const { return m_strLastFailure; }
    // A call that failed: its name, the control's error code and its text.
    void ReportFailure(const QString& call, int code);
    static QString ErrorCodeText(int code);
    // The four axes' last known positions and unit texts.
    QString ReadoutText() const;
    void SetReadout(int axis, double position);
    // Reads the four positions once (after a move; while moving on a timer).
    void RequestReadout();

    // --- leaving safely ---
    // If anything moves: decelerating stop of every axis, wait (bounded)
    // until the axes stand, a message if they do not; then then().
    void LeaveSafely(const std::function<void()>& then);
    bool Leaving() const { return m_bLeaving; }
    static constexpr int kStandStillLimitMs = 5000;
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
    // Connection, last failure or interlock changed (the status bar).
    void statusChanged();
    // New positions for the readout.
    void readoutChanged();

  private:
    void OnTabChanged(int index);
    void AfterOpen(bool opened);
    void ReadUnits();
    void UpdateInterlock();
    void CloseDevice();
    void DoSwitchLanguage(int index);
    void FinishLeaving(const std::function<void()>& then, QDeadlineTimer deadline);
    void RebuildTabs(bool reduced);
    static QString LanguageName(int index);

    CKT300Doc* m_pDoc;
    CKORVAKT3002 m_Ctrl;
    std::unique_ptr<CDeviceWorker> m_worker;
    std::unique_ptr<CStopLine> m_stopLine;
    bool m_bDeviceOpen = false;
    int m_nMotionOwner = -1;
    QString m_strConnection;
    QString m_strLastFailure;
    std::array<double, 4> m_readout{};
    bool m_bReadoutPending = false;
    QTimer m_readoutTimer;
    bool m_bLeaving = false;
    std::atomic<unsigned> m_nStopEpoch{0};
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
