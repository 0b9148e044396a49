#include "ui/qt_main_thread.h"

#include <QMetaObject>
#include <QThread>

namespace quellmark {

QtMainThread::QtMainThread() = default;
QtMainThread::~QtMainThread() = default;

void QtMainThread::runAndWait(std::function<void()> fn) {
    // Qt refuses a blocking queued call into the caller's own thread (it would
    // wait for itself); run such a call in place instead of dropping it.
    if (QThread::currentThread() == m_receiver.thread()) {
        fn();
        return;
    }
    QMetaObject::invokeMethod(
        &m_receiver, [&fn] { fn(); }, Qt::BlockingQueuedConnection);
}

}  // namespace quellmark
