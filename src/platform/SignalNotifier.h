#pragma once

#include <QObject>
#include <QSet>

class QSocketNotifier;

// Turns POSIX signals into an ordinary Qt signal on the main thread.
//
// The handler installed by watch() only writes the signal number to a pipe
// (async-signal-safe); a socket notifier on the main thread reads it and emits
// received(). All real work therefore runs outside signal context. A watched
// signal no longer has its default action (a watched SIGTERM does not end
// the process by itself).
class SignalNotifier : public QObject
{
    Q_OBJECT
public:
    // Created on first use, on the main thread.
    static SignalNotifier &instance();

    // Installs the handler for `signal` (once). False when it could not be installed.
    bool watch(int signal);
    bool isWatching(int signal) const { return m_watched.contains(signal); }

signals:
    void received(int signal);

private:
    SignalNotifier();
    void readPending();

    QSocketNotifier *m_notifier = nullptr;
    QSet<int> m_watched;
};
