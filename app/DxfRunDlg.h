#pragma once
// The DXF panel (template 149): a drawing opened through the drawing library
// and shown in its area (drag to pan, wheel to zoom), imported as a path
// ordered nearest first, previewed, and run as interpolated lines and arcs of
// X and Y. The run thread issues the calls; after each the plan panel's
// completion wait polls X and Y until they stand still. The shell creates the
// panel with the view, gives it the fourth tab and stops it at shutdown.
#include <QDialog>
#include <QFrame>
#include <QString>
#include <QWidget>
#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "CompletionWaiter.h"
#include "DxfJob.h"
#include "DxfPath.h"
#include "DxfRun.h"

class QLabel;
class QProgressBar;
class QPushButton;

namespace stagedesk {

class CKT300View;
class CKT300Doc;

namespace dxf {
class CCadIO;
}

// What a DXF run needs of the control: the job's calls and, for the
// completion wait, Stop and GetPosition; for the time estimate, X's speed,
// acceleration and deceleration (false when they cannot be read).
class DxfControl : public dxf::JobControl, public plan::AxisPoller {
  public:
    virtual bool ReadDynamics(dxf::AxisDynamics* dynamics) = 0;
};

// Template 150: loading progress, modeless. The bar (1155) runs 0..100; the
// label (1156) shows "%d%c" with the percent sign, 100 as it is and other
// values modulo 100, rewritten only when its text changes.
class CDxfProgressDlg : public QDialog {
  public:
    static constexpr int IDD = 150;
    static constexpr int IDC_BAR = 1155;
    static constexpr int IDC_PERCENT = 1156;

    explicit CDxfProgressDlg(QWidget* parent);
    void SetPos(int position);
    QProgressBar* Bar() const { return m_pBar; }
    QLabel* Percent() const { return m_pPercent; }
    // Texts written to the label so far (each change once).
    int LabelWrites() const { return m_nLabelWrites; }

  private:
    QProgressBar* m_pBar;
    QLabel* m_pPercent;
    int m_nLabelWrites = 0;
};

// Control 1154: the black frame the drawing library paints in.
class CDrawingArea : public QFrame {
  public:
    CDrawingArea(dxf::CCadIO& cad, QWidget* parent);
    bool Dragging() const { return m_bDragging; }

  protected:
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void wheelEvent(QWheelEvent* event) override;

  private:
    dxf::CCadIO& m_cad;
    bool m_bDragging = false;
    QPoint m_last;
};

// Control 1183: the preview of the imported path. The canvas centre is the
// origin; axis lines of 200 pixels are labelled X, Y and Z; elements are drawn
// at the preview's scale (one pixel per drawing unit at first), travel lines
// dashed, and the last reported position marked.
class CPathPreview : public QWidget {
  public:
    explicit CPathPreview(QWidget* parent);
    void SetPath(const std::vector<dxf::PathElement>* path);
    // Where the drawing lands on the table: the preview shows the axes'
    // coordinates, the origin being the axes' origin.
    void SetPlacement(const dxf::Placement& placement);
    const dxf::Placement& GetPlacement() const { return m_placement; }
    // Elements before `done` are drawn as done, `current` as in progress (-1:
    // none).
    void SetProgress(int done, int current);
    int Done() const { return m_nDone; }
    // X and Y in the axes' coordinates.
    void SetPosition(double x, double y);
    double Scale() const { return m_dScale; }
    void SetScale(double pixelsPerUnit);
    // The scale and centre that show the whole path.
    void Fit();

  protected:
    void paintEvent(QPaintEvent* event) override;

  private:
    const std::vector<dxf::PathElement>* m_pPath = nullptr;
    dxf::Placement m_placement;
    int m_nDone = 0, m_nCurrent = -1;
    double m_dScale = 1.0;
    double m_dCentreX = 0, m_dCentreY = 0;  // drawing point at the canvas centre
    bool m_bHasPosition = false;
    double m_dX = 0, m_dY = 0;
};

class CDxfRunDlg : public QWidget {
    Q_OBJECT
  public:
    // Controls of template 149.
    static constexpr int IDC_DRAWING = 1154;
    static constexpr int IDC_OPEN = 1079;
    static constexpr int IDC_IMPORT = 1080;
    static constexpr int IDC_RUN = 1082;
    static constexpr int IDC_STOP = 1085;
    static constexpr int IDC_X_LABEL = 1176;
    static constexpr int IDC_Y_LABEL = 1177;
    static constexpr int IDC_X_POSITION = 1167;
    static constexpr int IDC_Y_POSITION = 1169;
    static constexpr int IDC_PREVIEW = 1183;
    static constexpr int IDC_PREVIEW_TOOLS = 1184;
    // The job's choices and its progress.
    static constexpr int IDC_PAUSE = 1086;
    static constexpr int IDC_JOB = 1300;
    static constexpr int IDC_SCALE = 1301;
    static constexpr int IDC_OFFSET_X = 1302;
    static constexpr int IDC_OFFSET_Y = 1303;
    static constexpr int IDC_START_HERE = 1304;
    static constexpr int IDC_DRAW_SPEED = 1305;
    static constexpr int IDC_TRAVEL_SPEED = 1306;
    static constexpr int IDC_TOOL_BIT = 1307;
    static constexpr int IDC_TOOL_ON = 1308;
    static constexpr int IDC_TOOL_OFF = 1309;
    static constexpr int IDC_ARC_CCW = 1310;
    static constexpr int IDC_PROGRESS = 1311;
    // The drawing library's messages to the panel: records, and (to the
    // progress dialog) the loading progress.
    static constexpr unsigned kRecordMessage = 1025;

    // The shell's panel on the view's control.
    CDxfRunDlg(CKT300View* view, QWidget* parent);
    // A panel on any control (tests, other hosts).
    CDxfRunDlg(DxfControl* control, QWidget* parent, plan::CompletionTiming timing = {});
    ~CDxfRunDlg() override;

    // Dialog texts of template 149.
    void ApplyLanguage(const CKT300Doc& doc);
    // Ends the panel's threads and waits for them (shutdown): the stop flag is
    // set, so X and Y get Stop. Idempotent; no run starts afterwards.
    void StopThreads();

    // The operator's actions.
    void OnOpen();  // asks for a file, then OpenFile
    bool OpenFile(const QString& path);
    void OnImport();
    void OnRun();
    void OnStop();
    void OnPause();  // pauses a run, or resumes a paused one
    bool IsPaused() const { return m_nPause.load() != 0; }

    // The job's choices as the fields hold them; false with the reason when a
    // field cannot be used. `startHere` tells whether the offset is to be the
    // axes' position when the run starts.
    bool JobOptionsOf(dxf::JobOptions* options, bool* startHere, QString* error) const;
    // Fields from options (and the profile's copy).
    void SetJobOptions(const dxf::JobOptions& options, bool startHere);
    QLabel* Progress() const { return m_pProgressLabel; }
    // The last run's end (for the status line and tests).
    const dxf::JobEnd& LastEnd() const { return m_lastEnd; }

    // For the shell (one motion at a time across panels, Stop all, leaving):
    // whether a run is in progress; StopRun (after Stop all, which has sent
    // the stop) ends it with the tool off and sends no stop of its own (from
    // the GUI thread; the run thread makes the calls; without a view it is
    // OnStop). SetStartBlocked with a reason disables starting a run and shows
    // the reason on the run controls' tooltips; an empty reason allows it.
    void StopRun();
    void SetStartBlocked(const QString& reason);
    QString StartBlockedReason() const { return m_startBlocked; }

  signals:
    void RunStarted();
    void RunFinished();

  public:
    // State and widgets, for the shell and tests.
    dxf::CCadIO& Cad() { return *m_cad; }
    bool Imported() const { return m_bImported; }
    const std::vector<dxf::PathElement>& Path() const { return m_path; }
    bool IsRunning() const { return m_bRunning.load(); }
    CDrawingArea* DrawingArea() const { return m_pArea; }
    CPathPreview* Preview() const { return m_pPreview; }
    QPushButton* Button(int controlId) const;
    QLabel* PositionLabel(int axis) const;
    QLabel* Status() const { return m_pStatus; }
    // Called with the progress dialog while a file loads (tests look at it).
    void SetProgressObserver(std::function<void(CDxfProgressDlg&, int)> observer) {
        m_progressObserver = std::move(observer);
    }

  private:
    void Init(plan::CompletionTiming timing);
    void CreateControls();
    void ShowPositions(const plan::AxisPositions& positions);
    void OnRunEnded(const dxf::JobEnd& end);
    void UpdateRunControls();
    void CreateJobControls();
    void OnMove(std::size_t step, std::size_t move, int element);
    void UpdateSummary();
    void ReadDynamicsLater();
    void OnDynamics(const dxf::AxisDynamics& dynamics, bool ok);
    // The decelerating stop of X and Y through the control, unless it has
    // been sent (run and completion threads).
    void SendStopOnce();
    void LoadProfile();
    void SaveProfile() const;
    void SetStatus(const QString& text);

    static void OnLibraryMessage(void* context, uint32_t message, intptr_t wParam, intptr_t);
    static void OnLibraryData(void* context, uint32_t message, const void* data, size_t size);

    CKT300View* m_pView = nullptr;
    std::unique_ptr<DxfControl> m_adapter;
    DxfControl* m_pControl = nullptr;
    std::unique_ptr<dxf::CCadIO> m_cad;
    DrwReceiver m_window{};
    dxf::Importer* m_pImporter = nullptr;    // set while drwGetData delivers
    CDxfProgressDlg* m_pProgress = nullptr;  // set while a file loads
    std::function<void(CDxfProgressDlg&, int)> m_progressObserver;

    std::vector<dxf::PathElement> m_path;
    bool m_bImported = false;

    CDrawingArea* m_pArea = nullptr;
    CPathPreview* m_pPreview = nullptr;
    QLabel* m_pPosition[2] = {nullptr, nullptr};
    QLabel* m_pStatus = nullptr;

    QLabel* m_pProgressLabel = nullptr;
    QString m_progressText;  // "Move k of n, about T left"
    QWidget* m_pJob = nullptr;
    dxf::JobEnd m_lastEnd;
    // The running job, as the GUI thread sees it: its steps and the estimate
    // of the seconds left before each.
    std::vector<dxf::JobStep> m_steps;
    std::vector<double> m_remaining;
    dxf::AxisDynamics m_dynamics;
    bool m_bDynamicsKnown = false;
    double m_perMoveSeconds = 0.8;  // the completion wait after each move
    std::thread m_queryThread;
    std::mutex m_queryLock;
    bool m_bQueryBusy = false;   // a dynamics read is in flight
    bool m_bQueryAgain = false;  // asked for again meanwhile

    // Shared with the run thread and the completion thread.
    std::atomic<int> m_nStop{0};
    std::atomic<int> m_nPause{0};
    std::atomic<bool> m_bSlowStopSent{false};
    const std::atomic<int> m_nNoHardStop{0};  // the completion wait never sends Stop
    std::atomic<bool> m_bRunning{false};
    std::unique_ptr<plan::CompletionWaiter> m_waiter;
    std::thread m_runThread;
    bool m_bShutDown = false;
    QString m_startBlocked;
};

}  // namespace stagedesk
