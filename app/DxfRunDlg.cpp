#include "DxfRunDlg.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QFile>
#include <QFileDialog>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMetaObject>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>
#include <QProgressBar>
#include <QPushButton>
#include <QSettings>
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
    bool GoOrigion(std::int16_t axis) override {
        return Checked([&] { return m_control.GoOrigion(axis); });
    }
    bool GoInterpolationline2(std::int16_t a1, std::int16_t a2, float x, float y) override {
        return Checked([&] { return m_control.GoInterpolationline2(a1, a2, x, y); });
    }
    bool GoInterpolationArc(std::int16_t a1, std::int16_t a2, float tx, float ty, float cx,
                            float cy, std::int16_t d) override {
        return Checked([&] { return m_control.GoInterpolationArc(a1, a2, tx, ty, cx, cy, d); });
    }
    bool Stop(std::int16_t axis) override { return m_control.Stop(axis); }
    double GetPosition(std::int16_t axis) override { return m_control.GetPosition(axis); }
    bool SetSpeed(std::int16_t axis, float speed) override {
        return Checked([&] { return m_control.SetSpeed(axis, speed); });
    }
    bool GetSpeed(std::int16_t axis, float* speed) override {
        // A getter returns the last known value when the controller does not
        // answer; only GetErrorCode tells.
        return Checked([&] {
            *speed = m_control.GetSpeed(axis);
            return m_control.GetErrorCode() == 0;
        });
    }
    bool SetPortOutput(std::int16_t value) override {
        return Checked([&] { return m_control.SetPortOutput(value); });
    }
    bool StopSlow(std::int16_t axis) override {
        return Checked([&] { return m_control.StopSlow(axis); });
    }
    std::int32_t LastErrorCode() override { return m_nLastError.load(); }
    bool ReadDynamics(dxf::AxisDynamics* d) override {
        return Checked([&] {
            d->speed = m_control.GetSpeed(0);
            if (m_control.GetErrorCode() != 0) return false;
            d->acceleration = m_control.GetAccSpeed(0);
            if (m_control.GetErrorCode() != 0) return false;
            d->deceleration = m_control.GetDccSpeed(0);
            return m_control.GetErrorCode() == 0;
        });
    }

  private:
    // The call and its GetErrorCode together, no other thread's call between.
    template <typename Fn>
    bool Checked(Fn call) {
        auto hold = m_control.HoldCalls();
        const bool ok = call();
        if (!ok) m_nLastError = m_control.GetErrorCode();
        return ok;
    }

    CKORVAKT3002& m_control;
    std::atomic<std::int32_t> m_nLastError{0};
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

void CPathPreview::SetPlacement(const dxf::Placement& placement) {
    m_placement = placement;
    update();
}

void CPathPreview::SetProgress(int done, int current) {
    m_nDone = done;
    m_nCurrent = current;
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
    // On the table: placed, with the axes' origin in view.
    const dxf::Placement& pl = m_placement;
    x0 = std::min(0.0, pl.scale * x0 + pl.offsetX);
    x1 = std::max(0.0, pl.scale * x1 + pl.offsetX);
    y0 = std::min(0.0, pl.scale * y0 + pl.offsetY);
    y1 = std::max(0.0, pl.scale * y1 + pl.offsetY);
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
    // The axes' coordinates on the canvas, and a drawing point placed.
    auto at = [&](double x, double y) { return QPointF(ox + x * m_dScale, oy - y * m_dScale); };
    const dxf::Placement& pl = m_placement;
    auto map = [&](double x, double y) {
        return at(pl.scale * x + pl.offsetX, pl.scale * y + pl.offsetY);
    };

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

    QPen todo(QColor(0, 0, 160), 1);
    todo.setCosmetic(true);
    QPen done(QColor(0, 150, 0), 2);
    done.setCosmetic(true);
    QPen current(QColor(230, 120, 0), 2);
    current.setCosmetic(true);
    QPen travel(QColor(150, 150, 150), 1, Qt::DashLine);
    travel.setCosmetic(true);
    p.setBrush(Qt::NoBrush);
    for (std::size_t i = 0; i < m_pPath->size(); ++i) {
        const PathElement& e = (*m_pPath)[i];
        if (!e.drawn) continue;
        const int index = static_cast<int>(i);
        const QPen& drawn = index == m_nCurrent ? current : index < m_nDone ? done : todo;
        switch (e.kind) {
            case dxf::kLine:
                if (e.travel) {
                    QPen dashed = index >= m_nDone && index != m_nCurrent ? travel : drawn;
                    dashed.setStyle(Qt::DashLine);
                    p.setPen(dashed);
                } else {
                    p.setPen(drawn);
                }
                p.drawLine(map(e.startX, e.startY), map(e.endX, e.endY));
                break;
            case dxf::kCircle: {
                p.setPen(drawn);
                const double r = e.radius * pl.scale * m_dScale;
                p.drawEllipse(map(e.centreX, e.centreY), r, r);
                break;
            }
            case dxf::kArc: {
                p.setPen(drawn);
                const double r = e.radius * pl.scale * m_dScale;
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
        const QPointF here = at(m_dX, m_dY);
        p.drawLine(here + QPointF(-6, 0), here + QPointF(6, 0));
        p.drawLine(here + QPointF(0, -6), here + QPointF(0, 6));
        p.drawEllipse(here, 4, 4);
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
    // A Stop during a move is the decelerating stop, sent once from the
    // completion thread (never from the GUI thread); the wait then sees the
    // axes come to rest.
    m_waiter = std::make_unique<plan::CompletionWaiter>(
        *m_pControl, m_nNoHardStop,
        [this](const plan::AxisPositions& positions) {
            if (m_nStop.load() != 0) SendStopOnce();
            QMetaObject::invokeMethod(
                this, [this, positions] { ShowPositions(positions); }, Qt::QueuedConnection);
        },
        timing);
    m_perMoveSeconds = (timing.settlePasses + 3) * timing.poll.count() / 1000.0;
    CreateControls();
    if (m_pView != nullptr) LoadProfile();
    UpdateSummary();
    new PanelKeyFilter(this);
    if (!m_cad->IsLoaded()) SetStatus(QString::fromStdString(m_cad->LoadError()));
}

void CDxfRunDlg::CreateControls() {
    m_pArea = new CDrawingArea(*m_cad, this);
    SetControlId(m_pArea, IDC_DRAWING);
    m_pArea->setGeometry(10, 10, 440, 400);

    struct ButtonDef {
        int id;
        const char* text;
        void (CDxfRunDlg::*handler)();
    };
    const ButtonDef buttons[] = {{IDC_OPEN, "Open DXF File", &CDxfRunDlg::OnOpen},
                                 {IDC_IMPORT, "Import Drawing", &CDxfRunDlg::OnImport},
                                 {IDC_RUN, "Run Drawing", &CDxfRunDlg::OnRun},
                                 {IDC_PAUSE, "Pause", &CDxfRunDlg::OnPause},
                                 {IDC_STOP, "Stop", &CDxfRunDlg::OnStop}};
    // Open, Import and Run in a row; Pause and Stop, larger, below them.
    const QRect places[] = {{10, 418, 144, 28},
                            {158, 418, 144, 28},
                            {306, 418, 144, 28},
                            {10, 450, 218, 34},
                            {232, 450, 218, 34}};
    for (std::size_t i = 0; i < std::size(buttons); ++i) {
        const ButtonDef& b = buttons[i];
        auto* button = MakeControl<QPushButton>(this, b.id, places[i], QString::fromLatin1(b.text));
        button->setAutoDefault(false);
        connect(button, &QPushButton::clicked, this, b.handler);
    }
    Button(IDC_PAUSE)->setEnabled(false);

    const int labels[2] = {IDC_X_LABEL, IDC_Y_LABEL};
    const int displays[2] = {IDC_X_POSITION, IDC_Y_POSITION};
    const char* names[2] = {"X position", "Y position"};
    for (int a = 0; a < 2; ++a) {
        MakeControl<QLabel>(this, labels[a], QRect(10 + a * 224, 496, 90, 24),
                            QString::fromLatin1(names[a]));
        // Window text on the button face, like the other position displays.
        auto* display = MakeControl<QLabel>(this, displays[a], QRect(100 + a * 224, 496, 120, 24),
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
    m_pPreview->setGeometry(460, 44, 430, 330);

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

    m_pStatus = MakeControl<QLabel>(this, 0, QRect(10, 528, 440, 68));
    m_pStatus->setWordWrap(true);
    m_pStatus->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    m_pProgressLabel = MakeControl<QLabel>(this, IDC_PROGRESS, QRect(10, 600, 440, 24));
    CreateJobControls();
}

void CDxfRunDlg::CreateJobControls() {
    // A frame behind the job's fields; the fields are the panel's own
    // children, like every control of the template.
    auto* frame =
        MakeControl<QGroupBox>(this, IDC_JOB, QRect(460, 380, 430, 246), QStringLiteral("Job"));
    m_pJob = frame;
    const int x0 = 470, y0 = 402;
    auto label = [&](const char* text, int x, int y, int w) {
        MakeControl<QLabel>(this, 0, QRect(x, y, w, 24), QString::fromUtf8(text));
    };
    auto edit = [&](int id, int x, int y, int w, const char* tip) {
        auto* e = MakeControl<QLineEdit>(this, id, QRect(x, y, w, 24));
        e->setToolTip(QString::fromUtf8(tip));
        connect(e, &QLineEdit::editingFinished, this, [this] { UpdateSummary(); });
        return e;
    };
    label("Scale", x0, y0, 44);
    edit(IDC_SCALE, x0 + 46, y0, 60, "Drawing units to the axes' units: a positive factor")
        ->setText(QStringLiteral("1"));
    label("Origin at X", x0 + 116, y0, 70);
    edit(IDC_OFFSET_X, x0 + 188, y0, 70, "Where the drawing's origin lands, in the axes' units")
        ->setText(QStringLiteral("0"));
    label("Y", x0 + 266, y0, 12);
    edit(IDC_OFFSET_Y, x0 + 280, y0, 70, "Where the drawing's origin lands, in the axes' units")
        ->setText(QStringLiteral("0"));
    auto* here = MakeControl<QCheckBox>(
        this, IDC_START_HERE, QRect(x0, y0 + 30, 400, 24),
        QStringLiteral("Start here: the axes' position at Run is the drawing's origin"));
    connect(here, &QCheckBox::toggled, this, [this](bool on) {
        FindControl(this, IDC_OFFSET_X)->setEnabled(!on);
        FindControl(this, IDC_OFFSET_Y)->setEnabled(!on);
        UpdateSummary();
    });
    label("Drawing speed", x0, y0 + 60, 96);
    edit(IDC_DRAW_SPEED, x0 + 98, y0 + 60, 70,
         "Units per second while drawing; empty: the axes' own speed");
    label("Travel speed", x0 + 180, y0 + 60, 86);
    edit(IDC_TRAVEL_SPEED, x0 + 268, y0 + 60, 70,
         "Units per second on travel lines; empty: the axes' own speed");
    label("Tool output bit", x0, y0 + 90, 96);
    auto* bit = MakeControl<QComboBox>(this, IDC_TOOL_BIT, QRect(x0 + 98, y0 + 90, 70, 24));
    bit->addItem(QStringLiteral("none"), -1);
    for (int b = 0; b <= 7; ++b) bit->addItem(QString::number(b), b);
    bit->setToolTip(QStringLiteral("Port bit on while drawing, off while travelling"));
    connect(bit, &QComboBox::currentIndexChanged, this, [this] { UpdateSummary(); });
    label("Delays on/off (ms)", x0 + 180, y0 + 90, 116);
    edit(IDC_TOOL_ON, x0 + 298, y0 + 90, 50, "Wait after switching the tool on")
        ->setText(QStringLiteral("0"));
    edit(IDC_TOOL_OFF, x0 + 352, y0 + 90, 50, "Wait after switching the tool off")
        ->setText(QStringLiteral("0"));
    label("Counter-clockwise arcs are sent with direction", x0, y0 + 120, 290);
    auto* ccw = MakeControl<QComboBox>(this, IDC_ARC_CCW, QRect(x0 + 298, y0 + 120, 104, 24));
    ccw->addItem(QStringLiteral("1 (P)"), 1);
    ccw->addItem(QStringLiteral("0 (N)"), 0);
    ccw->setToolTip(
        QStringLiteral("Which direction value turns counter-clockwise on this machine; check it "
                       "with one test arc (docs/hardware.md)"));
    connect(ccw, &QComboBox::currentIndexChanged, this, [this] { UpdateSummary(); });
    auto* summary = MakeControl<QLabel>(this, 0, QRect(x0, y0 + 150, 410, 66));
    summary->setObjectName(QStringLiteral("jobSummary"));
    summary->setWordWrap(true);
    summary->setAlignment(Qt::AlignLeft | Qt::AlignTop);
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
    if (m_bRunning) return;  // the run thread reads the path
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
    UpdateSummary();
    m_pPreview->Fit();
    ReadDynamicsLater();
}

namespace {

// A field's number; nullopt when the field is empty.
std::optional<double> FieldNumber(QWidget* panel, int id, bool* ok) {
    const QString text = FindControlAs<QLineEdit>(panel, id)->text().trimmed();
    if (text.isEmpty()) return std::nullopt;
    bool parsed = false;
    const double v = text.toDouble(&parsed);  // "C" notation whatever the locale
    if (!parsed || !std::isfinite(v)) *ok = false;
    return v;
}

}  // namespace

bool CDxfRunDlg::JobOptionsOf(dxf::JobOptions* o, bool* startHere, QString* error) const {
    auto* self = const_cast<CDxfRunDlg*>(this);
    *o = dxf::JobOptions{};
    struct Field {
        int id;
        const char* name;
        bool required;
    };
    const Field fields[] = {{IDC_SCALE, "Scale", true},
                            {IDC_OFFSET_X, "Origin X", true},
                            {IDC_OFFSET_Y, "Origin Y", true},
                            {IDC_DRAW_SPEED, "Drawing speed", false},
                            {IDC_TRAVEL_SPEED, "Travel speed", false},
                            {IDC_TOOL_ON, "On delay", true},
                            {IDC_TOOL_OFF, "Off delay", true}};
    std::optional<double> values[7];
    for (std::size_t i = 0; i < 7; ++i) {
        bool ok = true;
        values[i] = FieldNumber(self, fields[i].id, &ok);
        if (!ok || (fields[i].required && !values[i])) {
            *error =
                QStringLiteral("%1: please enter a number.").arg(QLatin1String(fields[i].name));
            return false;
        }
    }
    o->placement.scale = *values[0];
    o->placement.offsetX = *values[1];
    o->placement.offsetY = *values[2];
    o->drawSpeed = values[3];
    o->travelSpeed = values[4];
    o->toolBit = FindControlAs<QComboBox>(self, IDC_TOOL_BIT)->currentData().toInt();
    auto whole = [](double v) { return v == std::floor(v) ? static_cast<int>(v) : -1; };
    o->toolOnDelayMs = *values[5] >= 0 && *values[5] <= 600000 ? whole(*values[5]) : -1;
    o->toolOffDelayMs = *values[6] >= 0 && *values[6] <= 600000 ? whole(*values[6]) : -1;
    o->placement.ccwValue = static_cast<std::int16_t>(
        FindControlAs<QComboBox>(self, IDC_ARC_CCW)->currentData().toInt());
    *startHere = FindControlAs<QCheckBox>(self, IDC_START_HERE)->isChecked();
    const std::string why = dxf::CheckOptions(*o);
    if (!why.empty()) {
        *error = QString::fromStdString(why);
        error->front() = error->front().toUpper();
        *error += QLatin1Char('.');
        return false;
    }
    return true;
}

void CDxfRunDlg::SetJobOptions(const dxf::JobOptions& o, bool startHere) {
    auto set = [&](int id, const QString& text) {
        FindControlAs<QLineEdit>(this, id)->setText(text);
    };
    auto number = [](double v) { return QString::number(v, 'g', 12); };
    set(IDC_SCALE, number(o.placement.scale));
    set(IDC_OFFSET_X, number(o.placement.offsetX));
    set(IDC_OFFSET_Y, number(o.placement.offsetY));
    set(IDC_DRAW_SPEED, o.drawSpeed ? number(*o.drawSpeed) : QString());
    set(IDC_TRAVEL_SPEED, o.travelSpeed ? number(*o.travelSpeed) : QString());
    set(IDC_TOOL_ON, QString::number(o.toolOnDelayMs));
    set(IDC_TOOL_OFF, QString::number(o.toolOffDelayMs));
    auto* bit = FindControlAs<QComboBox>(this, IDC_TOOL_BIT);
    bit->setCurrentIndex(std::max(0, bit->findData(o.toolBit)));
    auto* ccw = FindControlAs<QComboBox>(this, IDC_ARC_CCW);
    ccw->setCurrentIndex(std::max(0, ccw->findData(static_cast<int>(o.placement.ccwValue))));
    FindControlAs<QCheckBox>(this, IDC_START_HERE)->setChecked(startHere);
    UpdateSummary();
}

void CDxfRunDlg::LoadProfile() {
    QSettings profile;
    profile.beginGroup(QStringLiteral("DxfJob"));
    dxf::JobOptions o;
    auto number = [&](const char* key, double def) {
        bool ok = false;
        const double v = profile.value(QLatin1String(key)).toString().toDouble(&ok);
        return ok ? v : def;
    };
    auto speed = [&](const char* key) -> std::optional<double> {
        bool ok = false;
        const double v = profile.value(QLatin1String(key)).toString().toDouble(&ok);
        return ok ? std::optional<double>(v) : std::nullopt;
    };
    o.placement.scale = number("Scale", 1);
    o.placement.offsetX = number("OffsetX", 0);
    o.placement.offsetY = number("OffsetY", 0);
    o.drawSpeed = speed("DrawSpeed");
    o.travelSpeed = speed("TravelSpeed");
    o.toolBit = static_cast<int>(number("ToolBit", -1));
    o.toolOnDelayMs = static_cast<int>(number("ToolOnDelay", 0));
    o.toolOffDelayMs = static_cast<int>(number("ToolOffDelay", 0));
    o.placement.ccwValue = static_cast<std::int16_t>(number("ArcCcw", 1));
    const bool here = profile.value(QStringLiteral("StartHere"), false).toBool();
    // A profile edited by hand may hold anything: the defaults then.
    if (!dxf::CheckOptions(o).empty()) o = dxf::JobOptions{};
    SetJobOptions(o, here);
}

void CDxfRunDlg::SaveProfile() const {
    dxf::JobOptions o;
    bool here = false;
    QString error;
    if (m_pView == nullptr || !JobOptionsOf(&o, &here, &error)) return;
    QSettings profile;
    profile.beginGroup(QStringLiteral("DxfJob"));
    auto number = [](double v) { return QString::number(v, 'g', 17); };
    profile.setValue(QStringLiteral("Scale"), number(o.placement.scale));
    profile.setValue(QStringLiteral("OffsetX"), number(o.placement.offsetX));
    profile.setValue(QStringLiteral("OffsetY"), number(o.placement.offsetY));
    profile.setValue(QStringLiteral("DrawSpeed"), o.drawSpeed ? number(*o.drawSpeed) : QString());
    profile.setValue(QStringLiteral("TravelSpeed"),
                     o.travelSpeed ? number(*o.travelSpeed) : QString());
    profile.setValue(QStringLiteral("ToolBit"), o.toolBit);
    profile.setValue(QStringLiteral("ToolOnDelay"), o.toolOnDelayMs);
    profile.setValue(QStringLiteral("ToolOffDelay"), o.toolOffDelayMs);
    profile.setValue(QStringLiteral("ArcCcw"), static_cast<int>(o.placement.ccwValue));
    profile.setValue(QStringLiteral("StartHere"), here);
}

namespace {

QString Duration(double seconds) {
    const long long s = std::llround(seconds);
    if (s >= 3600)
        return QStringLiteral("%1 h %2 min")
            .arg(s / 3600)
            .arg((s % 3600) / 60, 2, 10, QLatin1Char('0'));
    if (s >= 60)
        return QStringLiteral("%1 min %2 s").arg(s / 60).arg(s % 60, 2, 10, QLatin1Char('0'));
    return QStringLiteral("%1 s").arg(s);
}

}  // namespace

void CDxfRunDlg::UpdateSummary() {
    auto* label = findChild<QLabel*>(QStringLiteral("jobSummary"));
    if (label == nullptr || m_bRunning) return;
    dxf::JobOptions o;
    bool here = false;
    QString error;
    if (!JobOptionsOf(&o, &here, &error)) {
        label->setText(error);
        return;
    }
    SaveProfile();  // the choices as they are, for the next session
    if (m_pPreview->GetPlacement() != o.placement) {
        m_pPreview->SetPlacement(o.placement);
        m_pPreview->Fit();  // the drawing may have moved out of view
    }
    if (!m_bImported) {
        label->setText(QStringLiteral("Import a drawing to see its moves."));
        return;
    }
    std::vector<dxf::JobStep> steps;
    std::string why;
    if (here) o.placement.offsetX = o.placement.offsetY = 1;  // a placed job, for its numbers
    if (!dxf::BuildJob(m_path, o, &steps, &why)) {
        label->setText(QString::fromStdString(why));
        return;
    }
    const dxf::JobSummary sum = dxf::Summarize(steps);
    QString text = QStringLiteral("%1 moves; drawing %2, travel %3 units")
                       .arg(sum.moves)
                       .arg(QString::number(sum.drawLength, 'f', 1),
                            QString::number(sum.travelLength, 'f', 1));
    if (here) text += QStringLiteral(" (from where the axes stand)");
    std::vector<double> left;
    if (m_bDynamicsKnown) left = dxf::EstimateRemaining(steps, m_dynamics, m_perMoveSeconds);
    text += left.empty() ? QStringLiteral("; time: known once the device answers.")
                         : QStringLiteral("; about %1.").arg(Duration(left.front()));
    label->setText(text);
}

void CDxfRunDlg::ReadDynamicsLater() {
    // X's speed and accelerations for the estimate, read off the GUI thread.
    // The GUI thread never waits for a read in flight (on a mute controller it
    // takes its full time limit): a request made meanwhile is read again by
    // the same thread, and the run thread joins it before its first call.
    if (m_bShutDown || m_bRunning) return;
    {
        std::lock_guard<std::mutex> hold(m_queryLock);
        if (m_bQueryBusy) {
            m_bQueryAgain = true;
            return;
        }
        m_bQueryBusy = true;
    }
    if (m_queryThread.joinable()) m_queryThread.join();  // it has ended: not busy
    m_queryThread = std::thread([this] {
        for (;;) {
            dxf::AxisDynamics d;
            const bool ok = m_pControl->ReadDynamics(&d) && d.speed > 0;
            QMetaObject::invokeMethod(
                this, [this, d, ok] { OnDynamics(d, ok); }, Qt::QueuedConnection);
            std::lock_guard<std::mutex> hold(m_queryLock);
            if (!m_bQueryAgain) {
                m_bQueryBusy = false;
                return;
            }
            m_bQueryAgain = false;
        }
    });
}

void CDxfRunDlg::OnDynamics(const dxf::AxisDynamics& d, bool ok) {
    m_dynamics = d;
    m_bDynamicsKnown = ok;
    // A run that started before the answer gets its estimate now.
    if (m_bRunning && ok)
        m_remaining = dxf::EstimateRemaining(m_steps, m_dynamics, m_perMoveSeconds);
    UpdateSummary();
}

void CDxfRunDlg::OnRun() {
    if (m_bShutDown || m_bRunning || !m_startBlocked.isEmpty()) return;
    dxf::JobOptions options;
    bool startHere = false;
    QString error;
    if (!JobOptionsOf(&options, &startHere, &error)) {
        SetStatus(error);
        ShowMessage(this, error, MsgIcon::Warning, QStringLiteral("DXF Run"));
        return;
    }
    std::vector<dxf::JobStep> steps;
    std::string why;
    if (!startHere && !dxf::BuildJob(m_path, options, &steps, &why)) {
        SetStatus(QString::fromStdString(why));
        ShowMessage(this, QString::fromStdString(why), MsgIcon::Warning, QStringLiteral("DXF Run"));
        return;
    }
    SaveProfile();
    if (m_runThread.joinable()) m_runThread.join();  // the last run has ended
    // Cleared here, before the thread starts, so a Stop right after Run counts.
    m_nStop = 0;
    m_nPause = 0;
    m_bSlowStopSent = false;
    m_waiter->ResetAbort();
    m_bRunning = true;
    m_steps = steps;
    m_remaining = m_bDynamicsKnown ? dxf::EstimateRemaining(m_steps, m_dynamics, m_perMoveSeconds)
                                   : std::vector<double>{};
    m_pPreview->SetPlacement(options.placement);
    m_pPreview->SetProgress(0, -1);
    m_progressText = QStringLiteral("Starting");
    m_pProgressLabel->setText(m_progressText);
    UpdateRunControls();
    emit RunStarted();
    m_runThread = std::thread([this, options, startHere, steps = std::move(steps)]() mutable {
        // A dynamics read still in flight goes first (the GUI thread does not
        // wait for it); the estimate follows when its answer arrives.
        if (m_queryThread.joinable()) m_queryThread.join();
        m_waiter->ClearUsed();
        m_waiter->MarkUsed(0);
        m_waiter->MarkUsed(1);
        dxf::JobOptions placed = options;
        if (startHere) {
            // The drawing's origin is where the axes stand now.
            placed.placement.offsetX = m_pControl->GetPosition(0);
            placed.placement.offsetY = m_pControl->GetPosition(1);
            std::string why;
            if (!dxf::BuildJob(m_path, placed, &steps, &why)) {
                dxf::JobEnd end;
                end.how = dxf::JobEnd::How::kFailed;
                end.call = why;
                QMetaObject::invokeMethod(
                    this, [this, end] { OnRunEnded(end); }, Qt::QueuedConnection);
                return;
            }
            QMetaObject::invokeMethod(
                this,
                [this, steps, placed] {
                    m_steps = steps;
                    m_remaining = m_bDynamicsKnown ? dxf::EstimateRemaining(m_steps, m_dynamics,
                                                                            m_perMoveSeconds)
                                                   : std::vector<double>{};
                    m_pPreview->SetPlacement(placed.placement);
                },
                Qt::QueuedConnection);
        }
        dxf::JobHooks hooks;
        hooks.wait = [this] { m_waiter->Wait(); };
        hooks.stopAxes = [this] { SendStopOnce(); };
        hooks.position = [this](double* x, double* y) {
            const plan::AxisPositions p = m_waiter->Positions();
            *x = p.position[0];
            *y = p.position[1];
            return true;
        };
        hooks.onMove = [this, &steps](std::size_t step, std::size_t move) {
            const int element = steps[step].motion.element;
            QMetaObject::invokeMethod(
                this, [this, step, move, element] { OnMove(step, move, element); },
                Qt::QueuedConnection);
        };
        hooks.onHold = [this](bool held) {
            QMetaObject::invokeMethod(
                this,
                [this, held] {
                    if (held)
                        m_pProgressLabel->setText(
                            m_progressText +
                            QStringLiteral(": paused, the tool off. Resume goes on."));
                },
                Qt::QueuedConnection);
        };
        const dxf::JobEnd end = dxf::RunJob(*m_pControl, steps, placed, m_nStop, m_nPause, hooks);
        QMetaObject::invokeMethod(
            this, [this, end] { OnRunEnded(end); }, Qt::QueuedConnection);
    });
}

void CDxfRunDlg::OnMove(std::size_t step, std::size_t move, int element) {
    std::size_t moves = 0;
    for (const dxf::JobStep& s : m_steps) moves += s.kind == dxf::JobStep::Kind::kMotion;
    m_progressText = QStringLiteral("Move %1 of %2").arg(move).arg(moves);
    if (step < m_remaining.size())
        m_progressText += QStringLiteral(", about %1 left").arg(Duration(m_remaining[step]));
    m_pProgressLabel->setText(
        m_progressText + (IsPaused() ? QStringLiteral(": pausing after this move") : QString()));
    if (element >= 0) m_pPreview->SetProgress(element, element);
}

void CDxfRunDlg::OnRunEnded(const dxf::JobEnd& end) {
    if (m_runThread.joinable()) m_runThread.join();  // it has posted its last call
    m_bRunning = false;
    m_nPause = 0;
    m_lastEnd = end;
    if (m_bShutDown) return;
    UpdateRunControls();
    if (end.how == dxf::JobEnd::How::kCompleted) {
        m_pPreview->SetProgress(static_cast<int>(m_path.size()), -1);
        m_pProgressLabel->setText(QStringLiteral("Done: %1 moves.").arg(end.moves));
    } else if (end.how == dxf::JobEnd::How::kStopped) {
        m_pProgressLabel->setText(QString::fromStdString(dxf::DescribeEnd(end)));
    } else {
        const QString text = end.moves == 0 ? QString::fromStdString(end.call)
                                            : QString::fromStdString(dxf::DescribeEnd(end));
        m_pProgressLabel->setText(QStringLiteral("Run ended with an error."));
        SetStatus(text);
        ShowMessage(this, text, MsgIcon::Critical, QStringLiteral("DXF Run"));
    }
    emit RunFinished();
}

void CDxfRunDlg::OnPause() {
    if (!m_bRunning) return;
    m_nPause = m_nPause.load() != 0 ? 0 : 1;
    Button(IDC_PAUSE)->setText(IsPaused() ? QStringLiteral("Resume") : QStringLiteral("Pause"));
    m_pProgressLabel->setText(
        m_progressText + (IsPaused() ? QStringLiteral(": pausing after this move") : QString()));
}

void CDxfRunDlg::ShowPositions(const plan::AxisPositions& positions) {
    for (int a = 0; a < 2; ++a) {
        m_pPosition[a]->setText(QString::fromStdString(
            korva::FormatFixed(positions.position[static_cast<std::size_t>(a)], 0)));
    }
    m_pPreview->SetPosition(positions.position[0], positions.position[1]);
}

void CDxfRunDlg::OnStop() {
    // The decelerating stop, once. In the shell it goes by the view's stop
    // line, which overtakes an exchange waiting for its reply and never holds
    // the run; alone, the completion thread or the run thread sends it. The
    // run then ends after the pass of the completion wait in progress,
    // without waiting for the axes: they are the stop's business.
    m_nStop = 1;
    if (m_pView != nullptr && m_bRunning && !m_bSlowStopSent.exchange(true))
        m_pView->StopLine().Request(true);
    m_waiter->Abort();
}

void CDxfRunDlg::StopRun() {
    // Stop all has already sent the stop to every axis.
    if (m_pView != nullptr) m_bSlowStopSent = true;
    OnStop();
}

void CDxfRunDlg::SendStopOnce() {
    if (m_bSlowStopSent.exchange(true)) return;
    m_pControl->StopSlow(0);
    m_pControl->StopSlow(1);
}

void CDxfRunDlg::SetStartBlocked(const QString& reason) {
    m_startBlocked = reason;
    UpdateRunControls();
}

void CDxfRunDlg::UpdateRunControls() {
    QPushButton* run = Button(IDC_RUN);
    run->setEnabled(!m_bRunning && m_startBlocked.isEmpty());
    run->setToolTip(m_startBlocked);
    QPushButton* pause = Button(IDC_PAUSE);
    pause->setEnabled(m_bRunning);
    pause->setText(IsPaused() ? QStringLiteral("Resume") : QStringLiteral("Pause"));
    Button(IDC_IMPORT)->setEnabled(!m_bRunning);
    Button(IDC_OPEN)->setEnabled(!m_bRunning);
    for (int id : {IDC_SCALE, IDC_OFFSET_X, IDC_OFFSET_Y, IDC_START_HERE, IDC_DRAW_SPEED,
                   IDC_TRAVEL_SPEED, IDC_TOOL_BIT, IDC_TOOL_ON, IDC_TOOL_OFF, IDC_ARC_CCW}) {
        QWidget* w = FindControl(this, id);
        const bool offset = id == IDC_OFFSET_X || id == IDC_OFFSET_Y;
        w->setEnabled(!m_bRunning &&
                      !(offset && FindControlAs<QCheckBox>(this, IDC_START_HERE)->isChecked()));
    }
}

void CDxfRunDlg::StopThreads() {
    m_bShutDown = true;
    m_nStop = 1;  // the completion thread stops X and Y
    if (m_waiter) m_waiter->Abort();
    {
        std::lock_guard<std::mutex> hold(m_queryLock);
        m_bQueryAgain = false;  // a read in flight is the last one
    }
    // The run thread may be reporting a library message: let it go on. The
    // run thread joins a dynamics read first, so it is joined first; each is
    // bounded by one exchange's time limit.
    GuiBlockingScope blocking;
    if (m_runThread.joinable()) m_runThread.join();
    if (m_queryThread.joinable()) m_queryThread.join();
    m_bRunning = false;
}

}  // namespace stagedesk
