// kt300ctl interrupted: Ctrl-C (SIGINT) during a synchronous move and during
// wait-stop, and a controller that hangs up during wait-stop. The controller
// is a scripted far end on a pseudo-terminal; each row prints its time.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "PtyPair.h"
#include "ScriptedPeer.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using korva::test::PtyPair;
using korva::test::ScriptedPeer;

long long MsSince(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

// kt300ctl running a script on COM5 mapped to the pty; standard error to a file.
class Tool {
  public:
    Tool(const std::string& device, const std::string& script) {
        char name[] = "/tmp/kt300ctl-sig-XXXXXX";
        int fd = mkstemp(name);
        m_Err = name;
        m_Pid = fork();
        if (m_Pid == 0) {
            dup2(fd, STDERR_FILENO);
            int null = open("/dev/null", O_RDWR);
            dup2(null, STDIN_FILENO);
            dup2(null, STDOUT_FILENO);
            setenv("KORVA_COM5", device.c_str(), 1);
            execl(KT300CTL_PATH, KT300CTL_PATH, "--port", "5", "-e", script.c_str(), nullptr);
            _exit(127);
        }
        close(fd);
    }
    ~Tool() {
        if (m_Pid > 0 && Status(0) == -1) {
            kill(m_Pid, SIGKILL);
            waitpid(m_Pid, nullptr, 0);
        }
        unlink(m_Err.c_str());
    }
    pid_t Pid() const { return m_Pid; }
    // Exit status (128+N after signal N), or -1 when still running after limitMs.
    int Status(int limitMs) {
        if (m_Status != -1) return m_Status;
        auto end = Clock::now() + std::chrono::milliseconds(limitMs);
        for (;;) {
            int ws = 0;
            if (waitpid(m_Pid, &ws, WNOHANG) == m_Pid) {
                m_Status = WIFEXITED(ws) ? WEXITSTATUS(ws) : 128 + WTERMSIG(ws);
                return m_Status;
            }
            if (Clock::now() >= end) return -1;
            std::this_thread::sleep_for(1ms);
        }
    }
    std::string Err() const {
        std::ifstream in(m_Err);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }

  private:
    pid_t m_Pid = -1;
    int m_Status = -1;
    std::string m_Err;
};

struct SignalRow {
    const char* name;
    std::string script;
    std::vector<std::pair<std::string, std::string>> replies;  // line -> reply, in order
    std::optional<std::string> otherwise;                      // reply to any other line
    const char* waitingOn;  // the line on the wire after which the signal comes
    std::vector<std::string> lines;
};

TEST(ToolSignals, CtrlCEndsTheWaitStopsTheMovedAxesAndExits130) {
    const std::vector<SignalRow> rows = {
        {"SIGINT during a synchronous move (mute controller)",
         "Connect\nSetchroMode 1\nGoHome 0\n",
         {{"Hello", "OK\r"}, {"GoHome X", "READY\r"}},  // the completion never comes
         std::nullopt,
         "GoHome X",
         {"Hello", "GoHome X", "StopSlow X"}},
        {"SIGINT during a multi-axis home (mute controller)",
         "Connect\nGonAxisHome \"Y\", \"N\", \"Y\", \"N\"\n",
         {{"Hello", "OK\r"}, {"GonAxisHome Y,N,Y,N", ""}},
         std::nullopt,
         "GonAxisHome Y,N,Y,N",
         {"Hello", "GonAxisHome Y,N,Y,N", "StopSlow X", "StopSlow Z"}},
        {"SIGINT during wait-stop",
         "Connect\nGo 1, 1\nwait-stop 1, 60000\n",
         {{"Hello", "OK\r"}, {"Go Y,P", "READY\r"}},
         "Position Y,1.000000\rOK\r",  // the axis keeps moving
         "Position? Y",
         {"Hello", "Go Y,P", "Position? Y", "StopSlow Y"}},
    };
    std::printf("| case | wire lines | exit | ms from signal to exit |\n");
    for (const SignalRow& row : rows) {
        SCOPED_TRACE(row.name);
        PtyPair pty;
        ASSERT_TRUE(pty.Ok());
        ScriptedPeer peer(pty);
        for (const auto& [line, reply] : row.replies) peer.Expect(line, reply);
        peer.SetDefaultReply(row.otherwise);
        Tool tool(pty.SlavePath(), row.script);
        // Wait until the run waits on the line the row is about.
        bool waiting = false;
        for (auto end = Clock::now() + 5s; !waiting && Clock::now() < end;) {
            for (const std::string& l : peer.Lines()) waiting |= l == row.waitingOn;
            std::this_thread::sleep_for(5ms);
        }
        ASSERT_TRUE(waiting) << tool.Err();
        std::this_thread::sleep_for(100ms);
        auto start = Clock::now();
        kill(tool.Pid(), SIGINT);
        const int status = tool.Status(5000);
        const long long ms = MsSince(start);
        EXPECT_EQ(status, 130) << tool.Err();
        EXPECT_LT(ms, 1000);  // a bound against a hang; measured time is printed
        peer.WaitForLines(row.lines.size(), 1s);
        std::vector<std::string> lines;
        for (const std::string& l : peer.Lines())
            if (lines.empty() || l != "Position? Y" || lines.back() != "Position? Y")
                lines.push_back(l);  // repeated polls count once
        EXPECT_EQ(lines, row.lines) << tool.Err();
        EXPECT_NE(tool.Err().find("stopped by"), std::string::npos) << tool.Err();
        std::string wire;
        for (const std::string& l : lines) wire += l + "\\r ";
        std::printf("| %s | %s| %d | %lld |\n", row.name, wire.c_str(), status, ms);
    }
}

// The controller hangs up while wait-stop polls: it gives up at once with a
// message, the run goes on, and the exit status says something went wrong.
TEST(ToolSignals, WaitStopGivesUpWhenTheControllerHangsUp) {
    PtyPair pty;
    ASSERT_TRUE(pty.Ok());
    ScriptedPeer peer(pty);
    peer.Expect("Hello", "OK\r");
    peer.SetDefaultReply("Position X,1.000000\rOK\r");
    Tool tool(pty.SlavePath(), "Connect\nwait-stop 0, 60000\necho \"after\"\n");
    ASSERT_TRUE(peer.WaitForLines(3, 5s)) << tool.Err();
    auto start = Clock::now();
    peer.HangUp();
    const int status = tool.Status(5000);
    const long long ms = MsSince(start);
    EXPECT_EQ(status, 3) << tool.Err();
    EXPECT_LT(ms, 1000);
    EXPECT_NE(tool.Err().find("wait-stop 0: the link is gone"), std::string::npos) << tool.Err();
    std::printf("| hang-up during wait-stop | Hello\\r Position? X\\r ... | %d | %lld |\n", status,
                ms);
}

}  // namespace

namespace {

std::string RunShell(const std::string& command) {
    std::string out;
    if (FILE* p = popen(command.c_str(), "r")) {
        char buf[512];
        while (fgets(buf, sizeof buf, p) != nullptr) out += buf;
        pclose(p);
    }
    return out;
}

// kt300ctl prints why Connect failed; the permission case runs as an
// unprivileged user (root opens anything), where setpriv is available.
TEST(ToolConnect, FailurePrintsTheReason) {
    const std::string tool = KT300CTL_PATH;
    std::string out = RunShell("KORVA_COM5=/tmp/korva-no-such-tty " + tool +
                               " --port 5 -e Connect -e GetErrorCode 2>&1");
    EXPECT_NE(out.find("Connect failed: COM5 (/tmp/korva-no-such-tty) is missing"),
              std::string::npos)
        << out;
    EXPECT_NE(out.find("GetErrorCode() = 10106"), std::string::npos) << out;

    if (geteuid() != 0 || access("/usr/bin/setpriv", X_OK) != 0) return;
    char name[] = "/tmp/korva-tty-XXXXXX";
    const int fd = mkstemp(name);
    ASSERT_GE(fd, 0);
    close(fd);
    chmod(name, 0600);
    // The tool must be reachable by that user: the build tree usually is.
    out = RunShell(std::string("KORVA_COM5=") + name +
                   " setpriv --reuid=65534 --regid=65534 --clear-groups " + tool +
                   " --port 5 -e Connect -e GetErrorCode 2>&1");
    unlink(name);
    if (out.find("cannot load") != std::string::npos) GTEST_SKIP() << out;
    EXPECT_NE(out.find("Permission denied; add your user to the dialout group"), std::string::npos)
        << out;
    EXPECT_NE(out.find("GetErrorCode() = 10108"), std::string::npos) << out;
}

}  // namespace
