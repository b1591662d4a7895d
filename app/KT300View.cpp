#include "KT300View.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QSettings>
#include <QTabBar>
#include <QThread>
#include <chrono>
#include <optional>
#include <thread>

#include "AppMessage.h"
#include "CommSelectDlg.h"
#include "DialogFields.h"
#include "DxfRunDlg.h"
#include "KT300Doc.h"
#include "ParamSetDlg.h"
#include "PlanRunDlg.h"
#include "PortMap.h"
#include "Resource.h"
#include "SingleRunDlg.h"
#include "UserMessageBridge.h"

namespace stagedesk {
namespace {

constexpr std::array<const char*, CKT300View::kPanels> kTabKeys = {"IDS_SINGLERUN", "IDS_PARAMSET",
                                                                   "IDS_PLANRUN", "IDS_DXFRUN"};
// Tab texts until a language file gives its own.
constexpr std::array<const char*, CKT300View::kPanels> kTabDefaults = {"单轴运动", "参数设置",
                                                                       "计划运行", "DXF"};
constexpr int kPanelTop = 22;
// While anything moves the readout is refreshed this often; idle, never.
constexpr int kReadoutEveryMs = 250;
constexpr std::array<const char*, 4> kAxisNames = {"X", "Y", "Z", "T"};
constexpr std::array<const char*, 4> kUnitTexts = {"deg", "mm", "PP", "um"};

}  // namespace

CKT300View::CKT300View(CKT300Doc* doc, QWidget* parent) : QWidget(parent), m_pDoc(doc) {
    // The user profile keeps the language between runs.
    QSettings profile;
    m_nLanguage = profile.value(QStringLiteral("setting/Language"), 0).toInt();

    m_pTab = MakeControl<QTabBar>(this, IDC_TAB, QRect(0, 0, 900, kPanelTop));
    m_pTab->setDrawBase(true);
    m_pTab->setExpanding(false);
    for (int i = 0; i < kPanels; ++i) m_pTab->addTab(QString::fromUtf8(kTabDefaults[i]));
    connect(m_pTab, &QTabBar::currentChanged, this, [this](int index) { OnTabChanged(index); });

    m_pParamSet = new CParamSetDlg(this, this);
    m_pPlanRun = new CPlanRunDlg(this, this);
    m_pDxfRun = new CDxfRunDlg(this, this);
    m_pSingleRun = new CSingleRunDlg(this, this);
    m_pParamSet->setGeometry(0, kPanelTop, 900, 660);
    m_pSingleRun->setGeometry(0, kPanelTop, 900, 660);
    m_pPlanRun->setGeometry(0, kPanelTop, 900, 700);
    m_pDxfRun->setGeometry(0, kPanelTop, 900, 700);
    for (int i = 0; i < kPanels; ++i) PanelAt(i)->hide();

    m_worker = std::make_unique<CDeviceWorker>();
    m_stopLine =
        std::make_unique<CStopLine>([this](bool slow, const std::function<bool()>& superseded) {
            return m_Ctrl.StopAxesNow(slow, superseded);
        });
    // A stop on its way goes first: no request starts before it is sent.
    m_worker->SetGate([this] {
        while (m_stopLine->Overtaking()) std::this_thread::sleep_for(std::chrono::milliseconds(2));
    });
    m_readoutTimer.setInterval(kReadoutEveryMs);
    connect(&m_readoutTimer, &QTimer::timeout, this, [this] { RequestReadout(); });
    connect(m_pPlanRun, &CPlanRunDlg::RunStarted, this, [this] { MotionStarted(kPlanRun); });
    connect(m_pPlanRun, &CPlanRunDlg::RunFinished, this, [this] { MotionEnded(kPlanRun); });
    connect(m_pDxfRun, &CDxfRunDlg::RunStarted, this, [this] { MotionStarted(kDxfRun); });
    connect(m_pDxfRun, &CDxfRunDlg::RunFinished, this, [this] { MotionEnded(kDxfRun); });
}

CKT300View::~CKT300View() {
    Shutdown();
}

bool CKT300View::CreateControl(std::string* error) {
    return m_Ctrl.Create(this, error);
}

QWidget* CKT300View::PanelAt(int index) const {
    switch (index) {
        case kSingleRun:
            return m_pSingleRun;
        case kParamSet:
            return m_pParamSet;
        case kPlanRun:
            return m_pPlanRun;
        case kDxfRun:
            return m_pDxfRun;
        default:
            return nullptr;
    }
}

QString CKT300View::GetText(const char* key) const {
    return m_pDoc->GetText(key);
}

void CKT300View::OnInitialUpdate() {
    if (!m_pDoc->Language().Load()) {
        ShowMessage(this, QStringLiteral("Load language resource failure!"));
    }
    SwitchLanguage(m_nLanguage);
    ShowPanel(kSingleRun);
}

void CKT300View::Shutdown() {
    if (m_bShutDown) return;
    m_bShutDown = true;
    m_readoutTimer.stop();
    m_pParamSet->StopWriting();
    m_pSingleRun->StopMonitoring();
    m_pPlanRun->StopThreads();
    m_pDxfRun->StopThreads();
    {
        // The request in progress ends within its time limit; a library
        // message it reports meanwhile must not wait for the window.
        GuiBlockingScope blocking;
        m_worker->Shutdown();
        m_stopLine->Shutdown();
    }
    m_Ctrl.Destroy();
}

bool CKT300View::WaitIdle(int timeoutMs) {
    QElapsedTimer clock;
    clock.start();
    for (;;) {
        QCoreApplication::sendPostedEvents();
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        if (!m_worker->Busy() && !m_stopLine->Overtaking() && !m_bLeaving) return true;
        if (clock.elapsed() > timeoutMs) return false;
        QThread::msleep(2);
    }
}

// --- Stop all ---

void CKT300View::StopAll(bool slow) {
    // The stop goes out first; everything else only tidies the window.
    m_stopLine->Request(slow);
    ++m_nStopEpoch;
    m_worker->CancelPending();
    m_pSingleRun->EndAllMotion();
    m_pPlanRun->StopRun();
    m_pDxfRun->StopRun();
    m_pParamSet->CancelRequests();
    m_bReadoutPending = false;
    // The axes need a moment to stand: show where they ended.
    QTimer::singleShot(300, this, [this] { RequestReadout(); });
}

// --- one motion at a time ---

void CKT300View::MotionStarted(int panel) {
    if (m_nMotionOwner == -1) m_nMotionOwner = panel;
    UpdateInterlock();
    if (m_bDeviceOpen) m_readoutTimer.start();
}

void CKT300View::MotionEnded(int panel) {
    if (m_nMotionOwner != panel) return;
    m_nMotionOwner = -1;
    UpdateInterlock();
    m_readoutTimer.stop();
    RequestReadout();
}

QString CKT300View::StartBlockedReason(int panel) const {
    if (m_nMotionOwner == -1 || m_nMotionOwner == panel) return {};
    switch (m_nMotionOwner) {
        case kSingleRun:
            return QStringLiteral("A single-axis motion is running: stop it first.");
        case kPlanRun:
            return QStringLiteral("The plan run is running: stop it first.");
        case kDxfRun:
            return QStringLiteral("The DXF run is running: stop it first.");
        default:
            return {};
    }
}

void CKT300View::UpdateInterlock() {
    m_pSingleRun->SetStartBlocked(StartBlockedReason(kSingleRun));
    m_pPlanRun->SetStartBlocked(StartBlockedReason(kPlanRun));
    m_pDxfRun->SetStartBlocked(StartBlockedReason(kDxfRun));
    emit statusChanged();
}

// --- status and readout ---

QString CKT300View::ErrorCodeText(int code) {
    if (code >= 20040 && code <= 20047)
        return QStringLiteral("the controller answered E0%1").arg(code - 20040);
    switch (code) {
        case 0:
            return QStringLiteral("no error");
        case 20004:
            return QStringLiteral("the link is closed");
        case 20005:
            return QStringLiteral("another exchange was in progress");
        case 20008:
            return QStringLiteral("the command could not be sent");
        case 20010:
            return QStringLiteral("the input port reply could not be read");
        case 20011:
            return QStringLiteral("the reply held no value");
        case 20012:
            return QStringLiteral("interrupted by a stop");
        case 10302:
            return QStringLiteral("the controller did not answer the handshake");
        case 10103:
            return QStringLiteral("the device is not open");
        case 10104:
            return QStringLiteral("the device hung up");
        case 10120:
            return QStringLiteral("no reply within the time limit");
        case 10121:
            return QStringLiteral("the reply held no OK");
        default:
            return QStringLiteral("error %1").arg(code);
    }
}

void CKT300View::ReportFailure(const QString& call, int code) {
    m_strLastFailure =
        QStringLiteral("%1 failed: code %2, %3").arg(call).arg(code).arg(ErrorCodeText(code));
    emit statusChanged();
}

QString CKT300View::ReadoutText() const {
    QStringList parts;
    for (int a = 0; a < CSingleRunDlg::kAxes; ++a) {
        const int unit = CSingleRunDlg::UnitIndexOfCode(m_pSingleRun->UnitCode(a));
        QString text = QStringLiteral("%1 %2").arg(QLatin1String(kAxisNames[a]),
                                                   FormatGeneral(static_cast<float>(m_readout[a])));
        if (unit >= 0) text += QLatin1Char(' ') + QLatin1String(kUnitTexts[unit]);
        parts << text;
    }
    return parts.join(QStringLiteral("   "));
}

void CKT300View::SetReadout(int axis, double position) {
    if (axis < 0 || axis >= 4) return;
    m_readout[static_cast<std::size_t>(axis)] = position;
    emit readoutChanged();
}

void CKT300View::RequestReadout() {
    if (!m_bDeviceOpen || m_bReadoutPending || m_bShutDown) return;
    m_bReadoutPending = true;
    CKORVAKT3002* c = &m_Ctrl;
    m_worker->Post<std::array<std::optional<double>, 4>>(
        this,
        [c] {
            // Only readings that were answered replace what is shown.
            std::array<std::optional<double>, 4> p{};
            auto hold = c->HoldCalls();
            for (std::int16_t a = 0; a < 4; ++a) {
                const double position = c->GetPosition(a);
                if (c->GetErrorCode() != 0) break;
                p[static_cast<std::size_t>(a)] = position;
            }
            return p;
        },
        [this](std::array<std::optional<double>, 4> p) {
            m_bReadoutPending = false;
            for (std::size_t a = 0; a < p.size(); ++a) {
                if (!p[a]) continue;
                m_readout[a] = *p[a];
                // After Stop all the panel's coordinate shows where the axis
                // ended, as the readout does.
                m_pSingleRun->ShowPosition(static_cast<int>(a), *p[a]);
            }
            emit readoutChanged();
        });
}

// --- leaving safely ---

void CKT300View::LeaveSafely(const std::function<void()>& then) {
    bool moving = m_nMotionOwner != -1;
    for (int a = 0; a < CSingleRunDlg::kAxes; ++a) moving = moving || m_pSingleRun->IsRunning(a);
    if (!m_bDeviceOpen || !moving || m_bLeaving) {
        if (!m_bLeaving) then();
        return;
    }
    m_bLeaving = true;
    StopAll(true);
    CKORVAKT3002* c = &m_Ctrl;
    const auto limit = std::chrono::milliseconds(kStandStillLimitMs);
    m_worker->Post<bool>(
        this,
        [c, limit] {
            // Standing: two readings of all four axes 100 ms apart agree and
            // every read was answered.
            using Clock = std::chrono::steady_clock;
            const auto end = Clock::now() + limit;
            std::array<double, 4> last{};
            bool haveLast = false;
            while (Clock::now() < end) {
                std::array<double, 4> now{};
                bool answered = true;
                {
                    auto hold = c->HoldCalls();
                    for (std::int16_t a = 0; a < 4 && answered; ++a) {
                        now[static_cast<std::size_t>(a)] = c->GetPosition(a);
                        answered = c->GetErrorCode() == 0;
                    }
                }
                if (answered && haveLast && now == last) return true;
                last = now;
                haveLast = answered;
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
            }
            return false;
        },
        [this, then](bool stood) {
            if (!stood) {
                ShowMessage(this,
                            QStringLiteral("The axes were stopped, but they did not report "
                                           "standing still within %1 s. Check the stage.")
                                .arg(kStandStillLimitMs / 1000),
                            MsgIcon::Warning);
            }
            FinishLeaving(then, QDeadlineTimer(kStandStillLimitMs));
        });
}

void CKT300View::FinishLeaving(const std::function<void()>& then, QDeadlineTimer deadline) {
    // The runs end on their own once their stop flag is seen (a plan's
    // completion wait needs a few more readings): go on when they have.
    if (m_nMotionOwner != -1 && !deadline.hasExpired()) {
        QTimer::singleShot(20, this, [this, then, deadline] { FinishLeaving(then, deadline); });
        return;
    }
    m_bLeaving = false;
    then();
}

// --- tabs ---

void CKT300View::ShowPanel(int index) {
    QWidget* shown = PanelAt(index);
    if (shown == nullptr) return;
    for (int i = 0; i < kPanels; ++i) {
        if (i != index) PanelAt(i)->hide();
    }
    shown->show();
    m_nCurrentPanel = index;
    if (m_pTab->currentIndex() != index && index < m_pTab->count()) {
        m_bRebuildingTabs = true;
        m_pTab->setCurrentIndex(index);
        m_bRebuildingTabs = false;
    }
}

void CKT300View::OnTabChanged(int index) {
    if (m_bRebuildingTabs) return;
    ShowPanel(index);
}

void CKT300View::RebuildTabs(bool reduced) {
    m_bRebuildingTabs = true;
    const int wanted = reduced ? 1 : kPanels;
    for (int i = 0; i < wanted; ++i) {
        const QString text = GetText(kTabKeys[i]);
        if (i < m_pTab->count()) m_pTab->removeTab(i);
        m_pTab->insertTab(i, text);
    }
    while (m_pTab->count() > wanted) m_pTab->removeTab(m_pTab->count() - 1);
    // The selection follows the panel on show.
    const int current = m_nCurrentPanel < m_pTab->count() ? m_nCurrentPanel : 0;
    m_pTab->setCurrentIndex(current);
    m_bRebuildingTabs = false;
}

void CKT300View::ReduceTabs() {
    if (m_bTabsReduced) return;
    m_bTabsReduced = true;
    m_bRebuildingTabs = true;
    while (m_pTab->count() > 1) m_pTab->removeTab(m_pTab->count() - 1);
    m_bRebuildingTabs = false;
    if (m_nCurrentPanel != kSingleRun) ShowPanel(kSingleRun);
}

void CKT300View::RestoreTabs() {
    if (!m_bTabsReduced) return;
    m_bTabsReduced = false;
    m_bRebuildingTabs = true;
    for (int i = m_pTab->count(); i < kPanels; ++i) m_pTab->insertTab(i, GetText(kTabKeys[i]));
    m_bRebuildingTabs = false;
}

// --- language ---

QString CKT300View::LanguageName(int index) {
    switch (index) {
        case 0:
            return QStringLiteral("English");
        case 1:
            return QStringLiteral("Chinese");
        default:
            return QStringLiteral("Default");
    }
}

void CKT300View::SwitchLanguage(int index) {
    LeaveSafely([this, index] { DoSwitchLanguage(index); });
}

void CKT300View::DoSwitchLanguage(int index) {
    m_nLanguage = index;
    QSettings profile;
    profile.setValue(QStringLiteral("setting/Language"), index);
    if (m_pDoc->Language().SelectLanguage(LanguageName(index).toStdString())) ApplyLanguage();
}

void CKT300View::ApplyLanguage() {
    emit languageApplied();
    m_pParamSet->ApplyLanguage(*m_pDoc);
    m_pPlanRun->ApplyLanguage(*m_pDoc);
    m_pDxfRun->ApplyLanguage(*m_pDoc);
    m_pSingleRun->ApplyLanguage(*m_pDoc);
    m_pPlanRun->SetGridHeaderFormat(GetText("IDS_INIT_GRID"));
    // While an axis moves the strip keeps its single tab.
    RebuildTabs(m_bTabsReduced);
    update();
}

// --- device ---

void CKT300View::OnComportOpen() {
    if (m_worker->Busy() || m_nMotionOwner != -1) return;
    CCommSelectDlg dlg(&m_Ctrl, m_pDoc, this);
    if (dlg.exec() != QDialog::Accepted) return;
    OpenDevice();
}

bool CKT300View::OpenDevice() {
    if (m_bShutDown) return false;
    struct Opened {
        bool open = false;
        int code = 0;
        bool usb = false;
        int port = 0;
        QString serials;
    };
    CKORVAKT3002* c = &m_Ctrl;
    m_worker->Post<Opened>(
        this,
        [c] {
            Opened o;
            auto hold = c->HoldCalls();
            c->Selectdev(1);
            o.open = c->Connect() && c->GetIsOpen();
            o.code = o.open ? 0 : c->GetErrorCode();
            o.usb = c->GetUSBMODE();
            o.port = c->GetComPort();
            o.serials = c->GetUSBSerials();
            return o;
        },
        [this](Opened o) {
            if (!o.open) {
                if (o.code != 0) ReportFailure(QStringLiteral("Connect"), o.code);
                ShowMessage(this, GetText("IDS_OPEN_EQUIP_FAILING"));
                return;
            }
            m_strConnection = o.usb ? QStringLiteral("USB serial %1").arg(o.serials)
                                    : QStringLiteral("Serial port COM%1 (%2)")
                                          .arg(o.port)
                                          .arg(QString::fromStdString(korva::PortDevicePath(
                                              static_cast<unsigned>(o.port))));
            AfterOpen(true);
        });
    return true;
}

void CKT300View::AfterOpen(bool opened) {
    m_bDeviceOpen = opened;
    emit statusChanged();
    ShowMessage(this, GetText("IDS_OPEN_EQUIP_SUCCESS"));
    m_pSingleRun->DisableAll();
    m_pSingleRun->SetStatusText(GetText("IDC_STATIC_READINGRUN"));
    m_pParamSet->ReloadAll([this] {
        m_pSingleRun->SetStatusText(QString());
        ReadUnits();
    });
}

void CKT300View::ReadUnits() {
    struct Units {
        std::array<QString, 4> code;
        int model = 0;
    };
    CKORVAKT3002* c = &m_Ctrl;
    m_worker->Post<Units>(
        this,
        [c] {
            // A controller that stopped answering costs one time limit here.
            Units u;
            auto hold = c->HoldCalls();
            for (std::int16_t a = 0; a < 4; ++a) {
                u.code[static_cast<std::size_t>(a)] = c->GetUnit(a);
                if (c->GetErrorCode() != 0) return u;
            }
            u.model = c->GetSystemInfo();
            return u;
        },
        [this](Units u) {
            for (int a = 0; a < CSingleRunDlg::kAxes; ++a)
                m_pSingleRun->SetUnitCode(a, u.code[static_cast<std::size_t>(a)]);
            m_pSingleRun->SetUnitLabels(CSingleRunDlg::UnitIndexOfCode(m_pSingleRun->UnitCode(0)));
            const char* model = u.model == 1 ? "KT3007Q" : (u.model == 2 ? "KT300RSX" : nullptr);
            m_strConnection += model != nullptr ? QStringLiteral(", controller %1").arg(model)
                                                : QStringLiteral(", controller model unknown");
            emit statusChanged();
            m_pSingleRun->SelectAxis(0);
            RequestReadout();
        });
}

void CKT300View::OnComportClose() {
    LeaveSafely([this] { CloseDevice(); });
}

void CKT300View::CloseDevice() {
    CKORVAKT3002* c = &m_Ctrl;
    m_worker->Post<bool>(
        this,
        [c] {
            auto hold = c->HoldCalls();
            c->DisConnect();
            if (c->GetIsOpen()) c->DisConnect();
            return !c->GetIsOpen();
        },
        [this](bool closed) {
            m_bDeviceOpen = !closed;
            if (closed) m_strConnection.clear();
            emit statusChanged();
            ShowMessage(this, closed ? GetText("IDS_CLOSE_EQUIP_COMPLETE")
                                     : QStringLiteral("CLose KT300 Failed!!"));
        });
}

}  // namespace stagedesk
