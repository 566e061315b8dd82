#pragma once

#include <QCoreApplication>
#include <QMetaObject>
#include <QObject>
#include <QPointer>
#include <QThread>

#include <utility>

// Posting work to the main thread ("the main queue").
namespace MainThread {

inline bool isCurrent()
{
    return QCoreApplication::instance() && QThread::currentThread() == QCoreApplication::instance()->thread();
}

// Queues `fn` on the thread of `context`; it does not run if `context` is
// destroyed first. Always queued, even when called on that thread, so the
// caller never re-enters itself.
template<typename Fn>
void post(const QObject *context, Fn &&fn)
{
    QMetaObject::invokeMethod(const_cast<QObject *>(context), std::forward<Fn>(fn), Qt::QueuedConnection);
}

// Queues `fn` on the main thread.
template<typename Fn>
void post(Fn &&fn)
{
    post(QCoreApplication::instance(), std::forward<Fn>(fn));
}

} // namespace MainThread
