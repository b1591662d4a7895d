#include "AppFixture.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QThread>
#include <cstdlib>

#include "AppMessage.h"
#include "KT300Doc.h"
#include "KT300View.h"
#include "MainFrm.h"
#include "UserMessageBridge.h"

using namespace stagedesk;

AppFixture::AppFixture(double timeScale) {
    korva::sim::SimOptions options;
    options.timeScale = timeScale;
    m_sim = std::make_unique<korva::sim::PtySimulator>(options);
}

AppFixture::~AppFixture() {
    m_frame.reset();
    m_bridge.reset();
    SetMessageHook({});
    m_sim.reset();
}

bool AppFixture::Start() {
    if (!m_dir.isValid() || !m_sim->Start()) return false;
    // Profile (QSettings) and registry in the temporary folder; the module
    // comes from the build tree.
    const QByteArray base = m_dir.path().toUtf8();
    setenv("XDG_CONFIG_HOME", (base + "/config").constData(), 1);
    setenv("XDG_DATA_HOME", (base + "/data").constData(), 1);
    setenv("KORVA_COM1", m_sim->SlavePath().c_str(), 1);
    QCoreApplication::setOrganizationName(QStringLiteral("Local AppWizard-Generated Applications"));
    QCoreApplication::setApplicationName(QStringLiteral("stagedesk"));

    SetMessageHook([this](const QString& text, const QString&, MsgIcon) { m_messages << text; });
    m_bridge = std::make_unique<UserMessageBridge>();
    m_frame = std::make_unique<CMainFrame>();
    m_frame->Doc().Language().SetSettingsFile((m_dir.path() + "/setting.ini").toStdString());
    m_frame->show();
    m_frame->Initialize();
    return View()->Control().IsCreated();
}

bool AppFixture::Open() {
    Control().SetComPort(1);
    // The open sequence runs on the device worker; wait for all of it.
    return View()->OpenDevice() && View()->WaitIdle() && View()->DeviceOpen();
}

bool AppFixture::OpenAsSet() {
    return View()->OpenDevice() && View()->WaitIdle() && View()->DeviceOpen();
}

bool AppFixture::Settle() {
    return View()->WaitIdle();
}

CKT300View* AppFixture::View() {
    return m_frame->View();
}
CSingleRunDlg* AppFixture::Single() {
    return View()->SingleRun();
}
CParamSetDlg* AppFixture::Params() {
    return View()->ParamSet();
}
CKORVAKT3002& AppFixture::Control() {
    return View()->Control();
}

QStringList AppFixture::TakeMessages() {
    QStringList taken;
    taken.swap(m_messages);
    return taken;
}

QString AppFixture::Text(const char* key) {
    return m_frame->Doc().GetText(key);
}

bool AppFixture::WaitFor(const std::function<bool()>& done, int timeoutMs) {
    QElapsedTimer clock;
    clock.start();
    while (!done()) {
        if (clock.elapsed() > timeoutMs) return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        QThread::msleep(2);
    }
    return true;
}

void AppFixture::Pump(int ms) {
    WaitFor([] { return false; }, ms);
}
