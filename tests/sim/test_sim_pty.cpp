// The pty front end and the kt300sim program, over real pseudo-terminals.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "PtySimulator.h"

extern char** environ;

namespace korva::sim::test {
namespace {

using Clock = std::chrono::steady_clock;

// The host side of the pty: a raw, non-blocking descriptor.
class Client {
  public:
    explicit Client(const std::string& path) {
        fd_ = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        if (fd_ >= 0) {
            struct termios tio {};
            ::tcgetattr(fd_, &tio);
            cfmakeraw(&tio);
            ::tcsetattr(fd_, TCSANOW, &tio);
        }
    }
    ~Client() {
        if (fd_ >= 0) ::close(fd_);
    }
    bool ok() const { return fd_ >= 0; }
    int fd() const { return fd_; }
    bool Write(const std::string& s) {
        return ::write(fd_, s.data(), s.size()) == static_cast<ssize_t>(s.size());
    }
    // Reads until `until` is in the text or the time is up; counts the reads.
    std::string ReadUntil(const std::string& until, int timeoutMs, int* reads = nullptr) {
        std::string got;
        auto end = Clock::now() + std::chrono::milliseconds(timeoutMs);
        while (got.find(until) == std::string::npos && Clock::now() < end) {
            struct pollfd p {
                fd_, POLLIN, 0
            };
            if (::poll(&p, 1, 10) <= 0) continue;
            char buf[256];
            ssize_t n = ::read(fd_, buf, sizeof buf);
            if (n > 0) {
                got.append(buf, static_cast<std::size_t>(n));
                if (reads) ++*reads;
            }
        }
        return got;
    }
    std::string Exchange(const std::string& line, const std::string& until = "OK\r") {
        if (!Write(line + "\r")) return "<write failed>";
        return ReadUntil(until, 3000);
    }

  private:
    int fd_ = -1;
};

TEST(SimPty, AnswersTheHandshakeAndQueries) {
    PtySimulator sim;
    ASSERT_TRUE(sim.Start());
    EXPECT_FALSE(sim.Start());
    ASSERT_EQ(sim.SlavePath().rfind("/dev/pts/", 0), 0u);
    Client c(sim.SlavePath());
    ASSERT_TRUE(c.ok());
    EXPECT_EQ(c.Exchange("Hello"), "OK\r");
    sim.engine().SetInputs(3);
    EXPECT_EQ(c.Exchange("PORTINPUT?"), "PORTINPUT 3\rOK\r");
    sim.Stop();
    sim.Stop();  // idempotent
    EXPECT_TRUE(sim.SlavePath().empty());
}

TEST(SimPty, MotionEndArrivesOnItsOwn) {
    PtySimulator sim;
    sim.SetBaud(0);
    ASSERT_TRUE(sim.Start());
    Client c(sim.SlavePath());
    ASSERT_TRUE(c.ok());
    EXPECT_EQ(c.Exchange("GoPosition X,O,R,P,0.05", "READY\r"), "READY\r");
    EXPECT_EQ(c.ReadUntil("OK\r", 3000), "X STOP\rOK\r");
}

TEST(SimPty, EmulatesTheWireTimeOfTheBaudRate) {
    PtySimulator sim;
    sim.SetBaud(1200);  // 8.3 ms per byte
    ASSERT_TRUE(sim.Start());
    Client c(sim.SlavePath());
    ASSERT_TRUE(c.ok());
    auto t0 = Clock::now();
    ASSERT_EQ(c.Exchange("Hello"), "OK\r");
    double ms = std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
    // 6 bytes out and 3 back: 75 ms on the wire. Load only makes it slower.
    EXPECT_GT(ms, 60.0);
}

TEST(SimPty, SplitRepliesArriveInPieces) {
    PtySimulator sim;
    sim.SetBaud(0);
    sim.SplitReplies(true);
    ASSERT_TRUE(sim.Start());
    Client c(sim.SlavePath());
    ASSERT_TRUE(c.ok());
    ASSERT_TRUE(c.Write("SetSpeed? X\r"));
    int reads = 0;
    EXPECT_EQ(c.ReadUntil("OK\r", 3000, &reads), "SetSpeed X,10.000000\rOK\r");
    EXPECT_GE(reads, 2);
}

TEST(SimPty, HangUpIsSeenByTheHost) {
    PtySimulator sim;
    ASSERT_TRUE(sim.Start());
    Client c(sim.SlavePath());
    ASSERT_TRUE(c.ok());
    ASSERT_EQ(c.Exchange("Hello"), "OK\r");
    sim.HangUp();
    struct pollfd p {
        c.fd(), POLLIN, 0
    };
    ASSERT_EQ(::poll(&p, 1, 2000), 1);
    EXPECT_TRUE(p.revents & POLLHUP);
}

TEST(SimPty, LinkPointsToTheDeviceAndGoesAwayOnStop) {
    auto dir =
        std::filesystem::temp_directory_path() / ("korva_sim_link_" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    auto link = dir / "ttyKT";
    auto file = dir / "plain";
    std::ofstream(file) << "keep";
    {
        PtySimulator sim;
        ASSERT_TRUE(sim.Start());
        EXPECT_FALSE(sim.MakeLink(file.string()));  // never replaces other files
        EXPECT_TRUE(std::filesystem::is_regular_file(file));
        ASSERT_TRUE(sim.MakeLink(link.string()));
        ASSERT_TRUE(sim.MakeLink(link.string()));  // an older link is replaced
        EXPECT_EQ(std::filesystem::read_symlink(link).string(), sim.SlavePath());
        Client c(link.string());
        ASSERT_TRUE(c.ok());
        EXPECT_EQ(c.Exchange("Hello"), "OK\r");
    }
    EXPECT_FALSE(std::filesystem::is_symlink(link));
    std::filesystem::remove_all(dir);
}

// kt300sim as a separate process.
class Program {
  public:
    explicit Program(std::vector<std::string> args) {
        int out[2];
        if (::pipe(out) != 0) return;
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_adddup2(&fa, out[1], 1);
        posix_spawn_file_actions_addclose(&fa, out[0]);
        posix_spawn_file_actions_addopen(&fa, 2, "/dev/null", O_WRONLY, 0);
        args.insert(args.begin(), KT300SIM_PATH);
        std::vector<char*> argv;
        for (auto& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        if (posix_spawn(&pid_, KT300SIM_PATH, &fa, nullptr, argv.data(), environ) != 0) pid_ = -1;
        posix_spawn_file_actions_destroy(&fa);
        ::close(out[1]);
        out_ = out[0];
    }
    ~Program() {
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
        if (out_ >= 0) ::close(out_);
    }
    std::string ReadLine(int timeoutMs) {
        std::string line;
        auto end = Clock::now() + std::chrono::milliseconds(timeoutMs);
        while (Clock::now() < end) {
            struct pollfd p {
                out_, POLLIN, 0
            };
            if (::poll(&p, 1, 20) <= 0) continue;
            char ch;
            if (::read(out_, &ch, 1) != 1) break;
            if (ch == '\n') return line;
            line.push_back(ch);
        }
        return line;
    }
    // Exit status, or -1 when it did not end within the time.
    int Wait(int timeoutMs) {
        auto end = Clock::now() + std::chrono::milliseconds(timeoutMs);
        while (Clock::now() < end) {
            int status = 0;
            if (::waitpid(pid_, &status, WNOHANG) == pid_) {
                pid_ = -1;
                return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            }
            ::usleep(5000);
        }
        return -1;
    }
    pid_t pid() const { return pid_; }

  private:
    pid_t pid_ = -1;
    int out_ = -1;
};

TEST(SimProgram, ServesUntilTerminatedAndCleansUp) {
    auto link =
        std::filesystem::temp_directory_path() / ("korva_kt300sim_" + std::to_string(::getpid()));
    Program p({"--link", link.string(), "--baud", "0", "--model", "KT300RSX"});
    ASSERT_GT(p.pid(), 0);
    std::string path = p.ReadLine(5000);
    ASSERT_EQ(path.rfind("/dev/pts/", 0), 0u) << path;
    {
        Client c(link.string());
        ASSERT_TRUE(c.ok());
        EXPECT_EQ(c.Exchange("SystemInfo?").rfind("SystemInfo KT300RSX,", 0), 0u);
    }
    ::kill(p.pid(), SIGTERM);
    EXPECT_EQ(p.Wait(5000), 0);
    EXPECT_FALSE(std::filesystem::is_symlink(link));
}

// --link leaves alone what it did not make: another program's link (also a
// stale one) and a plain file, both when asked to make the link and at exit.
TEST(SimProgram, LinkNeverRemovesWhatItDidNotMake) {
    auto dir = std::filesystem::temp_directory_path() /
               ("korva_kt300sim_keep_" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    auto foreign = dir / "foreign";
    std::filesystem::create_symlink("/dev/null", foreign);
    auto stale = dir / "stale";
    std::filesystem::create_symlink(dir / "gone", stale);
    for (const auto& path : {foreign, stale}) {
        Program p({"--link", path.string(), "--baud", "0"});
        EXPECT_EQ(p.Wait(5000), 1) << path;
        EXPECT_TRUE(std::filesystem::is_symlink(path)) << path;
    }
    EXPECT_EQ(std::filesystem::read_symlink(foreign), "/dev/null");
    // Replaced by another program while the simulator runs: left in place.
    auto link = dir / "ttyKT";
    {
        PtySimulator sim;
        ASSERT_TRUE(sim.Start());
        ASSERT_TRUE(sim.MakeLink(link.string()));
        std::filesystem::remove(link);
        std::filesystem::create_symlink("/dev/null", link);
    }
    EXPECT_EQ(std::filesystem::read_symlink(link), "/dev/null");
    std::filesystem::remove_all(dir);
}

TEST(SimProgram, RefusesBadOptions) {
    struct {
        std::vector<std::string> args;
        int status;
    } cases[] = {
        {{"--help"}, 0},
        {{"--version"}, 0},
        {{"--bogus"}, 2},
        {{"--baud"}, 2},
        {{"--baud", "fast"}, 2},
        {{"--controllers", "0"}, 2},
        {{"--fault", "error:1:9"}, 2},
        {{"--time-scale", "-1"}, 2},
        {{"--time-scale", "inf"}, 2},
        {{"--hangup-after", "nan"}, 2},
        {{"--hangup-after", "-nan"}, 2},
        {{"--hangup-after", "1e300"}, 2},
        {{"--hangup-after", "inf"}, 2},
        {{"--bogus", "1"}, 2},  // unknown, even with something after it
    };
    for (auto& c : cases) {
        Program p(c.args);
        EXPECT_EQ(p.Wait(5000), c.status) << c.args[0];
    }
}

}  // namespace
}  // namespace korva::sim::test
