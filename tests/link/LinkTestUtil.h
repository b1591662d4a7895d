#pragma once
// Helpers shared by the link tests: records what library code shows to the
// user, measures elapsed and CPU time.
#include <sys/resource.h>

#include <chrono>
#include <mutex>
#include <string>
#include <vector>

#include "UserMessage.h"

namespace korva::test {

struct ShownMessage {
    std::string text;
    std::string caption;
};

// Installs a recording message handler for its lifetime.
class MessageRecorder {
  public:
    MessageRecorder() {
        m_previous = korva::SetUserMessageHandler(
            [this](const std::string& text, const std::string& caption) {
                std::lock_guard<std::mutex> guard(m_lock);
                m_messages.push_back({text, caption});
            });
    }
    ~MessageRecorder() { korva::SetUserMessageHandler(std::move(m_previous)); }
    std::vector<ShownMessage> Messages() const {
        std::lock_guard<std::mutex> guard(m_lock);
        return m_messages;
    }

  private:
    mutable std::mutex m_lock;
    std::vector<ShownMessage> m_messages;
    korva::UserMessageHandler m_previous;
};

inline std::chrono::milliseconds Since(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                                 start);
}

// CPU time (user + system) the whole process has used so far.
inline std::chrono::milliseconds ProcessCpuTime() {
    struct rusage ru {};
    getrusage(RUSAGE_SELF, &ru);
    auto ms = [](const timeval& tv) {
        return std::chrono::milliseconds(tv.tv_sec * 1000 + tv.tv_usec / 1000);
    };
    return ms(ru.ru_utime) + ms(ru.ru_stime);
}

}  // namespace korva::test
