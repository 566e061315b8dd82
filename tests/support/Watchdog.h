#pragma once

#include <QElapsedTimer>
#include <QTimer>

#include <algorithm>

// Measures the longest stretch the event loop went without turning.
class Watchdog
{
public:
    Watchdog()
    {
        m_timer.setInterval(5);
        QObject::connect(&m_timer, &QTimer::timeout, &m_timer, [this] { m_worst = std::max(m_worst, m_clock.restart()); });
        m_clock.start();
        m_timer.start();
    }
    qint64 worstGapMs() const { return m_worst; }

private:
    QTimer m_timer;
    QElapsedTimer m_clock;
    qint64 m_worst = 0;
};
