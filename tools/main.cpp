// kt300ctl: the command-line automation host. Loads the control module,
// creates one control and runs script statements on it by name.
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <strings.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "Calls.h"
#include "Format.h"
#include "Ini.h"
#include "Module.h"
#include "Options.h"
#include "PtySimulator.h"
#include "Script.h"

#ifndef KORVA_VERSION
#define KORVA_VERSION "unknown"
#endif

namespace {

using namespace korva;
using namespace korva::tools;

constexpr int kExitOk = 0;
constexpr int kExitEnvironment = 1;
constexpr int kExitScript = 2;
constexpr int kExitLinkGone = 3;

// Set by SIGINT/SIGTERM: the signal watcher ends the waiting call and stops the
// moved axes, waits give up, and the control is released properly (closing its
// link). A second signal while the first is pending exits at once.
std::atomic<int> g_Signal{0};
// Written by the handler so the watcher thread wakes (a pipe is async-signal-safe).
int g_SignalPipe[2] = {-1, -1};
// Set while a call of the script runs (at the interactive prompt a Ctrl-C
// only drops the line being typed).
std::atomic<bool> g_InCall{false};

extern "C" void OnSignal(int sig) {
    if (g_Signal.load() != 0) _exit(128 + sig);
    g_Signal.store(sig);
    const char byte = 's';
    if (g_SignalPipe[1] >= 0) (void)!write(g_SignalPipe[1], &byte, 1);
}

// The module's Linux entry points beyond the three a host needs, when present.
struct ModuleExtras {
    void* handle = nullptr;
    KORVA_AbortFn abort = nullptr;
    KORVA_ErrorTextFn errorText = nullptr;

    explicit ModuleExtras(const std::string& path) {
        // The module is loaded already: this only finds it again.
        handle = dlopen(path.c_str(), RTLD_NOW | RTLD_NOLOAD);
        if (handle == nullptr) return;
        abort = reinterpret_cast<KORVA_AbortFn>(dlsym(handle, "KORVA_Abort"));
        errorText = reinterpret_cast<KORVA_ErrorTextFn>(dlsym(handle, "KORVA_ErrorText"));
    }
    ~ModuleExtras() {
        if (handle != nullptr) dlclose(handle);
    }
    ModuleExtras(const ModuleExtras&) = delete;
    ModuleExtras& operator=(const ModuleExtras&) = delete;

    std::string ErrorText(KorvaDispatch& control) const {
        if (errorText == nullptr) return {};
        char buf[512];
        errorText(&control, buf, sizeof buf);
        return buf;
    }
};

// Waits for the first signal on its own thread; then ends the control's
// waiting call and sends the decelerating stop to every axis the run moved,
// so the main thread's call returns within milliseconds.
class SignalWatcher {
  public:
    SignalWatcher(KorvaDispatch& control, const ModuleExtras& extras,
                  std::function<unsigned()> movedAxes, bool onlyInCall)
        : m_Control(control),
          m_Extras(extras),
          m_MovedAxes(std::move(movedAxes)),
          m_OnlyInCall(onlyInCall) {
        if (pipe(m_Quit) != 0) m_Quit[0] = m_Quit[1] = -1;
        m_Thread = std::thread([this] { Run(); });
    }
    ~SignalWatcher() {
        const char byte = 'q';
        if (m_Quit[1] >= 0) (void)!write(m_Quit[1], &byte, 1);
        m_Thread.join();
        for (int fd : m_Quit)
            if (fd >= 0) close(fd);
    }
    SignalWatcher(const SignalWatcher&) = delete;
    SignalWatcher& operator=(const SignalWatcher&) = delete;

  private:
    void Run() {
        for (;;) {
            struct pollfd fds[2] = {{g_SignalPipe[0], POLLIN, 0}, {m_Quit[0], POLLIN, 0}};
            if (poll(fds, 2, -1) < 0) {
                if (errno == EINTR) continue;
                return;
            }
            if (fds[1].revents != 0) return;
            char byte;
            if ((fds[0].revents & POLLIN) == 0 || read(g_SignalPipe[0], &byte, 1) != 1) continue;
            if (g_Signal.load() == 0 || (m_OnlyInCall && !g_InCall.load())) continue;
            if (m_Extras.abort == nullptr) continue;
            const unsigned axes = m_MovedAxes();
            if (m_Extras.abort(&m_Control, axes) == 0 && axes != 0)
                Error("the decelerating stop did not reach every moved axis");
        }
    }
    static void Error(const std::string& text) {
        std::fprintf(stderr, "kt300ctl: %s\n", text.c_str());
    }

    KorvaDispatch& m_Control;
    const ModuleExtras& m_Extras;
    std::function<unsigned()> m_MovedAxes;
    bool m_OnlyInCall;
    int m_Quit[2] = {-1, -1};
    std::thread m_Thread;
};

void InstallSignals() {
    if (pipe2(g_SignalPipe, O_CLOEXEC | O_NONBLOCK) != 0) g_SignalPipe[0] = g_SignalPipe[1] = -1;
    struct sigaction sa;
    std::memset(&sa, 0, sizeof sa);
    sa.sa_handler = OnSignal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = 0;  // no SA_RESTART: a read at the prompt returns EINTR
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
}

// A binary file fed as a script would otherwise report every one of its lines.
constexpr int kMaxLineErrors = 20;
int g_LineErrors = 0;

void Error(const std::string& text) {
    std::fprintf(stderr, "kt300ctl: %s\n", text.c_str());
}

void LineError(const std::string& text) {
    ++g_LineErrors;
    if (g_LineErrors <= kMaxLineErrors) Error(text);
    if (g_LineErrors == kMaxLineErrors + 1) Error("more errors follow; not shown");
}

void Emit(const std::string& line) {
    std::fputs(line.c_str(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

struct SourceLine {
    std::string label;  // "line 3", "-e 1"
    Statement statement;
};

// Adds the statements of `text`, labelled "line N" or with `label` when
// given; false after reporting each syntax error.
bool ParseText(const std::string& text, const std::string& label, std::vector<SourceLine>& out) {
    bool ok = true;
    std::istringstream in(text);
    std::string line;
    int lineNo = 0;
    while (std::getline(in, line)) {
        ++lineNo;
        std::string where = label.empty() ? "line " + std::to_string(lineNo) : label;
        ParseResult p = ParseLine(line);
        if (!p.ok) {
            LineError(where + ": syntax error: " + p.error + " (column " +
                      std::to_string(p.column) + ")");
            ok = false;
            continue;
        }
        if (p.statement.kind != StatementKind::Empty)
            out.push_back({where, std::move(p.statement)});
    }
    return ok;
}

bool ReadAll(std::FILE* f, std::string& text) {
    char buf[65536];
    std::size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) text.append(buf, n);
    return std::ferror(f) == 0;
}

// Result of running one statement: its exit status when the run must end.
struct Outcome {
    bool stop = false;
    int status = kExitOk;
};

class Session {
  public:
    Session(KorvaDispatch& control, bool json, const ModuleExtras& extras)
        : m_Control(control), m_Runner(control, &g_Signal), m_Extras(extras) {
        m_Json = json;
        m_Runner.SetReadErrorCode(json);
    }

    unsigned MovedAxes() const { return m_Runner.MovedAxes(); }
    int LinkFailures() const { return m_Runner.LinkFailures(); }

    // Binds every statement first so a mistake on the last line stops the
    // script before the first line moves anything.
    bool BindAll(const std::vector<SourceLine>& lines, std::vector<BoundCall>& bound) {
        bool ok = true;
        for (const SourceLine& l : lines) {
            BindResult b = Bind(m_Control, l.statement);
            if (!b.Ok()) {
                LineError(l.label + ": " + DispErrorText(b.code) + ": " + b.message);
                ok = false;
                continue;
            }
            bound.push_back(std::move(b.call));
        }
        return ok;
    }

    Outcome Run(const std::string& label, const BoundCall& call) {
        g_InCall = true;
        RunResult r = m_Runner.Run(call);
        g_InCall = false;
        if (!r.Ok()) {
            Error(label + ": " + DispErrorText(r.code) + ": " + r.message);
            return {true, kExitScript};
        }
        Emit(m_Json ? FormatJson(r.record) : FormatPlain(r.record));
        // A failed Connect says why: the device, the reason and what to do.
        if (strcasecmp(call.name.c_str(), "Connect") == 0 &&
            r.record.result.Type() == VarType::Bool && !r.record.result.AsBool()) {
            const std::string why = m_Extras.ErrorText(m_Control);
            if (!why.empty()) Error(label + ": Connect failed: " + why);
        }
        return {};
    }

    bool Put(const char* name, Variant value) {
        std::array<const char*, 1> names{name};
        std::array<DISPID, 1> ids{DISPID_UNKNOWN};
        std::vector<Variant> args{std::move(value)};
        if (m_Control.GetIDsOfNames(names, ids) != S_OK ||
            m_Control.Invoke(ids[0], kInvokePropertyPut, args, nullptr) != S_OK) {
            Error(std::string("cannot set ") + name + " on the control");
            return false;
        }
        return true;
    }

  private:
    KorvaDispatch& m_Control;
    Runner m_Runner;
    const ModuleExtras& m_Extras;
    bool m_Json = false;
};

// One line from standard input at the prompt, without stdio buffering so a
// signal interrupts the read. False at end of input.
enum class ReadStatus { Line, Interrupted, End };
ReadStatus ReadPromptLine(std::string& line) {
    line.clear();
    for (;;) {
        char c;
        ssize_t n = read(STDIN_FILENO, &c, 1);
        if (n == 1) {
            if (c == '\n') return ReadStatus::Line;
            line.push_back(c);
            continue;
        }
        if (n < 0 && errno == EINTR) return ReadStatus::Interrupted;
        if (n < 0) Error(std::string("reading standard input: ") + std::strerror(errno));
        return line.empty() ? ReadStatus::End : ReadStatus::Line;
    }
}

int Interactive(Session& session) {
    std::fprintf(stderr,
                 "kt300ctl %s: type calls such as \"Connect\" or \"GetSpeed 0\"; "
                 "Ctrl-D ends.\n",
                 KORVA_VERSION);
    int lineNo = 0;
    for (;;) {
        std::fputs("kt300> ", stdout);
        std::fflush(stdout);
        std::string text;
        ReadStatus s = ReadPromptLine(text);
        if (s == ReadStatus::End) {
            std::fputc('\n', stdout);
            return kExitOk;
        }
        if (s == ReadStatus::Interrupted) {
            // Ctrl-C at the prompt drops the line being typed, as a shell does.
            g_Signal.store(0);
            std::fputc('\n', stdout);
            continue;
        }
        ++lineNo;
        g_LineErrors = 0;
        std::vector<SourceLine> lines;
        if (!ParseText(text, "line " + std::to_string(lineNo), lines) || lines.empty()) continue;
        std::vector<BoundCall> bound;
        if (!session.BindAll(lines, bound)) continue;
        session.Run(lines.front().label, bound.front());
        // A signal during a call ended the wait and stopped the moved axes:
        // the session ends, as a script run does.
        if (int sig = g_Signal.load(); sig != 0) {
            Error(std::string("stopped by ") + strsignal(sig) + " during " + lines.front().label);
            return 128 + sig;
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    OptionsResult parsed = ParseOptions(args);
    if (!parsed.ok) {
        Error(parsed.error + " (see kt300ctl --help)");
        return kExitScript;
    }
    const Options& opt = parsed.options;
    if (opt.help) {
        std::fputs(HelpText().c_str(), stdout);
        return kExitOk;
    }
    if (opt.version) {
        std::printf("kt300ctl %s\n", KORVA_VERSION);
        return kExitOk;
    }

    // The script is read and checked for syntax before anything is loaded.
    bool registration = opt.doRegister || opt.doUnregister;
    bool interactive = false;
    std::vector<SourceLine> lines;
    bool syntaxOk = true;
    if (!registration && !opt.list) {
        for (std::size_t i = 0; i < opt.calls.size(); ++i) {
            syntaxOk = ParseText(opt.calls[i], "-e " + std::to_string(i + 1), lines) && syntaxOk;
        }
        bool useStdin = (opt.file && *opt.file == "-") || (!opt.file && opt.calls.empty());
        if (useStdin && isatty(STDIN_FILENO)) {
            interactive = true;
        } else if (useStdin || opt.file) {
            std::string text;
            if (useStdin) {
                if (!ReadAll(stdin, text)) {
                    Error(std::string("reading standard input: ") + std::strerror(errno));
                    return kExitEnvironment;
                }
            } else {
                std::FILE* f = std::fopen(opt.file->c_str(), "rb");
                if (f == nullptr) {
                    Error("cannot open " + *opt.file + ": " + std::strerror(errno));
                    return kExitEnvironment;
                }
                bool ok = ReadAll(f, text);
                int err = errno;
                std::fclose(f);
                if (!ok) {
                    Error("cannot read " + *opt.file + ": " + std::strerror(err));
                    return kExitEnvironment;
                }
            }
            syntaxOk = ParseText(text, "", lines) && syntaxOk;
        }
        if (!syntaxOk) return kExitScript;
    }

    ControlModule module;
    std::string loadError;
    if (!module.Load(&loadError)) {
        Error("cannot load the control module: " + loadError);
        return kExitEnvironment;
    }
    if (registration) {
        if (!module.HasRegistration()) {
            Error(module.Path() + " has no registration entry points");
            return kExitEnvironment;
        }
        std::int32_t code = opt.doRegister ? module.Register() : module.Unregister();
        std::printf("%s: 0x%08X\n", opt.doRegister ? "register" : "unregister",
                    static_cast<unsigned>(code));
        return code == 0 ? kExitOk : kExitEnvironment;
    }

    InstallSignals();

    // The simulator lives longer than the control, which closes its link on release.
    std::unique_ptr<sim::PtySimulator> simulator;
    if (opt.sim && !opt.list) {
        if (opt.usb) {
            std::string lib = ProgramDirectory() + "../lib/libkorva_ftd2xx_sim.so";
            if (access(lib.c_str(), R_OK) != 0) {
                Error("cannot use the simulated USB library " + lib + ": " + std::strerror(errno));
                return kExitEnvironment;
            }
            setenv("KORVA_FTD2XX", lib.c_str(), 1);
            // The simulated device answers to the serial the script asks for.
            setenv("KORVA_SIM_USB", opt.usb->c_str(), 0);
        } else {
            simulator = std::make_unique<sim::PtySimulator>();
            simulator->SetBaud(opt.simBaud);
            if (!simulator->Start()) {
                Error(std::string("cannot start the simulator on a pseudo-terminal: ") +
                      std::strerror(errno));
                return kExitEnvironment;
            }
            std::string var = "KORVA_COM" + std::to_string(opt.port.value_or(1));
            setenv(var.c_str(), simulator->SlavePath().c_str(), 1);
            if (interactive) {
                std::fprintf(stderr, "kt300ctl: simulator on %s as COM%d\n",
                             simulator->SlavePath().c_str(), opt.port.value_or(1));
            }
        }
    }

    ControlPtr control = module.Create();
    if (!control) {
        Error(module.Path() + " did not create " KORVA_PROGID_CONTROL);
        return kExitEnvironment;
    }

    if (opt.list) {
        for (const DispEntry& e : control->GetTypeInfo().entries) {
            Emit(opt.json ? FormatEntryJson(e) : FormatEntryPlain(e));
        }
        return kExitOk;
    }

    ModuleExtras extras(module.Path());
    Session session(*control, opt.json, extras);
    std::vector<BoundCall> bound;
    if (!session.BindAll(lines, bound)) return kExitScript;
    // Destroyed before the control is released.
    SignalWatcher watcher(
        *control, extras, [&session] { return session.MovedAxes(); }, interactive);

    if (opt.port && !session.Put("ComPort", Variant(static_cast<std::int16_t>(*opt.port)))) {
        return kExitEnvironment;
    }
    if (opt.usb &&
        (!session.Put("USBMODE", Variant(true)) || !session.Put("USBSerials", Variant(*opt.usb)))) {
        return kExitEnvironment;
    }

    for (std::size_t i = 0; i < bound.size(); ++i) {
        Outcome o = session.Run(lines[i].label, bound[i]);
        if (o.stop) return o.status;
        if (int sig = g_Signal.load(); sig != 0) {
            Error(std::string("stopped by ") + strsignal(sig) + " after " + lines[i].label);
            return 128 + sig;
        }
    }
    if (interactive) return Interactive(session);
    if (session.LinkFailures() > 0) return kExitLinkGone;
    return kExitOk;
}
