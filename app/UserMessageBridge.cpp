#include "UserMessageBridge.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <QString>
#include <QThread>
#include <condition_variable>
#include <memory>
#include <mutex>

#include "AppMessage.h"
#include "UserMessage.h"

namespace stagedesk {
namespace {

struct BridgeState {
    std::mutex lock;
    std::condition_variable changed;
    int guiBlocked = 0;  // depth of GuiBlockingScope on the GUI thread
    bool installed = false;
};

BridgeState& State() {
    static BridgeState state;
    return state;
}

struct PendingBox {
    bool closed = false;
};

void ShowOnGui(const std::string& text, const std::string& caption) {
    ShowMessage(nullptr, QString::fromStdString(text), MsgIcon::Warning,
                QString::fromStdString(caption));
}

void HandleUserMessage(const std::string& text, const std::string& caption) {
    QCoreApplication* app = QCoreApplication::instance();
    if (app == nullptr || OnGuiThread()) {
        ShowOnGui(text, caption);
        return;
    }
    BridgeState& st = State();
    auto pending = std::make_shared<PendingBox>();
    QMetaObject::invokeMethod(
        app,
        [pending, text, caption] {
            ShowOnGui(text, caption);
            BridgeState& s = State();
            {
                std::lock_guard<std::mutex> hold(s.lock);
                pending->closed = true;
            }
            s.changed.notify_all();
        },
        Qt::QueuedConnection);
    std::unique_lock<std::mutex> hold(st.lock);
    st.changed.wait(hold, [&] { return pending->closed || st.guiBlocked > 0 || !st.installed; });
}

}  // namespace

bool OnGuiThread() {
    QCoreApplication* app = QCoreApplication::instance();
    return app != nullptr && QThread::currentThread() == app->thread();
}

UserMessageBridge::UserMessageBridge() {
    {
        std::lock_guard<std::mutex> hold(State().lock);
        State().installed = true;
    }
    korva::SetUserMessageHandler(&HandleUserMessage);
}

UserMessageBridge::~UserMessageBridge() {
    korva::SetUserMessageHandler({});
    {
        std::lock_guard<std::mutex> hold(State().lock);
        State().installed = false;
    }
    State().changed.notify_all();
}

GuiBlockingScope::GuiBlockingScope() : m_bActive(OnGuiThread()) {
    if (!m_bActive) return;
    {
        std::lock_guard<std::mutex> hold(State().lock);
        ++State().guiBlocked;
    }
    State().changed.notify_all();
}

GuiBlockingScope::~GuiBlockingScope() {
    if (!m_bActive) return;
    std::lock_guard<std::mutex> hold(State().lock);
    --State().guiBlocked;
}

}  // namespace stagedesk
