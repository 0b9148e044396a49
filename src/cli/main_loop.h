#pragma once
// The command line's main thread: it serves the engine's hand-offs until the
// run ends, and lets helper threads (signals, the progress ticker) hand work
// to it without ever blocking on a loop that has stopped serving.

#include <functional>
#include <memory>
#include <mutex>

#include "engine/main_thread.h"

namespace quellmark {

class MainLoop {
public:
    MainLoop();

    /// The queue the engine hands its main-thread work to.
    std::shared_ptr<SerialQueue> queue() const { return m_queue; }

    /// Main thread only: runs handed-off work until `done()` holds and no helper
    /// hand-off is under way. After it returns, `runIfServing` refuses.
    void serveUntil(const std::function<bool()>& done);

    /// Any thread but the main one: runs `fn` on the main thread and waits for
    /// it, or returns false at once when the loop has stopped serving.
    bool runIfServing(const std::function<void()>& fn);

private:
    std::shared_ptr<SerialQueue> m_queue;
    std::mutex m_mutex;
    bool m_serving = true;
    int m_handOffsUnderWay = 0;
};

}  // namespace quellmark
