#include "engine/main_thread.h"

namespace quellmark {

void SerialQueue::runAndWait(std::function<void()> fn) {
    // The item lives on the caller's stack: the caller cannot return before
    // the serving thread has marked it finished under the mutex, and the
    // serving thread touches it no more after that.
    Item item;
    item.fn = std::move(fn);
    std::unique_lock lock(m_mutex);
    m_items.push_back(&item);
    m_queued.notify_one();
    item.ran.wait(lock, [&] { return item.finished; });
}

void SerialQueue::serveUntil(const std::function<bool()>& done) {
    while (!done()) {
        Item* item = nullptr;
        {
            std::unique_lock lock(m_mutex);
            m_queued.wait(lock, [&] { return !m_items.empty(); });
            item = m_items.front();
            m_items.pop_front();
        }
        runItem(*item);
    }
}

void SerialQueue::runItem(Item& item) {
    item.fn();
    // Notify under the lock: once the caller sees `finished` it may return and
    // destroy the item, condition variable included.
    std::lock_guard lock(m_mutex);
    item.finished = true;
    item.ran.notify_one();
}

int SerialQueue::drain() {
    int count = 0;
    for (;;) {
        Item* item = nullptr;
        {
            std::lock_guard lock(m_mutex);
            if (m_items.empty()) return count;
            item = m_items.front();
            m_items.pop_front();
        }
        runItem(*item);
        ++count;
    }
}

}  // namespace quellmark
