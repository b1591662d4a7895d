#pragma once
// A whole stagedesk (frame, view, panels, the real control module) against an
// in-process simulated controller on a pseudo-terminal mapped to COM1. Message
// boxes are recorded instead of shown. The user profile, the registry and the
// settings file live in a temporary folder.
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <functional>
#include <memory>

#include "PtySimulator.h"

namespace stagedesk {
class CMainFrame;
class CKT300View;
class CSingleRunDlg;
class CParamSetDlg;
class CKORVAKT3002;
class UserMessageBridge;
}  // namespace stagedesk

class AppFixture {
  public:
    // timeScale: simulated seconds per real second, to keep motions short.
    explicit AppFixture(double timeScale = 8.0);
    ~AppFixture();

    // Starts the simulator and the program (control created, language
    // applied). False when something could not start.
    bool Start();
    // The open sequence on COM1 without the selection dialog.
    bool Open();
    // The open sequence with the control's properties as they are, waited
    // for; true when the device is open.
    bool OpenAsSet();
    // Waits until every request of the window has been answered.
    bool Settle();

    stagedesk::CMainFrame& Frame() { return *m_frame; }
    stagedesk::CKT300View* View();
    stagedesk::CSingleRunDlg* Single();
    stagedesk::CParamSetDlg* Params();
    stagedesk::CKORVAKT3002& Control();
    korva::sim::PtySimulator& Sim() { return *m_sim; }
    const QTemporaryDir& Dir() const { return m_dir; }

    // Texts of the message boxes shown since the last TakeMessages.
    QStringList TakeMessages();
    QString Text(const char* key);

    // Pumps events until done() or the time limit.
    static bool WaitFor(const std::function<bool()>& done, int timeoutMs = 10000);
    static void Pump(int ms);

  private:
    QTemporaryDir m_dir;
    std::unique_ptr<korva::sim::PtySimulator> m_sim;
    std::unique_ptr<stagedesk::UserMessageBridge> m_bridge;
    std::unique_ptr<stagedesk::CMainFrame> m_frame;
    QStringList m_messages;
};
