#pragma once
// The kt300ctl script language, one statement per line:
//
//   Name arg, arg, ...      call a method (arguments separated by commas)
//   Name(arg, arg, ...)     the same with parentheses
//   Name                    call a method without arguments, or read a property
//   Name = value            write a property
//   host-command arg, ...   a command of kt300ctl itself (sleep, wait-stop, echo)
//   # text                  comment (also after a statement, outside quotes)
//
// Arguments are numbers in the "C" notation whatever the locale ("12.5",
// "-3", "1e3"), texts in double quotes with \" and \\ as the only escapes, or
// TRUE / FALSE (any case). Parsing is pure: it knows nothing of the control,
// so a number stays text until it is bound to a parameter of known type.
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace korva::tools {

enum class ArgKind { Number, Text, Bool };

struct ScriptArg {
    ArgKind kind = ArgKind::Number;
    std::string text;  // Number: the literal as written; Text: the decoded text
    bool boolean = false;

    bool operator==(const ScriptArg&) const = default;
};

enum class StatementKind {
    Empty,        // blank line or comment
    Call,         // method call or property read
    PropertyPut,  // Name = value
    Host,         // one of the host commands below
};

struct Statement {
    StatementKind kind = StatementKind::Empty;
    std::string name;  // as written (automation names are matched case-insensitively later)
    std::vector<ScriptArg> args;
};

struct ParseResult {
    bool ok = false;
    Statement statement;
    std::string error;       // what is wrong, for "line N: syntax error: <error>"
    std::size_t column = 0;  // 1-based column of the fault
};

ParseResult ParseLine(std::string_view line);

// Host commands are lower-case words that no automation member uses.
inline constexpr const char* kHostCommands[] = {"sleep", "wait-stop", "echo"};
bool IsHostCommand(std::string_view name);

// A text in the script's quoting, so a printed call can be pasted back.
std::string QuoteText(std::string_view text);

}  // namespace korva::tools
