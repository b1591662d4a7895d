#pragma once
// Text of the controller's line language as the simulated controller reads and
// writes it: reply codes, command lines taken apart, numbers, letters, names.
// Parsing never depends on the process locale.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace korva::sim {

constexpr int kAxes = 4;
constexpr char kAxisLetters[] = "XYZT";

// The outcome of a command: accepted, or the error answered as "E00".."E07"
// (in that order, so an error's number is its distance from kUnknown).
enum class Reply {
    kOk,
    kUnknown,  // E00 unknown command word or unusable line
    kAxis,     // E01 bad axis letter, or one axis named twice
    kArg,      // E02 missing, extra or malformed argument, value out of range
    kLimit,    // E03 target outside the enabled user limits
    kBusy,     // E04 an axis of the motion is moving
    kPlan,     // E05 plan name, plan memory or plan structure
    kNoPlan,   // E06 plan not found, no plan run to interrupt
    kNotNow,   // E07 refused while a plan runs or is being recorded
};

// The reply error number, 0..7; Reply::kOk has none.
int ErrorNumber(Reply r);
// "E0n" CR.
std::string ErrorReply(Reply r);
// The injected-fault form: any number 0..7.
std::string ErrorReply(int number);

inline std::uint8_t Bit(int axis) {
    return static_cast<std::uint8_t>(1u << axis);
}

bool IsSpace(char c);
std::string_view Trim(std::string_view t);

// A complete decimal number: sign, digits with an optional point, exponent;
// magnitudes above 1e15 are refused so every derived step count stays finite.
bool ParseDouble(std::string_view t, double* out);
// A whole number of at most 12 digits with an optional sign.
bool ParseInt(std::string_view t, long long* out);
// A whole number in [lo, hi].
bool ParseIntIn(std::string_view t, long long lo, long long hi, long long* out);

// Axis index 0..3 of an axis letter (upper case only), else -1.
int AxisOf(std::string_view t);
// One letter of `allowed` (upper case), either case accepted; 0 when none.
char LetterOf(std::string_view t, const char* allowed);
// One word of visible characters without commas.
bool PrintableText(std::string_view t);
// 1..8 of A-Z a-z 0-9 _ -.
bool ValidPlanName(std::string_view t);

// "<letter> STOP" CR for each axis in the mask, X first.
std::string StopLines(std::uint8_t axes);

// A command line taken apart: the word up to the first space, then the
// comma-separated arguments, each trimmed.
struct Cmd {
    std::string word;
    std::vector<std::string> args;
};
Cmd ParseCmd(std::string_view line);

}  // namespace korva::sim
