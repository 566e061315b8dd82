#pragma once

#include <QObject>

#include <initializer_list>

class QSocketNotifier;

// Turns POSIX signals into a Qt signal on the event loop. The signal handler
// only writes one byte into a pipe (the self-pipe pattern); everything else
// happens in ordinary code. One instance per process.
class SignalWatcher : public QObject
{
    Q_OBJECT
public:
    explicit SignalWatcher(std::initializer_list<int> signalNumbers, QObject *parent = nullptr);
    ~SignalWatcher() override;

Q_SIGNALS:
    void received(int signalNumber);

private:
    void drain();

    QList<int> m_signals;
    int m_readFd = -1;
    QSocketNotifier *m_notifier = nullptr;
};
