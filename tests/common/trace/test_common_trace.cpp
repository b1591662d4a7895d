// The trace handler hook: levels, formatting, and whole texts from many threads.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "Trace.h"

namespace {

using korva::TraceLevel;

struct Received {
    std::vector<std::pair<TraceLevel, std::string>> texts;
};

void Record(TraceLevel level, const char* text, void* context) {
    static_cast<Received*>(context)->texts.emplace_back(level, text);
}

// Installs the recording handler for one test and takes it away after.
class TraceHook : public ::testing::Test {
  protected:
    void Install(TraceLevel upTo) { korva::SetTraceHandler(&Record, &got, upTo); }
    void TearDown() override { korva::SetTraceHandler(nullptr, nullptr); }
    Received got;
};

TEST_F(TraceHook, TextsUpToTheHandlersLevelArriveFormattedWithTheirLevel) {
    const struct {
        TraceLevel upTo;
        std::size_t expected;  // of the four texts below, the most severe first
    } cases[] = {{TraceLevel::kError, 1},
                 {TraceLevel::kWarning, 2},
                 {TraceLevel::kInfo, 3},
                 {TraceLevel::kDebug, 4}};
    for (const auto& c : cases) {
        got.texts.clear();
        Install(c.upTo);
        korva::TraceAt(TraceLevel::kError, "open %s failed: %d\n", "/dev/ttyS0", 13);
        korva::TraceAt(TraceLevel::kWarning, "%d late bytes\n", 4);
        korva::TraceAt(TraceLevel::kInfo, "link open\n");
        korva::Trace("< %s\n", "OK");  // debug
        ASSERT_EQ(got.texts.size(), c.expected) << static_cast<int>(c.upTo);
        EXPECT_EQ(got.texts[0].first, TraceLevel::kError);
        EXPECT_EQ(got.texts[0].second, "open /dev/ttyS0 failed: 13\n");
        if (c.expected == 4) {
            EXPECT_EQ(got.texts[3].first, TraceLevel::kDebug);
            EXPECT_EQ(got.texts[3].second, "< OK\n");
        }
        EXPECT_EQ(korva::TraceEnabled(TraceLevel::kDebug), c.expected == 4);
        EXPECT_TRUE(korva::TraceEnabled(TraceLevel::kError));
    }
}

TEST_F(TraceHook, LongTextsArriveWholeAndRemovingTheHandlerStopsThem) {
    Install(TraceLevel::kDebug);
    const std::string long_text(5000, 'x');
    korva::Trace("%s|\n", long_text.c_str());
    ASSERT_EQ(got.texts.size(), 1u);
    EXPECT_EQ(got.texts[0].second, long_text + "|\n");

    korva::SetTraceHandler(nullptr, nullptr);
    korva::Trace("after\n");
    EXPECT_EQ(got.texts.size(), 1u);
    // Without a handler the environment decides (unset for the tests).
    if (std::getenv("KORVA_TRACE") == nullptr) {
        EXPECT_FALSE(korva::TraceEnabled());
    }
}

TEST_F(TraceHook, TextsFromManyThreadsArriveWholeAndOneAtATime) {
    Install(TraceLevel::kDebug);
    constexpr int kThreads = 4, kEach = 200;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t] {
            for (int i = 0; i < kEach; ++i) korva::Trace("thread %d text %d\n", t, i);
        });
    }
    for (std::thread& th : threads) th.join();
    ASSERT_EQ(got.texts.size(), static_cast<std::size_t>(kThreads * kEach));
    std::vector<int> next(kThreads, 0);
    for (const auto& [level, text] : got.texts) {
        int t = -1, i = -1;
        ASSERT_EQ(std::sscanf(text.c_str(), "thread %d text %d\n", &t, &i), 2) << text;
        ASSERT_TRUE(t >= 0 && t < kThreads);
        EXPECT_EQ(i, next[static_cast<std::size_t>(t)]++);  // each thread's in order
    }
}

}  // namespace
