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
#include <thread>
#include <vector>

#include "CompletionWaiter.h"
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

// What a DXF run needs of the control: the motion calls and, for the
// completion wait, Stop and GetPosition.
class DxfControl : public dxf::MotionControl, public plan::AxisPoller {};

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
    void SetPosition(double x, double y);
    double Scale() const { return m_dScale; }
    void SetScale(double pixelsPerUnit);
    // The scale and centre that show the whole path.
    void Fit();

  protected:
    void paintEvent(QPaintEvent* event) override;

  private:
    const std::vector<dxf::PathElement>* m_pPath = nullptr;
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
    // The shell's interlock and Stop all: end the run; block starting one
    // (empty reason: allowed).
    void StopRun();
    void SetStartBlocked(const QString& reason);

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

  signals:
    void RunStarted();
    void RunFinished();

  private:
    void Init(plan::CompletionTiming timing);
    void CreateControls();
    void ShowPositions(const plan::AxisPositions& positions);
    void OnRunEnded();
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

    // Shared with the run thread and the completion thread.
    std::atomic<int> m_nStop{0};
    std::atomic<bool> m_bRunning{false};
    std::unique_ptr<plan::CompletionWaiter> m_waiter;
    std::thread m_runThread;
    bool m_bShutDown = false;
    QString m_strStartBlocked;
};

}  // namespace stagedesk
