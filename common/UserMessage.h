#pragma once
// Messages that library code must show to the user (the serial channel's
// "Application Error" boxes). The default handler writes to stderr; a GUI host
// installs one that shows a message box and blocks the caller until closed.
#include <functional>
#include <string>

namespace korva {

using UserMessageHandler = std::function<void(const std::string& text, const std::string& caption)>;

// Installs a handler; an empty one restores the default. Returns the previous.
UserMessageHandler SetUserMessageHandler(UserMessageHandler handler);
void ShowUserMessage(const std::string& text, const std::string& caption);

}  // namespace korva
