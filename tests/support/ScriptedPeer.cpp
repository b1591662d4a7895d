#include "ScriptedPeer.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>

namespace korva::test {
namespace {
constexpr std::chrono::milliseconds kHangUpSettle{10};
constexpr std::chrono::milliseconds kHangUpMaxWait{500};
}  // namespace

ScriptedPeer::ScriptedPeer(PtyPair& pty, char terminator) : m_pty(pty), m_terminator(terminator) {
    m_wakeFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (m_wakeFd < 0) std::fprintf(stderr, "ScriptedPeer: eventfd: %s\n", std::strerror(errno));
    int master = m_pty.Master();
    if (master >= 0) {
        int flags = fcntl(master, F_GETFL);
        if (flags < 0 || fcntl(master, F_SETFL, flags | O_NONBLOCK) != 0)
            std::fprintf(stderr, "ScriptedPeer: fcntl: %s\n", std::strerror(errno));
    }
    m_thread = std::thread(&ScriptedPeer::Run, this);
}

ScriptedPeer::~ScriptedPeer() {
    {
        std::lock_guard<std::mutex> guard(m_lock);
        m_stop = true;
    }
    Wake();
    if (m_thread.joinable()) m_thread.join();
    if (m_wakeFd >= 0) close(m_wakeFd);
}

void ScriptedPeer::Wake() {
    if (m_wakeFd < 0) return;
    std::uint64_t one = 1;
    if (write(m_wakeFd, &one, sizeof one) < 0 && errno != EAGAIN)
        std::fprintf(stderr, "ScriptedPeer: wake: %s\n", std::strerror(errno));
}

ScriptedPeer& ScriptedPeer::Expect(std::string line, std::string reply, ReplyOptions options) {
    std::lock_guard<std::mutex> guard(m_lock);
    m_script.push_back(Step{std::move(line), std::move(reply), options});
    return *this;
}

ScriptedPeer& ScriptedPeer::ExpectAny(std::string reply, ReplyOptions options) {
    std::lock_guard<std::mutex> guard(m_lock);
    m_script.push_back(Step{std::nullopt, std::move(reply), options});
    return *this;
}

void ScriptedPeer::SetDefaultReply(std::optional<std::string> reply, ReplyOptions options) {
    std::lock_guard<std::mutex> guard(m_lock);
    if (reply)
        m_default = Step{std::nullopt, std::move(*reply), options};
    else
        m_default.reset();
}

void ScriptedPeer::Send(std::string bytes, ReplyOptions options) {
    {
        std::lock_guard<std::mutex> guard(m_lock);
        QueueReplyLocked(bytes, options);
    }
    Wake();
}

void ScriptedPeer::Stream(std::string chunk, std::chrono::milliseconds period) {
    {
        std::lock_guard<std::mutex> guard(m_lock);
        m_streamChunk = std::move(chunk);
        m_streamPeriod = std::max(period, std::chrono::milliseconds(1));
        m_nextStream = Clock::now();
    }
    Wake();
}

void ScriptedPeer::StopStream() {
    std::lock_guard<std::mutex> guard(m_lock);
    m_streamChunk.clear();
}

void ScriptedPeer::HangUp() {
    {
        std::lock_guard<std::mutex> guard(m_lock);
        m_hangUpRequested = true;
    }
    Wake();
    std::unique_lock<std::mutex> lock(m_lock);
    m_changed.wait(lock, [this] { return m_hungUp || m_stop; });
}

std::string ScriptedPeer::Received() const {
    std::lock_guard<std::mutex> guard(m_lock);
    return m_received;
}

std::vector<std::string> ScriptedPeer::Lines() const {
    std::lock_guard<std::mutex> guard(m_lock);
    return m_lines;
}

std::vector<std::string> ScriptedPeer::Unexpected() const {
    std::lock_guard<std::mutex> guard(m_lock);
    return m_unexpected;
}

std::size_t ScriptedPeer::PendingSteps() const {
    std::lock_guard<std::mutex> guard(m_lock);
    return m_script.size();
}

bool ScriptedPeer::HungUp() const {
    std::lock_guard<std::mutex> guard(m_lock);
    return m_hungUp;
}

void ScriptedPeer::ClearReceived() {
    std::lock_guard<std::mutex> guard(m_lock);
    m_received.clear();
    m_lines.clear();
    m_unexpected.clear();
    m_partialLine.clear();
}

bool ScriptedPeer::WaitForBytes(std::size_t n, std::chrono::milliseconds timeout) const {
    std::unique_lock<std::mutex> lock(m_lock);
    return m_changed.wait_for(lock, timeout, [&] { return m_received.size() >= n; });
}

bool ScriptedPeer::WaitForLines(std::size_t n, std::chrono::milliseconds timeout) const {
    std::unique_lock<std::mutex> lock(m_lock);
    return m_changed.wait_for(lock, timeout, [&] { return m_lines.size() >= n; });
}

bool ScriptedPeer::WaitForOutputDone(std::chrono::milliseconds timeout) const {
    std::unique_lock<std::mutex> lock(m_lock);
    return m_changed.wait_for(lock, timeout, [&] { return m_out.empty() || m_hungUp; });
}

void ScriptedPeer::QueueReplyLocked(const std::string& bytes, const ReplyOptions& options) {
    Clock::time_point due = Clock::now() + options.delay;
    if (options.bytewise && bytes.size() > 1) {
        for (std::size_t i = 0; i < bytes.size(); ++i) {
            bool last = i + 1 == bytes.size();
            m_out.push_back(
                Chunk{due + i * options.byteGap, bytes.substr(i, 1), last && options.hangUp});
        }
    } else {
        m_out.push_back(Chunk{due, bytes, options.hangUp});
    }
}

void ScriptedPeer::OnBytesLocked(const char* data, std::size_t n) {
    m_received.append(data, n);
    for (std::size_t i = 0; i < n; ++i) {
        if (data[i] != m_terminator) {
            m_partialLine.push_back(data[i]);
            continue;
        }
        std::string line;
        line.swap(m_partialLine);
        m_lines.push_back(line);
        const Step* step = nullptr;
        bool fromScript = false;
        if (!m_script.empty() && (!m_script.front().line || *m_script.front().line == line)) {
            step = &m_script.front();
            fromScript = true;
        } else {
            if (!m_script.empty()) m_unexpected.push_back(line);
            if (m_default) step = &*m_default;
        }
        if (step) QueueReplyLocked(step->reply, step->options);
        if (fromScript) m_script.pop_front();
    }
}

void ScriptedPeer::CloseMasterLocked() {
    m_pty.CloseMaster();
    m_out.clear();
    m_streamChunk.clear();
    m_hungUp = true;
}

void ScriptedPeer::Run() {
    char buf[4096];
    bool masterIdle = false;  // master reported a hang-up of all slaves: back off
    for (;;) {
        int master = m_pty.Master();
        int timeoutMs = -1;
        bool wantWrite = false;
        bool drainWait = false;
        {
            std::lock_guard<std::mutex> guard(m_lock);
            if (m_stop) return;
            if (m_hangUpRequested && !m_hungUp) {
                CloseMasterLocked();
                m_changed.notify_all();
            }
            if (m_drainThenHangUp && !m_hungUp) {
                // Closing the master hangs up the slave at once and its unread
                // input is lost, so first let the other side read the reply.
                // The bytes reach the slave's queue a moment after the write.
                int unread = 0;
                int slave = m_pty.Slave();
                Clock::time_point now = Clock::now();
                bool drained = now >= m_hangUpArmedAt + kHangUpSettle &&
                               (slave < 0 || ioctl(slave, FIONREAD, &unread) != 0 || unread == 0);
                if (drained || now >= m_hangUpArmedAt + kHangUpMaxWait) {
                    m_drainThenHangUp = false;
                    CloseMasterLocked();
                    m_changed.notify_all();
                } else {
                    drainWait = true;
                }
            }
            if (m_hungUp) master = -1;
            Clock::time_point now = Clock::now();
            if (!m_streamChunk.empty() && m_out.empty()) {
                if (now >= m_nextStream) {
                    m_out.push_back(Chunk{now, m_streamChunk, false});
                    m_nextStream = now + m_streamPeriod;
                } else {
                    auto wait = std::chrono::ceil<std::chrono::milliseconds>(m_nextStream - now);
                    timeoutMs = static_cast<int>(wait.count());
                }
            }
            if (!m_out.empty()) {
                if (m_out.front().due <= now) {
                    wantWrite = true;
                } else {
                    auto wait =
                        std::chrono::ceil<std::chrono::milliseconds>(m_out.front().due - now);
                    int ms = static_cast<int>(wait.count());
                    timeoutMs = timeoutMs < 0 ? ms : std::min(timeoutMs, ms);
                }
            }
        }
        if (drainWait) timeoutMs = timeoutMs < 0 ? 2 : std::min(timeoutMs, 2);
        if (masterIdle) timeoutMs = timeoutMs < 0 ? 10 : std::min(timeoutMs, 10);

        struct pollfd fds[2] = {};
        fds[0].fd = m_wakeFd;
        fds[0].events = POLLIN;
        fds[1].fd = masterIdle ? -1 : master;
        fds[1].events = static_cast<short>(POLLIN | (wantWrite ? POLLOUT : 0));
        masterIdle = false;
        int rc = poll(fds, 2, timeoutMs);
        if (rc < 0) {
            if (errno == EINTR) continue;
            std::fprintf(stderr, "ScriptedPeer: poll: %s\n", std::strerror(errno));
            return;
        }
        if (fds[0].revents & POLLIN) {
            std::uint64_t v;
            while (read(m_wakeFd, &v, sizeof v) > 0) {
            }
        }
        if (master < 0) continue;
        if (fds[1].revents & POLLIN) {
            ssize_t n = read(master, buf, sizeof buf);
            if (n > 0) {
                std::lock_guard<std::mutex> guard(m_lock);
                OnBytesLocked(buf, static_cast<std::size_t>(n));
                m_changed.notify_all();
            } else if (n < 0 && errno == EIO) {
                masterIdle = true;  // no slave open right now
            }
        } else if (fds[1].revents & (POLLHUP | POLLERR)) {
            masterIdle = true;
        }
        if (wantWrite && (fds[1].revents & POLLOUT)) {
            std::lock_guard<std::mutex> guard(m_lock);
            Clock::time_point now = Clock::now();
            while (!m_out.empty() && m_out.front().due <= now && !m_hungUp) {
                Chunk& c = m_out.front();
                ssize_t n = write(master, c.bytes.data(), c.bytes.size());
                if (n < 0) {
                    if (errno != EAGAIN && errno != EINTR)
                        std::fprintf(stderr, "ScriptedPeer: write: %s\n", std::strerror(errno));
                    break;
                }
                c.bytes.erase(0, static_cast<std::size_t>(n));
                if (!c.bytes.empty()) break;
                bool hangUp = c.hangUpAfter;
                m_out.pop_front();
                if (hangUp) {
                    m_drainThenHangUp = true;
                    m_hangUpArmedAt = now;
                    m_out.clear();
                    break;
                }
            }
            m_changed.notify_all();
        }
    }
}

}  // namespace korva::test
