#include "engine/main_thread.h"

#include <atomic>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

namespace quellmark {
namespace {

TEST(SerialQueueTest, RunsEveryCallerOnTheServingThreadAndReturnsOnlyAfterwards) {
    SerialQueue queue;
    const auto servingThread = std::this_thread::get_id();
    constexpr int kThreads = 4;
    constexpr int kCallsEach = 200;
    int total = 0;  // touched only on the serving thread
    std::atomic<int> wrongThread = 0;
    std::atomic<int> notYetRun = 0;
    std::atomic<int> callersDone = 0;

    std::vector<std::jthread> callers;
    for (int t = 0; t < kThreads; ++t) {
        callers.emplace_back([&] {
            for (int i = 0; i < kCallsEach; ++i) {
                bool ran = false;
                queue.runAndWait([&] {
                    if (std::this_thread::get_id() != servingThread) ++wrongThread;
                    ++total;
                    ran = true;
                });
                if (!ran) ++notYetRun;
            }
            ++callersDone;
        });
    }
    queue.serveUntil([&] { return total == kThreads * kCallsEach; });
    callers.clear();

    EXPECT_EQ(total, kThreads * kCallsEach);
    EXPECT_EQ(wrongThread, 0);
    EXPECT_EQ(notYetRun, 0);
    EXPECT_EQ(callersDone, kThreads);
}

TEST(SerialQueueTest, KeepsTheOrderOfOneCallerAndChecksDoneBeforeWaiting) {
    SerialQueue queue;
    queue.serveUntil([] { return true; });  // must not wait for an item

    std::vector<int> order;
    std::jthread caller([&] {
        for (int i = 0; i < 50; ++i) queue.runAndWait([&order, i] { order.push_back(i); });
    });
    queue.serveUntil([&] { return order.size() == 50; });
    caller.join();
    for (int i = 0; i < 50; ++i) EXPECT_EQ(order[static_cast<std::size_t>(i)], i);
    EXPECT_EQ(queue.drain(), 0);
}

}  // namespace
}  // namespace quellmark
