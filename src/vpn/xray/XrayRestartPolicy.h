#pragma once

#include <QList>

#include <optional>

// When a lost xray child is restarted, and when the supervision gives up.
//
// Restarts follow after 2, 4 and 6 seconds; after the third failed one the
// connection ends. A child that passes its readiness test and then dies,
// again and again, would otherwise be restarted for ever (each successful
// restart starts the attempts afresh), so losses are also counted over a
// window of time: the fifth within five minutes ends the connection too.
class XrayRestartPolicy
{
public:
    static constexpr int maxAttempts = 3;
    static constexpr int maxLossesInWindow = 5;
    static constexpr qint64 windowMs = 5 * 60 * 1000;

    // Records the loss of a connected child at `nowMs` (a monotonic clock);
    // true when it makes a crash loop.
    bool recordLoss(qint64 nowMs);
    int lossesInWindow() const { return int(m_losses.size()); }

    // Counts the next restart and returns its delay; nothing once
    // maxAttempts restarts have been tried.
    std::optional<int> nextRestartDelayMs();
    int attempts() const { return m_attempts; }
    // A restart answered, or a new chain of restarts begins.
    void resetAttempts() { m_attempts = 0; }
    // A new connection, a disconnect or the end of the supervision.
    void reset();

private:
    int m_attempts = 0;
    QList<qint64> m_losses;
};
