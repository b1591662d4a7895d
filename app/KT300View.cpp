#include "KT300View.h"

#include <QSettings>
#include <QTabBar>

#include "AppMessage.h"
#include "CommSelectDlg.h"
#include "DialogFields.h"
#include "DxfRunDlg.h"
#include "KT300Doc.h"
#include "ParamSetDlg.h"
#include "PlanRunDlg.h"
#include "Resource.h"
#include "SingleRunDlg.h"

namespace stagedesk {
namespace {

constexpr std::array<const char*, CKT300View::kPanels> kTabKeys = {"IDS_SINGLERUN", "IDS_PARAMSET",
                                                                   "IDS_PLANRUN", "IDS_DXFRUN"};
// Tab texts until a language file gives its own.
constexpr std::array<const char*, CKT300View::kPanels> kTabDefaults = {"单轴运动", "参数设置",
                                                                       "计划运行", "DXF"};
constexpr int kPanelTop = 22;

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
    m_pParamSet->StopWriting();
    m_pSingleRun->StopMonitoring();
    m_pPlanRun->StopThreads();
    m_pDxfRun->StopThreads();
    m_Ctrl.Destroy();
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
    CCommSelectDlg dlg(&m_Ctrl, m_pDoc, this);
    if (dlg.exec() != QDialog::Accepted) return;
    OpenDevice();
}

bool CKT300View::OpenDevice() {
    const QString failing = GetText("IDS_OPEN_EQUIP_FAILING");
    const QString success = GetText("IDS_OPEN_EQUIP_SUCCESS");
    const QString reading = GetText("IDC_STATIC_READINGRUN");

    m_Ctrl.Selectdev(1);
    if (!m_Ctrl.Connect() || !m_Ctrl.GetIsOpen()) {
        ShowMessage(this, failing);
        return false;
    }
    ShowMessage(this, success);

    m_pSingleRun->DisableAll();
    m_pSingleRun->SetStatusText(reading);
    m_pParamSet->ReloadAll();
    m_pSingleRun->SetStatusText(QString());
    m_pSingleRun->SelectAxis(0);

    for (int axis = 0; axis < CSingleRunDlg::kAxes; ++axis) {
        m_pSingleRun->SetUnitCode(axis, m_Ctrl.GetUnit(static_cast<std::int16_t>(axis)));
    }
    m_pSingleRun->SetUnitLabels(CSingleRunDlg::UnitIndexOfCode(m_pSingleRun->UnitCode(0)));
    return true;
}

void CKT300View::OnComportClose() {
    m_Ctrl.DisConnect();
    QString message = GetText("IDS_CLOSE_EQUIP_COMPLETE");
    if (m_Ctrl.GetIsOpen()) {
        m_Ctrl.DisConnect();
        if (m_Ctrl.GetIsOpen()) message = QStringLiteral("CLose KT300 Failed!!");
    }
    ShowMessage(this, message);
}

}  // namespace stagedesk
