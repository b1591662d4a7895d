#include "Options.h"

#include <charconv>

namespace korva::tools {

namespace {

bool ParseInt(const std::string& text, int lo, int hi, int& out) {
    int v = 0;
    auto res = std::from_chars(text.data(), text.data() + text.size(), v);
    if (res.ec != std::errc() || res.ptr != text.data() + text.size() || v < lo || v > hi) {
        return false;
    }
    out = v;
    return true;
}

OptionsResult Error(std::string message) {
    OptionsResult r;
    r.error = std::move(message);
    return r;
}

}  // namespace

OptionsResult ParseOptions(const std::vector<std::string>& args) {
    OptionsResult r;
    Options& o = r.options;
    bool onlyFiles = false;
    for (std::size_t i = 0; i < args.size(); ++i) {
        std::string arg = args[i];
        if (onlyFiles || arg == "-" || arg.empty() || arg[0] != '-') {
            if (o.file) return Error("more than one script file (" + *o.file + ", " + arg + ")");
            o.file = arg;
            continue;
        }
        if (arg == "--") {
            onlyFiles = true;
            continue;
        }
        std::optional<std::string> inlineValue;
        if (arg.rfind("--", 0) == 0) {
            std::size_t eq = arg.find('=');
            if (eq != std::string::npos) {
                inlineValue = arg.substr(eq + 1);
                arg.resize(eq);
            }
        }
        auto value = [&](std::string& out) {
            if (inlineValue) {
                out = *inlineValue;
                return true;
            }
            if (i + 1 >= args.size()) return false;
            out = args[++i];
            return true;
        };
        auto flag = [&](bool& out) {
            if (inlineValue) return false;
            out = true;
            return true;
        };
        std::string v;
        if (arg == "--port") {
            int n = 0;
            if (!value(v)) return Error("--port needs a COM port number");
            if (!ParseInt(v, 1, 255, n)) return Error("--port " + v + ": expected 1 to 255");
            o.port = n;
        } else if (arg == "--usb") {
            if (!value(v)) return Error("--usb needs a device serial number");
            if (v.empty()) return Error("--usb: the serial number is empty");
            o.usb = v;
        } else if (arg == "--sim-baud") {
            int n = 0;
            if (!value(v)) return Error("--sim-baud needs a baud rate");
            if (!ParseInt(v, 0, 4000000, n)) {
                return Error("--sim-baud " + v + ": expected 0 (no wire time) to 4000000");
            }
            o.simBaud = n;
            o.simBaudGiven = true;
        } else if (arg == "-e") {
            if (!value(v)) return Error("-e needs a call, e.g. -e 'GetSpeed 0'");
            o.calls.push_back(v);
        } else if (arg == "--sim") {
            if (!flag(o.sim)) return Error("--sim takes no value");
        } else if (arg == "--json") {
            if (!flag(o.json)) return Error("--json takes no value");
        } else if (arg == "--list") {
            if (!flag(o.list)) return Error("--list takes no value");
        } else if (arg == "--register") {
            if (!flag(o.doRegister)) return Error("--register takes no value");
        } else if (arg == "--unregister") {
            if (!flag(o.doUnregister)) return Error("--unregister takes no value");
        } else if (arg == "--help" || arg == "-h") {
            o.help = true;
        } else if (arg == "--version") {
            o.version = true;
        } else {
            return Error("unknown option " + arg);
        }
    }
    if (o.simBaudGiven && !o.sim) return Error("--sim-baud needs --sim");
    if (o.doRegister && o.doUnregister)
        return Error("--register and --unregister exclude each other");
    r.ok = true;
    return r;
}

std::string HelpText() {
    return R"(Usage: kt300ctl [OPTIONS] [FILE | -]
Runs automation calls on a KT300 control by name: from FILE, from -e options,
or at a "kt300> " prompt when standard input is a terminal.

Options:
  --port N        set ComPort to N (1..255) before the first call
  --usb SERIAL    set USBMODE = TRUE and USBSerials = SERIAL before the first call
  --sim           serve a built-in controller simulator: on a pseudo-terminal
                  mapped to COM1 (or COM N with --port N), or with --usb as a
                  simulated USB device through libkorva_ftd2xx_sim.so
  --sim-baud B    wire speed the simulator emulates (default 19200; 0 = instant)
  --json          one JSON object per call instead of plain lines
  --list          print every member of the interface and exit
  -e CALL         run CALL (repeatable; runs before FILE)
  --register      call the module's register entry point, print its code
  --unregister    call the module's unregister entry point, print its code
  --help, -h      this text
  --version       print the version

Script lines:
  Name arg, arg   or Name(arg, arg)   call a method
  Name                                read a property (or call without arguments)
  Name = value                        write a property
  # comment                           (blank lines are ignored)
  sleep MS | wait-stop AXIS [, TIMEOUT-MS] | echo "TEXT"   host commands
Texts in double quotes (\" and \\ escapes); numbers with a '.' decimal point;
names in any case. By-reference parameters are left out and printed as outputs.
kt300ctl makes no call the script does not name (no implicit Connect).

Environment:
  KORVA_MODULE    path of the control module (default ../lib/libKORVAKT3002.so
                  beside the executable)
  KORVA_COM<n>    device of serial port n (default /dev/ttyS<n-1>); --sim sets it
  KORVA_FTD2XX    path of the D2XX library for USB mode; --sim --usb sets it
  KORVA_SIM_USB   serial numbers of the simulated USB devices
  KORVA_TRACE     set to trace the module's traffic to standard error

Exit status: 0 when every line ran (whatever the calls returned), 1 when the
module, the script file or the simulator cannot be used, 2 for a syntax or
dispatch error (reported with its line number), 3 when a wait-stop gave up
because the link was closed or hung up, 128+N after signal N.

Ctrl-C (or SIGTERM) during a run ends the waiting call at once, sends the
decelerating stop (StopSlow) to every axis the run has moved, closes the link
and exits 130 (143); a second Ctrl-C exits at once.
)";
}

}  // namespace korva::tools
