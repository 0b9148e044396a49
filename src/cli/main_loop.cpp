#include "cli/main_loop.h"

namespace quellmark {

MainLoop::MainLoop() : m_queue(std::make_shared<SerialQueue>()) {}

void MainLoop::serveUntil(const std::function<bool()>& done) {
    m_queue->serveUntil([&] {
        if (!done()) return false;
        // A helper that has registered its hand-off will queue it any moment;
        // leaving now would strand it in runAndWait forever.
        std::lock_guard lock(m_mutex);
        if (m_handOffsUnderWay > 0) return false;
        m_serving = false;
        return true;
    });
}

bool MainLoop::runIfServing(const std::function<void()>& fn) {
    {
        std::lock_guard lock(m_mutex);
        if (!m_serving) return false;
        ++m_handOffsUnderWay;
    }
    // The count drops inside the queued function, on the main thread, so the
    // serving loop sees it before it checks whether to stop.
    m_queue->runAndWait([&] {
        fn();
        std::lock_guard lock(m_mutex);
        --m_handOffsUnderWay;
    });
    return true;
}

}  // namespace quellmark
