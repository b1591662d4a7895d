// kt300sim: a simulated KT300 controller on a pseudo-terminal. Prints the
// slave device path, serves until SIGINT or SIGTERM, then removes its link.
#include <signal.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <string>
#include <string_view>
#include <vector>

#include "PtySimulator.h"

namespace {

const char kUsage[] =
    "usage: kt300sim [options]\n"
    "Serves a simulated KT300 controller on a pseudo-terminal and prints its path.\n"
    "\n"
    "  --link PATH          also make a symbolic link PATH to the device (removed at exit);\n"
    "                       PATH must not exist\n"
    "  --baud B             emulated line speed, 0 = instant (default 19200)\n"
    "  --model NAME         model answered to SystemInfo? (default KT3007Q; or KT300RSX)\n"
    "  --controllers N      controllers behind the link, chosen by \"select n\" (default 1)\n"
    "  --inputs BITS        initial digital inputs (decimal or 0x hex, default 0)\n"
    "  --time-scale F       simulated seconds per real second (default 1)\n"
    "  --split              write replies one byte at a time\n"
    "  --fault noreply:N    lose the next N commands (no reply)\n"
    "  --fault error:N:C    answer the next N commands with E0C (C 0..7)\n"
    "  --fault garbage:N    start the next N replies with garbage bytes\n"
    "  --hangup-after S     close the device after S seconds, 0..1000000 (host sees a hang-up)\n"
    "  --help, --version\n"
    "\n"
    "Environment:\n"
    "  KORVA_TRACE          set: trace the commands, replies and plan stops to stderr\n";

constexpr double kMaxHangUpSeconds = 1e6;

template <typename T>
bool ParseNumber(std::string_view text, T* out) {
    int base = 10;
    if constexpr (std::is_integral_v<T>) {
        if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
            text.remove_prefix(2);
            base = 16;
        }
    }
    T v{};
    std::from_chars_result r;
    if constexpr (std::is_integral_v<T>)
        r = std::from_chars(text.data(), text.data() + text.size(), v, base);
    else
        r = std::from_chars(text.data(), text.data() + text.size(), v);
    if (r.ec != std::errc() || r.ptr != text.data() + text.size() || text.empty()) return false;
    *out = v;
    return true;
}

std::vector<std::string_view> SplitColon(std::string_view s) {
    std::vector<std::string_view> parts;
    for (;;) {
        std::size_t p = s.find(':');
        parts.push_back(s.substr(0, p));
        if (p == std::string_view::npos) break;
        s.remove_prefix(p + 1);
    }
    return parts;
}

bool ParseFault(std::string_view text, korva::sim::SimFault* f) {
    auto parts = SplitColon(text);
    if (parts.size() < 2 || !ParseNumber(parts[1], &f->count) || f->count < 0) return false;
    if (parts[0] == "noreply" && parts.size() == 2) {
        f->kind = korva::sim::SimFault::Kind::kNoReply;
        return true;
    }
    if (parts[0] == "garbage" && parts.size() == 2) {
        f->kind = korva::sim::SimFault::Kind::kGarbage;
        return true;
    }
    if (parts[0] == "error" && parts.size() == 3 && ParseNumber(parts[2], &f->errorCode) &&
        f->errorCode >= 0 && f->errorCode <= 7) {
        f->kind = korva::sim::SimFault::Kind::kErrorReply;
        return true;
    }
    return false;
}

int Fail(const char* text, const char* arg) {
    std::fprintf(stderr, "kt300sim: %s%s%s\n%s", text, arg ? ": " : "", arg ? arg : "", kUsage);
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    korva::sim::SimOptions opts;
    std::string link;
    int baud = 19200;
    unsigned inputs = 0;
    bool split = false;
    double hangupAfter = -1;
    std::vector<korva::sim::SimFault> faults;

    for (int i = 1; i < argc; ++i) {
        std::string_view a = argv[i];
        auto value = [&]() -> const char* { return i + 1 < argc ? argv[++i] : nullptr; };
        if (a == "--help" || a == "-h") {
            std::fputs(kUsage, stdout);
            return 0;
        }
        if (a == "--version") {
            std::printf("kt300sim %s\n", KORVA_VERSION);
            return 0;
        }
        if (a == "--split") {
            split = true;
            continue;
        }
        static constexpr std::string_view kWithValue[] = {
            "--link",   "--baud",       "--model", "--controllers",
            "--inputs", "--time-scale", "--fault", "--hangup-after"};
        if (std::find(std::begin(kWithValue), std::end(kWithValue), a) == std::end(kWithValue))
            return Fail("unknown option", argv[i]);
        const char* v = value();
        if (v == nullptr) return Fail("missing value for", argv[i]);
        if (a == "--link") {
            link = v;
        } else if (a == "--baud") {
            if (!ParseNumber(std::string_view(v), &baud) || baud < 0) return Fail("bad baud", v);
        } else if (a == "--model") {
            opts.model = v;
            if (opts.model.empty() || opts.model.find_first_of(" ,\r\n") != std::string::npos)
                return Fail("bad model name", v);
        } else if (a == "--controllers") {
            if (!ParseNumber(std::string_view(v), &opts.controllers) || opts.controllers < 1 ||
                opts.controllers > 99)
                return Fail("bad controller count (1..99)", v);
        } else if (a == "--inputs") {
            if (!ParseNumber(std::string_view(v), &inputs) || inputs > 0xffff)
                return Fail("bad inputs (0..65535)", v);
        } else if (a == "--time-scale") {
            if (!ParseNumber(std::string_view(v), &opts.timeScale) || !(opts.timeScale > 0) ||
                !std::isfinite(opts.timeScale))
                return Fail("bad time scale", v);
        } else if (a == "--fault") {
            korva::sim::SimFault f;
            if (!ParseFault(v, &f)) return Fail("bad fault", v);
            faults.push_back(f);
        } else if (a == "--hangup-after") {
            // NaN or a time beyond the range would make the wait's time undefined.
            if (!ParseNumber(std::string_view(v), &hangupAfter) || !(hangupAfter >= 0) ||
                hangupAfter > kMaxHangUpSeconds)
                return Fail("bad hang-up time (0..1000000 seconds)", v);
        }
    }

    // Signals are taken synchronously; the serving thread inherits the mask.
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGHUP);
    if (pthread_sigmask(SIG_BLOCK, &set, nullptr) != 0) {
        std::fprintf(stderr, "kt300sim: pthread_sigmask failed\n");
        return 1;
    }

    korva::sim::PtySimulator sim(opts);
    sim.SetBaud(baud);
    sim.SplitReplies(split);
    sim.engine().SetInputs(static_cast<std::uint16_t>(inputs));
    for (const auto& f : faults) sim.engine().SetFault(f);
    if (!sim.Start()) return 1;
    if (!link.empty() && !sim.MakeLink(link)) return 1;  // sim's destructor cleans up
    std::printf("%s\n", sim.SlavePath().c_str());
    std::fflush(stdout);

    int rc = 0;
    for (;;) {
        int sig;
        if (hangupAfter >= 0) {
            struct timespec ts {
                static_cast<time_t>(hangupAfter),
                    static_cast<long>((hangupAfter - static_cast<time_t>(hangupAfter)) * 1e9)
            };
            sig = sigtimedwait(&set, nullptr, &ts);
            if (sig < 0 && errno == EAGAIN) {
                sim.HangUp();
                hangupAfter = -1;
                continue;
            }
        } else {
            if (sigwait(&set, &sig) != 0) sig = -1;
        }
        if (sig < 0) {
            if (errno == EINTR) continue;
            std::fprintf(stderr, "kt300sim: waiting for signals failed: %s\n",
                         std::strerror(errno));
            rc = 1;
        }
        break;
    }
    sim.Stop();
    return rc;
}
