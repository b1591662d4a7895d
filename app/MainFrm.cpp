#include "MainFrm.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QMenu>
#include <QMenuBar>
#include <QStatusBar>
#include <QStyle>
#include <QToolBar>

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
    statusBar()->showMessage(QStringLiteral("Ready"));

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

void CMainFrame::closeEvent(QCloseEvent* event) {
    m_pView->Shutdown();
    event->accept();
}

}  // namespace stagedesk
