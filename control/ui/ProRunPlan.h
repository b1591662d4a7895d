#pragma once
// The plan editor (template 206, "RunPlan"): a grid of motion steps composed
// with six step dialogs, saved to and loaded from plan files, and run from
// the PC through the control's motion methods on a worker thread. It is the
// fourth page of the parameter sheet and, inside CPlanRunWindow, the window of
// ShowPlanRunWindow.
#include <QDialog>
#include <QString>
#include <QWidget>
#include <array>
#include <atomic>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "PlanRunner.h"
#include "PlanSteps.h"

class CKORVAKT3002Ctrl;
class QComboBox;
class QLabel;
class QLineEdit;
class QProgressBar;
class QPushButton;
class QTabWidget;

namespace korva {
class CGridWidget;
}

namespace korva::ui {

class CPlanStepDlg;

class CProRunPlan : public QWidget {
    Q_OBJECT
  public:
    static constexpr int kTemplate = 206;
    // Controls of template 206.
    static constexpr int IDC_PROGRESS = 254;
    static constexpr int IDC_GRID = 257;
    static constexpr int IDC_TOTAL_LABEL = 264;
    static constexpr int IDC_TOTAL = 265;
    static constexpr int IDC_INSERT = 268;
    static constexpr int IDC_DELETE = 269;
    static constexpr int IDC_UPDATE = 270;
    static constexpr int IDC_IMPORT = 271;
    static constexpr int IDC_EXPORT = 272;
    static constexpr int IDC_RUN = 273;
    static constexpr int IDC_STOP = 274;
    static constexpr int IDC_TAB = 282;
    static constexpr int IDC_MODE_LABEL = 283;
    static constexpr int IDC_MODE = 284;

    static constexpr int kGridColumns = 17;  // the step number and the 16 cells
    static constexpr int kTotalMax = 10000000;
    // The header used when the language file offers none with 17 columns.
    static QString DefaultGridFormat();

    explicit CProRunPlan(CKORVAKT3002Ctrl* control, QWidget* parent = nullptr);
    ~CProRunPlan() override;  // a run still going is stopped and waited for

    // Where the run's motion calls go; nullptr: the control. Not during a run.
    void SetMotion(PlanMotion* motion);

    // The caption from the language file ("RunPlan" when it has none).
    QString Caption() const { return m_strCaption; }

    // The buttons' and the grid's actions.
    void OnInsert();
    void OnUpdate();
    void OnDelete();
    void OnRun();
    void OnStop();
    void OnImport();  // asks for a file, then ImportFile
    void OnExport();  // asks for a file, then ExportFile
    void OnRunModeChanged(int kind);
    void OnGridClick(int row);

    // Plan files of 16 cells per row. Import replaces the grid only when the
    // file was read; both report failures in a message box.
    bool ImportFile(const QString& path);
    bool ExportFile(const QString& path);

    bool IsRunning() const { return m_bRunning.load(); }
    // True when the window may close now. During a run a stop is requested
    // instead and runFinished() follows once the run has ended.
    bool PrepareToClose();

    // State and widgets, for the sheet, the window and tests.
    int Kind() const { return m_nKind; }
    const PlanStep& Step() const { return m_step; }
    int TotalCount() const { return m_nTotal; }
    korva::CGridWidget* Grid() const { return m_pGrid; }
    QPushButton* Button(int controlId) const;
    QLineEdit* TotalEdit() const { return m_pTotal; }
    QComboBox* RunModeList() const { return m_pRunMode; }
    QTabWidget* Tabs() const { return m_pTabs; }
    CPlanStepDlg* StepDialog(int kind) const;
    QProgressBar* Progress() const { return m_pProgress; }
    QLabel* Status() const { return m_pStatus; }

  signals:
    void runFinished();

  private:
    void CreateControls();
    bool ReadTotal();
    bool TakeStep();
    void WriteRow(int row);
    void Renumber();
    std::vector<std::string> RowCells(int row) const;
    void SetRunning(bool running);
    void RunMain(std::vector<std::vector<std::string>> rows, int total);
    void OnRunEnded(PlanRunResult result);

    CKORVAKT3002Ctrl* m_pControl;
    std::unique_ptr<ControlPlanMotion> m_controlMotion;
    PlanMotion* m_pMotion = nullptr;
    QString m_strCaption;

    int m_nKind = 0;
    int m_nTotal = 1;
    PlanStep m_step;

    QProgressBar* m_pProgress = nullptr;
    korva::CGridWidget* m_pGrid = nullptr;
    QLineEdit* m_pTotal = nullptr;
    QComboBox* m_pRunMode = nullptr;
    QTabWidget* m_pTabs = nullptr;
    QLabel* m_pStatus = nullptr;
    std::array<CPlanStepDlg*, kStepKinds> m_pStepDlg{};

    StopSignal m_stop;
    std::atomic<bool> m_bRunning{false};
    std::thread m_runThread;
    // Stop sends the stop to the axes from here: on a controller that does
    // not answer, the stop's own reply would otherwise hold the window.
    std::thread m_stopThread;
    std::atomic<bool> m_bStopSent{true};
};

// The editor as a window of its own (ShowPlanRunWindow). Closing it during a
// run stops the run and closes once the run has ended.
class CPlanRunWindow : public QDialog {
    Q_OBJECT
  public:
    explicit CPlanRunWindow(CKORVAKT3002Ctrl* control, QWidget* parent = nullptr);
    CProRunPlan* Page() const { return m_pPage; }
    void done(int result) override;

  private:
    CProRunPlan* m_pPage;
    std::optional<int> m_pendingResult;
};

}  // namespace korva::ui
