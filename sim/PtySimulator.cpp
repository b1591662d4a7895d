#include "PtySimulator.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/eventfd.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <deque>
#include <filesystem>

namespace korva::sim {

namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kPollPeriod = std::chrono::milliseconds(2);   // engine output cadence
constexpr auto kIdlePeriod = std::chrono::milliseconds(50);  // nothing can happen by itself
constexpr auto kSplitGap = std::chrono::milliseconds(1);

void LogError(const char* what) {
    int e = errno;
    std::fprintf(stderr, "kt300sim: %s failed: %s\n", what, std::strerror(e));
}

void CloseFd(int& fd) {
    if (fd >= 0) ::close(fd);
    fd = -1;
}

struct TimedByte {
    Clock::time_point due;
    char c;
};

}  // namespace

PtySimulator::PtySimulator(SimOptions options) : engine_(std::move(options)) {}

PtySimulator::~PtySimulator() {
    Stop();
}

bool PtySimulator::Start() {
    if (thread_.joinable() || masterFd_ >= 0) return false;
    struct termios tio {};
    cfmakeraw(&tio);
    tio.c_cflag |= CLOCAL | CREAD;
    cfsetispeed(&tio, B19200);
    cfsetospeed(&tio, B19200);
    int master = -1, slave = -1;
    if (::openpty(&master, &slave, nullptr, &tio, nullptr) != 0) {
        LogError("openpty");
        return false;
    }
    char name[128];
    if (::ptsname_r(master, name, sizeof name) != 0) {
        LogError("ptsname_r");
        ::close(master);
        ::close(slave);
        return false;
    }
    int wake = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (wake < 0) {
        LogError("eventfd");
        ::close(master);
        ::close(slave);
        return false;
    }
    ::fcntl(master, F_SETFD, FD_CLOEXEC);
    ::fcntl(slave, F_SETFD, FD_CLOEXEC);
    ::fcntl(master, F_SETFL, ::fcntl(master, F_GETFL) | O_NONBLOCK);
    masterFd_ = master;
    slaveFd_ = slave;
    wakeFd_ = wake;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        slavePath_ = name;
        hungUp_ = false;
        serving_ = true;
    }
    stopRequested_ = false;
    hangUpRequested_ = false;
    thread_ = std::thread([this] { Serve(); });
    return true;
}

std::string PtySimulator::SlavePath() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return slavePath_;
}

bool PtySimulator::MakeLink(const std::string& path) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (slavePath_.empty() || path.empty()) return false;
    struct stat st {};
    if (::lstat(path.c_str(), &st) == 0) {
        // Only a link this simulator made is replaced: anything else at the
        // path (a file, another program's link, a stale link) stays.
        if (path != linkPath_ || !S_ISLNK(st.st_mode)) {
            std::fprintf(stderr, "kt300sim: %s exists; not replaced (remove it first)\n",
                         path.c_str());
            return false;
        }
        if (::unlink(path.c_str()) != 0) {
            LogError("unlink");
            return false;
        }
    }
    if (!linkPath_.empty() && linkPath_ != path) RemoveOwnLink();
    linkPath_.clear();
    if (::symlink(slavePath_.c_str(), path.c_str()) != 0) {
        LogError("symlink");
        return false;
    }
    linkPath_ = path;
    return true;
}

void PtySimulator::Stop() {
    if (thread_.joinable()) {
        stopRequested_ = true;
        std::uint64_t one = 1;
        if (::write(wakeFd_, &one, sizeof one) < 0) LogError("eventfd write");
        thread_.join();
    }
    CloseFds();
    std::lock_guard<std::mutex> lock(mutex_);
    RemoveOwnLink();
    linkPath_.clear();
    slavePath_.clear();
}

// Removes the link at linkPath_ only while it still is the link made here
// (pointing at this slave): another program may have replaced it meanwhile.
void PtySimulator::RemoveOwnLink() {
    if (linkPath_.empty()) return;
    std::error_code ec;
    const std::filesystem::path target = std::filesystem::read_symlink(linkPath_, ec);
    if (!ec && target == slavePath_) ::unlink(linkPath_.c_str());
}

void PtySimulator::CloseFds() {
    CloseFd(masterFd_);
    CloseFd(slaveFd_);
    CloseFd(wakeFd_);
}

void PtySimulator::SetBaud(int baud) {
    baud_ = baud > 0 ? baud : 0;
}

void PtySimulator::SplitReplies(bool byteByByte) {
    split_ = byteByByte;
}

void PtySimulator::HangUp() {
    if (!thread_.joinable()) {
        CloseFd(masterFd_);
        CloseFd(slaveFd_);
        return;
    }
    hangUpRequested_ = true;
    std::uint64_t one = 1;
    if (::write(wakeFd_, &one, sizeof one) < 0) LogError("eventfd write");
    std::unique_lock<std::mutex> lock(mutex_);
    hungUpCv_.wait(lock, [this] { return hungUp_ || !serving_; });
    if (!hungUp_) {
        // The thread ended on its own; nothing else touches the descriptors now.
        CloseFd(masterFd_);
        CloseFd(slaveFd_);
        hungUp_ = true;
    }
}

void PtySimulator::Serve() {
    ServeLoop();
    std::lock_guard<std::mutex> lock(mutex_);
    serving_ = false;
    hungUpCv_.notify_all();
}

void PtySimulator::ServeLoop() {
    std::deque<TimedByte> inQ, outQ;
    Clock::time_point inWire = Clock::now(), outWire = inWire, lastOut = inWire;
    bool wantWrite = false;
    std::string pending;
    char buf[4096];

    auto byteTime = [this] {
        int baud = baud_.load();
        return baud > 0 ? std::chrono::duration_cast<Clock::duration>(
                              std::chrono::duration<double>(10.0 / baud))
                        : Clock::duration::zero();
    };

    while (!stopRequested_) {
        if (hangUpRequested_) {
            CloseFd(masterFd_);
            CloseFd(slaveFd_);
            std::lock_guard<std::mutex> lock(mutex_);
            hungUp_ = true;
            hungUpCv_.notify_all();
            break;
        }
        // Host bytes that have crossed the wire go to the engine.
        Clock::time_point now = Clock::now();
        pending.clear();
        while (!inQ.empty() && inQ.front().due <= now) {
            pending.push_back(inQ.front().c);
            inQ.pop_front();
        }
        std::string reply = pending.empty() ? std::string() : engine_.Feed(pending);
        reply += engine_.Poll();
        Clock::duration bt = byteTime();
        bool split = split_.load();
        for (char c : reply) {
            Clock::time_point due = now;
            if (bt > Clock::duration::zero()) {
                outWire = std::max(outWire, now) + bt;
                due = outWire;
            }
            if (split) {
                Clock::time_point prev = outQ.empty() ? lastOut : outQ.back().due;
                due = std::max(due, prev + kSplitGap);
            }
            outQ.push_back({due, c});
        }
        // Write what is due: one byte per write when split, else all in one.
        wantWrite = false;
        while (!outQ.empty() && outQ.front().due <= now) {
            std::size_t n = 0;
            while (n < outQ.size() && n < sizeof buf && outQ[n].due <= now) {
                buf[n] = outQ[n].c;
                ++n;
                if (split) break;
            }
            ssize_t w = ::write(masterFd_, buf, n);
            if (w < 0) {
                if (errno == EINTR) continue;
                if (errno != EAGAIN) LogError("write to pty master");
                wantWrite = errno == EAGAIN;
                if (!wantWrite) outQ.clear();  // nobody can receive them any more
                break;
            }
            outQ.erase(outQ.begin(), outQ.begin() + w);
            lastOut = now;
            if (split) break;  // the next byte waits for its own gap
        }

        Clock::time_point next = now + (engine_.Busy() ? kPollPeriod : kIdlePeriod);
        if (!inQ.empty()) next = std::min(next, inQ.front().due);
        if (!outQ.empty() && !wantWrite) next = std::min(next, outQ.front().due);
        auto wait = std::max(Clock::duration::zero(), next - Clock::now());
        auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(wait).count();
        struct timespec ts {
            static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)
        };
        struct pollfd fds[2] = {
            {wakeFd_, POLLIN, 0},
            {masterFd_, static_cast<short>(POLLIN | (wantWrite ? POLLOUT : 0)), 0}};
        int r = ::ppoll(fds, 2, &ts, nullptr);
        if (r < 0) {
            if (errno == EINTR) continue;
            LogError("ppoll");
            break;
        }
        if (fds[0].revents & POLLIN) {
            std::uint64_t v;
            while (::read(wakeFd_, &v, sizeof v) > 0) {
            }
        }
        if (fds[1].revents & POLLIN) {
            for (;;) {
                ssize_t n = ::read(masterFd_, buf, sizeof buf);
                if (n < 0 && errno == EINTR) continue;
                if (n <= 0) break;
                Clock::time_point t = Clock::now();
                Clock::duration ib = byteTime();
                for (ssize_t k = 0; k < n; ++k) {
                    Clock::time_point due = t;
                    if (ib > Clock::duration::zero()) {
                        inWire = std::max(inWire, t) + ib;
                        due = inWire;
                    }
                    inQ.push_back({due, buf[k]});
                }
            }
        }
        if ((fds[1].revents & (POLLHUP | POLLERR)) && !(fds[1].revents & POLLIN)) {
            // Cannot happen while our own slave descriptor is open; never spin on it.
            std::this_thread::sleep_for(kPollPeriod);
        }
    }
}

}  // namespace korva::sim
