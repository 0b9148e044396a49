#pragma once
// SIGINT and SIGTERM for the command line, taken by one dedicated thread with
// sigwait, so that the reaction may lock, allocate and hand work to the main
// thread, none of which a signal handler may do.

#include <atomic>
#include <functional>
#include <thread>

namespace quellmark {

class SignalWatcher {
public:
    /// Blocks SIGINT, SIGTERM and the watcher's own wake-up signal in the
    /// calling thread. Call first thing in main, before any other thread
    /// exists: threads inherit the mask, so no thread but the watcher ever
    /// receives these signals. Child processes get a clean mask from the runner.
    static void blockSignals();

    /// Starts watching. The first signal starts `onFirst` on a thread of its
    /// own (it may wait for the main thread while the watcher stays free for a
    /// second signal); every later one calls `onSecond` on the watcher thread,
    /// which is expected to end the process.
    SignalWatcher(std::function<void()> onFirst, std::function<void()> onSecond);
    /// Stops the watcher and waits for `onFirst` to return. Signals that arrive
    /// afterwards stay pending, blocked, until the process ends.
    ~SignalWatcher();
    SignalWatcher(const SignalWatcher&) = delete;
    SignalWatcher& operator=(const SignalWatcher&) = delete;

private:
    void watch();

    std::function<void()> m_onFirst;
    std::function<void()> m_onSecond;
    std::atomic<bool> m_stopping{false};
    std::thread m_firstReaction;
    std::thread m_thread;
};

}  // namespace quellmark
