#include "UserMessage.h"

#include <cstdio>
#include <mutex>

namespace korva {
namespace {
std::mutex g_lock;
UserMessageHandler g_handler;

void DefaultHandler(const std::string& text, const std::string& caption) {
    std::fprintf(stderr, "[%s] %s\n", caption.c_str(), text.c_str());
    std::fflush(stderr);
}
}  // namespace

UserMessageHandler SetUserMessageHandler(UserMessageHandler handler) {
    std::lock_guard<std::mutex> guard(g_lock);
    UserMessageHandler previous = std::move(g_handler);
    g_handler = std::move(handler);
    return previous;
}

void ShowUserMessage(const std::string& text, const std::string& caption) {
    UserMessageHandler handler;
    {
        std::lock_guard<std::mutex> guard(g_lock);
        handler = g_handler;
    }
    // Called outside the lock: a GUI handler blocks until the box is closed.
    if (handler)
        handler(text, caption);
    else
        DefaultHandler(text, caption);
}

}  // namespace korva
