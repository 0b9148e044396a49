#include "engine/main_thread.h"

#include <atomic>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

namespace quellmark {
namespace {

TEST(SerialQueueTest, RunsEveryCallInOrderOnTheServingThreadAndReturnsOnlyAfterwards) {
    SerialQueue queue;
    queue.serveUntil([] { return true; });  // must not wait for an item
    const auto servingThread = std::this_thread::get_id();
    constexpr int kThreads = 4;
    constexpr int kCallsEach = 200;
    std::vector<std::vector<int>> calls(kThreads);  // touched only on the serving thread
    int total = 0;
    std::atomic<int> wrongThread = 0;
    std::atomic<int> notYetRun = 0;
    {
        std::vector<std::jthread> callers;
        for (int t = 0; t < kThreads; ++t) {
            callers.emplace_back([&, t] {
                for (int i = 0; i < kCallsEach; ++i) {
                    bool ran = false;
                    queue.runAndWait([&] {
                        wrongThread += std::this_thread::get_id() != servingThread;
                        calls[static_cast<std::size_t>(t)].push_back(i);
                        ++total;
                        ran = true;
                    });
                    notYetRun += !ran;
                }
            });
        }
        queue.serveUntil([&] { return total == kThreads * kCallsEach; });
    }
    EXPECT_EQ(wrongThread, 0);
    EXPECT_EQ(notYetRun, 0);
    for (const auto& one : calls) {
        ASSERT_EQ(one.size(), static_cast<std::size_t>(kCallsEach));
        for (int i = 0; i < kCallsEach; ++i) EXPECT_EQ(one[static_cast<std::size_t>(i)], i);
    }
    EXPECT_EQ(queue.drain(), 0);
}

}  // namespace
}  // namespace quellmark
