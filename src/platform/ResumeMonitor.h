#pragma once

#include <QObject>

#include <functional>
#include <memory>

class QSocketNotifier;

// Tells when the machine has woken from sleep, so whoever holds a connection
// can check it is still there. Reports on the thread that created it.
class ResumeMonitor : public QObject
{
    Q_OBJECT
public:
    using QObject::QObject;

    // systemd-logind's PrepareForSleep(false) on the system bus where logind
    // answers there, else the clock-jump detector.
    static std::unique_ptr<ResumeMonitor> create();

signals:
    void resumed();
};

using ResumeMonitorFactory = std::function<std::unique_ptr<ResumeMonitor>()>;

// logind announces sleep and wake on the system bus.
class LogindResumeMonitor : public ResumeMonitor
{
    Q_OBJECT
public:
    // Nothing when the system bus or logind is not there.
    static std::unique_ptr<LogindResumeMonitor> create();

private slots:
    void prepareForSleep(bool sleeping);
};

// Without logind: the wall clock moves against the monotonic clock only
// when the machine slept (the monotonic clock stands still meanwhile) or when
// someone sets the clock. A timer file descriptor armed with "cancel on
// set" wakes exactly then, so nothing runs in between.
class ClockJumpMonitor : public ResumeMonitor
{
    Q_OBJECT
public:
    // Nothing when the kernel offers no such timer.
    static std::unique_ptr<ClockJumpMonitor> create();
    ~ClockJumpMonitor() override;

private:
    explicit ClockJumpMonitor(int fd);
    bool arm();
    void readable();

    int m_fd = -1;
    QSocketNotifier *m_notifier = nullptr;
};
