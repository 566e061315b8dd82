#pragma once

#include <QDateTime>
#include <QString>

#include <optional>

// Strict RFC 3339 internet date-times: "2026-01-31T12:00:00Z",
// "2026-01-31T12:00:00+02:00". A bare date, a missing zone or a missing "T"
// never parses.
namespace InternetDateTime {

enum class Fraction {
    Without, // fractional seconds are refused
    Required, // fractional seconds must be present
};

std::optional<QDateTime> parse(QStringView text, Fraction fraction);

// Tries with fractional seconds, then without.
std::optional<QDateTime> parseEither(QStringView text);

// "2026-01-31T12:00:00Z" (UTC, no fraction).
QString format(const QDateTime &date);

// The way a date prints by default in log lines: "2026-01-31 12:00:00 +0000".
QString logDescription(const QDateTime &date);

// Seconds since 2001-01-01 00:00:00 UTC, the epoch of stored records.
double toReferenceSeconds(const QDateTime &date);
QDateTime fromReferenceSeconds(double seconds);

} // namespace InternetDateTime
