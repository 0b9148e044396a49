#pragma once

#include <QObject>

#include "engine/main_thread.h"

namespace quellmark {

/// The engine's main-thread hand-off over the Qt event loop: `runAndWait` posts
/// the function to an object of the GUI thread and blocks until the event loop
/// has run it. Create it on the GUI thread. A call from the GUI thread runs the
/// function in place. A run that outlives the event loop would wait forever,
/// so the window keeps the loop going until a run has ended.
class QtMainThread final : public MainThread {
public:
    QtMainThread();
    ~QtMainThread() override;
    void runAndWait(std::function<void()> fn) override;

private:
    QObject m_receiver;
};

}  // namespace quellmark
