#pragma once
// The single-axis run panel (template 157): relative, absolute and continuous
// moves, three homings, stop and slow stop, and setting the coordinate of one
// axis at a time. While an axis moves a monitor thread polls its position
// and stop flag and sends the stop commands the operator asks for; the other
// tabs are hidden until the motion ends.
#include <QString>
#include <QWidget>
#include <array>
#include <atomic>
#include <functional>
#include <list>
#include <memory>
#include <string>
#include <thread>

class QAbstractButton;
class QButtonGroup;
class QLabel;
class QLineEdit;
class QPushButton;
class QRadioButton;

namespace stagedesk {

class CKT300View;
class CKT300Doc;
class CKORVAKT3002;

class CSingleRunDlg : public QWidget {
    Q_OBJECT
  public:
    static constexpr int kAxes = 4;

    CSingleRunDlg(CKT300View* view, QWidget* parent);
    ~CSingleRunDlg() override;

    void ApplyLanguage(const CKT300Doc& doc);

    // The radio handlers: select an axis (0 X .. 3 T).
    void SelectAxis(int axis);
    int CurrentAxis() const { return m_nAxis.load(); }

    // Button states.
    void SetIdleState();
    void SetBusyState();
    void DisableAll();

    // Unit labels from a unit index (0 deg, 1 mm, 2 PP, 3 um); other values
    // change nothing.
    void SetUnitLabels(int unitIndex);
    // The unit code ("d", "m", "s", "u") of an axis, kept for axis changes.
    void SetUnitCode(int axis, const QString& code);
    QString UnitCode(int axis) const;
    // Index of a unit code, -1 for an unknown code.
    static int UnitIndexOfCode(const QString& code);

    void SetStatusText(const QString& text);
    // A position read elsewhere (the readout): shown when the axis is the
    // current one and no monitor thread shows it already.
    void ShowPosition(int axis, double position);

    // Ends every monitor thread and waits for it (shutdown). Idempotent.
    void StopMonitoring();
    // Stop all: every motion counts as ended now (the stop itself goes out
    // on the view's stop line); the panel returns to idle.
    void EndAllMotion();
    // Another panel's motion runs: the motion buttons stay disabled with the
    // reason on their tooltip (empty: allowed).
    void SetStartBlocked(const QString& reason);
    QString StartBlocked() const { return m_strBlocked; }

    // State, for the shell and for tests.
    bool IsRunning(int axis) const { return m_nRunning[axis].load() != 0; }
    bool IsMonitoring(int axis) const { return m_nMonitoring[axis].load() != 0; }
    bool HasMonitorThreads() const;
    QString PositionText() const;
    QString UnitLabelText() const;

    // The buttons, by control id (tests press them like the operator).
    QAbstractButton* Button(int controlId) const;
    QLineEdit* Edit(int controlId) const;

  protected:
    void mousePressEvent(QMouseEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

  private:
    enum class Motion { Forward, Back, Run, ContForward, ContBack, HomeLimit, HomeOptical, Origin };

    void CreateControls();
    void StartMotion(Motion motion);
    void RequestStop(bool slow);
    void SetCoordinate();
    void Refresh();  // the refresh message: bound controls from the state
    void SetMotionButtons(bool motionEnabled, bool stopEnabled, bool othersEnabled);
    void StartMonitorThread();
    void ReapFinishedThreads();

    struct Worker;
    void MonitorMain(Worker* self);
    // Runs fn on the GUI thread and waits until it has run; does nothing once
    // shutdown has begun.
    void SendToGui(const std::function<void()>& fn);

    CKORVAKT3002& Control() const;

    CKT300View* m_pView;
    QButtonGroup* m_pAxisGroup = nullptr;
    std::array<QRadioButton*, kAxes> m_pRadio{};
    QLineEdit* m_pPositionEdit = nullptr;
    QLineEdit* m_pDistanceEdit = nullptr;
    QLineEdit* m_pTargetEdit = nullptr;
    std::array<QLabel*, 3> m_pUnitLabel{};
    QLabel* m_pStatus = nullptr;
    QPushButton* m_pSetCoord = nullptr;

    // Panel state (the bound values).
    std::atomic<int> m_nAxis{0};
    std::atomic<float> m_fPosition{0.0f};
    float m_fDistance = 0.0f;
    float m_fTarget = 0.0f;
    std::array<QString, kAxes> m_strUnitCode;

    // Shared with the monitor threads.
    std::array<std::atomic<int>, kAxes> m_nStopRequest{};
    std::array<std::atomic<int>, kAxes> m_nStopSlowRequest{};
    std::array<std::atomic<int>, kAxes> m_nRunning{};
    std::array<std::atomic<int>, kAxes> m_nMonitoring{};
    std::atomic<bool> m_bShuttingDown{false};

    struct Worker {
        std::thread thread;
        std::atomic<bool> finished{false};
    };
    std::list<std::unique_ptr<Worker>> m_workers;  // GUI thread only
    bool m_bSettingCoordinate = false;
    bool m_bBusy = false;
    int m_nStarts = 0;  // motions started: an older standstill test is stale  // busy state shown
                        // (motion buttons off, stops on)
    QString m_strBlocked;
};

}  // namespace stagedesk
