#include "SingleRunDlg.h"

#include <QAbstractButton>
#include <QButtonGroup>
#include <QCoreApplication>
#include <QEvent>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMetaObject>
#include <QMouseEvent>
#include <QPushButton>
#include <QRadioButton>
#include <chrono>
#include <cmath>

#include "DialogFields.h"
#include "KORVAKT3002.h"
#include "KT300Doc.h"
#include "KT300View.h"
#include "Resource.h"
#include "UserMessageBridge.h"

namespace stagedesk {
namespace {

using namespace std::chrono_literals;

constexpr std::array<int, 9> kMotionButtons = {
    IDC_SR_FORWARD,  IDC_SR_BACK,      IDC_SR_SETCOORD,    IDC_SR_RUN,       IDC_SR_CONTFORWARD,
    IDC_SR_CONTBACK, IDC_SR_HOMELIMIT, IDC_SR_HOMEOPTICAL, IDC_SR_HOMEORIGIN};
constexpr std::array<int, 2> kStopButtons = {IDC_SR_STOP, IDC_SR_STOPSLOW};
constexpr std::array<int, 4> kRadioIds = {IDC_SR_RADIO_X, IDC_SR_RADIO_Y, IDC_SR_RADIO_Z,
                                          IDC_SR_RADIO_T};
constexpr std::array<const char*, 4> kUnitLabels = {"deg", "mm", "PP", "um"};

}  // namespace

CSingleRunDlg::CSingleRunDlg(CKT300View* view, QWidget* parent) : QWidget(parent), m_pView(view) {
    setFocusPolicy(Qt::ClickFocus);
    CreateControls();
    new PanelKeyFilter(this);
    m_pRadio[0]->setChecked(true);
    Refresh();
    SetIdleState();
}

CSingleRunDlg::~CSingleRunDlg() {
    StopMonitoring();
}

void CSingleRunDlg::CreateControls() {
    auto button = [this](int id, const QRect& r, const char* text) {
        auto* b = MakeControl<QPushButton>(this, id, r, QString::fromUtf8(text));
        b->setAutoDefault(false);
        return b;
    };
    auto label = [this](int id, const QRect& r, const char* text) {
        return MakeControl<QLabel>(this, id, r, QString::fromUtf8(text));
    };

    MakeControl<QGroupBox>(this, IDC_SR_AXISGROUP, QRect(20, 10, 860, 64), QString::fromUtf8("轴"));
    m_pAxisGroup = new QButtonGroup(this);
    const std::array<const char*, 4> names = {"X", "Y", "Z", "T"};
    for (int i = 0; i < kAxes; ++i) {
        m_pRadio[i] = MakeControl<QRadioButton>(
            this, kRadioIds[i], QRect(60 + i * 200, 38, 120, 24), QString::fromLatin1(names[i]));
        m_pAxisGroup->addButton(m_pRadio[i], i);
    }
    connect(m_pAxisGroup, &QButtonGroup::idClicked, this, [this](int axis) { SelectAxis(axis); });

    label(IDC_SR_COORDLABEL, QRect(40, 96, 80, 24), "坐标");
    m_pPositionEdit = MakeControl<QLineEdit>(this, IDC_SR_POSITION, QRect(120, 94, 200, 28));
    m_pPositionEdit->installEventFilter(this);
    m_pUnitLabel[0] = label(IDC_SR_UNIT_POSITION, QRect(330, 96, 60, 24), "mm");
    label(IDC_SR_HINT, QRect(400, 96, 480, 24), "输入参数，左键单击空白处，设置当前坐标");
    m_pSetCoord = button(IDC_SR_SETCOORD, QRect(400, 124, 140, 28), "设置用户坐标");
    m_pSetCoord->hide();
    connect(m_pSetCoord, &QPushButton::clicked, this, [this] { SetCoordinate(); });

    MakeControl<QGroupBox>(this, IDC_SR_RELGROUP, QRect(20, 160, 420, 130),
                           QString::fromUtf8("相对移动"));
    m_pDistanceEdit = MakeControl<QLineEdit>(this, IDC_SR_DISTANCE, QRect(40, 194, 200, 28));
    m_pUnitLabel[1] = label(IDC_SR_UNIT_DISTANCE, QRect(250, 196, 60, 24), "mm");
    auto* fwd = button(IDC_SR_FORWARD, QRect(40, 240, 140, 34), "前进");
    auto* back = button(IDC_SR_BACK, QRect(200, 240, 140, 34), "后退");
    connect(fwd, &QPushButton::clicked, this, [this] { StartMotion(Motion::Forward); });
    connect(back, &QPushButton::clicked, this, [this] { StartMotion(Motion::Back); });

    MakeControl<QGroupBox>(this, IDC_SR_ABSGROUP, QRect(460, 160, 420, 130),
                           QString::fromUtf8("绝对移动"));
    m_pTargetEdit = MakeControl<QLineEdit>(this, IDC_SR_TARGET, QRect(480, 194, 200, 28));
    m_pUnitLabel[2] = label(IDC_SR_UNIT_TARGET, QRect(690, 196, 60, 24), "mm");
    auto* run = button(IDC_SR_RUN, QRect(480, 240, 140, 34), "运行");
    connect(run, &QPushButton::clicked, this, [this] { StartMotion(Motion::Run); });

    MakeControl<QGroupBox>(this, IDC_SR_CONTGROUP, QRect(20, 306, 330, 90),
                           QString::fromUtf8("连续运动"));
    auto* cfwd = button(IDC_SR_CONTFORWARD, QRect(32, 340, 148, 34), "连续前进");
    auto* cback = button(IDC_SR_CONTBACK, QRect(190, 340, 148, 34), "连续后退");
    connect(cfwd, &QPushButton::clicked, this, [this] { StartMotion(Motion::ContForward); });
    connect(cback, &QPushButton::clicked, this, [this] { StartMotion(Motion::ContBack); });

    MakeControl<QGroupBox>(this, IDC_SR_HOMEGROUP, QRect(360, 306, 520, 90),
                           QString::fromUtf8("归零运动"));
    auto* hlim = button(IDC_SR_HOMELIMIT, QRect(372, 340, 164, 34), "负限位归零");
    auto* hopt = button(IDC_SR_HOMEOPTICAL, QRect(542, 340, 164, 34), "光电归零");
    auto* horg = button(IDC_SR_HOMEORIGIN, QRect(712, 340, 164, 34), "用户原点归零");
    connect(hlim, &QPushButton::clicked, this, [this] { StartMotion(Motion::HomeLimit); });
    connect(hopt, &QPushButton::clicked, this, [this] { StartMotion(Motion::HomeOptical); });
    connect(horg, &QPushButton::clicked, this, [this] { StartMotion(Motion::Origin); });

    auto* stop = button(IDC_SR_STOP, QRect(20, 416, 420, 60), "立即停止");
    auto* slow = button(IDC_SR_STOPSLOW, QRect(460, 416, 420, 60), "减速停止");
    connect(stop, &QPushButton::clicked, this, [this] { RequestStop(false); });
    connect(slow, &QPushButton::clicked, this, [this] { RequestStop(true); });

    m_pStatus = label(IDC_SR_STATUS, QRect(20, 500, 860, 24), "");
}

CKORVAKT3002& CSingleRunDlg::Control() const {
    return m_pView->Control();
}

void CSingleRunDlg::ApplyLanguage(const CKT300Doc& doc) {
    doc.ApplyDialogTexts(this, IDD_SINGLERUN);
}

QAbstractButton* CSingleRunDlg::Button(int controlId) const {
    return FindControlAs<QAbstractButton>(const_cast<CSingleRunDlg*>(this), controlId);
}

QLineEdit* CSingleRunDlg::Edit(int controlId) const {
    return FindControlAs<QLineEdit>(const_cast<CSingleRunDlg*>(this), controlId);
}

QString CSingleRunDlg::PositionText() const {
    return m_pPositionEdit->text();
}
QString CSingleRunDlg::UnitLabelText() const {
    return m_pUnitLabel[0]->text();
}

// --- button states ---

void CSingleRunDlg::SetMotionButtons(bool motionEnabled, bool stopEnabled, bool othersEnabled) {
    for (QObject* child : children()) {
        auto* w = qobject_cast<QWidget*>(child);
        if (w == nullptr || ControlId(w) == 0) continue;
        const int id = ControlId(w);
        bool enabled = othersEnabled;
        if (std::find(kMotionButtons.begin(), kMotionButtons.end(), id) != kMotionButtons.end()) {
            enabled = motionEnabled && m_strBlocked.isEmpty();
            w->setToolTip(m_strBlocked);
        } else if (std::find(kStopButtons.begin(), kStopButtons.end(), id) != kStopButtons.end()) {
            enabled = stopEnabled;
        }
        w->setEnabled(enabled);
    }
}

void CSingleRunDlg::SetIdleState() {
    m_bBusy = false;
    SetMotionButtons(true, false, true);
}
void CSingleRunDlg::SetBusyState() {
    m_bBusy = true;
    SetMotionButtons(false, true, true);
}
void CSingleRunDlg::DisableAll() {
    m_bBusy = false;
    SetMotionButtons(false, false, false);
}

void CSingleRunDlg::SetStartBlocked(const QString& reason) {
    if (reason == m_strBlocked) return;
    m_strBlocked = reason;
    if (m_bBusy) {
        SetBusyState();
    } else if (m_pRadio[0]->isEnabled()) {
        SetIdleState();
    }
}

void CSingleRunDlg::EndAllMotion() {
    for (int a = 0; a < kAxes; ++a) {
        m_nMonitoring[a] = 0;
        m_nRunning[a] = 0;
        m_nStopRequest[a] = 0;
        m_nStopSlowRequest[a] = 0;
    }
    // Also after a Stop all that dropped the open sequence's last requests,
    // which would have ended its all-disabled reading state.
    SetIdleState();
    SetStatusText(QString());
    m_pView->RestoreTabs();
    m_pView->MotionEnded(CKT300View::kSingleRun);
}

// --- units and status ---

int CSingleRunDlg::UnitIndexOfCode(const QString& code) {
    if (code == QLatin1String("d")) return 0;
    if (code == QLatin1String("m")) return 1;
    if (code == QLatin1String("s")) return 2;
    if (code == QLatin1String("u")) return 3;
    return -1;
}

void CSingleRunDlg::SetUnitLabels(int unitIndex) {
    if (unitIndex < 0 || unitIndex >= static_cast<int>(kUnitLabels.size())) return;
    for (QLabel* l : m_pUnitLabel) l->setText(QString::fromLatin1(kUnitLabels[unitIndex]));
}

void CSingleRunDlg::SetUnitCode(int axis, const QString& code) {
    if (axis >= 0 && axis < kAxes) m_strUnitCode[axis] = code;
}

QString CSingleRunDlg::UnitCode(int axis) const {
    return axis >= 0 && axis < kAxes ? m_strUnitCode[axis] : QString();
}

void CSingleRunDlg::SetStatusText(const QString& text) {
    m_pStatus->setText(text);
}

void CSingleRunDlg::ShowPosition(int axis, double position) {
    if (axis != m_nAxis.load() || m_nMonitoring[axis] != 0) return;
    m_fPosition = static_cast<float>(position);
    Refresh();
}

// --- the bound controls ---

void CSingleRunDlg::Refresh() {
    // A field the operator is typing in keeps its text; the others show the
    // state. Distance and target change only from their own fields.
    if (!(m_pPositionEdit->hasFocus() && m_pPositionEdit->isModified())) {
        m_pPositionEdit->setText(FormatGeneral(m_fPosition.load()));
        m_pPositionEdit->setModified(false);
    }
    if (!m_pDistanceEdit->hasFocus()) m_pDistanceEdit->setText(FormatGeneral(m_fDistance));
    if (!m_pTargetEdit->hasFocus()) m_pTargetEdit->setText(FormatGeneral(m_fTarget));
}

// --- axis selection ---

void CSingleRunDlg::SelectAxis(int axis) {
    if (axis < 0 || axis >= kAxes) return;
    m_pRadio[axis]->setChecked(true);
    m_nAxis = axis;
    for (int other = 0; other < kAxes; ++other) {
        if (other != axis) m_nMonitoring[other] = 0;
    }
    SetUnitLabels(UnitIndexOfCode(m_strUnitCode[axis]));

    // The standstill test reads the axis twice on the device worker; the
    // window decides the button state when the readings come back.
    CKORVAKT3002* ctl = &Control();
    const int starts = m_nStarts;
    struct Readings {
        double first = 0;
        double second = 0;
    };
    m_pView->Worker().Post<Readings>(
        this,
        [ctl, axis] {
            Readings r;
            const auto a = static_cast<std::int16_t>(axis);
            r.first = ctl->GetPosition(a);
            std::this_thread::sleep_for(50ms);
            r.second = ctl->GetPosition(a);
            if (r.first == r.second) ctl->SetStopFlag(a, 0);
            std::this_thread::sleep_for(50ms);
            return r;
        },
        [this, axis, starts](Readings r) {
            // Another axis was chosen, or a motion started, meanwhile.
            if (m_nAxis.load() != axis || m_nStarts != starts) return;
            m_fPosition = static_cast<float>(r.second);
            m_pPositionEdit->setText(FormatGeneral(m_fPosition.load()));
            m_pPositionEdit->setModified(false);
            m_pView->SetReadout(axis, r.second);
            if (r.first == r.second) {
                // Standing still: whatever the flags say, this axis is not moving.
                m_nRunning[axis] = 0;
                m_nMonitoring[axis] = 0;
            }
            if (m_nRunning[axis] != 0) {
                m_nMonitoring[axis] = 1;
                SetBusyState();
                m_pView->ReduceTabs();
                m_pView->MotionStarted(CKT300View::kSingleRun);
                StartMonitorThread();
            } else {
                SetIdleState();
                m_pView->RestoreTabs();
                m_pView->MotionEnded(CKT300View::kSingleRun);
            }
        });
}

// --- motion ---

void CSingleRunDlg::StartMotion(Motion motion) {
    // The number check comes first: a refused entry starts nothing.
    if (motion == Motion::Forward || motion == Motion::Back) {
        if (!ReadFloatField(m_pDistanceEdit, m_fDistance)) return;
    } else if (motion == Motion::Run) {
        if (!ReadFloatField(m_pTargetEdit, m_fTarget)) return;
    }
    if (!m_strBlocked.isEmpty()) return;
    ++m_nStarts;
    m_pView->ReduceTabs();
    SetBusyState();
    m_pView->MotionStarted(CKT300View::kSingleRun);

    const int axis = m_nAxis.load();
    CKORVAKT3002* ctl = &Control();
    CKT300View* view = m_pView;
    const unsigned epoch = view->StopEpoch();
    const float distance = m_fDistance;
    const float target = m_fTarget;
    // The commands go out on the device worker; a Stop all pressed before
    // the motion command is sent cancels it.
    m_pView->Worker().Post<bool>(
        this,
        [ctl, view, epoch, axis, motion, distance, target] {
            const auto a = static_cast<std::int16_t>(axis);
            auto hold = ctl->HoldCalls();
            auto stopped = [&] { return view->StopEpoch() != epoch; };
            ctl->SetStopFlag(a, 0);
            std::int16_t work = 0;
            if (motion == Motion::Forward || motion == Motion::Back || motion == Motion::Run)
                work = ctl->Getworkstate(a);
            if (stopped()) return false;
            switch (motion) {
                case Motion::Forward:
                    ctl->GoPosition(a, work, 1, 1, distance);
                    break;
                case Motion::Back:
                    ctl->GoPosition(a, work, 1, 0, distance);
                    break;
                case Motion::Run: {
                    const std::int16_t dir = target > 0.0f ? 1 : 0;
                    ctl->GoPosition(a, work, 0, dir, std::fabs(target));
                    break;
                }
                case Motion::ContForward:
                    ctl->Go(a, 1);
                    break;
                case Motion::ContBack:
                    ctl->Go(a, 0);
                    break;
                case Motion::HomeLimit:
                    ctl->Setsechhome(a, 1);
                    if (!stopped()) ctl->GoHome(a);
                    break;
                case Motion::HomeOptical:
                    ctl->Setsechhome(a, 2);
                    if (!stopped()) ctl->GoHome(a);
                    break;
                case Motion::Origin:
                    ctl->GoOrigion(a);
                    break;
            }
            return true;
        },
        [this, axis](bool started) {
            if (!started) return;
            m_nRunning[axis] = 1;
            m_nMonitoring[axis] = 1;
            StartMonitorThread();
        });
}

void CSingleRunDlg::RequestStop(bool slow) {
    m_pView->RestoreTabs();
    const int axis = m_nAxis.load();
    if (slow) {
        m_nStopSlowRequest[axis] = 1;
    } else {
        m_nStopRequest[axis] = 1;
    }
}

void CSingleRunDlg::SetCoordinate() {
    float value = 0.0f;
    if (!ReadFloatField(m_pPositionEdit, value)) return;
    m_fPosition = value;
    m_pPositionEdit->setModified(false);
    CKORVAKT3002* ctl = &Control();
    const auto a = static_cast<std::int16_t>(m_nAxis.load());
    m_pView->Worker().Post(this, [ctl, a, value] { ctl->SetUserOrg(a, value); }, {});
}

void CSingleRunDlg::mousePressEvent(QMouseEvent* event) {
    // A click on an empty spot ends the edit, which sets the coordinate.
    setFocus(Qt::MouseFocusReason);
    QWidget::mousePressEvent(event);
}

bool CSingleRunDlg::eventFilter(QObject* watched, QEvent* event) {
    if (watched == m_pPositionEdit && IsLeavingField(event) && !m_bSettingCoordinate) {
        // Only an edited coordinate is sent: the field shows six significant
        // digits, so sending an untouched text back would move the origin.
        if (m_pPositionEdit->isModified()) {
            m_bSettingCoordinate = true;
            SetCoordinate();
            m_bSettingCoordinate = false;
        }
    }
    return QWidget::eventFilter(watched, event);
}

// --- the monitor thread ---

bool CSingleRunDlg::HasMonitorThreads() const {
    for (const auto& w : m_workers) {
        if (!w->finished.load()) return true;
    }
    return false;
}

void CSingleRunDlg::ReapFinishedThreads() {
    for (auto it = m_workers.begin(); it != m_workers.end();) {
        if ((*it)->finished.load()) {
            (*it)->thread.join();  // it has returned already: no wait
            it = m_workers.erase(it);
        } else {
            ++it;
        }
    }
}

void CSingleRunDlg::StartMonitorThread() {
    ReapFinishedThreads();
    if (m_bShuttingDown) return;
    auto worker = std::make_unique<Worker>();
    Worker* self = worker.get();
    worker->thread = std::thread([this, self] { MonitorMain(self); });
    m_workers.push_back(std::move(worker));
}

void CSingleRunDlg::SendToGui(const std::function<void()>& fn) {
    if (m_bShuttingDown) return;
    QMetaObject::invokeMethod(this, fn, Qt::BlockingQueuedConnection);
}

void CSingleRunDlg::MonitorMain(Worker* self) {
    std::this_thread::sleep_for(100ms);
    const int axis = m_nAxis.load();
    const auto a = static_cast<std::int16_t>(axis);
    CKORVAKT3002& ctl = Control();
    bool endedAtOnce = false;
    if (m_nMonitoring[axis] != 0) {
        bool stopped = false;
        int passes = 0;
        do {
            if (m_nStopRequest[axis].exchange(0) != 0) ctl.Stop(a);
            if (m_nStopSlowRequest[axis].exchange(0) != 0) ctl.StopSlow(a);
            const double position = ctl.GetPosition(a);
            if (m_nMonitoring[axis] == 0) {
                endedAtOnce = true;
                break;
            }
            m_fPosition = static_cast<float>(position);
            // A closed link never reports the stop: the motion counts as
            // ended, so the panel cannot stay busy for good.
            if (ctl.GetStopFlag(a) || !ctl.GetIsOpen()) stopped = true;
            std::this_thread::sleep_for(2ms);
            if (m_nMonitoring[axis] == 0) {
                endedAtOnce = true;
                break;
            }
            if (stopped && ++passes >= 2) {
                // One more position pass follows the first sighting of the
                // stop flag, so the final position is shown.
                m_nRunning[axis] = 0;
                stopped = false;
                m_nMonitoring[axis] = 0;
                ctl.SetStopFlag(a, 0);
            }
            SendToGui([this, axis] {
                Refresh();
                m_pView->SetReadout(axis, m_fPosition.load());
            });
        } while (m_nMonitoring[axis] != 0);
    }
    if (!endedAtOnce) {
        SendToGui([this] {
            SetIdleState();
            m_pView->RestoreTabs();
            m_pView->MotionEnded(CKT300View::kSingleRun);
        });
    }
    self->finished = true;
}

void CSingleRunDlg::StopMonitoring() {
    m_bShuttingDown = true;
    for (auto& flag : m_nMonitoring) flag = 0;
    // A worker may be waiting in a refresh it sent before it saw the flag:
    // deliver that call while waiting, so neither side waits for the other.
    GuiBlockingScope blocking;
    for (auto& w : m_workers) {
        while (!w->finished.load()) {
            QCoreApplication::sendPostedEvents(this, QEvent::MetaCall);
            std::this_thread::sleep_for(1ms);
        }
        w->thread.join();
    }
    m_workers.clear();
}

}  // namespace stagedesk
