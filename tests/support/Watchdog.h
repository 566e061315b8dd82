#pragma once

#include <QElapsedTimer>
#include <QTimer>

#include <algorithm>
#include <ctime>

// The longest stretch the event loop went without turning, as wall time and
// as the thread's CPU time in it. The CPU time does not grow on a loaded
// machine that does not schedule the thread, so a limit on it holds anywhere;
// a loop blocked without working shows in the wall time only.
class Watchdog
{
public:
    Watchdog()
    {
        m_timer.setInterval(5);
        QObject::connect(&m_timer, &QTimer::timeout, &m_timer, [this] {
            m_worst = std::max(m_worst, m_clock.restart());
            const qint64 cpu = threadCpuMs();
            m_worstBusy = std::max(m_worstBusy, cpu - m_lastCpu);
            m_lastCpu = cpu;
        });
        m_clock.start();
        m_lastCpu = threadCpuMs();
        m_timer.start();
    }
    qint64 worstGapMs() const { return m_worst; }
    qint64 worstBusyMs() const { return m_worstBusy; }

private:
    static qint64 threadCpuMs()
    {
        timespec now{};
        clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
        return qint64(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
    }

    QTimer m_timer;
    QElapsedTimer m_clock;
    qint64 m_worst = 0;
    qint64 m_worstBusy = 0;
    qint64 m_lastCpu = 0;
};
