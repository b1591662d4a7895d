#include "Screenshots.h"

#include <QAbstractButton>
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QLineEdit>
#include <QPixmap>
#include <QProgressBar>
#include <QPushButton>
#include <QTabBar>
#include <QThread>
#include <cstdio>
#include <functional>

#include "AboutDlg.h"
#include "AppMessage.h"
#include "CommSelectDlg.h"
#include "DxfRunDlg.h"
#include "KT300View.h"
#include "MainFrm.h"
#include "ParamSetDlg.h"
#include "Resource.h"
#include "SingleRunDlg.h"

namespace stagedesk {
namespace {

bool WaitFor(const std::function<bool()>& done, int timeoutMs) {
    QElapsedTimer clock;
    clock.start();
    while (!done()) {
        if (clock.elapsed() > timeoutMs) return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        QThread::msleep(5);
    }
    return true;
}

void Settle(int ms) {
    WaitFor([] { return false; }, ms);
}

class Shooter {
  public:
    explicit Shooter(const QString& directory) : m_dir(directory) {}

    void Save(QWidget* widget, const QString& name) {
        Settle(50);
        const QString path = m_dir.filePath(name);
        if (!widget->grab().save(path, "PNG")) {
            std::fprintf(stderr, "stagedesk: could not write %s\n", qPrintable(path));
            m_bFailed = true;
            return;
        }
        std::fprintf(stderr, "stagedesk: wrote %s\n", qPrintable(path));
    }
    bool Failed() const { return m_bFailed; }

  private:
    QDir m_dir;
    bool m_bFailed = false;
};

void SelectTab(CKT300View* view, int index) {
    view->TabBar()->setCurrentIndex(index);
    Settle(50);
}

}  // namespace

int TakeScreenshots(CMainFrame& frame, const QString& directory) {
    if (!QDir().mkpath(directory)) {
        std::fprintf(stderr, "stagedesk: cannot create %s\n", qPrintable(directory));
        return 1;
    }
    Shooter shot(directory);
    CKT300View* view = frame.View();
    CSingleRunDlg* single = view->SingleRun();
    const int profileLanguage = view->LanguageIndex();
    view->SwitchLanguage(0);
    Settle(100);

    {
        CCommSelectDlg dialog(&view->Control(), &frame.Doc(), &frame);
        dialog.show();
        shot.Save(&dialog, QStringLiteral("communication-select.png"));
    }

    if (!view->OpenDevice() || !view->WaitIdle() || !view->DeviceOpen()) {
        std::fprintf(stderr, "stagedesk: the simulated device did not open\n");
        return 1;
    }
    // A relative move of X, caught while it runs and after it ended.
    single->Edit(IDC_SR_DISTANCE)->setText(QStringLiteral("40"));
    single->Button(IDC_SR_FORWARD)->click();
    Settle(400);
    shot.Save(&frame, QStringLiteral("single-axis-moving.png"));
    if (!WaitFor([single] { return !single->IsRunning(0) && !single->HasMonitorThreads(); },
                 30000)) {
        std::fprintf(stderr, "stagedesk: the axis did not stop\n");
        return 1;
    }
    view->WaitIdle();
    shot.Save(&frame, QStringLiteral("single-axis.png"));
    // The readout on the tool bar and the connection in the status bar.
    shot.Save(&frame, QStringLiteral("status-bar-and-readout.png"));

    SelectTab(view, CKT300View::kParamSet);
    // Reload-all while it reads: progress bar, status text, buttons off.
    view->ParamSet()->PushButton(IDC_PS_RELOAD)->click();
    WaitFor([view] { return view->ParamSet()->Progress()->value() >= 5; }, 5000);
    shot.Save(&frame, QStringLiteral("reload-in-progress.png"));
    view->WaitIdle();
    shot.Save(&frame, QStringLiteral("parameters.png"));
    SelectTab(view, CKT300View::kPlanRun);
    shot.Save(&frame, QStringLiteral("plan-run.png"));
    SelectTab(view, CKT300View::kDxfRun);
    {
        // The example drawing, opened and imported, so the picture shows the
        // drawing beside its ordered path. A failure leaves the empty panel and
        // says why on stderr instead of waiting on a message box.
        MessageHook previous = SetMessageHook([](const QString& text, const QString&, MsgIcon) {
            std::fprintf(stderr, "stagedesk: %s\n", qPrintable(text));
        });
        const QString drawing = QCoreApplication::applicationDirPath() +
                                QStringLiteral("/../share/korva/examples/outline.dxf");
        CDxfRunDlg* dxf = view->DxfRun();
        if (QFileInfo::exists(drawing) && dxf->OpenFile(drawing)) {
            dxf->OnImport();
            Settle(200);
        }
        SetMessageHook(std::move(previous));
    }
    shot.Save(&frame, QStringLiteral("dxf.png"));

    {
        CAboutDlg about(&frame.Doc(), &frame);
        about.show();
        shot.Save(&about, QStringLiteral("about.png"));
    }

    view->SwitchLanguage(1);
    view->WaitIdle();
    SelectTab(view, CKT300View::kSingleRun);
    shot.Save(&frame, QStringLiteral("single-axis-chinese.png"));
    SelectTab(view, CKT300View::kParamSet);
    shot.Save(&frame, QStringLiteral("parameters-chinese.png"));

    // The run leaves the operator's language choice as it found it.
    view->SwitchLanguage(profileLanguage);
    view->WaitIdle();
    view->OnComportClose();
    view->WaitIdle();
    return shot.Failed() ? 1 : 0;
}

}  // namespace stagedesk
