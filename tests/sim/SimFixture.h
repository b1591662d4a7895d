#pragma once
// An engine on a hand-driven clock, with helpers that speak to it the way a
// host does and take replies apart the way the host's parsers do.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "SimEngine.h"

namespace korva::sim::test {

// Non-empty pieces of `text` cut at `sep` (empty pieces are dropped, as the
// host's splitter does).
inline std::vector<std::string> Pieces(const std::string& text, char sep) {
    std::vector<std::string> out;
    std::string cur;
    for (char c : text) {
        if (c == sep) {
            if (!cur.empty()) out.push_back(cur);
            cur.clear();
        } else {
            cur.push_back(c);
        }
    }
    if (!cur.empty()) out.push_back(cur);
    return out;
}

// The host's standard value extraction: first line, second word, comma field.
inline std::string ValueField(const std::string& reply, int field) {
    auto lines = Pieces(reply, '\r');
    if (lines.empty()) return "<no line>";
    auto words = Pieces(lines[0], ' ');
    if (words.size() < 2) return "<no word>";
    auto fields = Pieces(words[1], ',');
    if (static_cast<int>(fields.size()) <= field) return "<no field>";
    return fields[field];
}

class SimTest : public ::testing::Test {
  protected:
    explicit SimTest(SimOptions options = {}) : engine(options) {
        engine.SetClock([this] { return now; });
    }

    std::string Send(const std::string& line) { return engine.Feed(line + "\r"); }

    // Runs the clock forward in small steps, collecting asynchronous output.
    std::string Run(double seconds, double step = 0.001) {
        std::string out;
        double end = now + seconds;
        while (now < end) {
            now = std::min(end, now + step);
            out += engine.Poll();
        }
        return out;
    }

    // Runs until asynchronous output appears (or the limit passes); returns the
    // simulated time it took.
    double TimeUntilOutput(std::string* out, double limit = 100.0, double step = 0.0005) {
        double start = now;
        while (now - start < limit) {
            now += step;
            *out = engine.Poll();
            if (!out->empty()) return now - start;
        }
        return -1;
    }

    double X() const { return engine.Position(1, 0); }

    double now = 0;
    Engine engine;
};

}  // namespace korva::sim::test
