#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>

namespace quellmark {

/// "Run this function on the main thread and wait for it." The engine hands
/// every writer call and every change of its published fields through this.
/// The window implements it with a blocking queued call into the Qt event loop;
/// the command line and the tests use SerialQueue.
class MainThread {
public:
    virtual ~MainThread() = default;
    /// Runs `fn` on the main thread and returns when it has run. Called from
    /// background threads only: the main thread calling it would deadlock.
    virtual void runAndWait(std::function<void()> fn) = 0;
};

/// A MainThread served by whichever thread owns the engine: that thread calls
/// `serveUntil`, which runs the queued functions in order.
class SerialQueue final : public MainThread {
public:
    void runAndWait(std::function<void()> fn) override;
    /// Runs queued functions, in order, until `done()` holds; `done` is checked
    /// before waiting and after every function.
    void serveUntil(const std::function<bool()>& done);
    /// Runs what is queued now without waiting; the number of functions run.
    int drain();

private:
    struct Item {
        std::function<void()> fn;
        bool finished = false;
        std::condition_variable ran;  // only its caller waits on it
    };
    void runItem(Item& item);

    std::mutex m_mutex;
    std::condition_variable m_queued;
    std::deque<Item*> m_items;
};

}  // namespace quellmark
