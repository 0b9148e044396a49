#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "media/loudness.h"

namespace quellmark {
namespace {

// Many threads first meet the same patterns at once, as the file tasks of a
// run do; each must see its own, correct result (run under ThreadSanitizer too).
TEST(RegexScan, PatternsAreSharedSafelyBetweenThreads) {
    constexpr int kThreads = 8;
    constexpr int kPatterns = 40;
    std::string text;
    for (int i = 0; i < kPatterns; ++i) text += "k" + std::to_string(i) + "=" + std::to_string(i * 10) + ".5\n";
    std::vector<int> wrong(kThreads, 0);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int round = 0; round < 3; ++round) {
                for (int i = 0; i < kPatterns; ++i) {
                    const int k = (i + t * 5) % kPatterns;
                    const auto value = lastCapturedNumber(text, "(?m)^k" + std::to_string(k) + R"(=(\d+\.\d+)$)");
                    if (value != k * 10 + 0.5) ++wrong[t];
                }
            }
        });
    }
    for (auto& thread : threads) thread.join();
    for (int t = 0; t < kThreads; ++t) EXPECT_EQ(wrong[t], 0) << "thread " << t;
}

}  // namespace
}  // namespace quellmark
