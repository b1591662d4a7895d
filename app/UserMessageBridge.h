#pragma once
// Shows the library's user messages (the serial channel's "Application
// Error" boxes) in a message box on the GUI thread. A message from another
// thread blocks that thread until the box is closed, except while the GUI
// thread is itself blocked in a call into the library: then the box is
// queued and the caller goes on, so that the two threads never wait for each
// other (the GUI thread may be joining the very thread that reports).

namespace stagedesk {

// Installs the handler for the lifetime of the object; the previous handler
// comes back on destruction. Construct on the GUI thread after QApplication.
class UserMessageBridge {
  public:
    UserMessageBridge();
    ~UserMessageBridge();
    UserMessageBridge(const UserMessageBridge&) = delete;
    UserMessageBridge& operator=(const UserMessageBridge&) = delete;
};

// Marks the GUI thread as blocked (in a library call, or joining a worker)
// for its lifetime; threads waiting for a box to close are released. On any
// other thread it does nothing.
class GuiBlockingScope {
  public:
    GuiBlockingScope();
    ~GuiBlockingScope();
    GuiBlockingScope(const GuiBlockingScope&) = delete;
    GuiBlockingScope& operator=(const GuiBlockingScope&) = delete;

  private:
    bool m_bActive;
};

bool OnGuiThread();

}  // namespace stagedesk
