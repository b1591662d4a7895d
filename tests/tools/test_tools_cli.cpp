// kt300ctl end to end: the real program, the real module and the built-in
// simulator on a pseudo-terminal.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace {

struct ToolRun {
    int status = -1;  // exit code, or 128+signal, or -1 when it had to be killed
    std::string out;
    std::string err;
};

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string l; std::getline(in, l);) lines.push_back(l);
    return lines;
}

bool Has(const std::vector<std::string>& lines, const std::string& line) {
    for (const auto& l : lines) {
        if (l == line) return true;
    }
    return false;
}

void CloseFd(int& fd) {
    if (fd >= 0) close(fd);
    fd = -1;
}

// Runs kt300ctl with `args` and `env` added, `input` on standard input (a pipe,
// or a terminal when `tty`), and a hard time limit so a hang fails the test
// instead of blocking it.
ToolRun RunTool(const std::vector<std::string>& args,
                const std::map<std::string, std::string>& env = {}, const std::string& input = "",
                bool tty = false, int limitMs = 60000) {
    ToolRun r;
    int outPipe[2], errPipe[2], inPipe[2] = {-1, -1};
    int master = -1, slave = -1;
    if (pipe(outPipe) != 0 || pipe(errPipe) != 0) return r;
    if (tty) {
        master = posix_openpt(O_RDWR | O_NOCTTY);
        if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) return r;
        slave = open(ptsname(master), O_RDWR | O_NOCTTY);
    } else if (pipe(inPipe) != 0) {
        return r;
    }
    pid_t pid = fork();
    if (pid == 0) {
        dup2(tty ? slave : inPipe[0], STDIN_FILENO);
        dup2(outPipe[1], STDOUT_FILENO);
        dup2(errPipe[1], STDERR_FILENO);
        for (int fd : {outPipe[0], outPipe[1], errPipe[0], errPipe[1], inPipe[0], inPipe[1], master,
                       slave}) {
            if (fd > STDERR_FILENO) close(fd);
        }
        for (const auto& [k, v] : env) setenv(k.c_str(), v.c_str(), 1);
        std::vector<char*> argv;
        std::string exe = KT300CTL_PATH;
        argv.push_back(exe.data());
        std::vector<std::string> copy = args;
        for (auto& a : copy) argv.push_back(a.data());
        argv.push_back(nullptr);
        execv(exe.c_str(), argv.data());
        _exit(127);
    }
    close(outPipe[1]);
    close(errPipe[1]);
    int writeFd = tty ? master : inPipe[1];
    if (!tty) close(inPipe[0]);
    if (tty) close(slave);
    if (!input.empty() && write(writeFd, input.data(), input.size()) < 0) ADD_FAILURE() << "write";
    if (!tty) CloseFd(inPipe[1]);

    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(limitMs);
    int fds[2] = {outPipe[0], errPipe[0]};
    std::string* sinks[2] = {&r.out, &r.err};
    int open = 2;
    bool killed = false;
    while (open > 0) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                        deadline - std::chrono::steady_clock::now())
                        .count();
        if (left <= 0) {
            kill(pid, SIGKILL);
            killed = true;
            break;
        }
        pollfd p[2];
        for (int i = 0; i < 2; ++i) p[i] = {fds[i], POLLIN, 0};
        if (poll(p, 2, static_cast<int>(left)) < 0) continue;
        for (int i = 0; i < 2; ++i) {
            if (fds[i] < 0 || !(p[i].revents & (POLLIN | POLLHUP))) continue;
            char buf[4096];
            ssize_t n = read(fds[i], buf, sizeof buf);
            if (n > 0) {
                sinks[i]->append(buf, n);
            } else {
                CloseFd(fds[i]);
                --open;
            }
        }
    }
    CloseFd(fds[0]);
    CloseFd(fds[1]);
    CloseFd(master);
    int ws = 0;
    waitpid(pid, &ws, 0);
    if (killed) {
        ADD_FAILURE() << "kt300ctl did not finish within " << limitMs << " ms\nstdout:\n"
                      << r.out << "\nstderr:\n"
                      << r.err;
        r.status = -1;
    } else if (WIFEXITED(ws)) {
        r.status = WEXITSTATUS(ws);
    } else if (WIFSIGNALED(ws)) {
        r.status = 128 + WTERMSIG(ws);
    }
    return r;
}

class TempScript {
  public:
    explicit TempScript(const std::string& text) {
        char name[] = "/tmp/kt300ctl-test-XXXXXX";
        int fd = mkstemp(name);
        if (fd >= 0) {
            if (write(fd, text.data(), text.size()) != static_cast<ssize_t>(text.size())) {
                ADD_FAILURE() << "cannot write " << name;
            }
            close(fd);
            m_Path = name;
        }
    }
    ~TempScript() {
        if (!m_Path.empty()) unlink(m_Path.c_str());
    }
    const std::string& Path() const { return m_Path; }

  private:
    std::string m_Path;
};

// Calls against a connected simulator, then the same calls after DisConnect;
// nothing here depends on the simulator's motion timing.
const char* kScript = R"(# end-to-end script
Connect
GetIsOpen()
ComPort
SetSpeed 0, 1500
getspeed(0)
Langenge = "Deutsch"
Langenge
SAVENAME "toolong12"
GetPortInput
SetStopFlag 2, 7
GetStopFlag 2
DisConnect
GetIsOpen
GetSpeed 0
)";

TEST(Cli, PlainOutputAgainstTheSimulator) {
    TempScript script(kScript);
    ToolRun r = RunTool({"--sim", "--sim-baud", "0", script.Path()});
    ASSERT_EQ(r.status, 0) << r.err;
    const std::vector<std::string> expected = {
        "Connect() = TRUE",
        "GetIsOpen() = TRUE",
        "ComPort = 1",
        "SetSpeed(0, 1500) = TRUE",
        "GetSpeed(0) = 1500",
        "Langenge := \"Deutsch\"",
        "Langenge = \"Deutsch\"",
        "SAVENAME(\"toolong12\") = FALSE",
        "GetPortInput() = TRUE nValue=0",
        "SetStopFlag(2, 7) = FALSE",
        "GetStopFlag(2) = TRUE",
        "DisConnect()",
        "GetIsOpen() = FALSE",
        "GetSpeed(0) = 1500",  // the cached value once the link is closed
    };
    EXPECT_EQ(Lines(r.out), expected) << r.err;
}

TEST(Cli, JsonOutputCarriesTheErrorCode) {
    TempScript script(kScript);
    ToolRun r = RunTool({"--json", "--sim", "--sim-baud=0", script.Path()});
    ASSERT_EQ(r.status, 0) << r.err;
    std::vector<std::string> lines = Lines(r.out);
    ASSERT_EQ(lines.size(), 14u) << r.out;
    EXPECT_EQ(lines[0],
              R"({"call": "Connect", "args": [], "result": true, "out": {}, "error": 0})");
    EXPECT_EQ(lines[3],
              R"({"call": "SetSpeed", "args": [0, 1500], "result": true, "out": {}, "error": 0})");
    EXPECT_EQ(lines[5], R"({"call": "Langenge", "args": ["Deutsch"], "result": null, "out": {}, )"
                        R"("error": 0})");
    EXPECT_EQ(lines[8], R"({"call": "GetPortInput", "args": [], "result": true, )"
                        R"("out": {"nValue": 0}, "error": 0})");
    // After DisConnect the getter falls back to its cache and the code tells why.
    EXPECT_EQ(lines[13],
              R"({"call": "GetSpeed", "args": [0], "result": 1500, "out": {}, "error": 20004})");
}

TEST(Cli, NoImplicitConnectAndCallsFromOptions) {
    ToolRun r = RunTool({"--json", "--sim", "-e", "GetPosition 1", "-e", "GetIsOpen"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(
        Lines(r.out),
        (std::vector<std::string>{
            R"({"call": "GetPosition", "args": [1], "result": 0, "out": {}, "error": 20004})",
            R"({"call": "GetIsOpen", "args": [], "result": false, "out": {}, "error": 20004})"}));
}

TEST(Cli, PortOptionMapsTheSimulatorToThatPort) {
    ToolRun r = RunTool({"--sim", "--port", "7", "-e", "ComPort", "-e", "Connect"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(Lines(r.out), (std::vector<std::string>{"ComPort = 7", "Connect() = TRUE"}));
}

TEST(Cli, ListShowsEveryMember) {
    ToolRun r = RunTool({"--list"});
    ASSERT_EQ(r.status, 0) << r.err;
    std::vector<std::string> lines = Lines(r.out);
    EXPECT_EQ(lines.size(), 109u);
    EXPECT_TRUE(Has(lines, "    4  property  short   ComPort")) << r.out;
    EXPECT_TRUE(Has(lines, "    5  method    BOOL    Connect()")) << r.out;
    EXPECT_TRUE(Has(lines, "   44  method    BOOL    GetPortInput(short* nValue)")) << r.out;
    EXPECT_TRUE(Has(lines, "   63  method    BOOL    SetSpeed(short axis, float Speed)")) << r.out;
    EXPECT_TRUE(Has(lines, " -552  method    void    AboutBox()")) << r.out;

    ToolRun j = RunTool({"--list", "--json"});
    ASSERT_EQ(j.status, 0) << j.err;
    std::vector<std::string> json = Lines(j.out);
    EXPECT_EQ(json.size(), 109u);
    EXPECT_TRUE(Has(json, R"({"dispid": 97, "name": "GetSelectID", "kind": "method", )"
                          R"("result": "BOOL", "params": [{"name": "ndev", "type": "short*", )"
                          R"("byref": true}]})"))
        << j.out;
}

TEST(Cli, ScriptErrorsStopBeforeTheFirstCall) {
    struct Case {
        const char* script;
        const char* message;
    };
    const Case cases[] = {
        {"Connect\nGetIsOpen\nSetSped 0, 10\n",
         "line 3: DISP_E_UNKNOWNNAME: no member named SetSped"},
        {"Connect\nSetSpeed 0\n", "line 2: DISP_E_BADPARAMCOUNT: SetSpeed takes 2 arguments"},
        {"Connect\n\n# note\nSAVENAME \"x\n", "line 4: syntax error: unterminated text"},
        {"Connect\nGetSpeed 70000\n", "line 2: DISP_E_OVERFLOW: GetSpeed argument 1 (anxi)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.script);
        TempScript script(c.script);
        ToolRun r = RunTool({"--sim", script.Path()});
        EXPECT_EQ(r.status, 2);
        EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
        EXPECT_EQ(r.out, "") << "nothing may run when a line is wrong";
    }
}

TEST(Cli, EnvironmentFailuresExitOne) {
    ToolRun r = RunTool({"-e", "Connect"}, {{"KORVA_MODULE", "/nonexistent/libKORVAKT3002.so"}});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("/nonexistent/libKORVAKT3002.so"), std::string::npos) << r.err;
    EXPECT_EQ(r.out, "");

    ToolRun f = RunTool({"/nonexistent/script.kts"});
    EXPECT_EQ(f.status, 1);
    EXPECT_NE(f.err.find("No such file or directory"), std::string::npos) << f.err;

    ToolRun o = RunTool({"--sim-baud", "9600"});
    EXPECT_EQ(o.status, 2);
    EXPECT_NE(o.err.find("--sim-baud needs --sim"), std::string::npos) << o.err;
}

// kt300ctl finds the control module as stagedesk does: the registered module
// comes before the copy beside the program. The copy registered elsewhere
// proves it was the one loaded by registering itself under its own path.
TEST(Cli, TheRegisteredModuleIsTheOneLoaded) {
    char pattern[] = "/tmp/korva-cli-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    const std::string dir = pattern;
    const std::string copy = dir + "/elsewhere/libKORVAKT3002.so.1";
    ASSERT_EQ(system(("mkdir -p " + dir + "/elsewhere " + dir + "/data/korva && cp " + MODULE_FILE +
                      " " + copy)
                         .c_str()),
              0);
    const std::string registry = dir + "/data/korva/registry.ini";
    std::ofstream(registry) << "[KORVAKT3002.KORVAKT3002Ctrl.1]\nCLSID={1}\n[CLSID\\{1}]\n"
                            << "InprocServer=" << copy << "\n";
    ToolRun r = RunTool({"--register"}, {{"XDG_DATA_HOME", dir + "/data"}, {"KORVA_MODULE", ""}});
    EXPECT_EQ(r.status, 0) << r.err;
    std::ifstream in(registry);
    const std::string text((std::istreambuf_iterator<char>(in)), {});
    EXPECT_NE(text.find("InprocServer=" + copy + "\n"), std::string::npos) << text;
    EXPECT_EQ(text.find("InprocServer=" + std::string(MODULE_FILE)), std::string::npos) << text;
    ASSERT_EQ(system(("rm -rf " + dir).c_str()), 0);
}

TEST(Cli, ScriptFromStandardInput) {
    ToolRun r = RunTool({"--sim", "-"}, {}, "Connect\nGetchroMode\n");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(Lines(r.out),
              (std::vector<std::string>{"Connect() = TRUE", "GetchroMode() = FALSE"}));
}

TEST(Cli, PromptKeepsGoingAfterErrors) {
    // Canonical terminal input: each line is delivered on its newline, ^D ends.
    ToolRun r = RunTool({"--sim"}, {}, "Bogus 1\nSetSpeed(0\nConnect\nGetIsOpen\n\x04", true);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("kt300> "), std::string::npos) << r.out;
    EXPECT_NE(r.err.find("line 1: DISP_E_UNKNOWNNAME: no member named Bogus"), std::string::npos)
        << r.err;
    EXPECT_NE(r.err.find("line 2: syntax error: missing ')'"), std::string::npos) << r.err;
    EXPECT_NE(r.out.find("Connect() = TRUE"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("GetIsOpen() = TRUE"), std::string::npos) << r.out;
}

TEST(Cli, DemoRunsToTheEnd) {
    ToolRun r = RunTool({"--sim", DEMO_SCRIPT_PATH});
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    std::vector<std::string> lines = Lines(r.out);
    ASSERT_FALSE(lines.empty());
    EXPECT_TRUE(Has(lines, "Connect() = TRUE")) << r.out;
    EXPECT_EQ(lines.back(), "DisConnect()") << r.out;
    // Where the moves and the plan leave the axes.
    EXPECT_TRUE(Has(lines, "GetPosition(0) = 20")) << r.out;
    EXPECT_TRUE(Has(lines, "GetPosition(1) = 15")) << r.out;
    EXPECT_TRUE(Has(lines, "GetErrorCode() = 0")) << r.out;
    int waits = 0;
    for (const std::string& l : lines) {
        if (l.rfind("wait-stop(", 0) != 0) continue;
        ++waits;
        EXPECT_NE(l.find(") = TRUE"), std::string::npos) << "every move ends: " << l;
    }
    EXPECT_GE(waits, 5) << r.out;
    EXPECT_EQ(r.err, "");
}

}  // namespace
