#pragma once
// Command line of kt300ctl.
#include <optional>
#include <string>
#include <vector>

namespace korva::tools {

// A pty wire at the controller's own line speed, so timings under --sim are
// those of a real serial link.
inline constexpr int kDefaultSimBaud = 19200;

struct Options {
    std::optional<int> port;         // --port N (1..255)
    std::optional<std::string> usb;  // --usb SERIAL
    bool sim = false;                // --sim
    int simBaud = kDefaultSimBaud;   // --sim-baud B (0 = no wire time)
    bool simBaudGiven = false;
    bool json = false;                // --json
    bool list = false;                // --list
    bool doRegister = false;          // --register
    bool doUnregister = false;        // --unregister
    bool help = false;                // --help, -h
    bool version = false;             // --version
    std::vector<std::string> calls;   // -e CALL, in order
    std::optional<std::string> file;  // FILE, or "-" for standard input
};

struct OptionsResult {
    bool ok = false;
    Options options;
    std::string error;  // for "kt300ctl: <error>" and a hint to --help
};

// argv without the program name. Accepts "--opt VALUE" and "--opt=VALUE".
OptionsResult ParseOptions(const std::vector<std::string>& args);

// The --help text.
std::string HelpText();

}  // namespace korva::tools
