#include "DxfRunDlg.h"

#include <QApplication>
#include <QFile>
#include <QFileDialog>
#include <QHBoxLayout>
#include <QLabel>
#include <QMetaObject>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>
#include <QProgressBar>
#include <QPushButton>
#include <QToolButton>
#include <QWheelEvent>
#include <cmath>

#include "AppMessage.h"
#include "CadIOBinding.h"
#include "DialogFields.h"
#include "KT300Doc.h"
#include "KT300View.h"
#include "NumText.h"
#include "Resource.h"
#include "UserMessageBridge.h"

namespace stagedesk {
namespace {

using dxf::PathElement;

// The program's control wrapper as the run and its completion wait see it.
class ViewControl : public DxfControl {
  public:
    explicit ViewControl(CKORVAKT3002& control) : m_control(control) {}
    bool GoOrigion(std::int16_t axis) override { return m_control.GoOrigion(axis); }
    bool GoInterpolationline2(std::int16_t a1, std::int16_t a2, float x, float y) override {
        return m_control.GoInterpolationline2(a1, a2, x, y);
    }
    bool GoInterpolationArc(std::int16_t a1, std::int16_t a2, float tx, float ty, float cx,
                            float cy, std::int16_t d) override {
        return m_control.GoInterpolationArc(a1, a2, tx, ty, cx, cy, d);
    }
    bool Stop(std::int16_t axis) override { return m_control.Stop(axis); }
    double GetPosition(std::int16_t axis) override { return m_control.GetPosition(axis); }

  private:
    CKORVAKT3002& m_control;
};

QString KindName(std::int32_t kind) {
    switch (kind) {
        case DRW_ENT_TEXT:
            return QStringLiteral("text");
        case DRW_ENT_POINT:
            return QStringLiteral("point");
        default:
            return QStringLiteral("kind %1").arg(kind);
    }
}

}  // namespace

// ---------------------------------------------------------------- progress

CDxfProgressDlg::CDxfProgressDlg(QWidget* parent) : QDialog(parent) {
    setWindowTitle(QStringLiteral("Loading"));
    setModal(false);
    setFixedSize(260, 70);
    m_pBar = MakeControl<QProgressBar>(this, IDC_BAR, QRect(10, 12, 190, 20));
    m_pBar->setRange(0, 100);
    m_pBar->setTextVisible(false);
    m_pPercent = MakeControl<QLabel>(this, IDC_PERCENT, QRect(206, 12, 48, 20));
}

void CDxfProgressDlg::SetPos(int position) {
    m_pBar->setValue(std::clamp(position, 0, 100));
    const int shown = position == 100 ? 100 : position % 100;
    const QString text = QString::number(shown) + QLatin1Char('%');
    if (m_pPercent->text() != text) {
        m_pPercent->setText(text);
        ++m_nLabelWrites;
    }
}

// ---------------------------------------------------------------- drawing area

CDrawingArea::CDrawingArea(dxf::CCadIO& cad, QWidget* parent) : QFrame(parent), m_cad(cad) {
    setFrameShape(QFrame::Box);
    setAttribute(Qt::WA_OpaquePaintEvent);
}

void CDrawingArea::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.fillRect(rect(), Qt::black);
    if (m_cad.HasDrawing()) m_cad.Paint(&p);
}

void CDrawingArea::mousePressEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton && event->button() != Qt::RightButton) return;
    grabMouse();
    m_bDragging = true;
    m_last = event->position().toPoint();
}

void CDrawingArea::mouseMoveEvent(QMouseEvent* event) {
    if (!m_bDragging) return;
    const QPoint at = event->position().toPoint();
    const QPoint moved = at - m_last;
    m_last = at;
    DrwViewProperties view{};
    if (!m_cad.GetViewProperties(&view)) return;
    // The view centre moves against the mouse in x and with it in y (the
    // drawing's y points up).
    const double scale = view.zoomLevel * view.pixelsPerUnit;
    if (!(scale > 0)) return;
    view.centerX -= moved.x() / scale;
    view.centerY += moved.y() / scale;
    if (m_cad.SetViewProperties(view)) repaint();
}

void CDrawingArea::mouseReleaseEvent(QMouseEvent* event) {
    if (!m_bDragging) return;
    if (event->buttons() & (Qt::LeftButton | Qt::RightButton)) return;
    m_bDragging = false;
    releaseMouse();
}

void CDrawingArea::wheelEvent(QWheelEvent* event) {
    DrwViewProperties view{};
    if (!m_cad.GetViewProperties(&view)) return;
    const double steps = event->angleDelta().y() / 120.0;
    const double factor = std::pow(1.25, steps);
    const double zoom = view.zoomLevel * factor;
    if (!(zoom > 1e-6 && zoom < 1e9)) return;
    view.zoomLevel = zoom;
    if (m_cad.SetViewProperties(view)) update();
}

// ---------------------------------------------------------------- preview

CPathPreview::CPathPreview(QWidget* parent) : QWidget(parent) {
    setAutoFillBackground(true);
    QPalette pal = palette();
    pal.setColor(QPalette::Window, Qt::white);
    setPalette(pal);
}

void CPathPreview::SetPath(const std::vector<PathElement>* path) {
    m_pPath = path;
    m_dScale = 1.0;
    m_dCentreX = m_dCentreY = 0;
    update();
}

void CPathPreview::SetPosition(double x, double y) {
    m_bHasPosition = true;
    m_dX = x;
    m_dY = y;
    update();
}

void CPathPreview::SetScale(double pixelsPerUnit) {
    if (pixelsPerUnit > 1e-9 && pixelsPerUnit < 1e9) m_dScale = pixelsPerUnit;
    update();
}

void CPathPreview::Fit() {
    double x0 = 0, y0 = 0, x1 = 0, y1 = 0;  // the origin is always in view
    if (m_pPath != nullptr) {
        for (const PathElement& e : *m_pPath) {
            if (e.kind == dxf::kPolyline) continue;
            const double r = (e.kind == dxf::kCircle || e.kind == dxf::kArc) ? e.radius : 0;
            const double cx = r > 0 ? e.centreX : e.startX, cy = r > 0 ? e.centreY : e.startY;
            x0 = std::min({x0, cx - r, e.endX});
            x1 = std::max({x1, cx + r, e.endX});
            y0 = std::min({y0, cy - r, e.endY});
            y1 = std::max({y1, cy + r, e.endY});
        }
    }
    const double w = std::max(x1 - x0, 1e-9), h = std::max(y1 - y0, 1e-9);
    m_dCentreX = (x0 + x1) / 2;
    m_dCentreY = (y0 + y1) / 2;
    SetScale(0.9 * std::min((width() - 20) / w, (height() - 20) / h));
}

void CPathPreview::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing, true);
    const double ox = width() / 2.0 - m_dCentreX * m_dScale;
    const double oy = height() / 2.0 + m_dCentreY * m_dScale;
    auto map = [&](double x, double y) { return QPointF(ox + x * m_dScale, oy - y * m_dScale); };

    // Axis lines of 200 pixels from the origin.
    p.setPen(QPen(Qt::gray, 1));
    const QPointF o(ox, oy);
    p.drawLine(o, o + QPointF(200, 0));
    p.drawLine(o, o + QPointF(0, -200));
    p.drawLine(o, o + QPointF(-120, 120));
    p.drawText(o + QPointF(204, 4), QStringLiteral("X"));
    p.drawText(o + QPointF(-4, -204), QStringLiteral("Y"));
    p.drawText(o + QPointF(-132, 132), QStringLiteral("Z"));
    if (m_pPath == nullptr) return;

    QPen drawn(QColor(0, 0, 160), 1);
    drawn.setCosmetic(true);
    QPen travel(QColor(150, 150, 150), 1, Qt::DashLine);
    travel.setCosmetic(true);
    p.setBrush(Qt::NoBrush);
    for (const PathElement& e : *m_pPath) {
        if (!e.drawn) continue;
        switch (e.kind) {
            case dxf::kLine:
                p.setPen(e.travel ? travel : drawn);
                p.drawLine(map(e.startX, e.startY), map(e.endX, e.endY));
                break;
            case dxf::kCircle: {
                p.setPen(drawn);
                const double r = e.radius * m_dScale;
                p.drawEllipse(map(e.centreX, e.centreY), r, r);
                break;
            }
            case dxf::kArc: {
                p.setPen(drawn);
                const double r = e.radius * m_dScale;
                const QPointF c = map(e.centreX, e.centreY);
                const QRectF box(c.x() - r, c.y() - r, 2 * r, 2 * r);
                double sweep = std::fmod(e.endAngle - e.startAngle, 360.0);
                if (sweep <= 0) sweep += 360.0;
                QPainterPath path;
                path.arcMoveTo(box, e.startAngle);
                path.arcTo(box, e.startAngle, sweep);
                p.drawPath(path);
                break;
            }
            default:
                break;  // a polyline shows as its segments
        }
    }
    if (m_bHasPosition) {
        p.setPen(QPen(Qt::red, 2));
        const QPointF at = map(m_dX, m_dY);
        p.drawLine(at + QPointF(-5, 0), at + QPointF(5, 0));
        p.drawLine(at + QPointF(0, -5), at + QPointF(0, 5));
    }
}

// ---------------------------------------------------------------- panel

CDxfRunDlg::CDxfRunDlg(CKT300View* view, QWidget* parent) : QWidget(parent), m_pView(view) {
    m_adapter = std::make_unique<ViewControl>(view->Control());
    m_pControl = m_adapter.get();
    Init({});
}

CDxfRunDlg::CDxfRunDlg(DxfControl* control, QWidget* parent, plan::CompletionTiming timing)
    : QWidget(parent), m_pControl(control) {
    Init(timing);
}

CDxfRunDlg::~CDxfRunDlg() {
    StopThreads();
}

void CDxfRunDlg::Init(plan::CompletionTiming timing) {
    // The binding is the panel's for its whole life; without the library every
    // drawing call does nothing.
    m_cad = std::make_unique<dxf::CCadIO>();
    m_window = DrwReceiver{this, &CDxfRunDlg::OnLibraryMessage, &CDxfRunDlg::OnLibraryData};
    // Message 1126: the completion thread hands X and Y to the GUI thread with
    // a queued call and goes on; nothing waits for the window.
    m_waiter = std::make_unique<plan::CompletionWaiter>(
        *m_pControl, m_nStop,
        [this](const plan::AxisPositions& positions) {
            QMetaObject::invokeMethod(
                this, [this, positions] { ShowPositions(positions); }, Qt::QueuedConnection);
        },
        timing);
    CreateControls();
    new PanelKeyFilter(this);
    if (!m_cad->IsLoaded()) SetStatus(QString::fromStdString(m_cad->LoadError()));
}

void CDxfRunDlg::CreateControls() {
    m_pArea = new CDrawingArea(*m_cad, this);
    SetControlId(m_pArea, IDC_DRAWING);
    m_pArea->setGeometry(10, 10, 440, 440);

    struct ButtonDef {
        int id;
        const char* text;
        void (CDxfRunDlg::*handler)();
    };
    const ButtonDef buttons[] = {{IDC_OPEN, "Open DXF File", &CDxfRunDlg::OnOpen},
                                 {IDC_IMPORT, "Import Drawing", &CDxfRunDlg::OnImport},
                                 {IDC_RUN, "Run Drawing", &CDxfRunDlg::OnRun},
                                 {IDC_STOP, "Stop", &CDxfRunDlg::OnStop}};
    int x = 10;
    for (const ButtonDef& b : buttons) {
        auto* button = MakeControl<QPushButton>(this, b.id, QRect(x, 462, 104, 28),
                                                QString::fromLatin1(b.text));
        button->setAutoDefault(false);
        connect(button, &QPushButton::clicked, this, b.handler);
        x += 112;
    }

    const int labels[2] = {IDC_X_LABEL, IDC_Y_LABEL};
    const int displays[2] = {IDC_X_POSITION, IDC_Y_POSITION};
    const char* names[2] = {"X position", "Y position"};
    for (int a = 0; a < 2; ++a) {
        MakeControl<QLabel>(this, labels[a], QRect(10 + a * 224, 502, 90, 24),
                            QString::fromLatin1(names[a]));
        // Window text on the button face, like the other position displays.
        auto* display = MakeControl<QLabel>(this, displays[a], QRect(100 + a * 224, 502, 120, 24),
                                            QStringLiteral("0"));
        display->setFrameShape(QFrame::Panel);
        display->setFrameShadow(QFrame::Sunken);
        display->setAutoFillBackground(true);
        QPalette pal = display->palette();
        pal.setColor(QPalette::Window, pal.color(QPalette::Button));
        pal.setColor(QPalette::WindowText, pal.color(QPalette::WindowText));
        display->setPalette(pal);
        m_pPosition[a] = display;
    }

    m_pPreview = new CPathPreview(this);
    SetControlId(m_pPreview, IDC_PREVIEW);
    m_pPreview->setGeometry(460, 44, 430, 406);

    auto* tools = new QWidget(this);
    SetControlId(tools, IDC_PREVIEW_TOOLS);
    tools->setGeometry(460, 10, 430, 30);
    auto* row = new QHBoxLayout(tools);
    row->setContentsMargins(0, 0, 0, 0);
    struct ToolDef {
        const char* text;
        std::function<void()> action;
    };
    const ToolDef toolDefs[] = {
        {"Fit", [this] { m_pPreview->Fit(); }},
        {"Zoom in", [this] { m_pPreview->SetScale(m_pPreview->Scale() * 2); }},
        {"Zoom out", [this] { m_pPreview->SetScale(m_pPreview->Scale() / 2); }},
        {"1:1", [this] { m_pPreview->SetScale(1.0); }},
    };
    for (const ToolDef& t : toolDefs) {
        auto* button = new QToolButton(tools);
        button->setText(QString::fromLatin1(t.text));
        connect(button, &QToolButton::clicked, this, t.action);
        row->addWidget(button);
    }
    row->addStretch(1);

    m_pStatus = MakeControl<QLabel>(this, 0, QRect(10, 536, 880, 60));
    m_pStatus->setWordWrap(true);
    m_pStatus->setAlignment(Qt::AlignLeft | Qt::AlignTop);
}

void CDxfRunDlg::ApplyLanguage(const CKT300Doc& doc) {
    doc.ApplyDialogTexts(this, IDD_DXFRUN);
}

QPushButton* CDxfRunDlg::Button(int controlId) const {
    return FindControlAs<QPushButton>(const_cast<CDxfRunDlg*>(this), controlId);
}

QLabel* CDxfRunDlg::PositionLabel(int axis) const {
    return axis == 0 || axis == 1 ? m_pPosition[axis] : nullptr;
}

void CDxfRunDlg::SetStatus(const QString& text) {
    m_pStatus->setText(text);
}

void CDxfRunDlg::OnLibraryMessage(void* context, uint32_t message, intptr_t wParam, intptr_t) {
    auto* self = static_cast<CDxfRunDlg*>(context);
    if (message != DRW_MSG_PROGRESS || self->m_pProgress == nullptr) return;
    // Let the window repaint while the library works; no input meanwhile.
    QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
    self->m_pProgress->SetPos(static_cast<int>(wParam));
    if (self->m_progressObserver)
        self->m_progressObserver(*self->m_pProgress, static_cast<int>(wParam));
}

void CDxfRunDlg::OnLibraryData(void* context, uint32_t message, const void* data, size_t size) {
    auto* self = static_cast<CDxfRunDlg*>(context);
    if (message == kRecordMessage && self->m_pImporter != nullptr)
        self->m_pImporter->OnData(data, size);
}

void CDxfRunDlg::OnOpen() {
    const QString path =
        QFileDialog::getOpenFileName(this, QStringLiteral("Open DXF File"), QString(),
                                     QStringLiteral("DXF file format(*.dxf);;All Files (*.*)"));
    if (path.isEmpty()) return;
    OpenFile(path);
}

bool CDxfRunDlg::OpenFile(const QString& path) {
    // A new drawing replaces the one shown; the imported path stays until the
    // next Import.
    if (!m_cad->Create()) {
        m_pArea->update();
        ShowMessage(this, QStringLiteral("Fatal error on creating CDrawing!"), MsgIcon::Critical,
                    QStringLiteral("Error"));
        return false;
    }
    m_cad->SetWindow(&m_window, kRecordMessage);

    QWidget* owner = window();
    CDxfProgressDlg progress(nullptr);
    if (m_pView != nullptr) m_pView->Doc().ApplyDialogTexts(&progress, CDxfProgressDlg::IDD);
    progress.move(owner->geometry().center() - progress.rect().center());
    progress.SetPos(0);
    progress.show();
    owner->setEnabled(false);
    m_pProgress = &progress;
    const DrwReceiver progressWindow{this, &CDxfRunDlg::OnLibraryMessage, nullptr};
    const bool loaded = m_cad->LoadFromFile(QFile::encodeName(path).toStdString(), &progressWindow);
    m_pProgress = nullptr;
    owner->setEnabled(true);
    progress.close();

    if (!loaded) {
        const QString why = QString::fromStdString(m_cad->LastError());
        SetStatus(
            QStringLiteral("%1: %2").arg(path, why.isEmpty() ? QStringLiteral("not loaded") : why));
        m_pArea->update();
        ShowMessage(this, QStringLiteral("Error while loading dxf file!"), MsgIcon::Critical,
                    QStringLiteral("Error"));
        return false;
    }
    m_cad->InitView(0, 0, m_pArea->width(), m_pArea->height());
    m_cad->ZoomExtents();
    m_pArea->repaint();
    const QString notes = QString::fromStdString(m_cad->LoadNotes());
    SetStatus(notes.isEmpty() ? path : QStringLiteral("%1 (%2)").arg(path, notes));
    return true;
}

void CDxfRunDlg::OnImport() {
    // The path is rebuilt from what the library holds now; without a drawing
    // it stays empty.
    m_path.clear();
    dxf::Importer importer;
    if (m_cad->HasDrawing()) {
        m_pImporter = &importer;
        m_cad->GetData();
        m_pImporter = nullptr;
    }
    m_path = dxf::PreparePath(std::move(importer.Elements()));
    m_bImported = true;
    std::size_t moves = 0, travel = 0;
    for (const PathElement& e : m_path) {
        moves += e.run;
        travel += e.travel;
    }
    QString text = QStringLiteral("%1 moves, %2 of them travel lines.").arg(moves).arg(travel);
    QString ignored;
    for (const auto& [kind, count] : importer.Ignored())
        ignored += (ignored.isEmpty() ? QString() : QStringLiteral(", ")) +
                   QStringLiteral("%1 %2").arg(count).arg(KindName(kind));
    if (!ignored.isEmpty()) text += QStringLiteral(" Not part of the path: %1.").arg(ignored);
    if (importer.Refused() > 0)
        text +=
            QStringLiteral(" %1 records without a usable shape left out.").arg(importer.Refused());
    SetStatus(text);
    m_pPreview->SetPath(&m_path);
    m_pPreview->Fit();
}

void CDxfRunDlg::OnRun() {
    if (m_bShutDown || m_bRunning || !m_strStartBlocked.isEmpty()) return;
    if (m_runThread.joinable()) m_runThread.join();  // the last run has ended
    // Cleared here, before the thread starts, so a Stop right after Run counts.
    m_nStop = 0;
    m_bRunning = true;
    Button(IDC_RUN)->setEnabled(false);
    emit RunStarted();
    std::vector<dxf::MotionCall> calls = dxf::RunCalls(m_path);
    m_runThread = std::thread([this, calls = std::move(calls)] {
        m_waiter->ClearUsed();
        m_waiter->MarkUsed(0);
        m_waiter->MarkUsed(1);
        dxf::RunMotion(*m_pControl, calls, m_nStop, [this] { m_waiter->Wait(); });
        QMetaObject::invokeMethod(
            this, [this] { OnRunEnded(); }, Qt::QueuedConnection);
    });
}

void CDxfRunDlg::OnRunEnded() {
    if (m_runThread.joinable()) m_runThread.join();  // it has posted its last call
    m_bRunning = false;
    if (!m_bShutDown) Button(IDC_RUN)->setEnabled(m_strStartBlocked.isEmpty());
    emit RunFinished();
}

void CDxfRunDlg::OnStop() {
    m_nStop = 1;
}

void CDxfRunDlg::StopRun() {
    OnStop();
}

void CDxfRunDlg::SetStartBlocked(const QString& reason) {
    m_strStartBlocked = reason;
    QPushButton* run = Button(IDC_RUN);
    run->setToolTip(reason);
    if (!m_bRunning) run->setEnabled(reason.isEmpty() && !m_bShutDown);
}

void CDxfRunDlg::ShowPositions(const plan::AxisPositions& positions) {
    for (int a = 0; a < 2; ++a) {
        m_pPosition[a]->setText(QString::fromStdString(
            korva::FormatFixed(positions.position[static_cast<std::size_t>(a)], 0)));
    }
    m_pPreview->SetPosition(positions.position[0], positions.position[1]);
}

void CDxfRunDlg::StopThreads() {
    m_bShutDown = true;
    m_nStop = 1;  // the completion thread stops X and Y
    if (m_waiter) m_waiter->Abort();
    if (m_runThread.joinable()) {
        // The run thread may be reporting a library message: let it go on.
        GuiBlockingScope blocking;
        m_runThread.join();
    }
    m_bRunning = false;
}

}  // namespace stagedesk
