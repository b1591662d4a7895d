// Numbers on the wire: formatted and parsed the same whatever the process
// locale says. Each table runs in the "C" locale and again under a locale
// whose decimal point is a comma.
#include <gtest/gtest.h>

#include <climits>
#include <clocale>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "NumText.h"

namespace {

// printf in the "C" locale is the reference for %f.
std::string CFixed(double v) {
    char buf[512];
    std::snprintf(buf, sizeof buf, "%f", v);
    return buf;
}

const double kFixedValues[] = {
    0.0,  -0.0, 1.0,      -1.0,          1000.0,    0.5,    2.5e-7,           5e-7,
    0.1f, 1e20, -123.456, 99999.9999995, 1.0000005, 0.0625, 3.14159265358979, -1e-9,
};

void CheckTables() {
    struct {
        std::string got;
        const char* want;
    } lines[] = {
        {korva::FormatLine("SetSpeed %c,%f", 'X', 1000.0), "SetSpeed X,1000.000000"},
        {korva::FormatLine("GoPosition %c,%c,%c,%c,%f", 'Y', 'O', 'R', 'N', -2.5),
         "GoPosition Y,O,R,N,-2.500000"},
        {korva::FormatLine("SetStagePitch %c,%f", 'T', static_cast<double>(0.1f)),
         "SetStagePitch T,0.100000"},
        {korva::FormatLine("#loop %d", -3), "#loop -3"},
        {korva::FormatLine("until @%d", 2147483647), "until @2147483647"},
        {korva::FormatLine("%u", 4294967295u), "4294967295"},
        {korva::FormatLine("SAVE %s", "plan 1"), "SAVE plan 1"},
        {korva::FormatLine("START %s!", static_cast<const char*>(nullptr)), "START !"},
        {korva::FormatLine("100%%"), "100%"},
        // A missing axis letter ends the line where it would stand.
        {korva::FormatLine("SetSpeed %c,%f", '\0', 1.0), "SetSpeed "},
        {korva::FormatLine("cut%"), "cut"},
        {korva::FormatLine("keep %x"), "keep %x"},
        {korva::FormatFixed(1.23456, 2), "1.23"},
        {korva::FormatFixed(-0.5, 0), "-0"},
        {korva::FormatFixed(2.0, 3), "2.000"},
    };
    for (const auto& l : lines) EXPECT_EQ(l.got, l.want);

    struct {
        const char* text;
        double value;
    } floats[] = {
        {"1.5", 1.5},        {"  -2.5e3xyz", -2500.0},
        {"+.5", 0.5},        {"1,5", 1.0},
        {"\t\n 7", 7.0},     {"12.", 12.0},
        {".", 0.0},          {"", 0.0},
        {"-", 0.0},          {"--1", 0.0},
        {"+-1", 0.0},        {"abc", 0.0},
        {"1e400", HUGE_VAL}, {"-1e400", -HUGE_VAL},
        {"1e-400", 0.0},     {"X 12.5", 0.0},
        {"0.000001", 1e-6},
    };
    for (const auto& f : floats) EXPECT_EQ(korva::AtoF(f.text), f.value) << '"' << f.text << '"';

    struct {
        const char* text;
        int value;
    } ints[] = {
        {"42abc", 42},
        {"-17", -17},
        {"+5", 5},
        {" \t\v\f\r\n12", 12},
        {"1.9", 1},
        {"0x1A", 0},
        {"", 0},
        {"-", 0},
        {"abc", 0},
        {"2147483647", INT_MAX},
        {"2147483648", INT_MAX},
        {"99999999999999999999", INT_MAX},
        {"-2147483648", INT_MIN},
        {"-2147483649", INT_MIN},
        {"-99999999999999999999", INT_MIN},
        {"007", 7},
    };
    for (const auto& i : ints) EXPECT_EQ(korva::AtoI(i.text), i.value) << '"' << i.text << '"';
}

}  // namespace

TEST(NumText, TablesInCLocale) {
    ASSERT_NE(std::setlocale(LC_ALL, "C"), nullptr);
    CheckTables();
    for (double v : kFixedValues) {
        EXPECT_EQ(korva::FormatFixed(v), CFixed(v)) << v;
        EXPECT_EQ(korva::FormatLine("%f", v), CFixed(v)) << v;
        // What goes out comes back.
        EXPECT_NEAR(korva::AtoF(korva::FormatFixed(v)), std::strtod(CFixed(v).c_str(), nullptr),
                    0.0);
    }
}

TEST(NumText, TablesUnderCommaLocale) {
    ASSERT_NE(std::setlocale(LC_ALL, "C"), nullptr);
    std::string reference[std::size(kFixedValues)];
    for (std::size_t i = 0; i < std::size(kFixedValues); ++i)
        reference[i] = CFixed(kFixedValues[i]);

    if (std::setlocale(LC_ALL, "de_DE.UTF-8") == nullptr)
        GTEST_SKIP() << "locale de_DE.UTF-8 is not installed (scripts/setup-deps generates it)";
    char probe[16];
    std::snprintf(probe, sizeof probe, "%.1f", 1.5);
    ASSERT_STREQ(probe, "1,5") << "the locale does not use a decimal comma";
    EXPECT_EQ(std::atof("1,5"), 1.5);  // what the C library would do here

    CheckTables();
    for (std::size_t i = 0; i < std::size(kFixedValues); ++i) {
        EXPECT_EQ(korva::FormatFixed(kFixedValues[i]), reference[i]) << kFixedValues[i];
        EXPECT_EQ(korva::FormatLine("%c %f", 'X', kFixedValues[i]), "X " + reference[i]);
    }
    std::setlocale(LC_ALL, "C");
}
