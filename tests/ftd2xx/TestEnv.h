#pragma once
// Helpers of the D2XX library and USB link tests: environment variables set
// for a scope, the debug traces an action prints (the tests run with
// KORVA_TRACE=1), and waiting for something another thread does.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <optional>
#include <string>
#include <thread>

#include "../support/ScopedEnv.h"

namespace korva::test {

template <typename Fn>
std::string TraceOf(Fn&& action) {
    ::testing::internal::CaptureStderr();
    action();
    return ::testing::internal::GetCapturedStderr();
}

// Polls `done` until it holds or the limit passes.
template <typename Pred>
bool Eventually(Pred done, std::chrono::milliseconds limit = std::chrono::seconds(5)) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

}  // namespace korva::test

// Traces are what these tests check; they must be on before the first one.
#define KORVA_TRACE_TEST_MAIN                   \
    int main(int argc, char** argv) {           \
        setenv("KORVA_TRACE", "1", 1);          \
        ::testing::InitGoogleTest(&argc, argv); \
        return RUN_ALL_TESTS();                 \
    }
