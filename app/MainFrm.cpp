#include "MainFrm.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QKeyEvent>
#include <QKeySequence>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QStatusBar>
#include <QStyle>
#include <QToolBar>
#include <memory>

#include "AboutDlg.h"
#include "AppMessage.h"
#include "KT300View.h"
#include "Resource.h"

namespace stagedesk {
namespace {

constexpr int kFrameX = 200;
constexpr int kFrameY = 150;
constexpr int kFrameWidth = 910;
constexpr int kFrameHeight = 730;

struct MenuText {
    int id;
    const char* key;
};
constexpr MenuText kCommandKeys[] = {
    {ID_COMPORT_OPEN, "ID_COMPORT_OPEN"},
    {ID_COMPORT_CLOSE, "ID_COMPORT_CLOSE"},
    {ID_APP_EXIT, "ID_APP_EXIT"},
    {ID_VIEW_TOOLBAR, "ID_VIEW_TOOLBAR"},
    {ID_VIEW_STATUS_BAR, "ID_VIEW_STATUS_BAR"},
    {ID_LANGUAGE_ENGLISH, "ID_LANGUAGE_ENGLISH"},
    {ID_LANGUAGE_CHINESE, "ID_LANGUAGE_CHINESE"},
    {ID_APP_ABOUT, "ID_APP_ABOUT"},
};
constexpr const char* kPopupKeys[] = {"ID_MENU_FILE1", "ID_MENU_VIEW", "ID_MENU_HELP"};

}  // namespace

CMainFrame::CMainFrame() {
    // No maximize box, no sizing border, the caption without a document name.
    setWindowFlags(Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint);
    setWindowTitle(QStringLiteral("stagedesk"));
    move(kFrameX, kFrameY);
    setFixedSize(kFrameWidth, kFrameHeight);

    m_pView = new CKT300View(&m_Doc, this);
    setCentralWidget(m_pView);
    CreateMenu();

    auto* toolBar = addToolBar(QStringLiteral("Standard"));
    toolBar->setObjectName(QStringLiteral("StandardToolBar"));
    toolBar->setIconSize(QSize(16, 15));
    toolBar->addAction(Command(ID_APP_ABOUT));
    toolBar->addSeparator();
    // Stop all: on the tool bar of every tab. The shortcut is caught for the
    // whole program (also while a dialog or message box is open).
    m_pStopAll = toolBar->addAction(QStringLiteral("Stop all"));
    m_pStopAll->setToolTip(
        QStringLiteral("Stop all axes now (%1)").arg(QLatin1String(kStopAllShortcut)));
    m_pStopAll->setObjectName(QStringLiteral("StopAll"));
    m_pStopAllSlow = toolBar->addAction(QStringLiteral("Slow stop all"));
    m_pStopAllSlow->setToolTip(QStringLiteral("Decelerate and stop all axes"));
    m_pStopAllSlow->setObjectName(QStringLiteral("StopAllSlow"));
    connect(m_pStopAll, &QAction::triggered, this, [this] { m_pView->StopAll(false); });
    connect(m_pStopAllSlow, &QAction::triggered, this, [this] { m_pView->StopAll(true); });
    toolBar->addSeparator();
    m_pReadout = new QLabel(toolBar);
    m_pReadout->setObjectName(QStringLiteral("Readout"));
    m_pReadout->setMinimumWidth(520);
    toolBar->addWidget(m_pReadout);
    qApp->installEventFilter(this);

    statusBar()->showMessage(QStringLiteral("Ready"));
    m_pConnection = new QLabel(statusBar());
    m_pFailure = new QLabel(statusBar());
    statusBar()->addPermanentWidget(m_pFailure);
    statusBar()->addPermanentWidget(m_pConnection);
    connect(m_pView, &CKT300View::statusChanged, this, [this] { UpdateStatus(); });
    connect(m_pView, &CKT300View::readoutChanged, this,
            [this] { m_pReadout->setText(m_pView->ReadoutText()); });
    UpdateStatus();

    QAction* toolBarToggle = Command(ID_VIEW_TOOLBAR);
    toolBarToggle->setCheckable(true);
    toolBarToggle->setChecked(true);
    connect(toolBarToggle, &QAction::toggled, toolBar, &QToolBar::setVisible);
    connect(toolBar, &QToolBar::visibilityChanged, toolBarToggle, &QAction::setChecked);
    QAction* statusToggle = Command(ID_VIEW_STATUS_BAR);
    statusToggle->setCheckable(true);
    statusToggle->setChecked(true);
    connect(statusToggle, &QAction::toggled, statusBar(), &QStatusBar::setVisible);

    connect(m_pView, &CKT300View::languageApplied, this, [this] { ApplyMenuTexts(); });
}

CMainFrame::~CMainFrame() {
    m_pView->Shutdown();
    // The view and its panels go before the document they look texts up in.
    delete m_pView;
}

QAction* CMainFrame::AddCommand(QMenu* menu, int id, const char* text) {
    QAction* action = menu->addAction(QString::fromUtf8(text));
    action->setData(id);
    m_commands[id] = action;
    return action;
}

QAction* CMainFrame::Command(int id) const {
    auto it = m_commands.find(id);
    return it != m_commands.end() ? it->second : nullptr;
}

QMenu* CMainFrame::Popup(int position) const {
    return position >= 0 && position < 3 ? m_pPopup[position] : nullptr;
}

void CMainFrame::CreateMenu() {
    m_pPopup[0] = menuBar()->addMenu(QString::fromUtf8("文件(&F)"));
    connect(AddCommand(m_pPopup[0], ID_COMPORT_OPEN, "打开设备"), &QAction::triggered, m_pView,
            &CKT300View::OnComportOpen);
    connect(AddCommand(m_pPopup[0], ID_COMPORT_CLOSE, "关闭设备"), &QAction::triggered, m_pView,
            &CKT300View::OnComportClose);
    m_pPopup[0]->addSeparator();
    connect(AddCommand(m_pPopup[0], ID_APP_EXIT, "退出"), &QAction::triggered, this,
            &QWidget::close);

    m_pPopup[1] = menuBar()->addMenu(QString::fromUtf8("查看(&V)"));
    AddCommand(m_pPopup[1], ID_VIEW_TOOLBAR, "工具栏(&T)");
    AddCommand(m_pPopup[1], ID_VIEW_STATUS_BAR, "状态栏(&S)");
    m_pLanguageMenu = m_pPopup[1]->addMenu(QStringLiteral("Language"));
    QAction* english = AddCommand(m_pLanguageMenu, ID_LANGUAGE_ENGLISH, "English");
    QAction* chinese = AddCommand(m_pLanguageMenu, ID_LANGUAGE_CHINESE, "Chinese");
    english->setCheckable(true);
    chinese->setCheckable(true);
    connect(english, &QAction::triggered, this, [this] {
        m_pView->SwitchLanguage(0);
        UpdateLanguageChecks();
    });
    connect(chinese, &QAction::triggered, this, [this] {
        m_pView->SwitchLanguage(1);
        UpdateLanguageChecks();
    });
    connect(m_pLanguageMenu, &QMenu::aboutToShow, this, [this] { UpdateLanguageChecks(); });

    m_pPopup[2] = menuBar()->addMenu(QString::fromUtf8("帮助(&H)"));
    QAction* about = AddCommand(m_pPopup[2], ID_APP_ABOUT, "关于 KT300(&A)...");
    about->setIcon(style()->standardIcon(QStyle::SP_MessageBoxInformation));
    connect(about, &QAction::triggered, this, &CMainFrame::OnAppAbout);
    UpdateLanguageChecks();
}

void CMainFrame::UpdateLanguageChecks() {
    Command(ID_LANGUAGE_ENGLISH)->setChecked(m_pView->LanguageIndex() == 0);
    Command(ID_LANGUAGE_CHINESE)->setChecked(m_pView->LanguageIndex() == 1);
}

void CMainFrame::ApplyMenuTexts() {
    for (int i = 0; i < 3; ++i) m_pPopup[i]->setTitle(m_Doc.GetText(kPopupKeys[i]));
    m_pLanguageMenu->setTitle(m_Doc.GetText("ID_MENU_LANGUAGE"));
    for (const MenuText& t : kCommandKeys) Command(t.id)->setText(m_Doc.GetText(t.key));
    UpdateLanguageChecks();
    menuBar()->update();
}

void CMainFrame::Initialize() {
    std::string error;
    if (!m_pView->CreateControl(&error)) {
        ShowMessage(this, QString::fromStdString(error), MsgIcon::Critical);
    }
    m_pView->OnInitialUpdate();
}

void CMainFrame::OnAppAbout() {
    CAboutDlg dlg(&m_Doc, this);
    dlg.exec();
}

void CMainFrame::UpdateStatus() {
    const bool open = m_pView->DeviceOpen();
    m_pStopAll->setEnabled(open);
    m_pStopAllSlow->setEnabled(open);
    m_pConnection->setText(open ? m_pView->ConnectionText() : QStringLiteral("No device open"));
    m_pFailure->setText(m_pView->LastFailureText());
    m_pReadout->setText(open ? m_pView->ReadoutText() : QString());
    // The interlock's reason, for whoever looks for why Run is grey.
    const int owner = m_pView->MotionOwner();
    const int other =
        owner == CKT300View::kSingleRun ? CKT300View::kPlanRun : CKT300View::kSingleRun;
    const QString reason = owner == -1 ? QString() : m_pView->StartBlockedReason(other);
    if (reason.isEmpty()) {
        statusBar()->showMessage(QStringLiteral("Ready"));
    } else {
        statusBar()->showMessage(reason);
    }
}

bool CMainFrame::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::KeyPress || event->type() == QEvent::ShortcutOverride) {
        auto* key = static_cast<QKeyEvent*>(event);
        if (QKeySequence(key->keyCombination()) == QKeySequence(QLatin1String(kStopAllShortcut)) &&
            m_pStopAll->isEnabled()) {
            if (event->type() == QEvent::KeyPress && !key->isAutoRepeat()) m_pStopAll->trigger();
            event->accept();
            return true;
        }
    }
    return QMainWindow::eventFilter(watched, event);
}

void CMainFrame::closeEvent(QCloseEvent* event) {
    if (!m_bCloseAllowed) {
        // Anything still moving is stopped and seen standing first; then
        // the close comes again.
        auto later = std::make_shared<bool>(false);
        bool now = false;
        m_pView->LeaveSafely([this, later, &now] {
            if (!*later) {
                now = true;
                return;
            }
            m_bCloseAllowed = true;
            close();
        });
        *later = true;
        if (!now) {
            event->ignore();
            return;
        }
    }
    m_pView->Shutdown();
    event->accept();
}

}  // namespace stagedesk
