#include "SettingDlg.h"

#include <QDialogButtonBox>
#include <QPushButton>
#include <QTabWidget>
#include <QVBoxLayout>

#include "ControlFace.h"
#include "KORVAKT3002Ctl.h"
#include "ParamPages.h"
#include "ProRunPlan.h"

namespace korva::ui {

QString CSettingDlg::BaseTitle(const std::string& language) {
    return language == "English" ? QStringLiteral("Base Parameters Setting")
                                 : QStringLiteral("基本参数设置");
}

CSettingDlg::CSettingDlg(CKORVAKT3002Ctrl* control, QWidget* parent)
    : QDialog(parent), m_pControl(control), m_pTabs(new QTabWidget(this)) {
    setWindowTitle(QStringLiteral("KT300 Properties"));
    setWindowIcon(ControlIcon());
    setModal(true);

    const std::string language = m_pControl != nullptr ? m_pControl->GetLangenge() : std::string();
    const std::array<QString, kPages> titles = {
        BaseTitle(language), QStringLiteral("Position Parameters"),
        QStringLiteral("Run Parameters"), QStringLiteral("RunPlan")};
    for (int i = 0; i < kPages; ++i) {
        auto* holder = new QWidget;
        auto* layout = new QVBoxLayout(holder);
        layout->setContentsMargins(0, 0, 0, 0);
        m_pHolder[static_cast<std::size_t>(i)] = holder;
        m_pTabs->addTab(holder, titles[static_cast<std::size_t>(i)]);
    }

    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    buttons->button(QDialogButtonBox::Ok)->setProperty("controlId", 1);
    buttons->button(QDialogButtonBox::Cancel)->setProperty("controlId", 2);
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(m_pTabs, 1);
    layout->addWidget(buttons);

    m_nSharedAxis = 0;  // every parameter page starts on axis X
    EnsurePage(0);
    connect(m_pTabs, &QTabWidget::currentChanged, this, [this](int index) { EnsurePage(index); });
    resize(940, 680);
}

CParamPage* CSettingDlg::ParamPage(int index) const {
    return index >= 0 && index < 3 ? m_pParam[static_cast<std::size_t>(index)] : nullptr;
}

void CSettingDlg::ShowPage(int index) {
    EnsurePage(index);
    m_pTabs->setCurrentIndex(index);
}

void CSettingDlg::EnsurePage(int index) {
    if (index < 0 || index >= kPages) return;
    QWidget* holder = m_pHolder[static_cast<std::size_t>(index)];
    if (!holder->layout()->isEmpty()) return;
    QWidget* page = nullptr;
    switch (index) {
        case 0:
            page = m_pParam[0] = new CProBaseParam(m_pControl, m_nSharedAxis, holder);
            break;
        case 1:
            page = m_pParam[1] = new CProPosParam(m_pControl, m_nSharedAxis, holder);
            break;
        case 2:
            page = m_pParam[2] = new CProRunParam(m_pControl, m_nSharedAxis, holder);
            break;
        default:
            m_pPlan = new CProRunPlan(m_pControl, holder);
            page = m_pPlan;
            connect(m_pPlan, &CProRunPlan::runFinished, this, [this] {
                if (!m_pendingResult) return;
                const int result = *m_pendingResult;
                m_pendingResult.reset();
                QDialog::done(result);
            });
            break;
    }
    holder->layout()->addWidget(page);
}

void CSettingDlg::done(int result) {
    if (m_pPlan != nullptr && !m_pPlan->PrepareToClose()) {
        m_pendingResult = result;  // closes when the run has ended
        return;
    }
    QDialog::done(result);
}

}  // namespace korva::ui
