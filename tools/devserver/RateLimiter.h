#pragma once

#include <QHash>
#include <QString>

// Counts events per key (an e-mail address, a client address) in memory and
// says when a key has had too many. A key is held back once it has `limit`
// events inside its window. The window either starts at the key's first
// event (a budget per hour) or at its latest one (failures in a row: the run
// ends after a quiet spell as long as the window). Keys whose window has
// ended are forgotten, and at most `maxKeys` are kept, so a flood of new
// keys cannot grow memory without end.
class RateLimiter
{
public:
    enum class Window { FromFirstEvent, FromLastEvent };

    RateLimiter(int limit, qint64 windowMs, Window window, qsizetype maxKeys = 50000);

    // Milliseconds until `key` may act again; 0 when it may now.
    qint64 waitFor(const QString &key, qint64 now) const;
    void record(const QString &key, qint64 now);
    void forget(const QString &key) { m_entries.remove(key); }
    void purge(qint64 now);

private:
    struct Entry
    {
        int count = 0;
        qint64 start = 0;
    };

    int m_limit;
    qint64 m_windowMs;
    Window m_window;
    qsizetype m_maxKeys;
    QHash<QString, Entry> m_entries;
};
