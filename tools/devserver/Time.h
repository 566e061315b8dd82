#pragma once

#include <QDateTime>
#include <QString>

#include <algorithm>


// Times are kept as milliseconds since the epoch and sent as internet
// date-times in UTC.
namespace Time {

inline qint64 nowMs()
{
    return QDateTime::currentMSecsSinceEpoch();
}

// With milliseconds, e.g. 2026-01-31T12:00:00.123Z.
inline QString dateTimeMs(qint64 ms)
{
    return QDateTime::fromMSecsSinceEpoch(ms, Qt::UTC).toString(Qt::ISODateWithMs);
}

// Whole seconds only, e.g. 2026-01-31T12:00:00Z.
inline QString dateTimeSeconds(qint64 ms)
{
    return QDateTime::fromMSecsSinceEpoch(ms, Qt::UTC).toString(Qt::ISODate);
}

// `seconds` after `nowMs`, cut to a whole second.
inline qint64 wholeSecondsFromNow(qint64 nowMs, qint64 seconds)
{
    return (nowMs / 1000 + seconds) * 1000;
}

// A wait in whole minutes, rounded up: "1 minute", "5 minutes".
inline QString minutesText(qint64 ms)
{
    const qint64 minutes = std::max<qint64>(1, (ms + 59999) / 60000);
    return minutes == 1 ? QStringLiteral("1 minute") : QStringLiteral("%1 minutes").arg(minutes);
}

} // namespace Time
