#include "cli/signal_watcher.h"

#include <pthread.h>
#include <signal.h>

namespace quellmark {

namespace {

// Sent by the destructor to end sigwait. It is blocked with the others, so one
// arriving from outside is merely taken and ignored.
constexpr int kWakeSignal = SIGUSR1;

sigset_t watchedSignals() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, kWakeSignal);
    return set;
}

}  // namespace

void SignalWatcher::blockSignals() {
    const sigset_t set = watchedSignals();
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

SignalWatcher::SignalWatcher(std::function<void()> onFirst, std::function<void()> onSecond)
    : m_onFirst(std::move(onFirst)), m_onSecond(std::move(onSecond)), m_thread([this] { watch(); }) {}

SignalWatcher::~SignalWatcher() {
    m_stopping = true;
    pthread_kill(m_thread.native_handle(), kWakeSignal);
    m_thread.join();
    if (m_firstReaction.joinable()) m_firstReaction.join();
}

void SignalWatcher::watch() {
    const sigset_t set = watchedSignals();
    int received = 0;
    for (;;) {
        int signal = 0;
        if (sigwait(&set, &signal) != 0) continue;
        if (signal == kWakeSignal) {
            if (m_stopping) return;
            continue;
        }
        if (++received == 1) {
            m_firstReaction = std::thread(m_onFirst);
        } else {
            m_onSecond();
        }
    }
}

}  // namespace quellmark
