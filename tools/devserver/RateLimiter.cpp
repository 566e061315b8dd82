#include "devserver/RateLimiter.h"

#include <algorithm>

RateLimiter::RateLimiter(int limit, qint64 windowMs, Window window, qsizetype maxKeys)
    : m_limit(limit)
    , m_windowMs(windowMs)
    , m_window(window)
    , m_maxKeys(maxKeys)
{
}

qint64 RateLimiter::waitFor(const QString &key, qint64 now) const
{
    const auto found = m_entries.constFind(key);
    if (found == m_entries.cend() || found->count < m_limit)
        return 0;
    return std::max<qint64>(0, found->start + m_windowMs - now);
}

void RateLimiter::record(const QString &key, qint64 now)
{
    auto found = m_entries.find(key);
    if (found == m_entries.end()) {
        if (m_entries.size() >= m_maxKeys)
            purge(now);
        if (m_entries.size() >= m_maxKeys) {
            // Still full of live keys: make room by dropping the one whose
            // window ends first.
            const auto oldest = std::min_element(m_entries.begin(), m_entries.end(),
                                                 [](const Entry &a, const Entry &b) { return a.start < b.start; });
            m_entries.erase(oldest);
        }
        found = m_entries.insert(key, Entry{0, now});
    } else if (now >= found->start + m_windowMs) {
        *found = Entry{0, now};
    }
    ++found->count;
    if (m_window == Window::FromLastEvent)
        found->start = now;
}

void RateLimiter::purge(qint64 now)
{
    m_entries.removeIf([this, now](const auto &entry) { return now >= entry.value().start + m_windowMs; });
}
